#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "core/dataset.h"
#include "readers/readers.h"
#include "test_support.h"
#include "writers/text_line.h"
#include "writers/writers.h"

namespace trovadex {
namespace {

class DelimitedWriterTest : public test::StateTest {
 protected:
  Dataset* NewDataset(int32_t rows) {
    Dataset* d = CreateDataset();
    d->rowCount = rows;
    d->missingValue = kMissingValue;
    CreateRows(d);
    return d;
  }
  Column* Numbers(Dataset* d, const std::string& name, const std::vector<double>& values) {
    Column* c = AddColumnWithValues(d, ColumnKind::Variate, name, static_cast<int32_t>(values.size()));
    for (std::size_t i = 0; i < values.size(); ++i) SetNumber(c, static_cast<int64_t>(i), values[i]);
    return c;
  }
  Column* Texts(Dataset* d, const std::string& name, const std::vector<std::string>& values) {
    Column* c = AddColumnWithValues(d, ColumnKind::Text, name, static_cast<int32_t>(values.size()));
    for (std::size_t i = 0; i < values.size(); ++i) SetText(c, static_cast<int64_t>(i), values[i]);
    return c;
  }
  // Writes the Dataset in the given style and returns the file's bytes.
  std::string Write(Dataset* d, const std::string& name, bool tab, bool comma) {
    State().commaOutput = comma;
    std::string path = dir_ / name;
    EXPECT_EQ(WriteDelimitedText(d, path.c_str(), tab), 1);
    return test::ReadFile(path);
  }
  // The lines of a file, split at CR LF (the line ends are checked on the way).
  static std::vector<std::string> Lines(const std::string& bytes) {
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < bytes.size()) {
      std::size_t end = bytes.find("\r\n", at);
      EXPECT_NE(end, std::string::npos) << "line without CR LF";
      if (end == std::string::npos) break;
      lines.push_back(bytes.substr(at, end - at));
      at = end + 2;
    }
    return lines;
  }
  test::TempDir dir_;
};

using Lines_ = std::vector<std::string>;

TEST_F(DelimitedWriterTest, TabSeparated) {
  Dataset* d = NewDataset(2);
  Numbers(d, "A", {1, 22});
  Texts(d, "B", {"x", "yy"});
  EXPECT_EQ(Write(d, "out.tab", true, false), "A\tB\r\n1\tx\r\n22\tyy\r\n");
  EXPECT_EQ(ColumnAt(d, 2)->levelCount, 2);
}

TEST_F(DelimitedWriterTest, CommaFieldsArePadded) {
  Dataset* d = NewDataset(2);
  Numbers(d, "A", {1, 22});
  Texts(d, "B", {"x", "yy"});
  EXPECT_EQ(Lines(Write(d, "out.csv", false, true)), (Lines_{" A,B", " 1,'x' ", "22,'yy'"}));
}

TEST_F(DelimitedWriterTest, CommaQuotingDoublesApostrophesAndKeepsHighBytes) {
  Dataset* d = NewDataset(3);
  Texts(d, "name", {"O'Neil", "Z\xc3\xbcrich", "a\tb"});
  Numbers(d, "n", {1, 2, 3});
  // O'Neil: 6 characters + 1 doubled apostrophe + 2 quotes = 9, field 10.
  EXPECT_EQ(Lines(Write(d, "out.csv", false, true)),
            (Lines_{"name,     n", "'O''Neil',1", "'Z\xc3\xbcrich',2", "'ab'     ,3"}));
}

TEST_F(DelimitedWriterTest, CommaWithoutQuoting) {
  CurrentOptions()->quoteText = 0;
  Dataset* d = NewDataset(1);
  Texts(d, "t", {"O'Neil"});
  Numbers(d, "n", {5});
  EXPECT_EQ(Lines(Write(d, "out.csv", false, true)), (Lines_{"t,     n", "O'Neil,5"}));
}

TEST_F(DelimitedWriterTest, PlainOutputHasATitleLine) {
  Dataset* d = NewDataset(2);
  Numbers(d, "A", {1, 22});
  Texts(d, "B", {"x", "yy"});
  State().commaOutput = false;
  std::string path = dir_ / "result.$$$";
  ASSERT_EQ(WriteDelimitedText(d, path.c_str(), false), 1);
  std::vector<std::string> lines = Lines(test::ReadFile(path));
  ASSERT_EQ(lines.size(), 4u);
  std::string expectedStart = "\"" + (dir_ / "result") + ".txt (Created by Trovadex: ";
  EXPECT_EQ(lines[0].substr(0, expectedStart.size()), expectedStart);
  // hh:mm:ss MM/DD/YY)"
  std::string stamp = lines[0].substr(expectedStart.size());
  ASSERT_EQ(stamp.size(), 19u);
  EXPECT_EQ(stamp[2], ':');
  EXPECT_EQ(stamp[8], ' ');
  EXPECT_EQ(stamp[11], '/');
  EXPECT_EQ(stamp.substr(17), ")\"");
  EXPECT_EQ(lines[1], " A B  ");
  EXPECT_EQ(lines[2], " 1 x  ");
  EXPECT_EQ(lines[3], "22 yy ");
}

TEST_F(DelimitedWriterTest, TitleNamesTxtWhateverTheExtension) {
  Dataset* d = NewDataset(1);
  Numbers(d, "A", {1});
  std::string bytes = Write(d, "result.out", false, false);
  EXPECT_EQ(bytes.rfind("\"" + (dir_ / "result") + ".txt (Created by Trovadex: ", 0), 0u);
}

TEST_F(DelimitedWriterTest, FactorNamesGetAnExclamationMarkExceptInTabMode) {
  Dataset* d = NewDataset(3);
  Column* f = Numbers(d, "grp", {1, 2, kMissingValue});
  f->kind = ColumnKind::Factor;
  f->levelCount = 2;
  f->factorDisplay = 2;
  SetLabelList(f, {"low", "high"});
  f->valueFormat = 4;
  Column* g = Numbers(d, "lev", {2, 1, kMissingValue});
  g->kind = ColumnKind::Factor;
  g->levelCount = 2;
  g->factorDisplay = 1;
  SetLevelValueList(g, {10, 20});
  Column* h = Numbers(d, "num", {2, kMissingValue, 1});
  h->kind = ColumnKind::Factor;
  h->levelCount = 2;
  EXPECT_EQ(Write(d, "out.tab", true, false), "grp\tlev\tnum\r\nlow\t20\t2\r\nhigh\t10\t*\r\n\t*\t1\r\n");
  EXPECT_EQ(Lines(Write(d, "out.csv", false, true)),
            (Lines_{"grp!,lev!,num!", "'low' ,20,2", "'high',10,*", "      , *,1"}));
}

TEST_F(DelimitedWriterTest, LongNamesPushLaterNamesRight) {
  Dataset* d = NewDataset(1);
  Numbers(d, "a_long_name", {1});
  Numbers(d, "b", {2});
  std::vector<std::string> lines = Lines(Write(d, "out.txt", false, false));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1], "a_long_name b ");
  EXPECT_EQ(lines[2], "1 2 ");
}

