#include "fake_platform.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>

FakeWorld g_fake;

namespace {

// Guard bytes behind every block catch writes past its end. Under the address
// sanitizer blocks are exact, so its own checks see every overrun instead.
#if defined(__SANITIZE_ADDRESS__)
const size_t kGuardSize = 0;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
const size_t kGuardSize = 0;
#else
const size_t kGuardSize = 16;
#endif
#else
const size_t kGuardSize = 16;
#endif
const unsigned char kGuardByte = 0xA5;
const unsigned char kUnzeroedByte = 0xCD;
const uintptr_t kKeyHandleBase = 0x1000;

char g_heapTag;
STARTUPINFOA g_startup;
const STARTUPINFOA* g_startupGiven;
std::map<uintptr_t, std::string> g_openKeys;
uintptr_t g_nextKey = kKeyHandleBase;

std::string Upper(std::string text)
{
  for (char& c : text)
    if (c >= 'a' && c <= 'z')
      c = static_cast<char>(c - 'a' + 'A');
  return text;
}

bool GuardIntact(const FakeBlock& block)
{
  const unsigned char* guard = static_cast<const unsigned char*>(block.address) + block.size;
  for (size_t i = 0; i < kGuardSize; ++i)
    if (guard[i] != kGuardByte)
      return false;
  return true;
}

FakeBlock* LiveBlock(const void* address)
{
  for (FakeBlock& block : g_fake.blocks)
    if (block.address == address && !block.released)
      return &block;
  return nullptr;
}

}  // namespace

void FakeWorld::AddFile(const std::string& fullPath, DWORD attributes) { files[Upper(fullPath)] = attributes; }

void FakeWorld::AddKey(const std::string& name) { classesRoot[Upper(name)]; }

void FakeWorld::SetText(const std::string& name, const std::string& text, DWORD type)
{
  SetBytes(name, text + std::string(1, '\0'), type);
}

void FakeWorld::SetBytes(const std::string& name, const std::string& bytes, DWORD type)
{
  FakeKey& key = classesRoot[Upper(name)];
  key.hasValue = true;
  key.data = bytes;
  key.type = type;
}

void FakeWorld::ClearValue(const std::string& name) { classesRoot[Upper(name)] = FakeKey(); }

int FakeWorld::LiveBlocks() const
{
  return static_cast<int>(std::count_if(blocks.begin(), blocks.end(), [](const FakeBlock& b) { return !b.released; }));
}

const FakeBlock* FakeWorld::Block(const void* address) const
{
  for (auto it = blocks.rbegin(); it != blocks.rend(); ++it)
    if (it->address == address)
      return &*it;
  return nullptr;
}

bool FakeWorld::Released(const void* address) const
{
  const FakeBlock* block = Block(address);
  return block != nullptr && block->released;
}

void FakeReset()
{
  for (FakeBlock& block : g_fake.blocks)
    if (!block.released)
      free(block.address);
  g_fake = FakeWorld();
  g_openKeys.clear();
  g_nextKey = kKeyHandleBase;
  g_startupGiven = nullptr;
}

// Resolves like Windows does for the cases a medium meets: drive-absolute,
// rooted, drive-relative and relative names, with "." and ".." folded and "/"
// taken as "\".
std::string FakeFullPath(const std::string& name)
{
  std::string path = name;
  std::replace(path.begin(), path.end(), '/', '\\');
  if (path.empty())
    return "";
  const std::string& cwd = g_fake.currentDirectory;
  std::string drive = cwd.substr(0, 2);
  std::string rest;
  if (path.size() >= 2 && path[1] == ':') {
    std::string named = path.substr(0, 2);
    if (path.size() >= 3 && path[2] == '\\')
      rest = path.substr(3);
    else if (Upper(named) == Upper(drive))
      rest = cwd.substr(3) + "\\" + path.substr(2);
    else
      rest = path.substr(2);
    drive = named;
  } else if (path[0] == '\\') {
    rest = path.substr(1);
  } else {
    rest = cwd.substr(3) + "\\" + path;
  }

  // Built in place, part by part: ".." takes the last part off again.
  std::string full = drive + "\\";
  size_t start = 0;
  while (start <= rest.size()) {
    size_t end = rest.find('\\', start);
    if (end == std::string::npos)
      end = rest.size();
    size_t length = end - start;
    if (length == 2 && rest.compare(start, 2, "..") == 0) {
      full.resize(std::max<size_t>(3, full.rfind('\\')));
    } else if (length > 0 && !(length == 1 && rest[start] == '.')) {
      if (full.size() > 3)
        full += '\\';
      full.append(rest, start, length);
    }
    start = end + 1;
  }
  if (full.size() > 3 && path.back() == '\\')
    full += '\\';
  return full;
}

