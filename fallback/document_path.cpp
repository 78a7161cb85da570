#include "fallback.h"

void ResolveFullPath(LaunchState* state)
{
  CHAR probe[1];
  // A one-byte buffer is always too small, so the answer is the size needed.
  DWORD needed = GetFullPathNameA(state->lpArgument, sizeof(probe), probe, NULL);
  if (needed == 0 || needed + 1 < needed)
    return;

  state->dwPathSize = needed + 1;
  state->lpDocumentPath = AllocateBuffer(state, state->dwPathSize);
  if (state->lpDocumentPath == NULL) {
    state->dwPathSize = 0;
    return;
  }
  // Anything but a path that fits is no path: the argument serves instead.
  DWORD written = GetFullPathNameA(state->lpArgument, state->dwPathSize, state->lpDocumentPath, NULL);
  if (written == 0 || written >= state->dwPathSize) {
    ReleaseBuffer(state, state->lpDocumentPath);
    state->lpDocumentPath = NULL;
    state->dwPathSize = 0;
  }
}

DWORD CountChar(LPCSTR lpText, LPCSTR lpChars)
{
  DWORD count = 0;
  for (; *lpText != '\0'; ++lpText)
    if (*lpText == *lpChars)
      ++count;
  return count;
}

// Only the space is escaped: browsers accept backslashes and most punctuation in
// a file:/// address, and a path that already holds %xx must not change meaning
// twice over.
LPSTR EncodeSpaces(LaunchState* state, LPCSTR lpText, DWORD dwSize)
{
  DWORD spaces = CountChar(lpText, " ");
  if (spaces == 0)
    return NULL;

  state->dwEncodedSize = dwSize + 2 * spaces;
  LPSTR encoded = AllocateBuffer(state, state->dwEncodedSize);
  if (encoded == NULL)
    return NULL;

  LPSTR out = encoded;
  for (; *lpText != '\0'; ++lpText) {
    if (*lpText == ' ') {
      *out++ = '%';
      *out++ = '2';
      *out++ = '0';
    } else {
      *out++ = *lpText;
    }
  }
  *out = '\0';
  return encoded;
}

void SettleDocumentPath(LaunchState* state)
{
  ResolveFullPath(state);
  if (state->lpDocumentPath == NULL) {
    state->lpDocumentPath = state->lpArgument;  // borrowed, and left unencoded
    state->dwPathSize = state->dwArgumentSize;
    return;
  }
  state->lpEncodedPath = EncodeSpaces(state, state->lpDocumentPath, state->dwPathSize);
  if (state->lpEncodedPath != NULL) {
    ReleaseBuffer(state, state->lpDocumentPath);
    state->lpDocumentPath = state->lpEncodedPath;
    state->lpEncodedPath = NULL;
    state->dwPathSize = state->dwEncodedSize;
  }
}
