// Writes the type Windows gives drives D: and E: ("D:\<TAB>5" for a CD-ROM
// drive, 2 for a removable one), as a program on the medium would ask it.
// Environment: QUENLO_E2E_OUT the report file.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

int main()
{
  const char* outPath = getenv("QUENLO_E2E_OUT");
  FILE* out = outPath ? fopen(outPath, "w") : NULL;
  if (out == NULL)
    return 2;
  const wchar_t* drives[] = {L"D:\\", L"E:\\"};
  for (const wchar_t* drive : drives)
    fprintf(out, "%c:\\\t%u\n", static_cast<char>(drive[0]), GetDriveTypeW(drive));
  fclose(out);
  return 0;
}
