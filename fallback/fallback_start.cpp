#include "fallback.h"
#include "../launcher/messages.h"

static const CHAR kQuotedPlaceholder[] = "\"%1\"";
static const CHAR kPlaceholder[] = "%1";
static const CHAR kAddressPrefix[] = " file:///";

LPCSTR FindText(LPCSTR lpText, LPCSTR lpPattern)
{
  if (*lpPattern == '\0')
    return NULL;
  for (; *lpText != '\0'; ++lpText) {
    LPCSTR t = lpText;
    LPCSTR p = lpPattern;
    while (*p != '\0' && *t == *p) {
      ++t;
      ++p;
    }
    if (*p == '\0')
      return lpText;
  }
  return NULL;
}

// The registry sized lpCommand for the address form; an argument longer than the
// document path (one with ".." in it, say) needs a bigger block.
static BOOL MakeRoom(LaunchState* state, DWORD dwNeeded)
{
  if (dwNeeded <= state->dwCommandSize)
    return TRUE;
  LPSTR grown = AllocateBuffer(state, dwNeeded);
  if (grown == NULL)
    return FALSE;
  lstrcpyA(grown, state->lpCommand);
  ReleaseBuffer(state, state->lpCommand);
  state->lpCommand = grown;
  state->dwCommandSize = dwNeeded;
  return TRUE;
}

// The placeholder forms get the argument as extracted, and everything after the
// placeholder is dropped. A quoted placeholder asks for one argument, so the
// document goes between quotes there: a path with spaces must not reach the
// handler as several. Without a placeholder the document follows as an address.
BOOL ComposeCommand(LaunchState* state)
{
  BOOL quoted = TRUE;
  LPCSTR at = FindText(state->lpCommand, kQuotedPlaceholder);
  if (at == NULL) {
    quoted = FALSE;
    at = FindText(state->lpCommand, kPlaceholder);
  }

  if (at == NULL) {
    DWORD needed = (DWORD)lstrlenA(state->lpCommand) + (sizeof(kAddressPrefix) - 1) +
                   (DWORD)lstrlenA(state->lpDocumentPath) + 1;
    if (!MakeRoom(state, needed))
      return FALSE;
    lstrcatA(state->lpCommand, kAddressPrefix);
    lstrcatA(state->lpCommand, state->lpDocumentPath);
    return TRUE;
  }

  DWORD kept = (DWORD)(at - state->lpCommand);
  DWORD needed = kept + 1 + (quoted ? 2 : 0) + (DWORD)lstrlenA(state->lpArgument) + 1;
  state->lpCommand[kept] = '\0';
  if (!MakeRoom(state, needed))
    return FALSE;
  lstrcatA(state->lpCommand, quoted ? " \"" : " ");
  lstrcatA(state->lpCommand, state->lpArgument);
  if (quoted)
    lstrcatA(state->lpCommand, "\"");
  return TRUE;
}

void RunFallback(LaunchState* state)
{
  // The path first: the lookup sizes the command buffer from it.
  SettleDocumentPath(state);
  LookUpHtmlCommand(state);
  if (state->lpCommand != NULL && ComposeCommand(state)) {
    STARTUPINFOA startup;
    PROCESS_INFORMATION process;
    GetStartupInfoA(&startup);
    // Not waited for: the handler lives on after Quenlo exits.
    if (CreateProcessA(NULL, state->lpCommand, NULL, NULL, FALSE, NORMAL_PRIORITY_CLASS, NULL, NULL,
                       &startup, &process))
      return;
  }
  ShowFailedLaunch();
}
