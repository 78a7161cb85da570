// Runs one command line exactly as given (Wine would quote arguments built from
// a Unix argv), watches for the message boxes its process shows, and those of
// every process it starts, however far down (a job holds them all), reads each
// one's caption, text and icon, presses OK, and reports when the process ends.
//
// Environment: QUENLO_E2E_COMMAND the command line, QUENLO_E2E_DIR its current
// directory (the driver's own too, so a bare program name is found there, as
// when Windows runs a disc's open line), QUENLO_E2E_OUT the report file,
// QUENLO_E2E_TIMEOUT milliseconds, QUENLO_E2E_AFTER milliseconds the boxes of
// what the process started are watched for once it has ended, while any of
// it runs (a box keeps its process running until it is answered),
// QUENLO_E2E_HOLD a file whose appearance
// lets a reported box be dismissed (a picture of the screen comes first).
// Report lines: "box<TAB>caption<TAB>icon<TAB>text" (in UTF-8, as the box
// shows them whatever the code page: text with \n escaped), then
// "exit<TAB>status<TAB>milliseconds", or "timeout" / "spawn-failed".
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

const int kIconId = 1088;  // the message box's icon control

struct Watch {
  DWORD processId;
  HANDLE job;
  HWND handled[16];
  int count;
  FILE* out;
  const char* hold;
};

// Which standard icon the box shows, told apart by its pixels: icons belong
// to the process that loaded them, so their handles cannot be compared.
const char* IdentifyIcon(HWND box)
{
  HWND control = GetDlgItem(box, kIconId);
  if (control == NULL || !IsWindowVisible(control))
    return "none";
  RECT r;
  GetWindowRect(control, &r);
  int w = r.right - r.left, h = r.bottom - r.top;
  if (w <= 0 || h <= 0 || w > 128 || h > 128)
    return "unknown";

  HDC screen = GetDC(NULL);
  HDC shot = CreateCompatibleDC(screen);
  HBITMAP shotBitmap = CreateCompatibleBitmap(screen, w, h);
  SelectObject(shot, shotBitmap);
  BitBlt(shot, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
  COLORREF background = GetPixel(shot, 0, 0);

  const struct {
    LPCSTR id;
    const char* name;
  } candidates[] = {{IDI_ASTERISK, "information"}, {IDI_EXCLAMATION, "exclamation"},
                    {IDI_HAND, "error"}, {IDI_QUESTION, "question"}};
  const char* best = "unknown";
  long bestDiff = (long)w * h / 10 + 1;
  for (const auto& c : candidates) {
    HDC ref = CreateCompatibleDC(screen);
    HBITMAP refBitmap = CreateCompatibleBitmap(screen, w, h);
    SelectObject(ref, refBitmap);
    HBRUSH brush = CreateSolidBrush(background);
    RECT all = {0, 0, w, h};
    FillRect(ref, &all, brush);
    DeleteObject(brush);
    DrawIconEx(ref, 0, 0, LoadIconA(NULL, c.id), w, h, 0, NULL, DI_NORMAL);
    long diff = 0;
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x)
        diff += GetPixel(ref, x, y) != GetPixel(shot, x, y);
    if (diff < bestDiff) {
      bestDiff = diff;
      best = c.name;
    }
    DeleteDC(ref);
    DeleteObject(refBitmap);
  }
  DeleteDC(shot);
  DeleteObject(shotBitmap);
  ReleaseDC(NULL, screen);
  return best;
}

struct TextSearch {
  wchar_t* text;
  int size;
};

// A window's text as UTF-8, whatever code page its program uses.
void WriteText(FILE* out, const wchar_t* text, bool escapeLines)
{
  char utf8[8192];
  int got = WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof(utf8), NULL, NULL);
  if (got <= 0)
    return;
  for (const char* p = utf8; *p; ++p) {
    if (*p == '\n' && escapeLines)
      fputs("\\n", out);
    else if (*p != '\r' && *p != '\t' && *p != '\n')
      fputc(*p, out);
  }
}

// The message is the box's one static control with text; its id differs
// between Windows versions.
BOOL CALLBACK OnChild(HWND child, LPARAM param)
{
  TextSearch* search = reinterpret_cast<TextSearch*>(param);
  char cls[32] = "";
  GetClassNameA(child, cls, sizeof(cls));
  if (lstrcmpiA(cls, "Static") != 0 || GetDlgCtrlID(child) == kIconId)
    return TRUE;
  return GetWindowTextW(child, search->text, search->size) == 0;
}

// True for the process started and for every process it led to.
bool Started(const Watch* watch, DWORD pid)
{
  if (pid == watch->processId)
    return true;
  HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, pid);  // Wine asks this much of IsProcessInJob
  if (process == NULL)
    return false;
  BOOL in = FALSE;
  bool found = IsProcessInJob(process, watch->job, &in) && in;
  CloseHandle(process);
  return found;
}

