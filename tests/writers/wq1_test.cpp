// WQ1 writer: a full sheet of texts, 17-digit numbers, missing values and
// factors goes back through the Quattro reader value by value; one row more
// is refused.
#include <gtest/gtest.h>

#include <cmath>

#include "core/dataset.h"
#include "readers/readers.h"
#include "test_support.h"
#include "writers/writers.h"

namespace trovadex {
namespace {

using Wq1WriterTest = test::StateTest;

Dataset* MakeDataset(int32_t rows) {
  Dataset* d = CreateDataset();
  d->rowCount = rows;
  EXPECT_TRUE(CreateRows(d));
  return d;
}

TEST_F(Wq1WriterTest, FullSheetReadsBackValueByValue) {
  test::TempDir dir;
  const int32_t rows = 8191;
  Dataset* d = MakeDataset(rows);
  Column* name = AddColumnWithValues(d, ColumnKind::Text, "Name", rows);
  Column* value = AddColumnWithValues(d, ColumnKind::Variate, "Value", rows);
  Column* group = AddColumnWithValues(d, ColumnKind::Factor, "Group", rows);
  group->levelCount = 3;
  SetLabelList(group, {"low", "mid", "high"});
  group->factorDisplay = 2;
  Column* rate = AddColumnWithValues(d, ColumnKind::Factor, "Rate", rows);
  rate->levelCount = 2;
  SetLevelValueList(rate, {7.5, 0.1});
  rate->factorDisplay = 1;
  std::vector<std::string> names(rows), labels(rows);
  std::vector<double> values(rows), rates(rows);
  for (int32_t i = 0; i < rows; ++i) {
    names[i] = i % 7 ? "t " + std::to_string(i) : "";
    values[i] = i % 5 ? (i + 1) / 3.0 * 1e10 + 1 / 7.0 : kMissingValue;
    double level = i % 4 == 3 ? 0 : i % 11 == 5 ? 4 : i % 4 + 1;  // 0 missing, 4 no level
    labels[i] = level == 1 ? "low" : level == 2 ? "mid" : level == 3 ? "high" : "";
    rates[i] = i % 3 == 2 ? 0.1 : 7.5;
    SetText(name, i, names[i]);
    SetNumber(value, i, values[i]);
    SetNumber(group, i, level ? level : kMissingValue);
    SetNumber(rate, i, i % 3 == 2 ? 2 : 1);
  }
  const std::string path = dir / "out.wq1";
  ASSERT_EQ(WriteWq1(d, path.c_str()), 1);

  ASSERT_EQ(ReadQuattro(path.c_str()), 1);
  Dataset* back = CurrentDataset();
  ASSERT_EQ(back->rowCount, rows);
  ASSERT_EQ(back->columnCount, 4);
  Column* c[4];
  for (int k = 0; k < 4; ++k) c[k] = ColumnAt(back, k + 1);
  EXPECT_EQ(c[0]->name, "Name");
  EXPECT_EQ(c[1]->kind, ColumnKind::Variate);
  EXPECT_EQ(c[2]->name, "Group");
  EXPECT_EQ(c[2]->kind, ColumnKind::Factor);
  EXPECT_EQ(c[3]->kind, ColumnKind::Factor);
  for (int32_t i = 0; i < rows; ++i) {
    ASSERT_EQ(GetText(c[0], i), names[i]) << i;
    ASSERT_EQ(GetNumber(c[1], i), values[i]) << i;
    double level = GetNumber(c[2], i);
    ASSERT_EQ(IsMissing(back, level) ? "" : std::string(c[2]->labels.Get(static_cast<int64_t>(level) - 1)), labels[i]);
    ASSERT_EQ(c[3]->levelValues.Get(static_cast<int64_t>(GetNumber(c[3], i)) - 1), rates[i]) << i;
  }
}

TEST_F(Wq1WriterTest, MoreRowsThanTheSheetHoldsAreRefused) {
  test::TempDir dir;
  Dataset* d = MakeDataset(8192);
  AddColumnWithValues(d, ColumnKind::Variate, "x", 8192);
  EXPECT_EQ(WriteWq1(d, (dir / "big.wq1").c_str()), 0);
}

}  // namespace
}  // namespace trovadex
