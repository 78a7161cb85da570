// Reads an exe's version record back through the version API, as Explorer's
// properties page does, and writes it as "name<TAB>value" lines.
// Environment: QUENLO_E2E_FILE the exe, QUENLO_E2E_OUT the report file.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

int main()
{
  const char* file = getenv("QUENLO_E2E_FILE");
  const char* outPath = getenv("QUENLO_E2E_OUT");
  if (file == NULL || outPath == NULL)
    return 2;
  FILE* out = fopen(outPath, "w");
  if (out == NULL)
    return 3;
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeA(file, &ignored);
  void* data = size ? malloc(size) : NULL;
  if (data == NULL || !GetFileVersionInfoA(file, 0, size, data)) {
    fprintf(out, "error\t%lu\n", GetLastError());
    fclose(out);
    return 1;
  }

  VS_FIXEDFILEINFO* fixed = NULL;
  UINT length = 0;
  if (VerQueryValueA(data, "\\", reinterpret_cast<void**>(&fixed), &length) && fixed != NULL) {
    fprintf(out, "FixedFileVersion\t%lu.%lu.%lu.%lu\n", fixed->dwFileVersionMS >> 16, fixed->dwFileVersionMS & 0xFFFF,
            fixed->dwFileVersionLS >> 16, fixed->dwFileVersionLS & 0xFFFF);
    fprintf(out, "FixedProductVersion\t%lu.%lu.%lu.%lu\n", fixed->dwProductVersionMS >> 16,
            fixed->dwProductVersionMS & 0xFFFF, fixed->dwProductVersionLS >> 16, fixed->dwProductVersionLS & 0xFFFF);
    fprintf(out, "FileOS\t0x%lx\nFileType\t%lu\nFileFlags\t0x%lx\n", fixed->dwFileOS, fixed->dwFileType,
            fixed->dwFileFlags & fixed->dwFileFlagsMask);
  }
  WORD* translation = NULL;
  if (VerQueryValueA(data, "\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation), &length))
    for (UINT i = 0; i + 1 < length / sizeof(WORD); i += 2)
      fprintf(out, "Translation\t0x%04x 0x%04x\n", translation[i], translation[i + 1]);

  const char* keys[] = {"Comments", "CompanyName", "FileDescription", "FileVersion", "InternalName",
                        "LegalCopyright", "OriginalFilename", "ProductName", "ProductVersion"};
  for (const char* key : keys) {
    char query[128];
    snprintf(query, sizeof(query), "\\StringFileInfo\\040904e4\\%s", key);
    char* value = NULL;
    if (VerQueryValueA(data, query, reinterpret_cast<void**>(&value), &length) && value != NULL)
      fprintf(out, "%s\t%s\n", key, value);
  }
  fclose(out);
  return 0;
}
