// The one record a run works on. LauncherMain owns it; the fallback routines fill
// its path and command slots, and LauncherMain releases every buffer at the end.
#ifndef QUENLO_LAUNCH_STATE_H
#define QUENLO_LAUNCH_STATE_H

#include "../platform/platform.h"

struct LaunchState {
  DWORD dwArgumentSize;  // argument length + 1, once the argument is known to exist
  DWORD dwCommandSize;   // bytes behind lpCommand
  HANDLE hHeap;          // every buffer below comes from here
  DWORD dwPathSize;      // bytes behind lpDocumentPath
  DWORD dwEncodedSize;   // bytes behind the encoded copy of the path
  LPSTR lpCommandLine;   // as the platform gave it; not owned
  HINSTANCE hInstance;
  LPSTR lpArgument;      // owned
  LPSTR lpCommand;       // owned; the registered command text, then the composed line
  LPSTR lpDocumentPath;  // owned, or lpArgument itself when no full path could be had
  LPSTR lpEncodedPath;   // owned only while it is being swapped into lpDocumentPath
};

// A zero-filled block from the run's heap, or null. The zero fill is what ends
// text that the registry writes without a terminator.
LPSTR AllocateBuffer(LaunchState* state, DWORD dwSize);
// Releases a block of the run's heap; null is allowed.
void ReleaseBuffer(LaunchState* state, LPSTR lpBuffer);
// Releases every buffer the state owns, each once, whatever course the run took.
void ReleaseRunBuffers(LaunchState* state);

#endif
