// A hostile quenlo.exe, as a disc from anyone may carry: it tries what the
// lines of targets.txt beside it say ("read PATH", "write PATH" with Unix
// paths, "connect PORT" on 127.0.0.1), through Z: and through \\?\unix\, then
// opens its page as Quenlo would, so that a user meets the page, or the page
// that a line "page PATH" names instead ("page -": none). A line "unix COMMAND" runs a shell
// command of the Unix side, as a Windows program may, and leaves it running;
// "run COMMAND LINE" starts a Windows program so, and "box TEXT" shows a
// message box with TEXT, in the PC's code page.
// What each attempt came to goes to C:\intruder.txt: "read Z:\... no" or
// "... yes".
#include <winsock2.h>
#include <windows.h>
#include <shellapi.h>

#include <stdio.h>
#include <string.h>

namespace {

void Record(FILE* out, const char* what, const char* where, bool done)
{
  fprintf(out, "%s %s %s\n", what, where, done ? "yes" : "no");
  fflush(out);
}

bool Read(const char* path)
{
  HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
  if (file == INVALID_HANDLE_VALUE)
    return false;
  char buffer[64];
  DWORD got = 0;
  bool read = ReadFile(file, buffer, sizeof(buffer), &got, NULL) && got > 0;
  CloseHandle(file);
  return read;
}

bool Write(const char* path)
{
  HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_NEW, 0, NULL);
  if (file == INVALID_HANDLE_VALUE)
    return false;
  DWORD put = 0;
  bool written = WriteFile(file, "escaped\n", 8, &put, NULL) && put == 8;
  CloseHandle(file);
  return written;
}

bool Connect(int port)
{
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET)
    return false;
  sockaddr_in to = {};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<u_short>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool connected = connect(s, reinterpret_cast<sockaddr*>(&to), sizeof(to)) == 0;
  closesocket(s);
  return connected;
}

}  // namespace

int main()
{
  char here[MAX_PATH];
  GetModuleFileNameA(NULL, here, sizeof(here));
  char* slash = strrchr(here, '\\');
  if (slash != NULL)
    slash[1] = '\0';
  char list[MAX_PATH + 16];
  snprintf(list, sizeof(list), "%stargets.txt", here);
  FILE* targets = fopen(list, "r");
  FILE* out = fopen("C:\\intruder.txt", "w");
  if (targets == NULL || out == NULL)
    return 2;
  WSADATA wsa;
  WSAStartup(MAKEWORD(2, 2), &wsa);
  char line[1024], other[1024] = "";
  while (fgets(line, sizeof(line), targets)) {
    line[strcspn(line, "\r\n")] = '\0';
    char* arg = strchr(line, ' ');
    if (arg == NULL)
      continue;
    *arg++ = '\0';
    if (strcmp(line, "page") == 0) {
      snprintf(other, sizeof(other), "%s", arg);
      continue;
    }
    if (strcmp(line, "box") == 0) {  // a box of Quenlo's look, its text in the PC's code page
      MessageBoxA(NULL, arg, "Quenlo", MB_OK | MB_ICONEXCLAMATION);
      continue;
    }
    if (strcmp(line, "connect") == 0) {
      Record(out, "connect", arg, Connect(atoi(arg)));
      continue;
    }
    if (strcmp(line, "run") == 0) {  // a Windows program of its own, left to run
      STARTUPINFOA si = {};
      si.cb = sizeof(si);
      PROCESS_INFORMATION pi;
      bool started = CreateProcessA(NULL, arg, NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi);
      if (started) {
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
      }
      fprintf(out, "run %s\n", started ? "started" : "failed");
      fflush(out);
      continue;
    }
    if (strcmp(line, "unix") == 0) {
      char command[1100];
      snprintf(command, sizeof(command), "Z:\\bin\\sh -c \"%s\"", arg);
      STARTUPINFOA si = {};
      si.cb = sizeof(si);
      PROCESS_INFORMATION pi;
      bool started = CreateProcessA(NULL, command, NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi);
      if (started) {
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
      }
      fprintf(out, "unix %s\n", started ? "started" : "failed");
      fflush(out);
      continue;
    }
    char viaZ[1100], viaUnix[1100];
    snprintf(viaZ, sizeof(viaZ), "Z:%s", arg);
    snprintf(viaUnix, sizeof(viaUnix), "\\\\?\\unix%s", arg);
    for (char* p = viaZ; *p; ++p)
      if (*p == '/')
        *p = '\\';
    for (char* p = viaUnix + 4; *p; ++p)
      if (*p == '/')
        *p = '\\';
    bool write = strcmp(line, "write") == 0;
    Record(out, line, viaZ, write ? Write(viaZ) : Read(viaZ));
    Record(out, line, viaUnix, write ? Write(viaUnix) : Read(viaUnix));
  }
  fclose(out);
  // Then the page, as Quenlo opens it.
  const char* page = GetCommandLineA();
  if (*page == '"')
    page = strchr(page + 1, '"') ? strchr(page + 1, '"') + 1 : page + strlen(page);
  else
    while (*page && *page != ' ')
      ++page;
  while (*page == ' ')
    ++page;
  if (strcmp(other, "-") != 0)
    ShellExecuteA(NULL, "open", *other ? other : page, NULL, NULL, SW_SHOWDEFAULT);
  return 0;
}
