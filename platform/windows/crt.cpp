// GCC emits calls to memset and memcpy for some initialisations and copies even
// in freestanding code; without a C runtime, the exe brings its own. This file
// is compiled with -fno-tree-loop-distribute-patterns so the loops are not
// turned back into calls to themselves.
#include <stddef.h>

extern "C" void* memset(void* dest, int value, size_t count)
{
  unsigned char* d = static_cast<unsigned char*>(dest);
  while (count--)
    *d++ = static_cast<unsigned char>(value);
  return dest;
}

extern "C" void* memcpy(void* dest, const void* src, size_t count)
{
  unsigned char* d = static_cast<unsigned char*>(dest);
  const unsigned char* s = static_cast<const unsigned char*>(src);
  while (count--)
    *d++ = *s++;
  return dest;
}
