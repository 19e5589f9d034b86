#include "core/columns.h"

#include <string>
#include <vector>

#include "core/dataset.h"
#include "core/format.h"
#include "test_support.h"

namespace trovadex {
namespace {

using test::StateTest;

class ColumnsTest : public StateTest {};

std::string Names(Dataset* d) {
  std::string s;
  int32_t expected = 0;
  for (Column* c = d->firstColumn; c; c = c->next, ++expected) {
    if (!s.empty()) s += ',';
    s += c->name;
    EXPECT_EQ(c->position, expected) << c->name;
    EXPECT_EQ(c->next ? c->next->prev : d->lastColumn, c);
  }
  return s;
}

Dataset* MakeDataset(const std::vector<const char*>& names, int rows = 3) {
  Dataset* d = CreateDataset();
  d->rowCount = rows;
  CreateRows(d);
  for (const char* n : names) AddColumnWithValues(d, ColumnKind::Variate, n, rows);
  return d;
}

TEST_F(ColumnsTest, UnlinkRenumbersAndResetsTheCache) {
  Dataset* d = MakeDataset({"a", "b", "c"});
  Column* units = AddColumnWithValues(d, ColumnKind::VariateUnits, "u", 3);
  ASSERT_EQ(d->unitsColumnCount, 2);
  ASSERT_EQ(ColumnAt(d, 3)->name, "c");
  ASSERT_NE(d->cachedColumn, nullptr);
  Column* b = ColumnAt(d, 2);
  EXPECT_TRUE(UnlinkColumn(b));
  EXPECT_EQ(d->cachedColumn, nullptr);
  EXPECT_EQ(d->cachedColumnIndex, -1);
  EXPECT_EQ(Names(d), "Row,a,c,u");
  EXPECT_EQ(d->columnCount, 3);
  EXPECT_EQ(b->next, nullptr);
  EXPECT_EQ(b->prev, nullptr);
  EXPECT_FALSE(UnlinkColumn(b));  // not in the list any more
  EXPECT_EQ(d->columnCount, 3);
  EXPECT_TRUE(UnlinkColumn(units));
  EXPECT_EQ(d->unitsColumnCount, 1);
  EXPECT_EQ(d->lastColumn->name, "c");
  EXPECT_EQ(ColumnAt(d, 2)->name, "c");
  EXPECT_TRUE(UnlinkColumn(ColumnAt(d, 1)));
  EXPECT_TRUE(UnlinkColumn(ColumnAt(d, 1)));
  EXPECT_EQ(Names(d), "Row");
  EXPECT_EQ(d->lastColumn, d->firstColumn);
  EXPECT_EQ(d->columnCount, 0);
  Column orphan;
  EXPECT_FALSE(UnlinkColumn(&orphan));
  EXPECT_FALSE(UnlinkColumn(nullptr));
}

TEST_F(ColumnsTest, InsertPlaces) {
  Dataset* d = MakeDataset({"a", "b", "c"});
  Column* b = ColumnAt(d, 2);
  ASSERT_TRUE(UnlinkColumn(b));
  EXPECT_TRUE(InsertColumn(d, b, 0));  // in front of "Row"
  EXPECT_EQ(Names(d), "b,Row,a,c");
  ASSERT_TRUE(UnlinkColumn(b));
  EXPECT_TRUE(InsertColumn(d, b, 99));
  EXPECT_EQ(Names(d), "Row,a,c,b");
  ASSERT_TRUE(UnlinkColumn(b));
  EXPECT_TRUE(InsertColumn(d, b, 2));
  EXPECT_EQ(Names(d), "Row,a,b,c");
  EXPECT_EQ(d->columnCount, 3);
  EXPECT_EQ(d->cachedColumnIndex, -1);
  EXPECT_FALSE(InsertColumn(d, b, 1));  // still linked
  EXPECT_EQ(Names(d), "Row,a,b,c");
  // A units column inserted back counts again.
  Column* u = AddColumnWithValues(d, ColumnKind::TextUnits, "u", 3);
  ASSERT_TRUE(UnlinkColumn(u));
  EXPECT_EQ(d->unitsColumnCount, 1);
  EXPECT_TRUE(InsertColumn(d, u, 1));
  EXPECT_EQ(d->unitsColumnCount, 2);
  EXPECT_EQ(Names(d), "Row,u,a,b,c");
}

TEST_F(ColumnsTest, MoveColumnRules) {
  Dataset* d = MakeDataset({"a", "b"});
  Column* u = AddColumnWithValues(d, ColumnKind::VariateUnits, "u", 3);
  AddColumnWithValues(d, ColumnKind::Variate, "c", 3);
  ASSERT_EQ(Names(d), "Row,a,b,u,c");
  EXPECT_FALSE(MoveColumn(d, 3, 2));  // a units column only goes to 1
  EXPECT_TRUE(MoveColumn(d, 3, 1));
  EXPECT_EQ(Names(d), "Row,u,a,b,c");
  EXPECT_EQ(d->unitsColumnCount, 2);
  EXPECT_EQ(d->columnCount, 4);
  EXPECT_EQ(u->position, 1);
  EXPECT_FALSE(MoveColumn(d, 2, 1));  // position 1 holds the units column
  EXPECT_FALSE(MoveColumn(d, 4, 1));
  EXPECT_TRUE(MoveColumn(d, 4, 2));
  EXPECT_EQ(Names(d), "Row,u,c,a,b");
  EXPECT_TRUE(MoveColumn(d, 2, 4));
  EXPECT_EQ(Names(d), "Row,u,a,b,c");
  EXPECT_TRUE(MoveColumn(d, 3, 3));
  EXPECT_FALSE(MoveColumn(d, 0, 2));
  EXPECT_FALSE(MoveColumn(d, 2, 0));
  EXPECT_FALSE(MoveColumn(d, 9, 2));
  EXPECT_FALSE(MoveColumn(d, 2, 9));
  EXPECT_FALSE(MoveColumn(nullptr, 2, 3));
  d->locked = 1;
  EXPECT_FALSE(MoveColumn(d, 2, 3));
  EXPECT_EQ(Names(d), "Row,u,a,b,c");
}

TEST_F(ColumnsTest, MoveInTableAvoidsPositionOne) {
  Dataset* d = CreateDataset();
  d->shape = DatasetShape::Table;
  d->classifierCount = 1;
  AddColumn(d, ColumnKind::Factor, "f", 25);
  AddColumn(d, ColumnKind::TableColumn, "t1", 25);
  AddColumn(d, ColumnKind::TableColumn, "t2", 25);
  ASSERT_EQ(d->unitsColumnCount, 2);
  EXPECT_FALSE(MoveColumn(d, 1, 2));
  EXPECT_FALSE(MoveColumn(d, 2, 1));
  EXPECT_TRUE(MoveColumn(d, 3, 2));
  EXPECT_EQ(Names(d), "Row,f,t2,t1");
  EXPECT_EQ(d->unitsColumnCount, 2);
}

TEST_F(ColumnsTest, MatrixColumnsAreNumberedAgainAfterAMove) {
  Dataset* d = CreateDataset();
  d->shape = DatasetShape::Matrix;
  for (const char* n : {"1", "2", "3"}) AddColumn(d, ColumnKind::MatrixColumn, n, 25);
  Column* first = ColumnAt(d, 1);
  EXPECT_TRUE(MoveColumn(d, 1, 3));
  EXPECT_EQ(first->position, 3);
  EXPECT_EQ(Names(d), "Row,1,2,3");
  EXPECT_EQ(first->name, "3");
  d->labelStyle = 2;
  EXPECT_TRUE(MoveColumn(d, 3, 1));
  EXPECT_EQ(Names(d), "Row,3,1,2");
}

TEST_F(ColumnsTest, NumberColumnsSkipsUnits) {
  Dataset* d = MakeDataset({});
  AddColumnWithValues(d, ColumnKind::TextUnits, "labels", 3);
  AddColumnWithValues(d, ColumnKind::Variate, "x", 3);
  AddColumnWithValues(d, ColumnKind::Variate, "y", 3);
  NumberColumns(d);
  EXPECT_EQ(Names(d), "Row,labels,1,2");
}

TEST_F(ColumnsTest, MarkEmptyRowsAndColumns) {
  Dataset* d = MakeDataset({}, 4);
  Column* units = AddColumnWithValues(d, ColumnKind::VariateUnits, "u", 4);
  Column* x = AddColumnWithValues(d, ColumnKind::Variate, "x", 4);
  Column* t = AddColumnWithValues(d, ColumnKind::Text, "t", 4);
  Column* m = AddColumnWithValues(d, ColumnKind::Variate, "m", 4);
  Column* e = AddColumnWithValues(d, ColumnKind::Text, "e", 4);
  for (int i = 0; i < 4; ++i) SetNumber(units, i, i + 1);  // ignored for rows
  SetNumber(x, 0, 1.5);
  SetText(t, 2, "a");
  SetNumber(m, 1, -9.9e306);  // not missing
  EXPECT_EQ(MarkEmptyRows(d, false), 1);
  EXPECT_EQ(d->rows[0].empty, 0);
  EXPECT_EQ(d->rows[1].empty, 0);
  EXPECT_EQ(d->rows[2].empty, 0);
  EXPECT_EQ(d->rows[3].empty, 1);
  SetNumber(m, 1, kMissingValue);
  EXPECT_EQ(MarkEmptyColumns(d, false), 2);
  EXPECT_EQ(units->empty, 0);
  EXPECT_EQ(x->empty, 0);
  EXPECT_EQ(t->empty, 0);
  EXPECT_EQ(m->empty, 1);
  EXPECT_EQ(e->empty, 1);
  EXPECT_EQ(MarkEmptyRows(d, false), 2);
}

TEST_F(ColumnsTest, SymmetricMatrixPairsRowsWithColumns) {
  Dataset* d = CreateDataset();
  d->shape = DatasetShape::SymmetricMatrix;
  d->rowCount = 3;
  CreateRows(d);
  Column* c[3];
  for (int i = 0; i < 3; ++i) {
    c[i] = AddColumnWithValues(d, ColumnKind::SymmetricMatrixColumn, std::to_string(i + 1), 3);
  }
  // Lower triangle of a matrix whose second row and column are empty, with
  // a stray value above the diagonal that must not count.
  SetNumber(c[0], 0, 1);
  SetNumber(c[0], 2, 4);
  SetNumber(c[2], 2, 6);
  SetNumber(c[2], 1, 9);  // row 1 is above column 2's diagonal
  EXPECT_EQ(MarkEmptyRows(d, false), 1);
  EXPECT_EQ(d->rows[1].empty, 1);
  EXPECT_EQ(MarkEmptyRows(d, true), 1);
  EXPECT_EQ(d->rows[1].empty, 1);
  EXPECT_EQ(c[1]->empty, 1);
  EXPECT_EQ(c[0]->empty, 0);
  // Column 2 empty but row 2 not: neither counts.
  SetNumber(c[0], 1, 2);
  EXPECT_EQ(MarkEmptyColumns(d, true), 0);
  EXPECT_EQ(d->rows[1].empty, 0);
  EXPECT_EQ(c[1]->empty, 0);
}

TEST_F(ColumnsTest, ComputeWidthExamples) {
  Dataset* d = MakeDataset({}, 2);
  Column* x = AddColumnWithValues(d, ColumnKind::Variate, "x", 2);
  SetNumber(x, 0, 1.5);
  SetNumber(x, 1, 100);
  EXPECT_EQ(ComputeWidth(x), 4);
  EXPECT_EQ(x->width, 4);
  x->name = "a_long_column_name";
  EXPECT_EQ(ComputeWidth(x), 12);

  Column* m = AddColumnWithValues(d, ColumnKind::Variate, "m", 2);
  EXPECT_EQ(ComputeWidth(m), 3);  // "*" counts 1, at least 2

  Column* f = AddColumnWithValues(d, ColumnKind::Factor, "f", 2);
  f->levelCount = 10;
  f->factorDisplay = 0;
  EXPECT_EQ(ComputeWidth(f), 4);
  f->levelCount = 9;
  EXPECT_EQ(ComputeWidth(f), 3);
  f->factorDisplay = 1;
  SetLevelValueList(f, {1, 2.25, -1000});
  EXPECT_EQ(ComputeWidth(f), 6);
  f->factorDisplay = 2;
  SetLabelList(f, {"low", "a much longer label"});
  EXPECT_EQ(ComputeWidth(f), 20);
  EXPECT_EQ(f->longestLabel, 19);
  f->factorDisplay = 7;
  EXPECT_EQ(ComputeWidth(f), 3);

  Column* t = AddColumnWithValues(d, ColumnKind::Text, "text", 2);
  SetText(t, 0, "abcdefg");
  EXPECT_EQ(ComputeWidth(t), 8);
  EXPECT_EQ(t->levelCount, 7);

  Column* date = AddColumnWithValues(d, ColumnKind::Variate, "when", 2);
  date->valueFormat = 5;
  date->dateBase = 0;
  date->dateRepresentation = 25;
  SetNumber(date, 0, 36892);
  EXPECT_EQ(ComputeWidth(date), 11);  // "2001-01-01"
  EXPECT_EQ(CurrentDateRepresentation(), 25);
}

TEST_F(ColumnsTest, EstimateDigits) {
  EXPECT_EQ(EstimateDigits(1.5), 3);
  EXPECT_EQ(EstimateDigits(-123.25), 5);
  EXPECT_EQ(EstimateDigits(0), 3);
  EXPECT_EQ(EstimateDigits(0.5), 3);
  EXPECT_EQ(EstimateDigits(0.0015), 5);
  EXPECT_EQ(EstimateDigits(0.00015), 6);
  EXPECT_EQ(EstimateDigits(1234567), 9);
  EXPECT_EQ(EstimateDigits(1e12), 15);
  EXPECT_EQ(EstimateDigits(1e-13), 15);
  EXPECT_EQ(EstimateDigits(1e300), 15);
  EXPECT_EQ(EstimateDigits(-1e307), 15);
}

}  // namespace
}  // namespace trovadex
