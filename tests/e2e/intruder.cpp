// A hostile quenlo.exe, as a disc from anyone may carry: it tries what the
// lines of targets.txt beside it say ("read PATH", "write PATH" with Unix
// paths, "connect PORT" on 127.0.0.1), through Z: and through \\?\unix\, then
// opens its page as Quenlo would, so that a user meets the page, or the page
// that a line "page PATH" names instead ("page -": none). A line "unix COMMAND" runs a shell
// command of the Unix side, as a Windows program may, and leaves it running;
// "run COMMAND LINE" starts a Windows program so, and "box TEXT" shows a
// message box with TEXT, in the PC's code page. "calls own"
// makes Linux system calls straight to the kernel as this program's own
// kind makes them (syscall for the 64-bit build, int 0x80 for the 32-bit
// one), "calls int80" the i386 ones from the 64-bit build: clone into new
// namespaces, clone3, io_uring, ptrace, process_vm_*, and a plain fork, each
// "call NAME RESULT" with the kernel's result (a negative errno where refused).
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

// A fork's or a clone's child ends at once, before anything of Wine's runs in it.
long long Syscall(long long nr, long long a, long long b, long long c)
{
#if defined(__x86_64__)
  long long ret;
  register long long r10 asm("r10") = 0;
  register long long r8 asm("r8") = 0;
  asm volatile("syscall\n\ttest %%rax, %%rax\n\tjnz 1f\n\tmov $231, %%eax\n\txor %%edi, %%edi\n\tsyscall\n1:"
               : "=a"(ret) : "a"(nr), "D"(a), "S"(b), "d"(c), "r"(r10), "r"(r8) : "rcx", "r11", "memory");
  return ret;
#else
  (void)nr; (void)a; (void)b; (void)c;
  return 0;
#endif
}

long long Int80(long nr, long a, long b, long c)
{
  long ret;
  asm volatile("int $0x80\n\ttest %%eax, %%eax\n\tjnz 1f\n\tmov $252, %%eax\n\txor %%ebx, %%ebx\n\tint $0x80\n1:"
               : "=a"(ret) : "a"(nr), "b"(a), "c"(b), "d"(c), "S"(0L), "D"(0L)
#if defined(__x86_64__)
               : "memory", "r8", "r9", "r10", "r11");
#else
               : "memory");
#endif
  return ret;
}

// name, the 64-bit number, the i386 one, and up to three arguments, none a
// pointer (the filter answers before the kernel reads one); -1: the parent.
struct Call {
  const char* name;
  long nr64, nr32, a, b, c;
};
const long kParent = -1, kSigchld = 17;
const Call kCalls[] = {
  {"clone-user", 56, 120, 0x10000000 | kSigchld, 0, 0},
  {"clone-user-net-mount", 56, 120, 0x10000000 | 0x40000000 | 0x20000 | kSigchld, 0, 0},
  {"clone-user-pid-ipc-uts-cgroup", 56, 120, 0x10000000 | 0x20000000 | 0x08000000 | 0x04000000 | 0x02000000 | kSigchld,
   0, 0},
  {"clone-net", 56, 120, 0x40000000 | kSigchld, 0, 0},
  {"clone3", 435, 435, 0, 0, 0}, {"io_uring_setup", 425, 425, 1, 0, 0},
  {"ptrace", 101, 26, 2 /* PTRACE_PEEKDATA */, kParent, 0}, {"process_vm_readv", 310, 347, kParent, 0, 0},
  {"process_vm_writev", 311, 348, kParent, 0, 0}, {"fork", 56, 120, kSigchld, 0, 0},
};

void Calls(FILE* out, bool int80)
{
#if !defined(__x86_64__)
  int80 = true;
#endif
  long parent = int80 ? static_cast<long>(Int80(64, 0, 0, 0)) : static_cast<long>(Syscall(110, 0, 0, 0));
  for (const Call& call : kCalls) {
    long a = call.a == kParent ? parent : call.a, b = call.b == kParent ? parent : call.b;
    long long got = int80 ? Int80(call.nr32, a, b, call.c) : Syscall(call.nr64, a, b, call.c);
    fprintf(out, "call %s %lld\n", call.name, got);
  }
  fflush(out);
}

// Starts a command line and leaves it running; says so as what.
void Start(FILE* out, const char* what, char* command)
{
  STARTUPINFOA si = {};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi;
  bool started = CreateProcessA(NULL, command, NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi);
  if (started) {
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
  }
  fprintf(out, "%s %s\n", what, started ? "started" : "failed");
  fflush(out);
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
    if (strcmp(line, "calls") == 0) {
      Calls(out, strcmp(arg, "int80") == 0);
      continue;
    }
    if (strcmp(line, "connect") == 0) {
      Record(out, "connect", arg, Connect(atoi(arg)));
      continue;
    }
    if (strcmp(line, "run") == 0) {  // a Windows program of its own
      Start(out, "run", arg);
      continue;
    }
    if (strcmp(line, "unix") == 0) {
      char command[1100];
      snprintf(command, sizeof(command), "Z:\\bin\\sh -c \"%s\"", arg);
      Start(out, "unix", command);
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
