// The delimited reader reads regular files in 1 MB blocks and other files
// (pipes) whole: line ends and lines that straddle a block boundary, the
// final empty line at a boundary, lines longer than a block, and a pipe.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <cstdlib>
#include <random>
#include <thread>
#include <vector>

#include "core/dataset.h"
#include "readers/readers.h"
#include "test_support.h"

namespace trovadex {
namespace {

#if defined(TROVADEX_SMALL_BUFFERS)
constexpr std::size_t kBlock = std::size_t{1} << 12;  // the reader's block in builds for small inputs
#else
constexpr std::size_t kBlock = std::size_t{1} << 20;
#endif

class DelimitedBlocksTest : public test::StateTest {
 protected:
  int Read(const std::string& bytes) {
    std::string path = dir_ / "in.csv";
    test::WriteFile(path, bytes);
    return ReadDelimitedText(path.c_str());
  }
  Column* Col(int position) { return ColumnAt(CurrentDataset(), position); }
  test::TempDir dir_;
};

// Rows "00001,1<end>" ... of 6 characters plus the line end, under a names
// line padded by `shift` characters, so that over the shifts every line-end
// byte falls once on the last byte of the first block.
std::string Rows(int rows, const std::string& lineEnd, int shift) {
  std::string text = "n" + std::string(static_cast<std::size_t>(shift), 'x') + ",v" + lineEnd;
  char row[32];
  for (int i = 1; i <= rows; ++i) {
    std::snprintf(row, sizeof row, "%05d,%d", i, i % 7);
    text += row;
    text += lineEnd;
  }
  return text;
}

TEST_F(DelimitedBlocksTest, LineEndsAcrossBlockBoundaries) {
  struct Case {
    const char* name;
    std::string lineEnd;
  };
  const Case cases[] = {{"CR LF", "\r\n"}, {"LF", "\n"}, {"CR", "\r"}};
  for (const Case& c : cases) {
    const int width = 6 + static_cast<int>(c.lineEnd.size());
    const int rows = static_cast<int>(kBlock) / width + 2000;
    for (int shift = 0; shift < width; ++shift) {
      SCOPED_TRACE(std::string(c.name) + " shift " + std::to_string(shift));
      ResetState();
      State().interceptFatal = true;
      InitOptions();
      ASSERT_EQ(Read(Rows(rows, c.lineEnd, shift)), 1);
      Dataset* d = CurrentDataset();
      ASSERT_EQ(d->rowCount, rows);
      ASSERT_EQ(d->columnCount, 2);
      ASSERT_EQ(Col(1)->kind, ColumnKind::Variate);
      for (int i = 0; i < rows; ++i) {
        ASSERT_EQ(GetNumber(Col(1), i), i + 1) << "row " << i;
        ASSERT_EQ(GetNumber(Col(2), i), (i + 1) % 7) << "row " << i;
      }
    }
  }
}

TEST_F(DelimitedBlocksTest, FinalEmptyLineAtTheEndOfABlock) {
  // Exactly one block ending in two line feeds: the empty last line is not a
  // row. One byte more (a further line feed) makes one empty row of missing values.
  std::string text = "a,b\n";
  int32_t rows = 1;  // the line of blanks below is a row too
  while (text.size() + 6 <= kBlock - 2) {
    text += "1,22\n";
    ++rows;
  }
  text += std::string(kBlock - 2 - text.size(), ' ') + "\n\n";
  ASSERT_EQ(text.size(), kBlock);
  ASSERT_EQ(Read(text), 1);
  EXPECT_EQ(CurrentDataset()->rowCount, rows);

  ResetState();
  State().interceptFatal = true;
  InitOptions();
  ASSERT_EQ(Read(text + "\n"), 1);
  EXPECT_EQ(CurrentDataset()->rowCount, rows + 1);
  EXPECT_EQ(GetNumber(Col(1), rows), kMissingValue);
}

TEST_F(DelimitedBlocksTest, LineLongerThanABlock) {
  std::string longText(kBlock + kBlock / 2, 'w');
  ASSERT_EQ(Read("id,note\n1,short\n2," + longText + "\n3,end\n"), 1);
  Dataset* d = CurrentDataset();
  ASSERT_EQ(d->rowCount, 3);
  EXPECT_EQ(GetText(Col(2), 0), "short");
  EXPECT_EQ(GetText(Col(2), 1), std::string(kTextLength, 'w'));
  EXPECT_EQ(GetText(Col(2), 2), "end");
  EXPECT_EQ(GetNumber(Col(1), 2), 3);
}

TEST_F(DelimitedBlocksTest, PipeIsReadWhole) {
  std::string path = dir_ / "pipe.csv";
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  const std::string text = Rows(300000, "\r\n", 3) + "\r\n";
  std::thread writer([&] {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f) {
      std::fwrite(text.data(), 1, text.size(), f);
      std::fclose(f);
    }
  });
  int result = ReadDelimitedText(path.c_str());
  writer.join();
  ASSERT_EQ(result, 1);
  ASSERT_EQ(CurrentDataset()->rowCount, 300000);
  EXPECT_EQ(GetNumber(Col(1), 299999), 300000);
  EXPECT_EQ(GetNumber(Col(2), 299999), 300000 % 7);
}

// NUL bytes where a block ends: the line that loses one counts once however
// its bytes fall; a line of NULs alone is a row and counts; NUL padding
// after the last line end counts for nothing. A pipe (read whole, here with
// a UTF-8 byte-order mark) counts the same.
TEST_F(DelimitedBlocksTest, NulBytesAcrossBlockBoundaries) {
  std::string text = "n,v\n1," + std::string(kBlock - 7, 'x');
  text += std::string("\0\n\0\n2,\0y\n\0\0\0", 13);
  ASSERT_EQ(text[kBlock - 1], '\0');
  for (bool pipe : {false, true}) {
    SCOPED_TRACE(pipe ? "pipe" : "file");
    ResetState();
    std::string path = dir_ / (pipe ? "nul.pipe" : "nul.csv");
    std::thread writer;
    if (pipe) {
      ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
      writer = std::thread([&] {
        if (std::FILE* f = std::fopen(path.c_str(), "wb")) {
          std::fwrite("\xEF\xBB\xBF", 1, 3, f);
          std::fwrite(text.data(), 1, text.size(), f);
          std::fclose(f);
        }
      });
    } else {
      test::WriteFile(path, text);
    }
    testing::internal::CaptureStdout();
    const int result = ReadDelimitedText(path.c_str());
    if (writer.joinable()) writer.join();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Warning: NUL bytes were dropped from 3 lines.\n");
    ASSERT_EQ(result, 1);
    ASSERT_EQ(CurrentDataset()->rowCount, 3);
    EXPECT_EQ(Col(1)->name, "n");
    EXPECT_EQ(GetNumber(Col(1), 0), 1);
    EXPECT_EQ(GetNumber(Col(1), 1), kMissingValue);
    EXPECT_EQ(GetText(Col(2), 0), std::string(90, 'x'));
    EXPECT_EQ(GetText(Col(2), 2), "y");
    EXPECT_EQ(State().cuts[static_cast<std::size_t>(CutKind::Text)], 1);
  }
}

TEST_F(DelimitedBlocksTest, EmptyFileAndMissingFileFail) {
  EXPECT_EQ(Read(""), 0);
  EXPECT_EQ(ReadDelimitedText((dir_ / "absent.csv").c_str()), 0);
}

}  // namespace
}  // namespace trovadex

