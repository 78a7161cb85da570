#include "world.h"

#include "fallback/fallback.h"

#include <cstring>

namespace {

class DocumentPathTest : public WorldTest {};

struct PathCase {
  const char* what;
  const char* cwd;
  const char* argument;
  const char* documentPath;  // what SettleDocumentPath leaves
  bool encoded;
};

TEST_F(DocumentPathTest, SettlesOnTheEncodedFullPath)
{
  const PathCase cases[] = {
      {"relative", "E:\\", "docs\\index.htm", "E:\\docs\\index.htm", false},
      {"relative from a subfolder", "E:\\docs", "index.htm", "E:\\docs\\index.htm", false},
      {"spaces", "E:\\", "my docs\\page one.htm", "E:\\my%20docs\\page%20one.htm", true},
      {"percent left alone", "E:\\", "50% off.htm", "E:\\50%%20off.htm", true},
      {"dot-dot folded", "E:\\docs", "..\\a b\\x.htm", "E:\\a%20b\\x.htm", true},
      {"other punctuation kept", "E:\\", "#1 & co.htm", "E:\\#1%20&%20co.htm", true},
      {"bytes above 0x7f kept", "E:\\", "\xe9t\xe9 x.htm", "E:\\\xe9t\xe9%20x.htm", true},
  };
  for (const PathCase& c : cases) {
    SCOPED_TRACE(c.what);
    FakeReset();
    g_fake.currentDirectory = c.cwd;
    LaunchState state = StateFor(c.argument);
    SettleDocumentPath(&state);
    ASSERT_NE(state.lpDocumentPath, nullptr);
    EXPECT_STREQ(state.lpDocumentPath, c.documentPath);
    EXPECT_EQ(state.lpEncodedPath, nullptr);
    // The buffer size follows the platform's needed size, not the text.
    DWORD needed = static_cast<DWORD>(FakeFullPath(c.argument).size() + 1);
    DWORD spaces = CountChar(FakeFullPath(c.argument).c_str(), " ");
    EXPECT_EQ(state.dwPathSize, needed + 1 + 2 * spaces);
    EXPECT_EQ(g_fake.Block(state.lpDocumentPath)->size, state.dwPathSize);
    // An unencoded path is never copied; an encoded one replaces it.
    EXPECT_EQ(g_fake.blocks.size(), c.encoded ? 3u : 2u);
    if (c.encoded)
      EXPECT_TRUE(g_fake.blocks[1].released);
    ReleaseState(&state);
    EXPECT_TRUE(Tidy());
  }
}

// Where no full path can be had, the argument itself serves, spaces and all,
// and is borrowed rather than copied.
TEST_F(DocumentPathTest, FallsBackToTheArgument)
{
  const struct {
    const char* what;
    int failFullPathCall;
    int failAllocation;  // counted after the argument's own
    const char* documentPath;
  } cases[] = {
      {"size query fails", 1, 0, "docs\\page one.htm"},
      {"path query fails", 2, 0, "docs\\page one.htm"},
      {"no memory for the path", 0, 1, "docs\\page one.htm"},
      {"no memory for the encoded copy", 0, 2, "E:\\docs\\page one.htm"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakeReset();
    LaunchState state = StateFor("docs\\page one.htm");
    g_fake.failFullPathCall = c.failFullPathCall;
    g_fake.failAllocation = c.failAllocation ? c.failAllocation + 1 : 0;
    SettleDocumentPath(&state);
    EXPECT_STREQ(state.lpDocumentPath, c.documentPath);
    EXPECT_EQ(state.lpEncodedPath, nullptr);
    if (state.lpDocumentPath == state.lpArgument)
      EXPECT_EQ(state.dwPathSize, state.dwArgumentSize);
    else
      EXPECT_EQ(state.dwPathSize, g_fake.Block(state.lpDocumentPath)->size);
    ReleaseState(&state);
    EXPECT_TRUE(Tidy());
  }
}

TEST_F(DocumentPathTest, EncodeSpacesSizesItsBuffer)
{
  LaunchState state = StateFor("x");
  const char text[] = " a  b ";
  LPSTR encoded = EncodeSpaces(&state, text, 20);
  ASSERT_NE(encoded, nullptr);
  EXPECT_STREQ(encoded, "%20a%20%20b%20");
  EXPECT_EQ(state.dwEncodedSize, 20u + 2 * 4);
  EXPECT_EQ(g_fake.Block(encoded)->size, state.dwEncodedSize);
  ReleaseBuffer(&state, encoded);
  EXPECT_EQ(EncodeSpaces(&state, "no-spaces", 10), nullptr);
  ReleaseState(&state);
  EXPECT_TRUE(Tidy());
}

TEST(CountChar, CountsOnlyTheFirstByteOfThePattern)
{
  const struct {
    const char* text;
    const char* chars;
    DWORD count;
  } cases[] = {
      {"", " ", 0}, {"a b c", " ", 2}, {"a b", " x", 1}, {"x x", "x ", 2}, {"abc", "", 0}, {"   ", " ", 3},
  };
  for (const auto& c : cases)
    EXPECT_EQ(CountChar(c.text, c.chars), c.count) << '"' << c.text << "\" / \"" << c.chars << '"';
}

}  // namespace
