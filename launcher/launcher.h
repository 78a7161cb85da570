#ifndef QUENLO_LAUNCHER_H
#define QUENLO_LAUNCHER_H

#include "launch_state.h"

// Opens the document named on lpCmdLine (the whole command line, program name
// included) and returns the process's exit status, which is always 0.
int LauncherMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpCmdLine, int nShowCmd);

// Copies the document argument (everything after the program name and the blanks
// that follow it) to lpOut, which holds at least lstrlenA(lpCmdLine) + 1 bytes.
// Returns its length; 0 means there is no document.
DWORD ExtractArgument(LPCSTR lpCmdLine, LPSTR lpOut);

#endif