namespace trovadex {
namespace {

// Number fields of many shapes read as strtod reads them in the "C" locale
// (short decimals take a quicker path than long ones; both must agree).
TEST_F(DelimitedBlocksTest, NumbersReadAsStrtodReadsThem) {
  std::mt19937_64 rng(7);
  std::vector<std::string> texts = {"0", "-0", "+5", "5.", ".5", "-.5", "007", "1e22", "1e23", "1e-22",
                                    "1e-23", "9007199254740993", "9007199254740992", "123456789012345678901",
                                    "1234567890123456789", "0.1e1", "2.5E-3", "4.35", "0.000001",
                                    "179769313486231570000e288", "-2.2250738585072014e-308"};
  char text[64];
  for (int i = 0; i < 20000; ++i) {
    int digits = 1 + static_cast<int>(rng() % 20);
    std::string t = (rng() % 3 == 0) ? "-" : "";
    for (int k = 0; k < digits; ++k) t += static_cast<char>('0' + rng() % 10);
    int point = static_cast<int>(rng() % (digits + 1));
    if (point < digits) t.insert(t.size() - static_cast<std::size_t>(point), ".");
    if (rng() % 4 == 0) {
      std::snprintf(text, sizeof text, "e%d", static_cast<int>(rng() % 60) - 30);
      t += text;
    }
    texts.push_back(t);
  }
  std::string file = "x\n";
  for (const std::string& t : texts) file += t + "\n";
  ASSERT_EQ(Read(file), 1);
  ASSERT_EQ(CurrentDataset()->rowCount, static_cast<int32_t>(texts.size()));
  ASSERT_EQ(Col(1)->kind, ColumnKind::Variate);
  for (std::size_t i = 0; i < texts.size(); ++i) {
    const char* s = texts[i].c_str();
    double expected = std::strtod(s[0] == '+' ? s + 1 : s, nullptr);
    if (expected > kNumberCap) expected = kNumberCap;  // numbers above the cap are kept at it
    ASSERT_EQ(GetNumber(Col(1), static_cast<int64_t>(i)), expected) << texts[i];
  }
}

// Values are kept while the file is first walked; a number column that
// meets a text only late (after many stored numbers, across blocks) must
// still become a text column holding every field as written, and columns
// that only start further down, or turn text after empty fields, keep their
// places.
TEST_F(DelimitedBlocksTest, ColumnsDecidedLateKeepEveryValue) {
  struct Case {
    const char* name;
    int textRow;       // row of the first text in column "b" (-1: none)
    bool leadingEmpty;  // column "b" is empty before that row
  };
  const Case cases[] = {{"numbers only", -1, false},
                        {"text at the first row", 0, false},
                        {"text after many numbers", 150000, false},
                        {"text at the last row", 199999, false},
                        {"text after empty fields", 150000, true}};
  const int rows = 200000;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ResetState();
    std::string text = "a,b\n";
    for (int i = 0; i < rows; ++i) {
      text += std::to_string(i) + ",";
      if (i == c.textRow)
        text += "w" + std::to_string(i);
      else if (!(c.leadingEmpty && i < c.textRow))
        text += std::to_string(i * 3) + ".25";
      if (i == rows - 1) text += ",9";  // a third column only on the last line
      text += "\n";
    }
    ASSERT_EQ(Read(text), 1);
    Dataset* d = CurrentDataset();
    ASSERT_EQ(d->rowCount, rows);
    ASSERT_EQ(d->columnCount, 3);
    EXPECT_EQ(GetNumber(Col(1), rows - 1), rows - 1.0);
    EXPECT_TRUE(IsMissing(d, GetNumber(Col(3), 0)));
    EXPECT_EQ(GetNumber(Col(3), rows - 1), 9.0);
    Column* b = Col(2);
    if (c.textRow < 0) {
      ASSERT_FALSE(IsTextKind(b->kind));
      EXPECT_EQ(GetNumber(b, 12345), 12345 * 3 + 0.25);
      continue;
    }
    ASSERT_TRUE(IsTextKind(b->kind));
    EXPECT_EQ(GetText(b, c.textRow), "w" + std::to_string(c.textRow));
    EXPECT_EQ(GetText(b, 0), c.textRow == 0 ? "w0" : (c.leadingEmpty ? "" : "0.25"));
    if (c.textRow + 1 < rows) {
      EXPECT_EQ(GetText(b, c.textRow + 1), std::to_string((c.textRow + 1) * 3) + ".25");
    }
  }
}

}  // namespace
}  // namespace trovadex
