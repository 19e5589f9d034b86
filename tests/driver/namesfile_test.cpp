#include "driver/namesfile.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "core/dataset.h"
#include "test_support.h"

namespace trovadex {
namespace {

class NamesFile : public test::StateTest {
 protected:
  // Row, then variate "yield", text "code", variate "height", factor "block".
  Dataset* MakeColumns() {
    Dataset* d = CreateDataset();
    d->rowCount = 3;
    Column* yield = AddColumnWithValues(d, ColumnKind::Variate, "yield", 3);
    Column* code = AddColumnWithValues(d, ColumnKind::Text, "code", 3);
    Column* height = AddColumnWithValues(d, ColumnKind::Variate, "height", 3);
    Column* block = AddColumnWithValues(d, ColumnKind::Factor, "block", 3);
    for (int i = 0; i < 3; ++i) {
      SetNumber(yield, i, 4.5 + i);
      SetText(code, i, i == 1 ? "12" : "7");
      SetNumber(height, i, 100 + i);
      SetNumber(block, i, 1 + i % 2);
    }
    block->levelCount = 2;
    return d;
  }

  // Applies `text` as a names file.
  int Apply(Dataset* d, const std::string& text) {
    std::string path = dir_ / "names.VAR";
    test::WriteFile(path, text);
    std::FILE* f = std::fopen(path.c_str(), "rb");
    EXPECT_NE(f, nullptr);
    int result = ApplyNamesFile(d, f);
    std::fclose(f);
    return result;
  }

  // The i-th data column (from 1) walking the list; a failed test when absent.
  static Column* Data(Dataset* d, int i) {
    Column* c = d->firstColumn;
    while (c && (c->kind == ColumnKind::RowIndex || --i > 0)) c = c->next;
    if (!c) ADD_FAILURE() << "no data column " << i;
    static Column empty;
    return c ? c : &empty;
  }

  static std::vector<std::string> Names(Dataset* d) {
    std::vector<std::string> names;
    for (Column* c = d->firstColumn; c; c = c->next) {
      if (c->kind != ColumnKind::RowIndex) names.push_back(c->name);
    }
    return names;
  }

