// The argument rule on arbitrary bytes: the result is a tail of the command
// line, no longer than it, terminated, and its length is what is returned.
#include "launcher/launcher.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
  std::string line(reinterpret_cast<const char*>(data), size);
  line = line.c_str();  // the platform hands over a C string
  // Exactly the size LauncherMain allocates, so any overrun is caught.
  char* out = static_cast<char*>(malloc(line.size() + 1));
  DWORD length = ExtractArgument(line.c_str(), out);
  size_t written = strnlen(out, line.size() + 1);
  if (written > line.size() || written != length)
    abort();
  if (line.compare(line.size() - written, written, out) != 0)
    abort();
  free(out);
  return 0;
}
