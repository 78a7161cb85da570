// A stand-in for a browser: registered as a handler, it leaves one record per
// start in the folder named by QUENLO_RECORD_DIR: the command line it received
// and its current directory. QUENLO_RECORD_SLEEP (milliseconds) delays it.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

int main()
{
  const char* sleep = getenv("QUENLO_RECORD_SLEEP");
  if (sleep != NULL)
    Sleep(static_cast<DWORD>(atoi(sleep)));
  const char* folder = getenv("QUENLO_RECORD_DIR");
  if (folder == NULL)
    return 2;

  char directory[MAX_PATH * 4];
  GetCurrentDirectoryA(sizeof(directory), directory);
  // Written aside and renamed, so a reader never sees half a record.
  char partial[MAX_PATH * 4], record[MAX_PATH * 4];
  snprintf(partial, sizeof(partial), "%s\\%lu.part", folder, GetCurrentProcessId());
  snprintf(record, sizeof(record), "%s\\%lu.rec", folder, GetCurrentProcessId());
  FILE* out = fopen(partial, "wb");
  if (out == NULL)
    return 3;
  fprintf(out, "%s\n%s\n", GetCommandLineA(), directory);
  fclose(out);
  return MoveFileExA(partial, record, MOVEFILE_REPLACE_EXISTING) ? 0 : 4;
}