DWORD Running(HANDLE job)
{
  JOBOBJECT_BASIC_ACCOUNTING_INFORMATION info = {};
  if (!QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &info, sizeof(info), NULL))
    return 0;
  return info.ActiveProcesses;
}

BOOL CALLBACK OnWindow(HWND hwnd, LPARAM param)
{
  Watch* watch = reinterpret_cast<Watch*>(param);
  DWORD pid = 0;
  GetWindowThreadProcessId(hwnd, &pid);
  char cls[64] = "";
  GetClassNameA(hwnd, cls, sizeof(cls));
  if (!IsWindowVisible(hwnd) || strcmp(cls, "#32770") != 0 || !Started(watch, pid))
    return TRUE;
  for (int i = 0; i < watch->count; ++i)
    if (watch->handled[i] == hwnd)
      return TRUE;
  if (watch->count < 16)
    watch->handled[watch->count++] = hwnd;

  // Let the box finish painting before its icon is looked at.
  RedrawWindow(hwnd, NULL, NULL, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
  Sleep(300);
  wchar_t caption[256] = L"", text[2048] = L"";
  GetWindowTextW(hwnd, caption, 256);
  TextSearch search = {text, 2048};
  EnumChildWindows(hwnd, OnChild, reinterpret_cast<LPARAM>(&search));
  fputs("box\t", watch->out);
  WriteText(watch->out, caption, false);
  fprintf(watch->out, "\t%s\t", IdentifyIcon(hwnd));
  WriteText(watch->out, text, true);
  fputc('\n', watch->out);
  fflush(watch->out);
  if (watch->hold != NULL) {
    for (int i = 0; i < 300 && GetFileAttributesA(watch->hold) == INVALID_FILE_ATTRIBUTES; ++i)
      Sleep(50);
    DeleteFileA(watch->hold);
  }
  PostMessageA(hwnd, WM_COMMAND, IDOK, 0);
  return TRUE;
}

}  // namespace

int main()
{
  const char* command = getenv("QUENLO_E2E_COMMAND");
  const char* directory = getenv("QUENLO_E2E_DIR");
  const char* outPath = getenv("QUENLO_E2E_OUT");
  const char* timeoutText = getenv("QUENLO_E2E_TIMEOUT");
  if (command == NULL || outPath == NULL)
    return 2;
  DWORD timeout = timeoutText ? static_cast<DWORD>(atoi(timeoutText)) : 20000;
  const char* afterText = getenv("QUENLO_E2E_AFTER");
  DWORD after = afterText ? static_cast<DWORD>(atoi(afterText)) : 0;
  FILE* out = fopen(outPath, "w");
  if (out == NULL)
    return 3;

  char line[40000];
  STARTUPINFOA startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (directory != NULL)
    SetCurrentDirectoryA(directory);
  DWORD start = GetTickCount();
  // Whatever the process starts joins its job, so its boxes are seen too.
  HANDLE job = CreateJobObjectA(NULL, NULL);
  // Wine's server, on a machine busy enough, may fail a start with
  // ERROR_INTERNAL_ERROR that succeeds a moment later: that one is tried
  // again, and any other failure is said at once.
  BOOL started = FALSE;
  DWORD error = 0;
  for (int attempt = 0; attempt < 4 && !started; ++attempt) {
    if (attempt > 0)
      Sleep(250);
    lstrcpynA(line, command, sizeof(line));
    started = CreateProcessA(NULL, line, NULL, NULL, FALSE, CREATE_SUSPENDED, NULL, directory, &startup, &process);
    error = started ? 0 : GetLastError();
    if (!started && error != ERROR_INTERNAL_ERROR)
      break;
  }
  if (!started) {
    fprintf(out, "spawn-failed\t%lu\n", error);
    fclose(out);
    return 1;
  }
  AssignProcessToJobObject(job, process.hProcess);
  ResumeThread(process.hThread);
  Watch watch = {process.dwProcessId, job, {}, 0, out, getenv("QUENLO_E2E_HOLD")};
  DWORD ended = 0;
  for (;;) {
    if (!ended && WaitForSingleObject(process.hProcess, 25) == WAIT_OBJECT_0)
      ended = GetTickCount();
    if (ended) {
      // What it started may still show a box: watched while it runs, a while.
      if (Running(job) == 0 || GetTickCount() - ended > after)
        break;
      Sleep(25);
    }
    EnumWindows(OnWindow, reinterpret_cast<LPARAM>(&watch));
    if (!ended && GetTickCount() - start > timeout) {
      TerminateProcess(process.hProcess, 99);
      fprintf(out, "timeout\n");
      fclose(out);
      return 1;
    }
  }
  DWORD status = 0;
  GetExitCodeProcess(process.hProcess, &status);
  fprintf(out, "exit\t%lu\t%lu\n", status, ended - start);
  fclose(out);
  return 0;
}
