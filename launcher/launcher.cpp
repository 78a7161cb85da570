#include "launcher.h"
#include "messages.h"
#include "../fallback/fallback.h"

static void OpenDocument(LaunchState* state, int nShowCmd)
{
  if (ExtractArgument(state->lpCommandLine, state->lpArgument) == 0) {
    ShowAbout();
    return;
  }
  // Taken exactly as given: a relative name is looked up in the current
  // directory, and a directory is something the shell can open too.
  if (GetFileAttributesA(state->lpArgument) == INVALID_FILE_ATTRIBUTES) {
    ShowMissingDocument();
    return;
  }
  state->dwArgumentSize = (DWORD)lstrlenA(state->lpArgument) + 1;

  HINSTANCE result = ShellExecuteA(NULL, "open", state->lpArgument, NULL, NULL, nShowCmd);
  if ((UINT_PTR)result > 32)
    return;
  RunFallback(state);
}

int LauncherMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpCmdLine, int nShowCmd)
{
  (void)hPrevInstance;
  LaunchState state = {};
  state.hInstance = hInstance;
  state.lpCommandLine = lpCmdLine;
  state.hHeap = GetProcessHeap();

  // Without memory there is nothing to report with: leave quietly.
  state.lpArgument = AllocateBuffer(&state, (DWORD)lstrlenA(lpCmdLine) + 1);
  if (state.lpArgument == NULL)
    return 0;

  OpenDocument(&state, nShowCmd);

  ReleaseRunBuffers(&state);
  return 0;
}
