// Decodes a fuzzer input into a fake world for one run of LauncherMain.
//
// Layout: 8 bytes of settings, then three length-prefixed byte strings (16-bit
// little-endian length, cut to what is left): the command line, the ".htm"
// value and the command value. Both values are stored exactly as given: with
// or without terminator, with NULs inside, of any type.
//
//   0 flags: 1 .htm value present, 2 command value present, 4 document exists,
//            8 as a directory, 16 process starts, 32 full path fails,
//            64 second full-path call fails
//   1 shell result   2 allocation that fails (0: none)   3 .htm value type
//   4 command value type   5 current directory (index)   6, 7 reserved
#ifndef QUENLO_FUZZ_WORLD_INPUT_H
#define QUENLO_FUZZ_WORLD_INPUT_H

#include <stddef.h>
#include <stdint.h>

#include <string>

struct WorldInput {
  uint8_t flags = 0, shell = 0, failAllocation = 0, htmType = 0, commandType = 0, cwd = 0;
  std::string commandLine, htmValue, commandValue;
};

enum : uint8_t {
  kHtmPresent = 1,
  kCommandPresent = 2,
  kDocumentExists = 4,
  kDocumentIsDirectory = 8,
  kProcessStarts = 16,
  kFullPathFails = 32,
  kSecondFullPathFails = 64,
};

inline WorldInput DecodeWorld(const uint8_t* data, size_t size)
{
  WorldInput w;
  uint8_t header[8] = {};
  for (size_t i = 0; i < 8 && i < size; ++i)
    header[i] = data[i];
  w.flags = header[0], w.shell = header[1], w.failAllocation = header[2];
  w.htmType = header[3], w.commandType = header[4], w.cwd = header[5];
  size_t at = size < 8 ? size : 8;
  std::string* fields[] = {&w.commandLine, &w.htmValue, &w.commandValue};
  for (std::string* field : fields) {
    if (size - at < 2)
      break;
    size_t length = data[at] | (data[at + 1] << 8);
    at += 2;
    if (length > size - at)
      length = size - at;
    field->assign(reinterpret_cast<const char*>(data + at), length);
    at += length;
  }
  return w;
}

inline std::string EncodeWorld(const WorldInput& w)
{
  std::string out;
  for (uint8_t b : {w.flags, w.shell, w.failAllocation, w.htmType, w.commandType, w.cwd, uint8_t(0), uint8_t(0)})
    out += static_cast<char>(b);
  for (const std::string* field : {&w.commandLine, &w.htmValue, &w.commandValue}) {
    out += static_cast<char>(field->size() & 0xFF);
    out += static_cast<char>(field->size() >> 8);
    out += *field;
  }
  return out;
}

#endif
