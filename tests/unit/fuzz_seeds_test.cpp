// Every seed and every fuzzer finding, replayed as an ordinary run: what the
// fuzzer once broke stays fixed.
#include "tests/fuzz/run_world.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace {

TEST(FuzzCorpus, EverySeedAndFindingKeepsTheInvariants)
{
  int replayed = 0;
  for (const char* folder : {"seeds/run", "findings/run"}) {
    std::filesystem::path dir = std::filesystem::path(QUENLO_FUZZ_DIR) / folder;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
      if (entry.path().filename().string()[0] == '.')
        continue;
      std::ifstream in(entry.path(), std::ios::binary);
      std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      EXPECT_EQ(RunWorld(DecodeWorld(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size())), "")
          << entry.path();
      ++replayed;
    }
  }
  FakeReset();
  EXPECT_GT(replayed, 20);
}

TEST(FuzzCorpus, WorldEncodingRoundTrips)
{
  WorldInput w;
  w.flags = kHtmPresent | kProcessStarts;
  w.shell = 31;
  w.commandLine = std::string("q.exe a\0b", 9);
  w.htmValue = "htmlfile";
  w.commandValue = std::string(300, 'x');
  std::string bytes = EncodeWorld(w);
  WorldInput back = DecodeWorld(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  EXPECT_EQ(back.flags, w.flags);
  EXPECT_EQ(back.commandLine, w.commandLine);
  EXPECT_EQ(back.htmValue, w.htmValue);
  EXPECT_EQ(back.commandValue, w.commandValue);
}

}  // namespace