HANDLE WINAPI GetProcessHeap(void) { return &g_heapTag; }

LPVOID WINAPI HeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes)
{
  ++g_fake.allocationCalls;
  if (hHeap != &g_heapTag) {
    ++g_fake.badFrees;
    return nullptr;
  }
  if (g_fake.allocationCalls == g_fake.failAllocation)
    return nullptr;
  unsigned char* block = static_cast<unsigned char*>(malloc(dwBytes + kGuardSize > 0 ? dwBytes + kGuardSize : 1));
  memset(block, (dwFlags & HEAP_ZERO_MEMORY) ? 0 : kUnzeroedByte, dwBytes);
  memset(block + dwBytes, kGuardByte, kGuardSize);
  g_fake.blocks.push_back(FakeBlock{block, dwBytes, dwFlags, false});
  return block;
}

BOOL WINAPI HeapFree(HANDLE hHeap, DWORD dwFlags, LPVOID lpMem)
{
  (void)dwFlags;
  FakeBlock* block = LiveBlock(lpMem);
  if (hHeap != &g_heapTag || block == nullptr) {
    ++g_fake.badFrees;
    return FALSE;
  }
  if (!GuardIntact(*block))
    ++g_fake.guardDamage;
  block->released = true;
  free(lpMem);
  return TRUE;
}

static DWORD Attributes(const std::string& name)
{
  auto it = g_fake.files.find(Upper(FakeFullPath(name)));
  return it == g_fake.files.end() ? INVALID_FILE_ATTRIBUTES : it->second;
}

DWORD WINAPI GetFileAttributesA(LPCSTR lpFileName)
{
  ++g_fake.attributeQueries;
  return Attributes(lpFileName);
}

DWORD WINAPI GetFullPathNameA(LPCSTR lpFileName, DWORD nBufferLength, LPSTR lpBuffer, LPSTR* lpFilePart)
{
  (void)lpFilePart;
  if (++g_fake.fullPathCalls == g_fake.failFullPathCall)
    return 0;
  std::string full = FakeFullPath(lpFileName);
  if (full.empty())
    return 0;
  if (nBufferLength < full.size() + 1)
    return static_cast<DWORD>(full.size() + 1);
  memcpy(lpBuffer, full.c_str(), full.size() + 1);
  return static_cast<DWORD>(full.size());
}

HINSTANCE WINAPI ShellExecuteA(HWND hwnd, LPCSTR lpOperation, LPCSTR lpFile, LPCSTR lpParameters,
                               LPCSTR lpDirectory, int nShowCmd)
{
  g_fake.shellCalls.push_back(FakeShellCall{hwnd, lpOperation ? lpOperation : "", lpFile ? lpFile : "",
                                            lpParameters != nullptr, lpDirectory != nullptr, nShowCmd});
  return reinterpret_cast<HINSTANCE>(g_fake.shellResult);
}

LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult)
{
  (void)ulOptions;
  g_fake.requestedAccess.push_back(samDesired);
  std::string name = lpSubKey ? lpSubKey : "";
  if (hKey != HKEY_CLASSES_ROOT || g_fake.classesRoot.count(Upper(name)) == 0)
    return ERROR_FILE_NOT_FOUND;
  uintptr_t handle = g_nextKey++;
  g_openKeys[handle] = name;
  g_fake.openedKeys.push_back(name);
  ++g_fake.keysOpened;
  *phkResult = reinterpret_cast<HKEY>(handle);
  return ERROR_SUCCESS;
}

