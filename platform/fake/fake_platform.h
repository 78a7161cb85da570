// The fake platform behind host builds: an in-memory world that tests set up
// before a run and inspect after it. Every platform call of the launcher lands
// here instead of in Windows.
#ifndef QUENLO_FAKE_PLATFORM_H
#define QUENLO_FAKE_PLATFORM_H

#include "win_api.h"

#include <functional>
#include <map>
#include <string>
#include <vector>

struct FakeShellCall {
  HWND owner;
  std::string verb, file;
  bool hasParameters, hasDirectory;
  int showCommand;
};

struct FakeProcessCall {
  bool hasApplicationName;
  std::string commandLine;
  bool hasProcessAttributes, hasThreadAttributes;
  BOOL inheritHandles;
  DWORD creationFlags;
  bool hasEnvironment, hasCurrentDirectory;
  bool launcherStartupInfo;  // the record GetStartupInfoA filled, unchanged
  bool hasProcessInformation;
};

struct FakeMessageBox {
  HWND owner;
  std::string text, caption;
  UINT type;
};

struct FakeBlock {
  void* address;
  size_t size;
  DWORD flags;
  bool released;
};

struct FakeKey {
  bool hasValue = false;
  std::string data;  // raw bytes: a terminator is there only when a test puts it there
  DWORD type = REG_SZ;
};

struct FakeQuery {
  std::string key;
  bool defaultValue;   // no value name was passed
  DWORD offeredSize;   // *lpcbData on the way in
  LONG result;
};

struct FakeWorld {
  // What a run sees.
  HINSTANCE moduleHandle = nullptr;
  std::string currentDirectory = "E:\\";
  std::map<std::string, DWORD> files;  // full path, upper case -> attributes
  std::map<std::string, FakeKey> classesRoot;  // key name, upper case
  INT_PTR shellResult = 42;
  BOOL processResult = TRUE;
  bool programsMustExist = true;  // a started line's program must be on the fake disk
  int failAllocation = 0;     // the n-th allocation (from 1) fails; 0: none does
  int failFullPathCall = 0;   // the n-th GetFullPathNameA call (from 1) returns 0
  // Runs before every RegQueryValueExA, with the key and the query's index
  // (from 0): lets a test change a value between the probe and the read.
  std::function<void(const std::string& key, int query)> beforeQuery;

  // What a run did.
  std::vector<FakeBlock> blocks;
  int badFrees = 0;         // double frees, foreign blocks, wrong heap
  int guardDamage = 0;      // writes past the end of a block
  int allocationCalls = 0;
  int fullPathCalls = 0;
  int attributeQueries = 0;
  int keysOpened = 0, keysClosed = 0, badCloses = 0;
  std::vector<std::string> openedKeys;
  std::vector<REGSAM> requestedAccess;
  std::vector<FakeQuery> queries;
  std::vector<FakeShellCall> shellCalls;
  std::vector<FakeProcessCall> processCalls;
  std::vector<FakeMessageBox> messageBoxes;

  void AddFile(const std::string& fullPath, DWORD attributes = FILE_ATTRIBUTE_NORMAL);
  void AddDirectory(const std::string& fullPath) { AddFile(fullPath, FILE_ATTRIBUTE_DIRECTORY); }
  void AddKey(const std::string& name);  // a key without a default value
  // A default value stored as text with its terminator.
  void SetText(const std::string& name, const std::string& text, DWORD type = REG_SZ);
  // A default value stored exactly as these bytes.
  void SetBytes(const std::string& name, const std::string& bytes, DWORD type = REG_SZ);

  void ClearValue(const std::string& name);  // the key stays, its default value goes

  int LiveBlocks() const;
  bool Released(const void* block) const;
  const FakeBlock* Block(const void* address) const;  // the last block at that address
};

extern FakeWorld g_fake;

// Releases whatever the last run left and starts an empty world.
void FakeReset();
// Full path resolution as the fake does it; empty when it cannot resolve.
std::string FakeFullPath(const std::string& name);

#endif
