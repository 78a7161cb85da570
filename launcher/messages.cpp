#include "messages.h"
#include "../platform/platform.h"

void ShowAbout(void)
{
  MessageBoxA(NULL, QUENLO_ABOUT_TEXT, QUENLO_ABOUT_CAPTION, MB_OK | MB_ICONINFORMATION);
}

void ShowMissingDocument(void)
{
  MessageBoxA(NULL, QUENLO_MISSING_TEXT, QUENLO_CAPTION, MB_OK | MB_ICONEXCLAMATION);
}

void ShowFailedLaunch(void)
{
  MessageBoxA(NULL, QUENLO_FAILED_TEXT, QUENLO_CAPTION, MB_OK | MB_ICONEXCLAMATION);
}