TEST_F(DelimitedWriterTest, JustificationPlacesValues) {
  Dataset* d = NewDataset(2);
  Column* left = Numbers(d, "L", {1, 100});
  left->justification = 1;
  Column* right = Texts(d, "R", {"a", "bbb"});
  right->justification = 2;
  EXPECT_EQ(Lines(Write(d, "out.txt", false, false)).at(2), "1     a ");
}

TEST_F(DelimitedWriterTest, SymmetricMatrixPrintsTheLowerTriangle) {
  Dataset* d = NewDataset(3);
  d->shape = DatasetShape::SymmetricMatrix;
  std::vector<std::vector<double>> columns = {{1, 2, 3}, {4, 5}, {6}};
  for (std::size_t j = 0; j < columns.size(); ++j) {
    Column* c = Numbers(d, std::to_string(j + 1), columns[j]);
    c->kind = ColumnKind::SymmetricMatrixColumn;
  }
  EXPECT_EQ(Write(d, "out.tab", true, false), "1\t2\t3\r\n1\t\t\r\n2\t4\t\r\n3\t5\t6\r\n");
  std::vector<std::string> lines = Lines(Write(d, "out.txt", false, false));
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[2], "1     ");
  EXPECT_EQ(lines[4], "3 5 6 ");
}

TEST_F(DelimitedWriterTest, LongRecordsStayOnOneLine) {
  State().columnLimit = 2048;
  Dataset* d = NewDataset(1);
  for (int i = 0; i < 800; ++i) {
    Column* c = AddColumn(d, ColumnKind::Text, "t" + std::to_string(i), kTextLength);
    ASSERT_NE(c, nullptr);
    ASSERT_TRUE(AllocateValues(c, 1));
    c->texts.Set(0, std::string(90, static_cast<char>('a' + i % 26)));
  }
  for (bool comma : {false, true}) {
    std::vector<std::string> lines = Lines(Write(d, comma ? "out.csv" : "out.tab", !comma, comma));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_GT(lines[1].size(), 65535u);
  }
}

TEST_F(DelimitedWriterTest, ControlBytesCannotBreakRecords) {
  Dataset* d = NewDataset(1);
  Texts(d, "t", {"a\tb\r\nc"});
  Numbers(d, "n", {1});
  EXPECT_EQ(Write(d, "out.tab", true, false), "t\tn\r\na b  c\t1\r\n");
}

