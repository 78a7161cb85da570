// Reads autorun.inf files with Windows' own profile reader: for each path in
// the list file QUENLO_E2E_LIST (one per line), the [autorun] section's open
// and label as GetPrivateProfileStringA gives them, written to QUENLO_E2E_OUT
// as "open<TAB>label" in hex, one line a file.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static void PutHex(FILE* out, const char* text)
{
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p)
    fprintf(out, "%02x", *p);
}

int main()
{
  const char* listPath = getenv("QUENLO_E2E_LIST");
  const char* outPath = getenv("QUENLO_E2E_OUT");
  if (listPath == NULL || outPath == NULL)
    return 2;
  FILE* list = fopen(listPath, "r");
  FILE* out = fopen(outPath, "w");
  if (list == NULL || out == NULL)
    return 3;
  char path[MAX_PATH + 2];
  static char value[8192];
  while (fgets(path, sizeof(path), list)) {
    path[strcspn(path, "\r\n")] = 0;
    const char* keys[] = {"open", "label"};
    for (int i = 0; i < 2; ++i) {
      GetPrivateProfileStringA("autorun", keys[i], "", value, sizeof(value), path);
      PutHex(out, value);
      fputc(i == 0 ? '\t' : '\n', out);
    }
  }
  fclose(out);
  fclose(list);
  return 0;
}
