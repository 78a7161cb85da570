// What happens after the shell's "open" has failed: Quenlo starts the program
// registered for ".htm" itself, with the document substituted or appended.
#ifndef QUENLO_FALLBACK_H
#define QUENLO_FALLBACK_H

#include "../launcher/launch_state.h"

// Called once, after a failed shell open. Shows "Failed to launch specified
// file." when nothing could be started. Leaves every buffer in the state.
void RunFallback(LaunchState* state);

// Document path: the full path of lpArgument in lpDocumentPath/dwPathSize, or
// lpDocumentPath left null when the platform gives none.
void ResolveFullPath(LaunchState* state);
// Number of bytes in lpText equal to the first byte of lpChars.
DWORD CountChar(LPCSTR lpText, LPCSTR lpChars);
// A new buffer holding lpText (kept in a buffer of dwSize bytes) with every space
// written as %20, its size in dwEncodedSize; null for a text without spaces or
// when out of memory.
LPSTR EncodeSpaces(LaunchState* state, LPCSTR lpText, DWORD dwSize);
// Settles lpDocumentPath: encoded full path, else full path, else the argument.
void SettleDocumentPath(LaunchState* state);

// Reads the command registered for opening ".htm" files into lpCommand, in a
// buffer with room for the document path; lpCommand stays null without one.
void LookUpHtmlCommand(LaunchState* state);

// Leftmost occurrence of lpPattern in lpText, or null; empty texts find nothing.
LPCSTR FindText(LPCSTR lpText, LPCSTR lpPattern);
// Turns the command text in lpCommand into the command line for this document.
// FALSE only when a longer buffer was needed and could not be had.
BOOL ComposeCommand(LaunchState* state);

#endif
