// The floor for launch latency: the least a launcher can do, which is hand its
// argument to the shell's "open" and exit. No C runtime, like Quenlo.
#include <windows.h>
#include <shellapi.h>

extern "C" void WINAPI FloorEntry(void)
{
  LPSTR line = GetCommandLineA();
  // Skip the program name (unquoted here) and one blank.
  while (*line != '\0' && *line != ' ')
    ++line;
  while (*line == ' ')
    ++line;
  ShellExecuteA(NULL, "open", line, NULL, NULL, SW_SHOWDEFAULT);
  ExitProcess(0);
}
