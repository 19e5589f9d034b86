#include <charconv>
#include <cstring>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "core/corvist_text.h"
#include "core/dataset.h"
#include "test_support.h"

namespace trovadex {
namespace {

using test::StateTest;

class CorvistTextTest : public StateTest {
 protected:
  // Pieces in one mode; returns what is pending afterwards.
  std::string Pending() { return std::string(State().lineBuffer.view()); }
  void Put(const std::string& text, bool statement) { ASSERT_TRUE(WriteWrapped(text, statement, false, nullptr)); }
};

TEST_F(CorvistTextTest, StatementLineHoldsSeventySixCharacters) {
  Put(std::string(70, 'a'), true);
  Put(std::string(6, 'b'), true);  // brings the line to 76: stays
  EXPECT_EQ(Pending(), std::string(70, 'a') + std::string(6, 'b'));
  Put("c", true);  // would bring it to 77: continuation first
  EXPECT_EQ(Pending(), std::string(70, 'a') + std::string(6, 'b') + "\\\nc");
  EXPECT_EQ(State().lineColumn, 1);
}

TEST_F(CorvistTextTest, StatementBreakCountsUpToTheFirstLineEnd) {
  Put(std::string(70, 'a'), true);
  Put("xxxxxx\nREAD something long enough to pass the margin on its own line", true);
  EXPECT_EQ(Pending().find('\\'), std::string::npos);
  State().lineBuffer.clear();
  Put(std::string(70, 'a'), true);
  Put("xxxxxxx\nREAD y\n", true);
  EXPECT_EQ(Pending(), std::string(70, 'a') + "\\\nxxxxxxx\nREAD y\n");
  EXPECT_EQ(State().lineColumn, 0);
}

TEST_F(CorvistTextTest, DataLineHoldsSeventySevenCharacters) {
  Put(std::string(70, '1'), false);
  Put("234567", false);
  Put("8", false);  // single characters are never preceded by a line end
  EXPECT_EQ(Pending(), std::string(70, '1') + "2345678");
  State().lineBuffer.clear();
  Put(std::string(70, '1'), false);
  Put("2345678", false);  // 77: stays
  Put("99", false);       // 79: new line
  EXPECT_EQ(Pending(), std::string(70, '1') + "2345678\n99");
}

TEST_F(CorvistTextTest, ColonAndSingleCharacterAreNeverMovedToANewLine) {
  Put(std::string(76, '1'), false);
  Put(":\n", false);
  EXPECT_EQ(Pending(), std::string(76, '1') + ":\n");
  EXPECT_EQ(State().lineColumn, 0);
}

TEST_F(CorvistTextTest, LongDataTextAtColumnZeroIsPrecededByALineEnd) {
  Put(std::string(100, 'x'), false);
  EXPECT_EQ(Pending(), "\n" + std::string(100, 'x'));
  EXPECT_EQ(State().lineColumn, 100);
}

TEST_F(CorvistTextTest, NineteenThreeCharacterValuesFitOnALine) {
  for (int i = 0; i < 20; ++i) Put("abc ", false);
  std::string line;
  for (int i = 0; i < 19; ++i) line += "abc ";
  EXPECT_EQ(Pending(), line + "\nabc ");
}

TEST_F(CorvistTextTest, EmptyTextDoesNothing) {
  Put("abc", true);
  ASSERT_TRUE(WriteWrapped("", true, true, nullptr));
  EXPECT_EQ(Pending(), "abc");
}

TEST_F(CorvistTextTest, WriteOutUsesCrLfAndEmptiesTheBuffer) {
  test::TempDir dir;
  std::string path = dir / "out.txt";
  std::FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  ASSERT_TRUE(WriteWrapped("A\nB", true, false, f));
  ASSERT_TRUE(WriteWrapped("\n", false, true, f));
  EXPECT_TRUE(State().lineBuffer.empty());
  std::fclose(f);
  EXPECT_EQ(test::ReadFile(path), "A\r\nB\r\n");
}

TEST_F(CorvistTextTest, LargeDataKeepsItsLineBreaksAcrossEarlyWriteOuts) {
  test::TempDir dir;
  std::string path = dir / "big.txt";
  std::FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::string expected;
  long col = 0;
  for (int i = 0; i < 100000; ++i) {
    std::string piece = std::to_string(i % 1000) + " ";
    ASSERT_TRUE(WriteWrapped(piece, false, false, f));
    if (col + static_cast<long>(piece.size()) >= 78) {
      expected += "\r\n";
      col = 0;
    }
    expected += piece;
    col += static_cast<long>(piece.size());
  }
  ASSERT_TRUE(WriteWrapped(":\n", false, true, f));
  expected += ":\r\n";
  std::fclose(f);
  EXPECT_EQ(test::ReadFile(path), expected);
}

TEST_F(CorvistTextTest, ValuesWrittenInPlaceWrapLikeCopiedOnes) {
  // The same values through WriteWrappedValue and through the buffer's own
  // room give the same file, across line breaks and early write-outs.
  test::TempDir dir;
  std::mt19937 rng(5);
  std::vector<std::string> values;
  for (int i = 0; i < 60000; ++i) {
    std::string v(1 + rng() % 40, static_cast<char>('a' + i % 26));
    if (i % 7 == 0) v = ":";
    v += ' ';
    values.push_back(v);
  }
  auto write = [&](const std::string& name, bool inPlace) {
    ResetState();
    std::string path = dir / name;
    std::FILE* f = std::fopen(path.c_str(), "wb");
    EXPECT_NE(f, nullptr);
    EXPECT_TRUE(WriteWrapped("READ x\n", true, false, f));
    for (const std::string& v : values) {
      if (inPlace) {
        char* room = WrappedValueRoom(v.size());
        std::memcpy(room, v.data(), v.size());
        EXPECT_TRUE(CommitWrappedValue(v.size(), f));
      } else {
        EXPECT_TRUE(WriteWrappedValue(v, f));
      }
    }
    EXPECT_TRUE(WriteWrapped(":\n", false, true, f));
    std::fclose(f);
    return test::ReadFile(path);
  };
  const std::string copied = write("copied.txt", false);
  EXPECT_GT(copied.size(), 2 * kCorvistBufferSize);
  EXPECT_EQ(write("in-place.txt", true), copied);
}

TEST_F(CorvistTextTest, FailedWriteIsReported) {
  std::FILE* f = std::fopen("/dev/full", "wb");
  if (f == nullptr) GTEST_SKIP() << "no /dev/full";
  std::setvbuf(f, nullptr, _IONBF, 0);
  EXPECT_FALSE(WriteWrapped("RETURN\n", true, true, f));
  std::fclose(f);
}

TEST(CorvistQuote, Texts) {
  struct Case {
    std::string source;
    std::size_t limit;
    std::string expected;
  } cases[] = {
      {"O'Neil", 90, "O''Neil"},
      {"a\tb", 90, "a b"},
      {"caf\xE9", 90, "caf "},
      {"say \"hi\" `x` \\", 90, "say \"\"hi\"\" ``x`` \\\\"},
      {"abcdef", 3, "abc"},
      {"ab'cd", 3, "ab''"},  // a doubled character may pass the limit by one
      {"abc'", 3, "abc"},
      {"", 90, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(QuoteCorvistText(c.source, c.limit), c.expected) << c.source;
}

TEST(CorvistQuote, FitNeverSplitsADoubledCharacter) {
  std::string source = std::string(79, 'a') + "'b";
  std::string fitted = QuoteCorvistTextFit(source, 100, 80);
  EXPECT_EQ(fitted, std::string(79, 'a'));
  EXPECT_EQ(QuoteCorvistTextFit(std::string(78, 'a') + "'b", 100, 80), std::string(78, 'a') + "''");
  EXPECT_EQ(QuoteCorvistTextFit("short", 100, 80), "short");
}

TEST(CorvistNumber, Forms) {
  struct Case {
    double value;
    bool date;
    const char* expected;
  } cases[] = {
      {1e9, false, "1000000000"},
      {1.5e9, false, "1.500000000000e+09"},
      {-1.5e9, false, "-1.500000000000e+09"},
      {-1e307, false, "*"},
      {-2e307, false, "*"},
      {1e308, false, "9.99999E+307"},
      {0.1, false, "0.1"},
      {-2.5, false, "-2.5"},
      {0, false, "0"},
      {1234567.891234567, false, "1234567.891234567"},
      {1234567890123.0, false, "1.234567890123e+12"},
      {9007199254740991.0, false, "9.007199254740991e+15"},
      {59, true, "109572"},
      {60, true, "109572"},
      {61, true, "109573"},
      {-1, true, "*"},
      {36892, true, "146404"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FormatCorvistNumber(c.value, kMissingValue, c.date), c.expected) << c.value;
  }
  EXPECT_EQ(FormatCorvistNumber(std::nan(""), kMissingValue, false), "*");
}

TEST(CorvistNumber, EveryNumberReadsBack) {
  std::mt19937_64 random(12345);
  std::uniform_int_distribution<uint64_t> bits;
  int checked = 0;
  for (int i = 0; i < 200000; ++i) {
    uint64_t u = bits(random);
    double v;
    std::memcpy(&v, &u, sizeof v);
    if (!std::isfinite(v) || !(v > kMissingValue) || v > kNumberCap) continue;
    std::string text = FormatCorvistNumber(v, kMissingValue, false);
    double back = 0;
    auto r = std::from_chars(text.data(), text.data() + text.size(), back);
    ASSERT_TRUE(r.ec == std::errc() && r.ptr == text.data() + text.size()) << text;
    ASSERT_EQ(back, v) << text;
    ++checked;
  }
  EXPECT_GT(checked, 1000);
}

TEST(CorvistNumber, ExactGKeepsShortFormsAndAddsDigitsOnlyWhenNeeded) {
  EXPECT_EQ(FormatExactG(0.5, 6), "0.5");
  EXPECT_EQ(FormatExactG(-9999, 6), "-9999");
  EXPECT_EQ(FormatExactG(1.23456789, 6), "1.23456789");
  EXPECT_EQ(FormatExactG(3.14159265358979, 10), "3.14159265358979");
  EXPECT_EQ(FormatExactG(1e-5, 6), "1e-05");
}

// Long texts are quoted a word at a time: a byte needing more than a copy at
// any position, and every limit around it, give the character-by-character
// result (control bytes and bytes above 127 as blanks, the four quoting
// characters doubled, at most `limit` source characters, stopping once the
// output holds `limit` characters).
TEST(CorvistQuote, EveryPositionAndLimitInLongTexts) {
  const char specials[] = {'\'', '"', '\\', '`', '\t', '\x7f', static_cast<char>(0x80), static_cast<char>(0xff), 'z'};
  for (char special : specials) {
    for (std::size_t at = 0; at < 24; ++at) {
      std::string source;
      for (std::size_t k = 0; k < 24; ++k) source += static_cast<char>(' ' + (k * 7) % 95);
      // keep the filler free of the quoting characters
      for (char& c : source)
        if (c == '\'' || c == '"' || c == '\\' || c == '`') c = 'q';
      source[at] = special;
      for (std::size_t limit = 0; limit <= 26; ++limit) {
        std::string expected;
        for (char c : source) {
          if (expected.size() >= limit) break;
          unsigned char u = static_cast<unsigned char>(c);
          if (u < 32 || u >= 128)
            expected += ' ';
          else if (c == '\'' || c == '"' || c == '\\' || c == '`')
            expected += std::string(2, c);
          else
            expected += c;
        }
        EXPECT_EQ(QuoteCorvistText(source, limit), expected) << "at " << at << " limit " << limit;
      }
    }
  }
}

}  // namespace
}  // namespace trovadex