TEST_F(DelimitedWriterTest, PreconditionsAndFailedWrites) {
  EXPECT_EQ(WriteDelimitedText(nullptr, (dir_ / "x.tab").c_str(), true), 0);
  Dataset* empty = CreateDataset();
  EXPECT_EQ(WriteDelimitedText(empty, (dir_ / "x.tab").c_str(), true), 0);
  Dataset* d = NewDataset(1);
  Numbers(d, "A", {1});
  EXPECT_EQ(WriteDelimitedText(d, (dir_ / "no/such/dir.tab").c_str(), true), 0);
  std::FILE* full = std::fopen("/dev/full", "wb");
  if (full) {
    std::fclose(full);
    EXPECT_EQ(WriteDelimitedText(d, "/dev/full", true), 0);
  }
}

TEST(TextLineTest, SplitsAtTheLastBreakWithinEachPiece) {
  std::string out;
  AppendTextLine(out, "aa bb cc", 5, false);
  EXPECT_EQ(out, "aa \r\nbb cc\r\n");
  out.clear();
  AppendTextLine(out, "a,b,c,d", 4, true);
  EXPECT_EQ(out, "a,b,\r\nc,d\r\n");
  out.clear();
  AppendTextLine(out, "abcdefg", 3, false);
  EXPECT_EQ(out, "abc\r\ndef\r\ng\r\n");
  out.clear();
  AppendTextLine(out, "", 3, false);
  EXPECT_EQ(out, "");
  AppendTextLine(out, std::string(70000, 'x'), kNoLineLimit, false);
  EXPECT_EQ(out.size(), 70002u);
}

// A Dataset written as ".tab" and read back keeps its names, kinds and values.
TEST_F(DelimitedWriterTest, RoundTripThroughTab) {
  const std::vector<double> numbers = {0.1 + 0.2, 1.0 / 3.0, -1.2345678901234567e-300, 123456789012345678.0,
                                       kMissingValue, 2.5, 9.99999e307, -0.0000123456789012345};
  const std::vector<std::string> texts = {"alpha", "", "with blank", "O'Brien", "x;y|z", "Zurich, CH", "*x", "q"};
  Dataset* d = NewDataset(static_cast<int32_t>(numbers.size()));
  Numbers(d, "value", numbers);
  Texts(d, "label", texts);
  Numbers(d, "count", {1, 2, 3, 4, 5, 6, 7, 8});
  std::string path = dir_ / "round.tab";
  State().commaOutput = false;
  ASSERT_EQ(WriteDelimitedText(d, path.c_str(), true), 1);

  ASSERT_EQ(ReadDelimitedText(path.c_str()), 1);
  Dataset* back = CurrentDataset();
  ASSERT_NE(back, d);
  ASSERT_EQ(back->rowCount, d->rowCount);
  ASSERT_EQ(back->columnCount, 3);
  for (int p = 1; p <= 3; ++p) {
    Column* a = ColumnAt(d, p);
    Column* b = ColumnAt(back, p);
    EXPECT_EQ(a->name, b->name);
    EXPECT_EQ(a->kind, b->kind);
    for (int64_t i = 0; i < d->rowCount; ++i) {
      if (a->kind == ColumnKind::Text)
        EXPECT_EQ(GetText(a, i), GetText(b, i)) << "row " << i;
      else
        EXPECT_EQ(GetNumber(a, i), GetNumber(b, i)) << p << " row " << i;
    }
  }
}

// Control bytes (tab, CR, LF, others) become blanks in tab output wherever
// they fall in a text, in short and long texts alike.
TEST_F(DelimitedWriterTest, ControlBytesBecomeBlanksAtEveryPosition) {
  const char controls[] = {'\t', '\r', '\n', '\x01', '\x1f'};
  std::vector<std::string> texts, expected;
  for (std::size_t length = 1; length <= 20; ++length) {
    for (std::size_t at = 0; at < length; ++at) {
      std::string text(length, 'a');
      for (std::size_t k = 0; k < length; ++k) text[k] = static_cast<char>('a' + k);
      std::string clean = text;
      text[at] = controls[(length + at) % 5];
      clean[at] = ' ';
      texts.push_back(text);
      expected.push_back(clean);
    }
  }
  Dataset* d = NewDataset(static_cast<int32_t>(texts.size()));
  Texts(d, "T", texts);
  std::vector<std::string> lines = Lines(Write(d, "out.tab", true, false));
  ASSERT_EQ(lines.size(), texts.size() + 1);
  for (std::size_t i = 0; i < texts.size(); ++i) EXPECT_EQ(lines[i + 1], expected[i]) << i;
}

}  // namespace
}  // namespace trovadex
