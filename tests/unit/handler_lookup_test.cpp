#include "world.h"

#include "fallback/fallback.h"

#include <string>

namespace {

const DWORD kPathSize = 30;  // as if a full path had been settled
const std::string kClassKey = "htmlfile\\shell\\open\\command";

class HandlerLookupTest : public WorldTest {
protected:
  LaunchState state_;
  void SetUp() override
  {
    WorldTest::SetUp();
    state_ = StateFor("index.htm");
    state_.dwPathSize = kPathSize;
  }
  void Look() { LookUpHtmlCommand(&state_); }
  void TearDown() override
  {
    ReleaseState(&state_);
    EXPECT_TRUE(Tidy());
    for (REGSAM access : g_fake.requestedAccess)
      EXPECT_EQ(access, static_cast<REGSAM>(KEY_QUERY_VALUE));
    for (const FakeQuery& query : g_fake.queries)
      EXPECT_TRUE(query.defaultValue);
    WorldTest::TearDown();
  }
};

struct LookupCase {
  const char* what;
  void (*arrange)();
  const char* command;  // null: no handler command
};

void PrintTo(const LookupCase& c, std::ostream* os) { *os << c.what; }


const std::string kCommand = "\"C:\\Viewer\\viewer.exe\" \"%1\"";

const LookupCase kLookupCases[] = {
    {"no .htm key", [] {}, nullptr},
    {"no default value on .htm", [] { g_fake.AddKey(".htm"); }, nullptr},
    {"class name fits the probe byte", [] { g_fake.SetBytes(".htm", "x"); }, nullptr},
    {"empty class name", [] { g_fake.SetText(".htm", ""); }, nullptr},
    {"class without open command", [] { g_fake.SetText(".htm", "htmlfile"); g_fake.AddKey("htmlfile"); }, nullptr},
    {"open command without value",
     [] {
       g_fake.SetText(".htm", "htmlfile");
       g_fake.AddKey(kClassKey);
     },
     nullptr},
    {"command fits the probe byte",
     [] {
       g_fake.SetText(".htm", "htmlfile");
       g_fake.SetText(kClassKey, "");
     },
     nullptr},
    {"plain handler",
     [] {
       g_fake.SetText(".htm", "htmlfile");
       g_fake.SetText(kClassKey, kCommand);
     },
     "\"C:\\Viewer\\viewer.exe\" \"%1\""},
    {"class stored without terminator",
     [] {
       g_fake.SetBytes(".htm", "htmlfile");
       g_fake.SetText(kClassKey, kCommand);
     },
     "\"C:\\Viewer\\viewer.exe\" \"%1\""},
    {"command stored without terminator",
     [] {
       g_fake.SetText(".htm", "htmlfile");
       g_fake.SetBytes(kClassKey, "viewer.exe %1");
     },
     "viewer.exe %1"},
    {"expandable string used unexpanded",
     [] {
       g_fake.SetText(".htm", "htmlfile");
       g_fake.SetText(kClassKey, "%SystemRoot%\\viewer.exe %1", REG_EXPAND_SZ);
     },
     "%SystemRoot%\\viewer.exe %1"},
    {"value type not examined",
     [] {
       g_fake.SetText(".htm", "htmlfile", REG_BINARY);
       g_fake.SetText(kClassKey, "viewer.exe", REG_DWORD);
     },
     "viewer.exe"},
    {"class name case does not matter",
     [] {
       g_fake.SetText(".htm", "HTMLFile");
       g_fake.SetText(kClassKey, "viewer.exe");
     },
     "viewer.exe"},
};

class LookupTableTest : public HandlerLookupTest, public ::testing::WithParamInterface<LookupCase> {};

TEST_P(LookupTableTest, ReadsTheOpenCommandOfTheHtmClass)
{
  GetParam().arrange();
  Look();
  if (GetParam().command == nullptr) {
    EXPECT_EQ(state_.lpCommand, nullptr);
  } else {
    ASSERT_NE(state_.lpCommand, nullptr);
    EXPECT_STREQ(state_.lpCommand, GetParam().command);
  }
}

INSTANTIATE_TEST_SUITE_P(Table, LookupTableTest, ::testing::ValuesIn(kLookupCases),
                         [](const auto& info) { return TestName(info.param.what); });

TEST_F(HandlerLookupTest, BuffersAreSizedFromTheValuesAndThePath)
{
  g_fake.SetText(".htm", "htmlfile");  // S1 = 9
  g_fake.SetText(kClassKey, kCommand);
  Look();
  ASSERT_NE(state_.lpCommand, nullptr);
  DWORD s2 = static_cast<DWORD>(kCommand.size() + 1);
  EXPECT_EQ(state_.dwCommandSize, s2 + 10 + kPathSize);
  EXPECT_EQ(g_fake.Block(state_.lpCommand)->size, state_.dwCommandSize);
  // The class buffer: S1 + 20, gone by the end.
  ASSERT_EQ(g_fake.blocks.size(), 3u);
  EXPECT_EQ(g_fake.blocks[1].size, 9u + 20);
  EXPECT_TRUE(g_fake.blocks[1].released);
  // Each value: a one-byte probe, then one read.
  ASSERT_EQ(g_fake.queries.size(), 4u);
  EXPECT_EQ(g_fake.queries[0].offeredSize, 1u);
  EXPECT_EQ(g_fake.queries[2].offeredSize, 1u);
  EXPECT_EQ(g_fake.openedKeys, (std::vector<std::string>{".htm", "htmlfile\\shell\\open\\command"}));
}

// A value rewritten between the probe and the read must neither overrun the
// buffer sized from the probe nor lose its terminator; Quenlo reads it again.
TEST_F(HandlerLookupTest, ValueThatGrowsAfterTheProbeIsReadWhole)
{
  const std::string longer = "\"C:\\Program Files\\A Much Longer Viewer\\viewer.exe\" --single-argument %1";
  const std::string longerClass = "a.very.long.class.name.indeed";
  for (bool classGrows : {false, true}) {
    SCOPED_TRACE(classGrows ? "class grows" : "command grows");
    FakeReset();
    state_ = StateFor("index.htm");
    state_.dwPathSize = kPathSize;
    g_fake.SetText(".htm", "htmlfile");
    g_fake.SetText(kClassKey, "v.exe");
    g_fake.SetText(longerClass + "\\shell\\open\\command", longer);
    g_fake.beforeQuery = [&](const std::string& key, int index) {
      if (classGrows && key == ".htm" && index == 1)
        g_fake.SetBytes(".htm", longerClass);  // no terminator either
      if (!classGrows && key == kClassKey && index == 3)
        g_fake.SetText(kClassKey, longer);
    };
    Look();
    ASSERT_NE(state_.lpCommand, nullptr);
    EXPECT_STREQ(state_.lpCommand, longer.c_str());
    EXPECT_EQ(state_.dwCommandSize, longer.size() + 1 + 10 + kPathSize);
    EXPECT_EQ(g_fake.guardDamage, 0);
    ReleaseState(&state_);
    EXPECT_TRUE(Tidy());
  }
}

TEST_F(HandlerLookupTest, ValueThatKeepsGrowingGivesNoCommand)
{
  g_fake.SetText(".htm", "htmlfile");
  g_fake.SetText(kClassKey, "viewer.exe");
  std::string value = "viewer.exe";
  g_fake.beforeQuery = [&](const std::string& key, int) {
    if (key == kClassKey) {
      value += " --more";
      g_fake.SetBytes(kClassKey, value);
    }
  };
  Look();
  EXPECT_EQ(state_.lpCommand, nullptr);
}

// A failed final read keeps the buffer: the text is then empty, and the start
// that follows fails and says so.
TEST_F(HandlerLookupTest, FailedFinalReadLeavesAnEmptyCommand)
{
  g_fake.SetText(".htm", "htmlfile");
  g_fake.SetText(kClassKey, "viewer.exe");
  g_fake.beforeQuery = [](const std::string& key, int index) {
    if (key == kClassKey && index == 3)
      g_fake.ClearValue(kClassKey);
  };
  Look();
  ASSERT_NE(state_.lpCommand, nullptr);
  EXPECT_STREQ(state_.lpCommand, "");
}

TEST_F(HandlerLookupTest, NoMemoryGivesNoCommandAndClosesEveryKey)
{
  for (int fail : {2, 3}) {  // the class buffer, the command buffer
    SCOPED_TRACE(fail);
    FakeReset();
    state_ = StateFor("index.htm");
    state_.dwPathSize = kPathSize;
    g_fake.SetText(".htm", "htmlfile");
    g_fake.SetText(kClassKey, "viewer.exe");
    g_fake.failAllocation = fail;
    Look();
    EXPECT_EQ(state_.lpCommand, nullptr);
    EXPECT_EQ(g_fake.keysOpened, fail == 2 ? 1 : 2);
    ReleaseState(&state_);
    EXPECT_TRUE(Tidy());
  }
}

}  // namespace
