#include "fallback.h"

static const CHAR kHtmlKey[] = ".htm";
static const CHAR kOpenCommandKey[] = "\\shell\\open\\command";
// Room behind the command text for " file:///" and one byte more; the document
// path's own size comes on top.
static const DWORD kAddressRoom = 10;
// A value rewritten while it is read is probed again, but not forever.
static const int kReadAttempts = 3;

// Reads the default value of hKey into a new zero-filled block of the value's
// size plus dwSpare bytes. The read is offered only the value's own size, so
// the spare bytes stay zero whatever the registry writes: the text always ends
// inside the block, and a value that grew after the probe cannot overrun it.
// The type is not looked at: whatever is stored is taken as text, unexpanded.
// *lpBuffer is null unless a read was made; the result is then that read's.
static LONG ReadDefaultValue(LaunchState* state, HKEY hKey, DWORD dwSpare, LPSTR* lpBuffer, DWORD* lpdwSize)
{
  *lpBuffer = NULL;
  BYTE scratch[1];
  DWORD type;
  DWORD dataSize = sizeof(scratch);
  // A value that fits the one-byte probe is too short to name anything.
  LONG result = RegQueryValueExA(hKey, NULL, NULL, &type, scratch, &dataSize);
  for (int attempt = 0; result == ERROR_MORE_DATA && attempt < kReadAttempts; ++attempt) {
    DWORD size = dataSize + dwSpare;
    if (size < dataSize)
      return ERROR_OUTOFMEMORY;
    LPSTR buffer = AllocateBuffer(state, size);
    if (buffer == NULL)
      return ERROR_OUTOFMEMORY;
    result = RegQueryValueExA(hKey, NULL, NULL, &type, (LPBYTE)buffer, &dataSize);
    if (result != ERROR_MORE_DATA) {
      *lpBuffer = buffer;
      *lpdwSize = size;
      return result;
    }
    ReleaseBuffer(state, buffer);  // grew since the probe; dataSize is its new size
  }
  // Missing, too short to name anything, or rewritten on every read.
  return ERROR_FILE_NOT_FOUND;
}

// Always the ".htm" handler, whatever the document's own extension: the shell
// has already failed with that one.
void LookUpHtmlCommand(LaunchState* state)
{
  HKEY hKey;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, kHtmlKey, 0, KEY_QUERY_VALUE, &hKey) != ERROR_SUCCESS)
    return;
  LPSTR lpClass;
  DWORD dwClassSize;
  LONG result = ReadDefaultValue(state, hKey, sizeof(kOpenCommandKey), &lpClass, &dwClassSize);
  RegCloseKey(hKey);
  if (result != ERROR_SUCCESS) {
    ReleaseBuffer(state, lpClass);
    return;
  }

  // The "open" verb itself, not whatever the class names as its default verb.
  lstrcatA(lpClass, kOpenCommandKey);
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, lpClass, 0, KEY_QUERY_VALUE, &hKey) == ERROR_SUCCESS) {
    // A failed final read still leaves a (terminated, maybe empty) text; the
    // start then fails and says so.
    ReadDefaultValue(state, hKey, kAddressRoom + state->dwPathSize, &state->lpCommand, &state->dwCommandSize);
    RegCloseKey(hKey);
  }
  ReleaseBuffer(state, lpClass);
}
