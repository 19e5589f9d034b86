// Text files as users' tools write them: byte-order marks, UTF-16 "Unicode
// text", windows-1252 and UTF-8 letters in the names line, NUL bytes, values
// over the length limits. Each must give the values of the same table saved
// as plain UTF-8, with one warning per kind of loss.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "test_support.h"

namespace trovadex {
namespace {

struct TextCase {
  const char* label;
  const char* plain;     // the table as plain UTF-8 (written as plain.<ending>)
  const char* variant;   // the same table as the tool writes it, or null
  std::size_t variantSize;  // its bytes when it holds NULs (else 0)
  const char* codec;     // or: Python's codec that writes `plain` as the variant
  const char* ending;
  const char* warnings;  // printed by the reader, before the record count
};

// NULs inside and between fields after the first line, and NUL padding
// after the last line end (not a row, not counted).
constexpr char kNulVariant[] = "a,b,c\n1,\0\0" "2,x\n3\0,4,\0y\n\0\0\0\0";

const TextCase kCases[] = {
    {"utf-8 mark, comma", "Z\xC3\xBCrich,n\nGen\xC3\xA8ve,1\n", "\xEF\xBB\xBFZ\xC3\xBCrich,n\nGen\xC3\xA8ve,1\n", 0,
     nullptr, ".csv", ""},
    {"utf-8 mark, tab", "city\tn\nBern\t1\n", "\xEF\xBB\xBF" "city\tn\nBern\t1\n", 0, nullptr, ".txt", ""},
    {"windows-1252 names", "Z\xC3\xBCrich,Gen\xC3\xA8ve\n1,2\n", "Z\xFCrich,Gen\xE8ve\n1,2\n", 0, nullptr, ".csv", ""},
    {"utf-16le", "Stadt\tK\xC3\xB6pfe\nZ\xC3\xBCrich\t3\n\xF0\x9D\x84\x9E clef\t4\n", nullptr, 0, "utf-16-le", ".txt", ""},
    {"utf-16be", "Stadt\tK\xC3\xB6pfe\nZ\xC3\xBCrich\t3\n\xE2\x82\xAC\t4\n", nullptr, 0, "utf-16-be", ".txt", ""},
    {"nul bytes", "a,b,c\n1,2,x\n3,4,y\n", kNulVariant, sizeof kNulVariant - 1, nullptr, ".csv",
     "Warning: NUL bytes were dropped from 2 lines.\n"},
};

class TextInput : public ::testing::TestWithParam<TextCase> {};

TEST_P(TextInput, GivesTheValuesOfThePlainTable) {
  const TextCase& c = GetParam();
  test::TempDir dir;
  const std::string plain = std::string("plain") + c.ending;
  const std::string variant = std::string("variant") + c.ending;
  test::WriteFile(dir / plain, c.plain);
  if (c.codec) {
    // Python writes the "Unicode text" as editors do: mark, then UTF-16.
    const std::string script = std::string("import sys\nt = open(sys.argv[1], encoding='utf-8', newline='').read()\n") +
                               "open(sys.argv[2], 'wb').write('\\ufeff'.encode('" + c.codec + "') + t.encode('" +
                               c.codec + "'))\n";
    test::WriteFile(dir / "write.py", script);
    const std::string cmd = "/usr/bin/python3 " + (dir / "write.py") + " " + (dir / plain) + " " + (dir / variant);
    if (std::system(cmd.c_str()) != 0) GTEST_SKIP() << "python3 cannot write " << c.codec;
  } else {
    test::WriteFile(dir / variant, c.variantSize ? std::string(c.variant, c.variantSize) : std::string(c.variant));
  }
  const test::RunResult want = test::RunTrovadex({plain, "plain.tab"}, dir.path().string());
  ASSERT_EQ(want.exitCode, 0) << want.output;
  const test::RunResult got = test::RunTrovadex({variant, "variant.tab"}, dir.path().string());
  ASSERT_EQ(got.exitCode, 0) << got.output;
  EXPECT_EQ(got.output, c.warnings + want.output);
  EXPECT_EQ(test::ReadFile(dir / "variant.tab"), test::ReadFile(dir / "plain.tab"));
}

INSTANTIATE_TEST_SUITE_P(Tools, TextInput, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<TextCase>& info) {
                           std::string n = info.param.label;
                           for (char& ch : n)
                             if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           return n;
                         });

// Values, names and labels over their limits are cut on a whole UTF-8
// character, and the run says how many of each it cut.
TEST(TextInputLimits, CutsAreCountedAndKeepWholeCharacters) {
  test::TempDir dir;
  std::string longText = "a";
  for (int i = 0; i < 100; ++i) longText += "\xC3\xA9";  // 201 bytes; byte 90 is inside a character
  const std::string longName(45, 'n');
  const std::string longLabel(50, 'L');
  test::WriteFile(dir / "in.csv", "text," + longName + ",grp!\n" + longText + ",1," + longLabel + "\n" + longText +
                                      ",2," + longLabel + "\nb,3,x\n");
  const test::RunResult run = test::RunTrovadex({"in.csv", "out.tab"}, dir.path().string());
  ASSERT_EQ(run.exitCode, 0) << run.output;
  EXPECT_EQ(run.output,
            " 3 records transferred.\n"
            "Warning: 2 texts longer than 90 characters were cut.\n"
            "Warning: 1 names longer than 40 characters were cut.\n"
            "Warning: 1 labels longer than 40 characters were cut.\n");
  std::string cut = "a";
  for (int i = 0; i < 44; ++i) cut += "\xC3\xA9";  // 89 bytes: the character at 89-90 goes whole
  const std::string out = test::ReadFile(dir / "out.tab");
  EXPECT_NE(out.find(cut + "\t1\t"), std::string::npos) << out;
  EXPECT_EQ(out.find(cut + "\xC3"), std::string::npos);
  // (Names are unique within 32 characters.)
  EXPECT_NE(out.find("\t" + std::string(32, 'n') + "\t"), std::string::npos) << out;
  EXPECT_NE(out.find("\t" + std::string(40, 'L') + "\r\n"), std::string::npos) << out;
}

}  // namespace
}  // namespace trovadex
