#include "world.h"

#include "launcher/messages.h"

namespace {

class LauncherTest : public WorldTest {};

TEST_F(LauncherTest, AboutBoxWithoutDocument)
{
  for (const char* line : {"quenlo.exe", "quenlo.exe  \t \t", "\"E:\\my medium\\quenlo.exe\"", ""}) {
    SCOPED_TRACE(line);
    FakeReset();
    EXPECT_EQ(RunLauncher(line), 0);
    ASSERT_EQ(g_fake.messageBoxes.size(), 1u);
    const FakeMessageBox& box = g_fake.messageBoxes[0];
    EXPECT_EQ(box.caption, "About Quenlo");
    EXPECT_EQ(box.type, static_cast<UINT>(MB_OK | MB_ICONINFORMATION));
    EXPECT_EQ(box.owner, nullptr);
    EXPECT_NE(box.text.find("\nLaunch HTML document automatically on removable media.\n"), std::string::npos);
    EXPECT_EQ(g_fake.attributeQueries, 0);
    EXPECT_TRUE(g_fake.shellCalls.empty());
    EXPECT_TRUE(Tidy());
  }
}

TEST_F(LauncherTest, MissingDocumentIsReportedAndNotOpened)
{
  g_fake.AddFile("E:\\docs\\index.htm");
  for (const char* line : {"quenlo.exe docs\\nothing.htm", "quenlo.exe \"docs\\index.htm\"", "quenlo.exe F:\\index.htm",
                           "quenlo.exe docs\\index.htm "}) {
    SCOPED_TRACE(line);
    FakeReset();
    g_fake.AddFile("E:\\docs\\index.htm");
    EXPECT_EQ(RunLauncher(line), 0);
    ASSERT_EQ(g_fake.messageBoxes.size(), 1u);
    EXPECT_EQ(g_fake.messageBoxes[0].text, "The specified file does not exist.");
    EXPECT_EQ(g_fake.messageBoxes[0].caption, "Quenlo");
    EXPECT_EQ(g_fake.messageBoxes[0].type, static_cast<UINT>(MB_OK | MB_ICONEXCLAMATION));
    EXPECT_TRUE(g_fake.shellCalls.empty());
    EXPECT_TRUE(g_fake.processCalls.empty());
    EXPECT_TRUE(Tidy());
  }
}

struct OpenCase {
  const char* what;
  const char* line;
  const char* file;  // what the shell is asked to open
};

TEST_F(LauncherTest, ExistingDocumentGoesToTheShellAsGiven)
{
  const OpenCase cases[] = {
      {"relative name", "quenlo.exe docs\\index.htm", "docs\\index.htm"},
      {"absolute name", "\"E:\\quenlo.exe\" E:\\docs\\index.htm", "E:\\docs\\index.htm"},
      {"name with spaces", "quenlo.exe docs\\page one.htm", "docs\\page one.htm"},
      {"directory", "quenlo.exe docs", "docs"},
      {"forward slashes", "quenlo.exe docs/index.htm", "docs/index.htm"},
  };
  for (const OpenCase& c : cases) {
    SCOPED_TRACE(c.what);
    FakeReset();
    g_fake.AddDirectory("E:\\docs");
    g_fake.AddFile("E:\\docs\\index.htm");
    g_fake.AddFile("E:\\docs\\page one.htm");
    InstallHtmlHandler("C:\\Viewer\\viewer.exe \"%1\"");
    EXPECT_EQ(RunLauncher(c.line), 0);
    ASSERT_EQ(g_fake.shellCalls.size(), 1u);
    const FakeShellCall& call = g_fake.shellCalls[0];
    EXPECT_EQ(call.owner, nullptr);
    EXPECT_EQ(call.verb, "open");
    EXPECT_EQ(call.file, c.file);
    EXPECT_FALSE(call.hasParameters);
    EXPECT_FALSE(call.hasDirectory);
    // Success: nothing to say, and the fallback stays out of it.
    EXPECT_TRUE(g_fake.messageBoxes.empty());
    EXPECT_TRUE(g_fake.processCalls.empty());
    EXPECT_EQ(g_fake.keysOpened, 0);
    EXPECT_TRUE(Tidy());
  }
}

TEST_F(LauncherTest, ShowCommandReachesTheShellUnchanged)
{
  for (int show : {SW_SHOWDEFAULT, SW_SHOWNORMAL, 0, 3, 7}) {
    FakeReset();
    g_fake.AddFile("E:\\index.htm");
    EXPECT_EQ(RunLauncher("quenlo.exe index.htm", show), 0);
    ASSERT_EQ(g_fake.shellCalls.size(), 1u);
    EXPECT_EQ(g_fake.shellCalls[0].showCommand, show);
  }
}

// Results up to 32 are errors; the comparison is unsigned, as the shell's
// result is really a number dressed as a handle.
TEST_F(LauncherTest, ShellResultsAbove32AreSuccess)
{
  const struct {
    INT_PTR result;
    bool fallback;
  } cases[] = {{0, true}, {2, true}, {31, true}, {32, true}, {33, false}, {42, false}, {-1, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.result);
    FakeReset();
    g_fake.AddFile("E:\\index.htm");
    InstallHtmlHandler("C:\\Viewer\\viewer.exe \"%1\"");
    g_fake.shellResult = c.result;
    EXPECT_EQ(RunLauncher("quenlo.exe index.htm"), 0);
    EXPECT_EQ(g_fake.processCalls.size(), c.fallback ? 1u : 0u);
    EXPECT_TRUE(g_fake.messageBoxes.empty());
    EXPECT_TRUE(Tidy());
  }
}

TEST_F(LauncherTest, ArgumentBufferIsTheCommandLineSizePlusOne)
{
  g_fake.AddFile("E:\\index.htm");
  std::string line = "quenlo.exe    index.htm";
  RunLauncher(line);
  ASSERT_FALSE(g_fake.blocks.empty());
  EXPECT_EQ(g_fake.blocks[0].size, line.size() + 1);
}

TEST_F(LauncherTest, NoMemoryForTheArgumentEndsSilently)
{
  g_fake.AddFile("E:\\index.htm");
  g_fake.failAllocation = 1;
  EXPECT_EQ(RunLauncher("quenlo.exe index.htm"), 0);
  EXPECT_TRUE(g_fake.messageBoxes.empty());
  EXPECT_TRUE(g_fake.shellCalls.empty());
  EXPECT_EQ(g_fake.attributeQueries, 0);
  EXPECT_TRUE(Tidy());
}

}  // namespace
