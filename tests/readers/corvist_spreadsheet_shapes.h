// Small Datasets of every shape for the Corvist spreadsheet tests.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/dataset.h"

namespace trovadex::test::crs_shapes {

constexpr double M = kMissingValue;

inline Column* NumberColumn(Dataset* d, ColumnKind kind, const char* name, std::vector<double> values,
                     int32_t decimals = -1, int32_t width = 8) {
  Column* c = AddColumnWithValues(d, kind, name, static_cast<int32_t>(values.size()));
  for (std::size_t i = 0; i < values.size(); ++i) SetNumber(c, i, values[i]);
  c->decimals = decimals;
  c->width = width;
  return c;
}

inline Column* TextColumn(Dataset* d, ColumnKind kind, const char* name, std::vector<std::string> values) {
  Column* c = AddColumnWithValues(d, kind, name, static_cast<int32_t>(values.size()));
  for (std::size_t i = 0; i < values.size(); ++i) SetText(c, i, values[i]);
  c->width = 12;
  return c;
}

inline Column* FactorColumn(Dataset* d, const char* name, int32_t levels, std::vector<double> values,
                     std::vector<double> levelValues, std::vector<std::string> labels) {
  Column* c = NumberColumn(d, ColumnKind::Factor, name, values);
  c->levelCount = levels;
  if (!levelValues.empty()) SetLevelValueList(c, levelValues);
  if (!labels.empty()) SetLabelList(c, labels);
  c->factorDisplay = !labels.empty() ? 2 : !levelValues.empty() ? 1 : 0;
  c->valueFormat = c->factorDisplay == 2 ? 4 : 1;
  if (!levelValues.empty()) c->decimals = 1;
  return c;
}

inline Dataset* NewDataset(DatasetShape shape, int32_t rows) {
  Dataset* d = CreateDataset();
  d->shape = shape;
  d->rowCount = rows;
  EXPECT_TRUE(CreateRows(d));
  return d;
}

inline Dataset* MakeColumns() {
  Dataset* d = NewDataset(DatasetShape::Columns, 4);
  TextColumn(d, ColumnKind::TextUnits, "id", {"r1", "r2", "r3", "r4"});
  Column* x = NumberColumn(d, ColumnKind::Variate, "x", {1.5, -2.25e10, M, 1e-300}, 2, 75);
  x->description = "the x";
  x->justification = 2;
  x->minimum = -5;
  x->maximum = 5;
  x->note = "x note";
  x->hasNote = true;
  x->locked = 1;
  FactorColumn(d, "f", 3, {1, 3, 2, M}, {10, 20.5, 30}, {"lo", "mid", "high"});
  FactorColumn(d, "g", 2, {2, 1, 1, 2}, {}, {});
  TextColumn(d, ColumnKind::Text, "t", {"alpha", "", "gamma \xCE\xB4", "x'y"});
  Column* date1 = NumberColumn(d, ColumnKind::Variate, "d", {40000, 40001, 40002, 40003}, -1, 11);
  date1->valueFormat = 5;
  date1->dateBase = 1;
  date1->dateRepresentation = 7;
  Column* date2 = NumberColumn(d, ColumnKind::Variate, "e", {1, 2, M, 4}, -1, 11);
  date2->valueFormat = 5;
  date2->dateBase = 0;
  date2->dateRepresentation = 12;
  d->rows[1].restricted = 1;
  d->hasRestriction = 1;
  AppendNote(d, "first note");
  AppendNote(d, "second");
  d->sheetFlag = 1;
  d->locked = 1;
  return d;
}

// Small, but with every block: factor level values and labels, a text column,
// a column note, a range, the restriction, notes.
inline Dataset* MakeSmall() {
  Dataset* d = NewDataset(DatasetShape::Columns, 2);
  Column* x = NumberColumn(d, ColumnKind::Variate, "x", {1.5, M}, 1);
  x->minimum = 0;
  x->note = "n";
  FactorColumn(d, "f", 2, {2, 1}, {3, 4}, {"a", "b"});
  TextColumn(d, ColumnKind::Text, "t", {"u", ""});
  d->rows[0].restricted = 1;
  d->hasRestriction = 1;
  AppendNote(d, "note");
  return d;
}

inline Dataset* MakeMatrix() {
  Dataset* d = NewDataset(DatasetShape::Matrix, 3);
  d->name = "M";
  d->labelStyle = 2;
  TextColumn(d, ColumnKind::TextUnits, "rows", {"a", "b", "c"});
  Column* c1 = NumberColumn(d, ColumnKind::MatrixColumn, "c1", {1, 2, 3}, 0);
  c1->minimum = 0;
  c1->maximum = 9;
  Column* c2 = NumberColumn(d, ColumnKind::MatrixColumn, "c2", {4, M, 6.125}, 3);
  c2->minimum = 1;  // only the first matrix column's range is kept
  return d;
}

inline Dataset* MakeSymmetric() {
  Dataset* d = NewDataset(DatasetShape::SymmetricMatrix, 3);
  d->name = "S";
  Column* u = NumberColumn(d, ColumnKind::VariateUnits, "u", {1, 2, 3});
  u->maximum = 3;
  NumberColumn(d, ColumnKind::SymmetricMatrixColumn, "1", {1, 0.5, 0.25});
  // Column k holds (k, k), (k+1, k), ...
  NumberColumn(d, ColumnKind::SymmetricMatrixColumn, "2", {1, -0.75});
  NumberColumn(d, ColumnKind::SymmetricMatrixColumn, "3", {1});
  return d;
}

inline Dataset* MakeDiagonal() {
  Dataset* d = NewDataset(DatasetShape::DiagonalMatrix, 3);
  d->name = "D";
  TextColumn(d, ColumnKind::TextUnits, "r", {"p", "q", "s"});
  NumberColumn(d, ColumnKind::Numeric6, "D", {7, 8, 9.5}, 1);
  return d;
}

inline Dataset* MakeOneWayTable() {
  Dataset* d = NewDataset(DatasetShape::Table, 4);
  d->classifierCount = 1;
  d->hasMargins = 1;
  d->name = "T1";
  d->columnFactorName = "cf1";
  FactorColumn(d, "fac", 3, {1, 2, 3, 4}, {}, {"a", "b", "c"});
  NumberColumn(d, ColumnKind::TableColumn, "tot", {5, 6, 7, 18}, 0);
  return d;
}

inline Dataset* MakeTwoWayTable() {
  Dataset* d = NewDataset(DatasetShape::Table, 2);
  d->classifierCount = 2;
  d->labelStyle = 3;
  d->name = "T2";
  d->columnFactorName = "cf";
  d->tableFlag = 1;
  FactorColumn(d, "rf", 2, {1, 2}, {5, 6}, {});
  Column* b1 = NumberColumn(d, ColumnKind::TableColumn, "b1", {1, 2}, 1);
  b1->columnLabel = "lab1";
  b1->levelValue = 1.5;
  Column* b2 = NumberColumn(d, ColumnKind::TableColumn, "b2", {3, M}, 1);
  b2->columnLabel = "lab2";
  b2->levelValue = 2.5;
  return d;
}

inline Dataset* MakeScalars() {
  Dataset* d = NewDataset(DatasetShape::Scalars, 1);
  NumberColumn(d, ColumnKind::Scalar, "s1", {3.25}, 2);
  NumberColumn(d, ColumnKind::Scalar, "s2", {-1});
  return d;
}

}  // namespace trovadex::test::crs_shapes
