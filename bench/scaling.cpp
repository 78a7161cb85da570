// Cost of one whole LauncherMain run on the fake platform against the length
// of the argument, for the shell course and the fallback course.
#include "launcher/launcher.h"
#include "platform/fake/fake_platform.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// A relative document name of `length` bytes with a space every 16 bytes, so
// the fallback encodes, looks up and composes at full length.
std::string Argument(size_t length)
{
  std::string name;
  while (name.size() + 4 < length)
    name += (name.size() % 16 == 15) ? ' ' : 'a';
  return name + ".htm";
}

void SetUpWorld(const std::string& argument, bool fallback)
{
  FakeReset();
  g_fake.AddFile(FakeFullPath(argument));
  g_fake.shellResult = fallback ? 31 : 42;
  g_fake.programsMustExist = false;
  g_fake.SetText(".htm", "htmlfile");
  g_fake.SetText("htmlfile\\shell\\open\\command", "\"C:\\Program Files\\Viewer\\viewer.exe\" -nohome");
}

void Run(benchmark::State& state, bool fallback)
{
  std::string argument = Argument(static_cast<size_t>(state.range(0)));
  std::string line = "quenlo.exe " + argument;
  std::vector<char> buffer(line.begin(), line.end());
  buffer.push_back('\0');
  for (auto _ : state) {
    state.PauseTiming();
    SetUpWorld(argument, fallback);
    state.ResumeTiming();
    benchmark::DoNotOptimize(LauncherMain(nullptr, nullptr, buffer.data(), SW_SHOWDEFAULT));
  }
  state.SetComplexityN(state.range(0));
}

void BM_ShellCourse(benchmark::State& state) { Run(state, false); }
void BM_FallbackCourse(benchmark::State& state) { Run(state, true); }

BENCHMARK(BM_ShellCourse)->RangeMultiplier(2)->Range(16, 32767)->Complexity();
BENCHMARK(BM_FallbackCourse)->RangeMultiplier(2)->Range(16, 32767)->Complexity();

}  // namespace

// "one-run LENGTH shell|fallback": a single run, for instruction counts.
int main(int argc, char** argv)
{
  if (argc == 4 && strcmp(argv[1], "one-run") == 0) {
    std::string argument = Argument(static_cast<size_t>(atoi(argv[2])));
    std::string line = "quenlo.exe " + argument;
    SetUpWorld(argument, strcmp(argv[3], "fallback") == 0);
    std::vector<char> buffer(line.begin(), line.end());
    buffer.push_back('\0');
    return LauncherMain(nullptr, nullptr, buffer.data(), SW_SHOWDEFAULT);
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