  test::TempDir dir_;
};

using Strings = std::vector<std::string>;

TEST_F(NamesFile, WrittenWithCountAndOneNamePerLineInCrLf) {
  Dataset* d = MakeColumns();
  std::string path = dir_ / "trial.VAR";
  ASSERT_EQ(WriteNamesFile(d, path.c_str()), 1);
  EXPECT_EQ(test::ReadFile(path), "4\r\nyield\r\ncode\r\nheight\r\nblock\r\n");
}

TEST_F(NamesFile, MatricesAndTwoWayTablesNameTheDataset) {
  struct Case {
    DatasetShape shape;
    int classifiers;
    const char* expected;
  } cases[] = {
      {DatasetShape::Matrix, 0, "1\r\nM\r\n"},
      {DatasetShape::SymmetricMatrix, 0, "1\r\nM\r\n"},
      {DatasetShape::DiagonalMatrix, 0, "1\r\nM\r\n"},
      {DatasetShape::Table, 2, "1\r\nM\r\n"},
      {DatasetShape::Table, 1, "1\r\nc1\r\n"},
  };
  for (const Case& c : cases) {
    Dataset* d = CreateDataset();
    d->shape = c.shape;
    d->classifierCount = c.classifiers;
    d->name.assign(1, 'M');
    AddColumnWithValues(d, ColumnKind::MatrixColumn, "c1", 2);
    std::string path = dir_ / "m.VAR";
    ASSERT_EQ(WriteNamesFile(d, path.c_str()), 1);
    EXPECT_EQ(test::ReadFile(path), c.expected);
  }
}

TEST_F(NamesFile, WriteFailuresReturnZero) {
  Dataset* d = MakeColumns();
  EXPECT_EQ(WriteNamesFile(nullptr, (dir_ / "x.VAR").c_str()), 0);
  EXPECT_EQ(WriteNamesFile(d, nullptr), 0);
  EXPECT_EQ(WriteNamesFile(d, (dir_ / "no-such-dir/x.VAR").c_str()), 0);
  if (std::filesystem::exists("/dev/full")) {
    EXPECT_EQ(WriteNamesFile(d, "/dev/full"), 0);  // the data cannot be flushed
    EXPECT_TRUE(std::filesystem::exists("/dev/full"));
  }
}

TEST_F(NamesFile, RenameDropAndKindSuffixes) {
  Dataset* d = MakeColumns();
  ASSERT_EQ(Apply(d, "4\nplot yield!\n*code\nht$\nblock#\n"), 1);
  EXPECT_EQ(Names(d), (Strings{"plot_yield", "ht", "block"}));
  EXPECT_EQ(d->columnCount, 3);
  Column* first = Data(d, 1);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->kind, ColumnKind::Factor);
  EXPECT_EQ(Data(d, 2)->kind, ColumnKind::Text);
  EXPECT_EQ(Data(d, 3)->kind, ColumnKind::Variate);
  EXPECT_EQ(d->lastColumn, Data(d, 3));
}

TEST_F(NamesFile, TextBecomesNumberAndFactorBecomesText) {
  Dataset* d = MakeColumns();
  ASSERT_EQ(Apply(d, "4\n\ncode#\n\nblock$\n"), 1);
  EXPECT_EQ(Names(d), (Strings{"yield", "code", "height", "block"}));
  EXPECT_EQ(Data(d, 1)->kind, ColumnKind::Variate);
  EXPECT_EQ(Data(d, 2)->kind, ColumnKind::Variate);
  EXPECT_EQ(Data(d, 4)->kind, ColumnKind::Text);
}

TEST_F(NamesFile, SuffixThatDoesNotApplyIsStillRemoved) {
  Dataset* d = MakeColumns();
  // "#" on a variate and "$" on a text change nothing but the name.
  ASSERT_EQ(Apply(d, "2\nweight#\nlabel$\n"), 1);
  EXPECT_EQ(Names(d), (Strings{"weight", "label", "height", "block"}));
  EXPECT_EQ(Data(d, 1)->kind, ColumnKind::Variate);
  EXPECT_EQ(Data(d, 2)->kind, ColumnKind::Text);
}

TEST_F(NamesFile, ThirdLineStarRemovesSecondColumnAndNextLineNamesTheFollowingOne) {
  Dataset* d = MakeColumns();
  ASSERT_EQ(Apply(d, "4\nA\n*x\nB\nC\n"), 1);
  EXPECT_EQ(Names(d), (Strings{"A", "B", "C"}));
}

TEST_F(NamesFile, FirstLineThatIsNotACountNamesTheFirstColumn) {
  Dataset* d = MakeColumns();
  ASSERT_EQ(Apply(d, "first\nsecond\n"), 1);
  EXPECT_EQ(Names(d), (Strings{"first", "second", "height", "block"}));

  Dataset* e = MakeColumns();
  ASSERT_EQ(Apply(e, "0\nsecond\n"), 1);  // zero is not a count
  EXPECT_EQ(Names(e)[0], "%0");
  EXPECT_EQ(Names(e)[1], "second");
}

TEST_F(NamesFile, BlankLinesKeepTheColumnAndExtraLinesAreIgnored) {
  Dataset* d = MakeColumns();
  ASSERT_EQ(Apply(d, "4\n   \n\nH\nB\nextra1\nextra2\n"), 1);
  EXPECT_EQ(Names(d), (Strings{"yield", "code", "H", "B"}));
}

TEST_F(NamesFile, CarriageReturnsAreDroppedBeforeTheSuffix) {
  Dataset* d = MakeColumns();
  ASSERT_EQ(Apply(d, "4\r\nyield!\r\nname\r\n*\r\nb\r\n"), 1);
  EXPECT_EQ(Names(d), (Strings{"yield", "name", "b"}));
  EXPECT_EQ(Data(d, 1)->kind, ColumnKind::Factor);
}

TEST_F(NamesFile, LongLinesDoNotSpillIntoTheNextColumn) {
  Dataset* d = MakeColumns();
  // 150 letters, then a "*" at column 200 and more text: one line only.
  std::string longLine = std::string(150, 'a') + std::string(49, ' ') + "*" + std::string(60, 'z');
  ASSERT_EQ(Apply(d, "4\n" + longLine + "\nsecond\n"), 1);
  Strings names = Names(d);
  ASSERT_EQ(names.size(), 4u);
  EXPECT_EQ(names[0], std::string(40, 'a'));
  EXPECT_EQ(names[1], "second");
  EXPECT_EQ(names[2], "height");
}

TEST_F(NamesFile, SingleCharacterLastLineWithoutLineEnd) {
  Dataset* d = MakeColumns();
  ASSERT_EQ(Apply(d, "4\nA\nB"), 1);
  EXPECT_EQ(Names(d), (Strings{"A", "B", "height", "block"}));
}

TEST_F(NamesFile, MatrixFileRenamesTheDataset) {
  Dataset* d = CreateDataset();
  d->shape = DatasetShape::Matrix;
  d->name = "M";
  AddColumnWithValues(d, ColumnKind::MatrixColumn, "1", 2);
  AddColumnWithValues(d, ColumnKind::MatrixColumn, "2", 2);
  ASSERT_EQ(Apply(d, "1\nCorr\n"), 1);
  EXPECT_EQ(d->name, "Corr");
  EXPECT_EQ(Names(d), (Strings{"1", "2"}));

  Dataset* t = CreateDataset();
  t->shape = DatasetShape::Table;
  t->classifierCount = 2;
  t->name = "T";
  AddColumnWithValues(t, ColumnKind::Factor, "rows", 2);
  ASSERT_EQ(Apply(t, "1\r\n*x\r\n"), 1);  // nothing to drop: the table stays
  EXPECT_EQ(t->name, "T");
  EXPECT_EQ(Names(t), (Strings{"rows"}));
}

TEST_F(NamesFile, RoundTripOfAWrittenFile) {
  Dataset* d = MakeColumns();
  std::string path = dir_ / "trial.VAR";
  ASSERT_EQ(WriteNamesFile(d, path.c_str()), 1);
  Dataset* e = MakeColumns();
  std::FILE* f = std::fopen(path.c_str(), "rb");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(ApplyNamesFile(e, f), 1);
  std::fclose(f);
  EXPECT_EQ(Names(e), Names(d));
  EXPECT_EQ(e->columnCount, 4);
}

TEST_F(NamesFile, MissingArgumentsFail) {
  Dataset* d = MakeColumns();
  EXPECT_EQ(ApplyNamesFile(d, nullptr), 0);
  std::string path = dir_ / "n.VAR";
  test::WriteFile(path, "1\nx\n");
  std::FILE* f = std::fopen(path.c_str(), "rb");
  EXPECT_EQ(ApplyNamesFile(nullptr, f), 0);
  std::fclose(f);
}

}  // namespace
}  // namespace trovadex
