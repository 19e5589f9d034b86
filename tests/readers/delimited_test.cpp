#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/dataset.h"
#include "readers/readers.h"
#include "test_support.h"

namespace trovadex {
namespace {

using Names = std::vector<std::string>;

class DelimitedReaderTest : public test::StateTest {
 protected:
  // Writes `bytes` to a file and reads it; returns the reader's flag.
  int Read(const std::string& bytes) {
    std::string path = dir_ / "in.csv";
    test::WriteFile(path, bytes);
    return ReadDelimitedText(path.c_str());
  }
  Column* Col(int position) { return ColumnAt(CurrentDataset(), position); }
  std::vector<std::string> ColumnNames() {
    std::vector<std::string> names;
    for (Column* c = CurrentDataset()->firstColumn->next; c; c = c->next) names.push_back(c->name);
    return names;
  }
  test::TempDir dir_;
};



TEST_F(DelimitedReaderTest, NamesLineInCommaStyle) {
  ASSERT_EQ(Read("x,y\n1,2\n3,4\n"), 1);
  Dataset* d = CurrentDataset();
  EXPECT_EQ(d->rowCount, 2);
  EXPECT_EQ(d->columnCount, 2);
  EXPECT_EQ(ColumnNames(), (Names{"x", "y"}));
  EXPECT_EQ(Col(1)->kind, ColumnKind::Variate);
  EXPECT_EQ(Col(2)->kind, ColumnKind::Variate);
  EXPECT_EQ(GetNumber(Col(1), 1), 3);
  EXPECT_EQ(GetNumber(Col(2), 1), 4);
}

TEST_F(DelimitedReaderTest, FirstLineStartingWithDigitIsData) {
  ASSERT_EQ(Read("1,2\n3,4\n"), 1);
  EXPECT_EQ(CurrentDataset()->rowCount, 2);
  EXPECT_EQ(ColumnNames(), (Names{"C1", "C2"}));
  EXPECT_EQ(GetNumber(Col(1), 0), 1);
}

TEST_F(DelimitedReaderTest, SignAfterSeparatorMeansData) {
  ASSERT_EQ(Read("a,-2\nb,3\n"), 1);
  EXPECT_EQ(CurrentDataset()->rowCount, 2);
  EXPECT_EQ(Col(1)->kind, ColumnKind::Text);
  EXPECT_EQ(GetText(Col(1), 0), "a");
  EXPECT_EQ(GetNumber(Col(2), 0), -2);
}

TEST_F(DelimitedReaderTest, TabStyleBlankBeforeDigitMeansData) {
  ASSERT_EQ(Read("Plot 1\tYield\nA\tB\n"), 1);
  EXPECT_EQ(CurrentDataset()->rowCount, 2);
  EXPECT_EQ(GetText(Col(1), 0), "Plot 1");
  EXPECT_EQ(GetText(Col(2), 1), "B");
}

TEST_F(DelimitedReaderTest, QuotedDigitsAreNames) {
  ASSERT_EQ(Read("\"12\",\"13\"\n1,2\n"), 1);
  EXPECT_EQ(CurrentDataset()->rowCount, 1);
  EXPECT_EQ(ColumnNames(), (Names{"%12", "%13"}));
}

TEST_F(DelimitedReaderTest, SemicolonsWithoutCommaAreOneColumn) {
  ASSERT_EQ(Read("a;b\nx;y\n"), 1);
  EXPECT_EQ(CurrentDataset()->columnCount, 1);
  EXPECT_EQ(GetText(Col(1), 0), "x;y");
}

TEST_F(DelimitedReaderTest, SemicolonsAndBarsSeparateInCommaStyle) {
  ASSERT_EQ(Read("a;b|c\n1;\"x,y\"|3\n"), 1);
  EXPECT_EQ(ColumnNames(), (Names{"a", "b", "c"}));
  EXPECT_EQ(GetText(Col(2), 0), "x,y");
  EXPECT_EQ(GetNumber(Col(3), 0), 3);
}

TEST_F(DelimitedReaderTest, UnmatchedQuoteIsAnOrdinaryCharacter) {
  ASSERT_EQ(Read("name,n,city\nO'Brien,5,Cork\nSmith,6,Derry\n"), 1);
  EXPECT_EQ(CurrentDataset()->columnCount, 3);
  EXPECT_EQ(GetText(Col(1), 0), "O'Brien");
  EXPECT_EQ(Col(2)->kind, ColumnKind::Variate);
  EXPECT_EQ(GetNumber(Col(2), 0), 5);
  EXPECT_EQ(GetText(Col(3), 0), "Cork");
}

TEST_F(DelimitedReaderTest, QuotedFields) {
  ASSERT_EQ(Read("t,u,v\n'a,b',\"say \"\"hi\"\"\",  \"c\"  \n"), 1);
  EXPECT_EQ(CurrentDataset()->columnCount, 3);
  EXPECT_EQ(GetText(Col(1), 0), "a,b");
  EXPECT_EQ(GetText(Col(2), 0), "say \"hi\"");
  EXPECT_EQ(GetText(Col(3), 0), "c");
}

TEST_F(DelimitedReaderTest, StarIsMissingButOtherWordsMakeText) {
  ASSERT_EQ(Read("a,b\n1,1\n*,NA\n3,3\n"), 1);
  EXPECT_EQ(Col(1)->kind, ColumnKind::Variate);
  EXPECT_TRUE(IsMissing(CurrentDataset(), GetNumber(Col(1), 1)));
  EXPECT_EQ(GetNumber(Col(1), 2), 3);
  EXPECT_EQ(Col(2)->kind, ColumnKind::Text);
  EXPECT_EQ(GetText(Col(2), 1), "NA");
}

TEST_F(DelimitedReaderTest, InfinityAndHexAreText) {
  ASSERT_EQ(Read("a,b,c\ninf,0x1A,nan\n"), 1);
  EXPECT_EQ(Col(1)->kind, ColumnKind::Text);
  EXPECT_EQ(Col(2)->kind, ColumnKind::Text);
  EXPECT_EQ(Col(3)->kind, ColumnKind::Text);
}

TEST_F(DelimitedReaderTest, KindSuffixes) {
  ASSERT_EQ(Read("grp!,id$,n#\nb,1,12abc\na,2,abc\nb,3,7\n"), 1);
  EXPECT_EQ(ColumnNames(), (Names{"grp", "id", "n"}));
  Column* grp = Col(1);
  EXPECT_EQ(grp->kind, ColumnKind::Factor);
  EXPECT_EQ(grp->factorDisplay, 2);
  ASSERT_EQ(grp->labelCount, 2);
  EXPECT_EQ(grp->labels.Get(0), "a");
  EXPECT_EQ(GetNumber(grp, 0), 2);
  EXPECT_EQ(GetNumber(grp, 1), 1);
  EXPECT_EQ(Col(2)->kind, ColumnKind::Text);
  EXPECT_EQ(GetText(Col(2), 0), "1");
  Column* n = Col(3);
  EXPECT_EQ(n->kind, ColumnKind::Variate);
  EXPECT_EQ(GetNumber(n, 0), 12);
  EXPECT_TRUE(IsMissing(CurrentDataset(), GetNumber(n, 1)));
  EXPECT_EQ(GetNumber(n, 2), 7);
}

TEST_F(DelimitedReaderTest, NumericFactorGetsDistinctLevels) {
  ASSERT_EQ(Read("g!\n3\n1\n3\n"), 1);
  Column* g = Col(1);
  ASSERT_EQ(g->kind, ColumnKind::Factor);
  EXPECT_EQ(g->levelCount, 2);
  EXPECT_EQ(g->factorDisplay, 1);
  ASSERT_EQ(g->levelValueCount, 2);
  EXPECT_EQ(g->levelValues.Get(0), 1);
  EXPECT_EQ(g->levelValues.Get(1), 3);
  EXPECT_EQ(GetNumber(g, 0), 2);
  EXPECT_EQ(GetNumber(g, 1), 1);
  EXPECT_EQ(g->labelCount, 0);
}

TEST_F(DelimitedReaderTest, ShortLinesLeaveCellsMissingOrEmpty) {
  ASSERT_EQ(Read("a,b,c\n1,x,2\n3\n4,y\n"), 1);
  Dataset* d = CurrentDataset();
  EXPECT_EQ(d->rowCount, 3);
  EXPECT_EQ(GetText(Col(2), 1), "");
  EXPECT_TRUE(IsMissing(d, GetNumber(Col(3), 1)));
  EXPECT_TRUE(IsMissing(d, GetNumber(Col(3), 2)));
  EXPECT_EQ(GetText(Col(2), 2), "y");
}

TEST_F(DelimitedReaderTest, BlanksAreCompressedUnlessK) {
  ASSERT_EQ(Read("n,t\n1, a   b \n"), 1);
  EXPECT_EQ(GetText(Col(2), 0), "a b");
  EXPECT_EQ(Col(2)->levelCount, 3);
  ResetState();
  State().interceptFatal = true;
  State().options.compressBlanks = 0;
  ASSERT_EQ(Read("n,t\n1, a   b \n"), 1);
  EXPECT_EQ(GetText(Col(2), 0), "a   b ");
}

TEST_F(DelimitedReaderTest, CrLfAndLoneCrLineEnds) {
  for (const char* text : {"x,y,t\r\n1,2,ab\r\n3,4,cd\r\n", "x,y,t\r1,2,ab\r3,4,cd\r"}) {
    SCOPED_TRACE(text);
    ASSERT_EQ(Read(text), 1);
    EXPECT_EQ(CurrentDataset()->rowCount, 2);
    EXPECT_EQ(Col(2)->kind, ColumnKind::Variate);
    EXPECT_EQ(GetNumber(Col(2), 1), 4);
    EXPECT_EQ(GetText(Col(3), 0), "ab");
    EXPECT_EQ(ColumnNames().back(), "t");
  }
}

TEST_F(DelimitedReaderTest, LongLinesAreReadWhole) {
  std::string head = "a,b,c\n";
  std::string line = "1," + std::string(5000, 'z') + ",2\n";
  ASSERT_EQ(Read(head + line + line), 1);
  EXPECT_EQ(CurrentDataset()->rowCount, 2);
  EXPECT_EQ(CurrentDataset()->columnCount, 3);
  EXPECT_EQ(GetText(Col(2), 1), std::string(90, 'z'));
  EXPECT_EQ(GetNumber(Col(3), 1), 2);
}

TEST_F(DelimitedReaderTest, ColumnsAboveTheLimitAreDroppedWithAWarning) {
  State().columnLimit = 3;
  testing::internal::CaptureStdout();
  int ok = Read("1,2,3,4,5\n6,7,8,9,10\n");
  std::string out = testing::internal::GetCapturedStdout();
  ASSERT_EQ(ok, 1);
  EXPECT_EQ(CurrentDataset()->columnCount, 3);
  EXPECT_EQ(GetNumber(Col(3), 1), 8);
  EXPECT_EQ(out, "Warning Columns above 3 NOT transfered!\n");
}

TEST_F(DelimitedReaderTest, EmptyLinesInsideAreRowsAndOneAtTheEndIsNot) {
  ASSERT_EQ(Read("a,b\n1,2\n\n3,4\n\n"), 1);
  Dataset* d = CurrentDataset();
  EXPECT_EQ(d->rowCount, 3);
  EXPECT_TRUE(IsMissing(d, GetNumber(Col(1), 1)));
  EXPECT_EQ(GetNumber(Col(1), 2), 3);
  ASSERT_EQ(Read("a,b\n1,2\n3,4"), 1);
  EXPECT_EQ(CurrentDataset()->rowCount, 2);
  EXPECT_EQ(GetNumber(Col(2), 1), 4);
}

TEST_F(DelimitedReaderTest, TitleLinesAreSkippedInTabStyle) {
  ASSERT_EQ(Read("\"out.txt (Created by Trovadex: 10:00:00 01/02/03)\"\na\tb\n1\t2\n"), 1);
  EXPECT_EQ(CurrentDataset()->rowCount, 1);
  EXPECT_EQ(ColumnNames(), (Names{"a", "b"}));
}

TEST_F(DelimitedReaderTest, CommaInsideATabFileKeepsTabStyle) {
  ASSERT_EQ(Read("city\tn\nZurich, CH\t1\n"), 1);
  EXPECT_EQ(CurrentDataset()->columnCount, 2);
  EXPECT_EQ(GetText(Col(1), 0), "Zurich, CH");
  EXPECT_EQ(GetNumber(Col(2), 0), 1);
}

TEST_F(DelimitedReaderTest, NamesModeOptions) {
  State().namesRowMode = NamesRowMode::Absent;
  ASSERT_EQ(Read("a,b\nc,d\n"), 1);
  EXPECT_EQ(CurrentDataset()->rowCount, 2);
  EXPECT_EQ(GetText(Col(1), 0), "a");
  State().namesRowMode = NamesRowMode::Present;
  ASSERT_EQ(Read("1,2\n3,4\n"), 1);
  EXPECT_EQ(CurrentDataset()->rowCount, 1);
  EXPECT_EQ(Col(1)->name, "%1");
}

TEST_F(DelimitedReaderTest, NumbersKeepEveryDigit) {
  ASSERT_EQ(Read("v\n0.30000000000000004\n-1.2345678901234567e-300\n1e400\n9.999999e307\n+5\n"), 1);
  Dataset* d = CurrentDataset();
  EXPECT_EQ(GetNumber(Col(1), 0), 0.30000000000000004);
  EXPECT_EQ(GetNumber(Col(1), 1), -1.2345678901234567e-300);
  EXPECT_TRUE(IsMissing(d, GetNumber(Col(1), 2)));
  EXPECT_EQ(GetNumber(Col(1), 3), kNumberCap);
  EXPECT_EQ(GetNumber(Col(1), 4), 5);
}

TEST_F(DelimitedReaderTest, FailureRestoresThePreviousDataset) {
  Dataset* previous = CreateDataset();
  for (const char* text : {"", "a,b\n", "\n", "   \n"}) {
    SCOPED_TRACE(text);
    EXPECT_EQ(Read(text), 0);
    EXPECT_EQ(CurrentDataset(), previous);
  }
  EXPECT_EQ(ReadDelimitedText((dir_ / "missing.csv").c_str()), 0);
  EXPECT_EQ(CurrentDataset(), previous);
}

// Two blanks in a row anywhere in a text field (tested a word at a time)
// are compressed to one; single blanks stay.
TEST_F(DelimitedReaderTest, DoubleBlanksAtEveryPositionAreCompressed) {
  std::string file = "n,t\n";
  std::vector<std::string> expected;
  for (std::size_t length = 3; length <= 20; ++length) {
    for (std::size_t at = 1; at + 2 < length; ++at) {
      std::string text, want;
      for (std::size_t k = 0; k < length; ++k) text += static_cast<char>('a' + k);
      want = text;
      text[at] = ' ';
      text[at + 1] = ' ';
      want[at] = ' ';
      want.erase(at + 1, 1);
      file += "1," + text + "\n";
      expected.push_back(want);
      // A single blank at the same place stays as it is.
      std::string single = text;
      single.erase(at + 1, 1);
      file += "1," + single + "\n";
      expected.push_back(single);
    }
  }
  ASSERT_EQ(Read(file), 1);
  for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(GetText(Col(2), static_cast<int64_t>(i)), expected[i]) << i;
}

}  // namespace
}  // namespace trovadex