// Like Windows, a buffer that is too small gets ERROR_MORE_DATA and the size
// needed; its contents are then undefined, so the fake fills it with as much
// of the value as fits, without a terminator: the worst a caller can meet.
LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                             LPDWORD lpcbData)
{
  (void)lpReserved;
  auto open = g_openKeys.find(reinterpret_cast<uintptr_t>(hKey));
  std::string name = open == g_openKeys.end() ? "" : open->second;
  if (g_fake.beforeQuery)
    g_fake.beforeQuery(name, static_cast<int>(g_fake.queries.size()));
  FakeQuery query{name, lpValueName == nullptr || *lpValueName == '\0', lpcbData ? *lpcbData : 0, ERROR_SUCCESS};

  auto key = g_fake.classesRoot.find(Upper(name));
  if (open == g_openKeys.end() || key == g_fake.classesRoot.end()) {
    query.result = 6;  // ERROR_INVALID_HANDLE
  } else if (!query.defaultValue || !key->second.hasValue) {
    query.result = ERROR_FILE_NOT_FOUND;
  } else {
    const std::string& data = key->second.data;
    if (lpType)
      *lpType = key->second.type;
    if (lpData != nullptr && *lpcbData < data.size()) {
      memcpy(lpData, data.data(), *lpcbData);
      query.result = ERROR_MORE_DATA;
    } else if (lpData != nullptr) {
      memcpy(lpData, data.data(), data.size());
    }
    if (lpcbData)
      *lpcbData = static_cast<DWORD>(data.size());
  }
  g_fake.queries.push_back(query);
  return query.result;
}

LONG WINAPI RegCloseKey(HKEY hKey)
{
  if (g_openKeys.erase(reinterpret_cast<uintptr_t>(hKey)) == 0) {
    ++g_fake.badCloses;
    return 6;
  }
  ++g_fake.keysClosed;
  return ERROR_SUCCESS;
}

void WINAPI GetStartupInfoA(LPSTARTUPINFOA lpStartupInfo)
{
  memset(&g_startup, 0, sizeof(g_startup));
  g_startup.cb = sizeof(g_startup);
  g_startup.dwFlags = 0x1;  // STARTF_USESHOWWINDOW, as a shortcut would set it
  g_startup.wShowWindow = 3;
  *lpStartupInfo = g_startup;
  g_startupGiven = lpStartupInfo;
}

BOOL WINAPI CreateProcessA(LPCSTR lpApplicationName, LPSTR lpCommandLine,
                           LPSECURITY_ATTRIBUTES lpProcessAttributes, LPSECURITY_ATTRIBUTES lpThreadAttributes,
                           BOOL bInheritHandles, DWORD dwCreationFlags, LPVOID lpEnvironment,
                           LPCSTR lpCurrentDirectory, LPSTARTUPINFOA lpStartupInfo,
                           LPPROCESS_INFORMATION lpProcessInformation)
{
  // Like Windows, the program is the line's first token, quoted or up to a
  // blank, and must exist (".exe" may be left off).
  std::string line = lpCommandLine ? lpCommandLine : "";
  size_t start = line.find_first_not_of(" \t");
  std::string program;
  if (start != std::string::npos && line[start] == '"')
    program = line.substr(start + 1, line.find('"', start + 1) - start - 1);
  else if (start != std::string::npos)
    program = line.substr(start, line.find_first_of(" \t", start) - start);
  bool namesProgram = !program.empty() && (!g_fake.programsMustExist || Attributes(program) != INVALID_FILE_ATTRIBUTES ||
                                           Attributes(program + ".exe") != INVALID_FILE_ATTRIBUTES);
  bool fromLauncher = lpStartupInfo != nullptr && lpStartupInfo == g_startupGiven &&
                      memcmp(lpStartupInfo, &g_startup, sizeof(g_startup)) == 0;
  g_fake.processCalls.push_back(FakeProcessCall{
      lpApplicationName != nullptr, lpCommandLine ? lpCommandLine : "", lpProcessAttributes != nullptr,
      lpThreadAttributes != nullptr, bInheritHandles, dwCreationFlags, lpEnvironment != nullptr,
      lpCurrentDirectory != nullptr, fromLauncher, lpProcessInformation != nullptr});
  if (!namesProgram || !g_fake.processResult)
    return FALSE;
  if (lpProcessInformation)
    memset(lpProcessInformation, 0, sizeof(*lpProcessInformation));
  return TRUE;
}

int WINAPI MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType)
{
  g_fake.messageBoxes.push_back(FakeMessageBox{hWnd, lpText ? lpText : "", lpCaption ? lpCaption : "", uType});
  return IDOK;
}

int WINAPI lstrlenA(LPCSTR lpString) { return lpString ? static_cast<int>(strlen(lpString)) : 0; }

LPSTR WINAPI lstrcpyA(LPSTR lpString1, LPCSTR lpString2) { return strcpy(lpString1, lpString2); }

LPSTR WINAPI lstrcatA(LPSTR lpString1, LPCSTR lpString2) { return strcat(lpString1, lpString2); }
