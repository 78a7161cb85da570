// Shared set-up for the unit tests: a fake world with a document, an ".htm"
// handler and a failing shell, and the checks every run must pass.
#ifndef QUENLO_TESTS_WORLD_H
#define QUENLO_TESTS_WORLD_H

#include "launcher/launcher.h"
#include "platform/fake/fake_platform.h"

#include <gtest/gtest.h>

#include <string>

// The handler program the fake's registry names by default.
extern const char kViewer[];

// An empty world: current directory E:\, nothing on disk, empty registry.
class WorldTest : public ::testing::Test {
protected:
  void SetUp() override { FakeReset(); }
  void TearDown() override { FakeReset(); }
};

// Registers `command` as the ".htm" open command through class "htmlfile" and
// puts the viewer program on disk.
void InstallHtmlHandler(const std::string& command, DWORD type = REG_SZ);

// A test name from a case's description: letters and digits kept, the rest '_'.
std::string TestName(const char* description);

// Runs LauncherMain on a copy of the command line, as the entry would.
int RunLauncher(const std::string& commandLine, int showCommand = SW_SHOWDEFAULT);

// Every block released exactly once, nothing foreign freed, nothing written
// past a block, every registry key closed.
::testing::AssertionResult Tidy();

// A state as LauncherMain leaves it before the fallback: the argument in its
// own zero-filled buffer of the command line's size.
LaunchState StateFor(const std::string& argument);
// Releases what a directly driven routine left in the state.
void ReleaseState(LaunchState* state);

#endif
