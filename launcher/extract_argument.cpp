#include "launcher.h"

// One argument only: the rest of the line after the program name, verbatim, so a
// path with spaces needs no quotes and quotes that are given stay in the name.
DWORD ExtractArgument(LPCSTR lpCmdLine, LPSTR lpOut)
{
  LPCSTR p = lpCmdLine;
  lpOut[0] = '\0';
  if (p == NULL || *p == '\0')
    return 0;

  if (*p == '"') {
    do
      ++p;
    while (*p != '\0' && *p != '"');
    if (*p == '\0')
      return 0;
    ++p;  // no blank is needed after the closing quote
  } else {
    // The first byte is part of the name even when it is a blank; only a space
    // ends a plain name, a tab does not.
    do
      ++p;
    while (*p != '\0' && *p != ' ');
    if (*p == '\0')
      return 0;
    ++p;
  }

  while (*p == ' ' || *p == '\t')
    ++p;
  lstrcpyA(lpOut, p);
  return (DWORD)lstrlenA(lpOut);
}
