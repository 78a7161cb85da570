// One whole run of LauncherMain in a decoded fake world, and the invariants
// that must hold whatever the world was. Shared by the fuzz target and the
// unit test that replays the seeds and every finding.
#ifndef QUENLO_FUZZ_RUN_WORLD_H
#define QUENLO_FUZZ_RUN_WORLD_H

#include "fallback/fallback.h"
#include "launcher/launcher.h"
#include "platform/fake/fake_platform.h"
#include "world_input.h"

#include <string.h>

#include <string>
#include <vector>

inline bool EndsWith(const std::string& text, const std::string& tail)
{
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

inline std::string Encoded(const std::string& path)
{
  std::string out;
  for (char c : path)
    out += c == ' ' ? std::string("%20") : std::string(1, c);
  return out;
}

// Empty when every invariant held; otherwise what broke.
inline std::string RunWorld(const WorldInput& w)
{
  static const char* const kDirectories[] = {"E:\\", "E:\\docs", "C:\\a b\\c", "D:\\x\\y\\z"};
  FakeReset();
  g_fake.programsMustExist = false;
  g_fake.currentDirectory = kDirectories[w.cwd % 4];
  g_fake.shellResult = w.shell;
  g_fake.processResult = (w.flags & kProcessStarts) ? TRUE : FALSE;
  g_fake.failAllocation = w.failAllocation;
  g_fake.failFullPathCall = (w.flags & kFullPathFails) ? 1 : (w.flags & kSecondFullPathFails) ? 2 : 0;
  std::string className = w.htmValue.c_str();
  if (w.flags & kHtmPresent)
    g_fake.SetBytes(".htm", w.htmValue, w.htmType);
  if (w.flags & kCommandPresent)
    g_fake.SetBytes(className + "\\shell\\open\\command", w.commandValue, w.commandType);

  std::string line = w.commandLine.c_str();  // the platform hands over a C string
  std::vector<char> scratch(line.size() + 1);
  ExtractArgument(line.c_str(), scratch.data());
  std::string argument = scratch.data();
  std::string full = FakeFullPath(argument);
  if ((w.flags & kDocumentExists) && !full.empty())
    g_fake.AddFile(full, (w.flags & kDocumentIsDirectory) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL);

  // The command line in a block of its own exact size, so reading past it shows.
  std::vector<char> copy(line.begin(), line.end());
  copy.push_back('\0');
  char* heapLine = new char[copy.size()];
  memcpy(heapLine, copy.data(), copy.size());
  int status = LauncherMain(nullptr, nullptr, heapLine, SW_SHOWDEFAULT);
  delete[] heapLine;

  if (status != 0)
    return "status " + std::to_string(status);
  if (g_fake.messageBoxes.size() > 1)
    return std::to_string(g_fake.messageBoxes.size()) + " message boxes";
  if (g_fake.LiveBlocks() != 0)
    return std::to_string(g_fake.LiveBlocks()) + " blocks never released";
  if (g_fake.badFrees != 0)
    return "double or foreign free";
  if (g_fake.guardDamage != 0)
    return "write past a block";
  if (g_fake.keysOpened != g_fake.keysClosed || g_fake.badCloses != 0)
    return "registry keys not closed";
  if (g_fake.processCalls.size() > 1)
    return "more than one start";
  if (!g_fake.processCalls.empty()) {
    const std::string& started = g_fake.processCalls[0].commandLine;
    std::string text = w.commandValue.c_str();
    if (text.find("%1") != std::string::npos) {
      if (started.find(argument) == std::string::npos)
        return "started line lacks the argument: " + started;
    } else if (!EndsWith(started, "file:///" + Encoded(full)) && !EndsWith(started, "file:///" + full) &&
               !EndsWith(started, "file:///" + argument)) {
      return "started line lacks the document path: " + started;
    }
  }
  return "";
}

#endif
