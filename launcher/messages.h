// Every text the user can see. Medium authors quote these in their own
// instructions, so they change only with the version.
#ifndef QUENLO_MESSAGES_H
#define QUENLO_MESSAGES_H

#define QUENLO_CAPTION "Quenlo"
#define QUENLO_ABOUT_CAPTION "About Quenlo"
#define QUENLO_JOB_LINE "Launch HTML document automatically on removable media."
#define QUENLO_ABOUT_TEXT                                   \
  "Quenlo 1.0.0.2\n\n" QUENLO_JOB_LINE "\n\n"              \
  "Copyright (C) 2026 The Quenlo developers\n"              \
  "Web site: https://github.com/quenlo/quenlo"
#define QUENLO_MISSING_TEXT "The specified file does not exist."
#define QUENLO_FAILED_TEXT "Failed to launch specified file."

// The run's message boxes: the only way Quenlo tells its user anything.
void ShowAbout(void);
void ShowMissingDocument(void);
void ShowFailedLaunch(void);

#endif
