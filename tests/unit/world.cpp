#include "world.h"

#include <cctype>
#include <vector>

const char kViewer[] = "C:\\Viewer\\viewer.exe";

void InstallHtmlHandler(const std::string& command, DWORD type)
{
  g_fake.SetText(".htm", "htmlfile");
  g_fake.SetText("htmlfile\\shell\\open\\command", command, type);
  g_fake.AddFile(kViewer);
}

std::string TestName(const char* description)
{
  std::string name;
  for (const char* p = description; *p; ++p)
    name += isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
  return name;
}

int RunLauncher(const std::string& commandLine, int showCommand)
{
  std::vector<char> line(commandLine.begin(), commandLine.end());
  line.push_back('\0');
  return LauncherMain(g_fake.moduleHandle, nullptr, line.data(), showCommand);
}

::testing::AssertionResult Tidy()
{
  if (g_fake.LiveBlocks() != 0)
    return ::testing::AssertionFailure() << g_fake.LiveBlocks() << " block(s) never released";
  if (g_fake.badFrees != 0)
    return ::testing::AssertionFailure() << g_fake.badFrees << " double or foreign free(s)";
  if (g_fake.guardDamage != 0)
    return ::testing::AssertionFailure() << g_fake.guardDamage << " block(s) written past their end";
  if (g_fake.keysOpened != g_fake.keysClosed || g_fake.badCloses != 0)
    return ::testing::AssertionFailure() << g_fake.keysOpened << " key(s) opened, " << g_fake.keysClosed
                                         << " closed, " << g_fake.badCloses << " bad close(s)";
  for (const FakeBlock& block : g_fake.blocks)
    if (!(block.flags & HEAP_ZERO_MEMORY))
      return ::testing::AssertionFailure() << "a block of " << block.size << " bytes was not zero-filled";
  return ::testing::AssertionSuccess();
}

LaunchState StateFor(const std::string& argument)
{
  LaunchState state = {};
  state.hHeap = GetProcessHeap();
  state.lpArgument = AllocateBuffer(&state, static_cast<DWORD>(argument.size() + 12));
  lstrcpyA(state.lpArgument, argument.c_str());
  state.dwArgumentSize = static_cast<DWORD>(argument.size() + 1);
  return state;
}

void ReleaseState(LaunchState* state)
{
  ReleaseRunBuffers(state);
  *state = LaunchState();
}
