// A whole run of LauncherMain on a fake world decoded from the input.
#include "run_world.h"

#include <stdio.h>
#include <stdlib.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
  std::string broken = RunWorld(DecodeWorld(data, size));
  if (!broken.empty()) {
    fprintf(stderr, "invariant broken: %s\n", broken.c_str());
    abort();
  }
  return 0;
}
