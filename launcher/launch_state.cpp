#include "launch_state.h"

LPSTR AllocateBuffer(LaunchState* state, DWORD dwSize)
{
  return (LPSTR)HeapAlloc(state->hHeap, HEAP_ZERO_MEMORY, dwSize);
}

void ReleaseBuffer(LaunchState* state, LPSTR lpBuffer)
{
  if (lpBuffer != NULL)
    HeapFree(state->hHeap, 0, lpBuffer);
}

void ReleaseRunBuffers(LaunchState* state)
{
  ReleaseBuffer(state, state->lpCommand);
  ReleaseBuffer(state, state->lpEncodedPath);
  if (state->lpDocumentPath != state->lpArgument)  // borrowed, not owned
    ReleaseBuffer(state, state->lpDocumentPath);
  ReleaseBuffer(state, state->lpArgument);
}
