#include "world.h"

#include <cstring>
#include <vector>

namespace {

struct ArgumentCase {
  const char* name;
  const char* commandLine;
  const char* argument;
};

void PrintTo(const ArgumentCase& c, std::ostream* os) { *os << c.name; }


const ArgumentCase kArgumentCases[] = {
    {"empty line", "", ""},
    {"plain name alone", "prog.exe", ""},
    {"quoted name alone", "\"C:\\x\\prog.exe\"", ""},
    {"plain name, blanks only", "prog.exe  \t \t", ""},
    {"quoted name, blanks only", "\"C:\\x\\prog.exe\" \t ", ""},
    {"plain name and document", "prog.exe docs\\index.htm", "docs\\index.htm"},
    {"inner space kept", "prog.exe my page.htm", "my page.htm"},
    {"quotes kept in the argument", "prog.exe \"my page.htm\"", "\"my page.htm\""},
    {"no blank after quoted name", "\"C:\\my dir\\prog.exe\"index.htm", "index.htm"},
    {"blank after quoted name", "\"C:\\my dir\\prog.exe\" index.htm", "index.htm"},
    {"empty quoted name", "\"\" a.htm", "a.htm"},
    {"unclosed quote", "\"C:\\my dir\\prog.exe index.htm", ""},
    {"tab does not end a plain name", "prog.exe\ta.htm", ""},
    {"tab inside a plain name", "prog.exe\tx a.htm", "a.htm"},
    {"mixed blanks skipped", "prog.exe \t \t a.htm", "a.htm"},
    {"leading space is the name", " a.htm", ""},
    {"leading space then name", " x a.htm", "a.htm"},
    {"leading tab is the name", "\tx a.htm", "a.htm"},
    {"trailing blanks kept", "prog.exe a.htm \t ", "a.htm \t "},
    {"inner tabs kept", "prog.exe a\tb.htm", "a\tb.htm"},
    {"second quoted part kept", "\"p.exe\" \"a b\" \"c\"", "\"a b\" \"c\""},
    {"bytes above 0x7f", "prog.exe \xe9t\xe9.htm", "\xe9t\xe9.htm"},
};

class ExtractArgumentTest : public ::testing::TestWithParam<ArgumentCase> {};

TEST_P(ExtractArgumentTest, YieldsTheRestOfTheLine)
{
  const ArgumentCase& c = GetParam();
  // Exactly the size LauncherMain gives it, with a sentinel behind.
  size_t size = strlen(c.commandLine) + 1;
  std::vector<char> out(size + 1, '\x7f');
  DWORD length = ExtractArgument(c.commandLine, out.data());
  EXPECT_STREQ(out.data(), c.argument);
  EXPECT_EQ(length, strlen(c.argument));
  EXPECT_EQ(out[size], '\x7f') << "wrote past the command line's size";
}

INSTANTIATE_TEST_SUITE_P(Table, ExtractArgumentTest, ::testing::ValuesIn(kArgumentCases),
                         [](const auto& info) { return TestName(info.param.name); });

TEST(ExtractArgument, ArgumentIsATailOfTheLine)
{
  const char* line = "\"C:\\q.exe\"  docs\\a.htm";
  char out[64];
  DWORD length = ExtractArgument(line, out);
  EXPECT_EQ(strcmp(line + strlen(line) - length, out), 0);
}

}  // namespace
