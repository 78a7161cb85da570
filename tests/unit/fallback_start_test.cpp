#include "world.h"

#include "fallback/fallback.h"

#include <cstring>
#include <string>

namespace {

TEST(FindText, FindsTheLeftmostWholeMatch)
{
  const struct {
    const char* text;
    const char* pattern;
    int at;  // -1: none
  } cases[] = {
      {"", "a", -1},      {"abc", "", -1},        {"", "", -1},          {"ab\"%1\"", "\"%1\"", 2},
      {"aXbX", "X", 1},   {"aaab", "aab", 1},     {"ab", "abc", -1},     {"%1 \"%1\"", "\"%1\"", 3},
      {"%L", "%1", -1},   {"x%%1", "%1", 2},      {"AB", "ab", -1},
  };
  for (const auto& c : cases) {
    LPCSTR found = FindText(c.text, c.pattern);
    EXPECT_EQ(found ? static_cast<int>(found - c.text) : -1, c.at) << '"' << c.text << "\" / \"" << c.pattern << '"';
  }
}

struct ComposeCase {
  const char* what;
  const char* commandText;
  bool fullPath;  // false: no full path was to be had
  const char* commandLine;
};

void PrintTo(const ComposeCase& c, std::ostream* os) { *os << c.what; }


// The document as the fallback sees it: argument and settled path.
const char kArgument[] = "docs\\page one.htm";
const char kPath[] = "E:\\docs\\page%20one.htm";

const ComposeCase kComposeCases[] = {
    {"quoted placeholder keeps its quotes, drops the rest", "C:\\Viewer\\viewer.exe \"%1\" /new", true,
     "C:\\Viewer\\viewer.exe  \"docs\\page one.htm\""},
    {"bare placeholder", "C:\\Viewer\\viewer.exe %1", true, "C:\\Viewer\\viewer.exe  docs\\page one.htm"},
    {"bare placeholder with trailing option", "viewer.exe %1 -new", true, "viewer.exe  docs\\page one.htm"},
    {"no placeholder: address form", "C:\\Viewer\\viewer.exe /open", true,
     "C:\\Viewer\\viewer.exe /open file:///E:\\docs\\page%20one.htm"},
    {"quoted placeholder wins over an earlier bare one", "viewer.exe %1 \"%1\"", true,
     "viewer.exe %1  \"docs\\page one.htm\""},
    {"unknown code", "viewer.exe %L", true, "viewer.exe %L file:///E:\\docs\\page%20one.htm"},
    {"asterisk code", "viewer.exe %*", true, "viewer.exe %* file:///E:\\docs\\page%20one.htm"},
    {"empty command text", "", true, " file:///E:\\docs\\page%20one.htm"},
    {"placeholder alone", "\"%1\"", true, " \"docs\\page one.htm\""},
    {"address form without a full path", "C:\\Viewer\\viewer.exe /open", false,
     "C:\\Viewer\\viewer.exe /open file:///docs\\page one.htm"},
    {"placeholder form without a full path", "viewer.exe \"%1\"", false, "viewer.exe  \"docs\\page one.htm\""},
    {"quoted program, quoted placeholder", "\"C:\\Program Files\\B\\b.exe\" -osint -url \"%1\"", true,
     "\"C:\\Program Files\\B\\b.exe\" -osint -url  \"docs\\page one.htm\""},
};

class ComposeTest : public WorldTest, public ::testing::WithParamInterface<ComposeCase> {};

TEST_P(ComposeTest, ComposesTheCommandLine)
{
  const ComposeCase& c = GetParam();
  LaunchState state = StateFor(kArgument);
  if (c.fullPath) {
    state.lpDocumentPath = AllocateBuffer(&state, sizeof(kPath));
    lstrcpyA(state.lpDocumentPath, kPath);
    state.dwPathSize = sizeof(kPath);
  } else {
    state.lpDocumentPath = state.lpArgument;
    state.dwPathSize = state.dwArgumentSize;
  }
  // Sized as the lookup sizes it.
  state.dwCommandSize = static_cast<DWORD>(strlen(c.commandText) + 1 + 10 + state.dwPathSize);
  state.lpCommand = AllocateBuffer(&state, state.dwCommandSize);
  lstrcpyA(state.lpCommand, c.commandText);

  ASSERT_TRUE(ComposeCommand(&state));
  EXPECT_STREQ(state.lpCommand, c.commandLine);
  EXPECT_LT(strlen(state.lpCommand), state.dwCommandSize);
  ReleaseState(&state);
  EXPECT_TRUE(Tidy());
}

INSTANTIATE_TEST_SUITE_P(Table, ComposeTest, ::testing::ValuesIn(kComposeCases),
                         [](const auto& info) { return TestName(info.param.what); });

// Whole runs through LauncherMain with a shell that fails.
class FallbackRunTest : public WorldTest {
protected:
  void SetUp() override
  {
    WorldTest::SetUp();
    g_fake.shellResult = 31;  // no association for the document's own type
    g_fake.AddFile("E:\\docs\\page one.htm");
    g_fake.AddFile("E:\\docs\\report.pdf");
  }
  const FakeMessageBox* OnlyBox() const { return g_fake.messageBoxes.size() == 1 ? &g_fake.messageBoxes[0] : nullptr; }
};

TEST_F(FallbackRunTest, StartsTheHtmlHandlerWithTheComposedLine)
{
  InstallHtmlHandler("C:\\Viewer\\viewer.exe /open");
  EXPECT_EQ(RunLauncher("quenlo.exe docs\\page one.htm"), 0);
  ASSERT_EQ(g_fake.processCalls.size(), 1u);
  const FakeProcessCall& call = g_fake.processCalls[0];
  EXPECT_EQ(call.commandLine, "C:\\Viewer\\viewer.exe /open file:///E:\\docs\\page%20one.htm");
  EXPECT_FALSE(call.hasApplicationName);
  EXPECT_FALSE(call.hasProcessAttributes);
  EXPECT_FALSE(call.hasThreadAttributes);
  EXPECT_EQ(call.inheritHandles, FALSE);
  EXPECT_EQ(call.creationFlags, static_cast<DWORD>(NORMAL_PRIORITY_CLASS));
  EXPECT_FALSE(call.hasEnvironment);
  EXPECT_FALSE(call.hasCurrentDirectory);
  EXPECT_TRUE(call.launcherStartupInfo);
  EXPECT_TRUE(call.hasProcessInformation);
  EXPECT_TRUE(g_fake.messageBoxes.empty());
  EXPECT_TRUE(Tidy());
}

TEST_F(FallbackRunTest, AnyDocumentTypeGetsTheHtmlHandler)
{
  InstallHtmlHandler("C:\\Viewer\\viewer.exe \"%1\"");
  EXPECT_EQ(RunLauncher("quenlo.exe docs\\report.pdf"), 0);
  ASSERT_EQ(g_fake.processCalls.size(), 1u);
  EXPECT_EQ(g_fake.processCalls[0].commandLine, "C:\\Viewer\\viewer.exe  \"docs\\report.pdf\"");
  EXPECT_TRUE(Tidy());
}

TEST_F(FallbackRunTest, FailedStartsAreReportedOnce)
{
  const struct {
    const char* what;
    void (*arrange)();
  } cases[] = {
      {"process creation fails",
       [] {
         InstallHtmlHandler("C:\\Viewer\\viewer.exe %1");
         g_fake.processResult = FALSE;
       }},
      {"handler program missing", [] { g_fake.SetText(".htm", "htmlfile"), g_fake.SetText("htmlfile\\shell\\open\\command", "C:\\Gone\\gone.exe %1"); }},
      {"no .htm association", [] { g_fake.AddFile(kViewer); }},
      {"class without open command", [] { g_fake.SetText(".htm", "htmlfile"), g_fake.AddKey("htmlfile\\shell"); }},
      {"empty command text", [] { InstallHtmlHandler(std::string(1, '\0')); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakeReset();
    SetUp();
    c.arrange();
    EXPECT_EQ(RunLauncher("quenlo.exe docs\\page one.htm"), 0);
    const FakeMessageBox* box = OnlyBox();
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->text, "Failed to launch specified file.");
    EXPECT_EQ(box->caption, "Quenlo");
    EXPECT_EQ(box->type, static_cast<UINT>(MB_OK | MB_ICONEXCLAMATION));
    EXPECT_TRUE(Tidy());
  }
}

// Forty "x\.." steps in front of docs\page one.htm: far longer than its full path.
std::string LongRelativeArgument()
{
  std::string argument;
  for (int i = 0; i < 40; ++i)
    argument += "x\\..\\";
  return argument + "docs\\page one.htm";
}

// An argument much longer than its full path still reaches the handler whole:
// the command buffer grows instead of being overrun or cut.
TEST_F(FallbackRunTest, LongRelativeArgumentIsNeverCut)
{
  std::string argument = LongRelativeArgument();
  for (const char* command : {"v.exe %1", "v.exe \"%1\""}) {
    SCOPED_TRACE(command);
    FakeReset();
    SetUp();
    InstallHtmlHandler(command);
    g_fake.AddFile("E:\\v.exe");
    EXPECT_EQ(RunLauncher("quenlo.exe " + argument), 0);
    ASSERT_EQ(g_fake.processCalls.size(), 1u);
    const std::string& line = g_fake.processCalls[0].commandLine;
    bool quoted = strchr(command, '"') != nullptr;
    EXPECT_EQ(line, "v.exe  " + (quoted ? "\"" + argument + "\"" : argument));
    EXPECT_TRUE(g_fake.messageBoxes.empty());
    EXPECT_TRUE(Tidy());
  }
}

TEST_F(FallbackRunTest, NoMemoryToGrowTheCommandIsAFailedStart)
{
  std::string argument = LongRelativeArgument();
  InstallHtmlHandler("C:\\Viewer\\viewer.exe %1");
  // argument, path, encoded path, class, command: the sixth is the bigger one.
  g_fake.failAllocation = 6;
  EXPECT_EQ(RunLauncher("quenlo.exe " + argument), 0);
  EXPECT_TRUE(g_fake.processCalls.empty());
  ASSERT_NE(OnlyBox(), nullptr);
  EXPECT_EQ(OnlyBox()->text, "Failed to launch specified file.");
  EXPECT_TRUE(Tidy());
}

// Every course of a run, with each of its allocations failing in turn: the
// run still ends with status 0, at most one box, everything released once,
// every key closed, and a started line that carries the whole document.
TEST_F(FallbackRunTest, EveryAllocationMayFail)
{
  const struct {
    const char* what;
    const char* line;
    const char* command;  // null: no ".htm" handler
    INT_PTR shell;
  } courses[] = {
      {"about", "quenlo.exe", nullptr, 42},
      {"missing", "quenlo.exe nothing.htm", nullptr, 42},
      {"shell opens", "quenlo.exe docs\\page one.htm", nullptr, 42},
      {"quoted placeholder", "quenlo.exe docs\\page one.htm", "C:\\Viewer\\viewer.exe \"%1\" /new", 31},
      {"bare placeholder", "quenlo.exe docs\\page one.htm", "C:\\Viewer\\viewer.exe %1", 31},
      {"address form", "quenlo.exe docs\\page one.htm", "C:\\Viewer\\viewer.exe -nohome", 31},
      {"long relative argument", "quenlo.exe a\\..\\b\\..\\c\\..\\d\\..\\docs\\page one.htm", "C:\\Viewer\\viewer.exe %1", 31},
      {"no handler", "quenlo.exe docs\\page one.htm", nullptr, 31},
  };
  for (const auto& course : courses) {
    FakeReset();
    SetUp();
    if (course.command)
      InstallHtmlHandler(course.command);
    g_fake.shellResult = course.shell;
    RunLauncher(course.line);
    int allocations = g_fake.allocationCalls;
    ASSERT_GT(allocations, 0) << course.what;
    for (int k = 1; k <= allocations; ++k) {
      SCOPED_TRACE(std::string(course.what) + ", allocation " + std::to_string(k) + " fails");
      FakeReset();
      SetUp();
      if (course.command)
        InstallHtmlHandler(course.command);
      g_fake.shellResult = course.shell;
      g_fake.failAllocation = k;
      EXPECT_EQ(RunLauncher(course.line), 0);
      EXPECT_LE(g_fake.messageBoxes.size(), 1u);
      EXPECT_TRUE(Tidy());
      for (const FakeProcessCall& call : g_fake.processCalls) {
        bool whole = call.commandLine.find("docs\\page one.htm") != std::string::npos ||
                     call.commandLine.find("E:\\docs\\page%20one.htm") != std::string::npos ||
                     call.commandLine.find("E:\\docs\\page one.htm") != std::string::npos;
        EXPECT_TRUE(whole) << call.commandLine;
      }
      if (k == 1)
        EXPECT_TRUE(g_fake.messageBoxes.empty());
    }
  }
}

}  // namespace
