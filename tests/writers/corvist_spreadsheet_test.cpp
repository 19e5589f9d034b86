#include <filesystem>
#include <string>
#include <vector>

#include "core/dataset.h"
#include "readers/corvist_spreadsheet_bytes.h"
#include "readers/readers.h"
#include "test_support.h"
#include "writers/writers.h"

namespace trovadex {
namespace {

using test::CrsBytes;
using test::StateTest;
using test::TempDir;

constexpr double M = kMissingValue;

class CorvistSpreadsheetWriter : public StateTest {
 protected:
  // Writes `d` with `version`; returns the file's bytes ("" when not written).
  std::string Write(Dataset* d, int version = 3) {
    State().spreadsheetVersion = version;
    const std::string path = dir_ / "out.crs";
    std::filesystem::remove(path);
    result_ = WriteCorvistSpreadsheet(d, path.c_str());
    return std::filesystem::exists(path) ? test::ReadFile(path) : std::string();
  }
  static Dataset* NewDataset(DatasetShape shape, int32_t rows) {
    Dataset* d = CreateDataset();
    d->shape = shape;
    d->rowCount = rows;
    EXPECT_TRUE(CreateRows(d));
    return d;
  }
  static Column* Numbers(Dataset* d, ColumnKind kind, const char* name, std::vector<double> v) {
    Column* c = AddColumnWithValues(d, kind, name, static_cast<int32_t>(v.size()));
    for (std::size_t i = 0; i < v.size(); ++i) SetNumber(c, i, v[i]);
    return c;
  }
  // Header of a version 3 file.
  static CrsBytes Header(int version, int32_t shape, int32_t records, int32_t rows,
                         int32_t contents = 0) {
    CrsBytes b;
    b.I32(version == 1 ? 53315331 : version == 2 ? 53325332 : 54415441);
    b.I32(shape).I32(records).I32(rows).F64(M);
    if (version >= 2) b.I32(0);
    if (version >= 3) b.I32(0).I32(contents).I32(0).I32(0);
    return b;
  }
  TempDir dir_;
  int result_ = -1;
};

// The whole file of a small Dataset, field by field from the layout tables.
TEST_F(CorvistSpreadsheetWriter, GoldenVersion3File) {
  Dataset* d = NewDataset(DatasetShape::Columns, 2);
  Column* x = Numbers(d, ColumnKind::Variate, "x", {1.5, 2});
  x->decimals = 1;
  x->width = 8;
  x->description = "d";
  x->minimum = 1;
  x->maximum = 2;
  Column* t = AddColumnWithValues(d, ColumnKind::Text, "t", 2);
  SetText(t, 0, "ab");
  SetText(t, 1, "c");
  t->width = 5;
  Column* f = Numbers(d, ColumnKind::Factor, "f", {2, 1});
  f->levelCount = 2;
  SetLevelValueList(f, {10, 20});
  SetLabelList(f, {"lo", "hi"});
  f->factorDisplay = 2;
  f->valueFormat = 4;
  f->decimals = 0;
  f->width = 4;
  d->rows[1].restricted = 1;
  d->hasRestriction = 1;
  AppendNote(d, "hi");

  CrsBytes e;
  // magic, shape, records (3 columns + restriction), rows, missing value,
  // sheet flag, locked, contents (notes 8 + ranges 1024), reserved, extension
  e.I32(54415441).I32(1).I32(4).I32(2).F64(-1e307).I32(0).I32(0).I32(1032).I32(0).I32(0);
  // x: kind, values, name, description, format, width, justification,
  // date word (base 0 × 64 + representation 3), locked, note length,
  // decimals, values
  e.I32(4).I32(2).Str("x").Str("d").I32(1).I32(8).I32(0).I32(3).I32(0).I32(0);
  e.I32(1).F64(1.5).F64(2);
  // t: ... longest value, values
  e.I32(3).I32(2).Str("t").Str("").I32(4).I32(5).I32(0).I32(3).I32(0).I32(0);
  e.I32(2).Str("ab").Str("c");
  // f: ... levels, level values, labels, display, decimals, longest label,
  // level values, labels, level numbers
  e.I32(2).I32(2).Str("f").Str("").I32(4).I32(4).I32(0).I32(3).I32(0).I32(0);
  e.I32(2).I32(2).I32(2).I32(2).I32(0).I32(2).F64(10).F64(20).Str("lo").Str("hi").F64(2).F64(1);
  // restriction record
  e.I32(21).I32(2).I32(0).I32(1);
  // notes block: length, count, notes
  e.I32(2).I32(1).Str("hi");
  // ranges block: count, then position, minimum, maximum
  e.I32(1).I32(1).F64(1).F64(2);

  std::string got = Write(d);
  EXPECT_EQ(result_, 1);
  EXPECT_EQ(got, e.bytes);
  // The missing value's bytes.
  EXPECT_EQ(got.substr(16, 8), std::string("\x33\x74\xAC\x3C\x1F\x7B\xAC\xFF", 8));
}

// One Variate of one row, one case a row: what each version writes of the
// display attributes.
struct AttributeCase {
  int version;
  int32_t width, valueFormat, justification, dateBase, dateRepresentation;
  int32_t wroteWidth, wroteFormat, wroteJustification, wroteDateWord;
};

TEST_F(CorvistSpreadsheetWriter, DisplayAttributesByVersion) {
  const AttributeCase cases[] = {
      {1, 75, 1, 0, 0, 3, 40, 1, -1, -1},
      {2, 75, 1, 0, 0, 3, 60, 1, 0, -1},
      {3, 75, 1, 0, 0, 3, 75, 1, 0, 3},
      {3, 120, 1, 0, 0, 3, 90, 1, 0, 3},
      {1, 120, 1, 0, 0, 3, 40, 1, -1, -1},
      {2, 0, 1, 0, 0, 3, 2, 1, 0, -1},
      {3, 0, 1, 0, 0, 3, 2, 1, 0, 3},
      {1, 10, 5, 2, 1, 7, 10, 1, -1, -1},   // dates become plain numbers
      {2, 10, 5, 2, 1, 7, 10, 1, 2, -1},
      {3, 10, 5, 2, 1, 7, 10, 5, 2, 71},    // base 1 × 64 + 7
      {3, 10, 9, 5, 0, 3, 10, 1, 0, 3},     // out-of-range format and justification
      {3, 10, -2, -1, 0, 3, 10, 1, 0, 3},
  };
  for (const AttributeCase& c : cases) {
    ResetState();
    State().interceptFatal = true;
    InitOptions();
    Dataset* d = NewDataset(DatasetShape::Columns, 1);
    Column* v = Numbers(d, ColumnKind::Variate, "v", {7});
    v->width = c.width;
    v->valueFormat = c.valueFormat;
    v->justification = c.justification;
    v->dateBase = static_cast<int16_t>(c.dateBase);
    v->dateRepresentation = c.dateRepresentation;
    v->decimals = 30;  // clamped to 18
    CrsBytes e = Header(c.version, 1, 1, 1);
    e.I32(4).I32(1).Str("v");
    if (c.version >= 3) e.Str("");
    e.I32(c.wroteFormat).I32(c.wroteWidth);
    if (c.version >= 2) e.I32(c.wroteJustification);
    if (c.version >= 3) e.I32(c.wroteDateWord).I32(0).I32(0);
    e.I32(18).F64(7);
    EXPECT_EQ(Write(d, c.version), e.bytes) << "version " << c.version << " width " << c.width;
    // The Column keeps the normalised values.
    EXPECT_EQ(v->width, std::min(std::max(c.width, 2), 90));
    EXPECT_EQ(v->decimals, 18);
    EXPECT_GE(v->valueFormat, 1);
    EXPECT_LE(v->valueFormat, 5);
  }
}

// Factor counts, padding and level numbers, one case a row.
struct FactorCase {
  const char* label;
  bool margins;
  int32_t levels;
  std::vector<double> levelValues;
  std::vector<std::string> labels;
  std::vector<double> values;
  // Expected: written counts, level values, labels, level numbers.
  int32_t wroteLevels, wroteV, wroteB;
  std::vector<double> wroteLevelValues;
  std::vector<std::string> wroteLabels;
  std::vector<double> wroteValues;
};

TEST_F(CorvistSpreadsheetWriter, FactorCountsAndLevelNumbers) {
  const FactorCase cases[] = {
      {"ShortLevelValueList", false, 4, {1, 2, 3}, {}, {1, 2, 3, 4},
       4, 4, 0, {1, 2, 3, M}, {}, {1, 2, 3, 4}},
      {"ShortLabelList", false, 3, {}, {"a"}, {1, 2, 3},
       3, 0, 3, {}, {"a", "", ""}, {1, 2, 3}},
      {"LongLabelList", false, 2, {}, {"a", "b", "c"}, {1, 2},
       2, 0, 2, {}, {"a", "b"}, {1, 2}},
      {"MarginLevel", true, 3, {}, {"x", "y", "z"}, {1, 2, 3, 4},
       4, 0, 4, {}, {"x", "y", "z", "Margin"}, {1, 2, 3, 4}},
      {"MarginLevelValue", true, 2, {5, 6}, {}, {1, 2, 3},
       3, 3, 0, {5, 6, 3}, {}, {1, 2, 3}},
      {"ValuesThatAreNoLevel", false, 3, {}, {}, {0.4, M, 0.5, 2.7, 4, -3},
       3, 0, 0, {}, {}, {M, M, M, 2, M, M}},
  };
  for (const FactorCase& c : cases) {
    SCOPED_TRACE(c.label);
    ResetState();
    State().interceptFatal = true;
    InitOptions();
    const int32_t rows = static_cast<int32_t>(c.values.size());
    Dataset* d = NewDataset(c.margins ? DatasetShape::Table : DatasetShape::Columns, rows);
    if (c.margins) {
      d->classifierCount = 1;
      d->hasMargins = 1;
    }
    Column* f = Numbers(d, ColumnKind::Factor, "f", c.values);
    f->levelCount = c.levels;
    if (!c.levelValues.empty()) SetLevelValueList(f, c.levelValues);
    if (!c.labels.empty()) SetLabelList(f, c.labels);
    f->width = 4;
    f->decimals = 2;
    // Row 0 keeps every row non-empty in a second column.
    Column* y = Numbers(d, c.margins ? ColumnKind::TableColumn : ColumnKind::Variate, "y",
                        std::vector<double>(rows, 1.0));
    y->width = 4;

    CrsBytes e = Header(3, c.margins ? 5 : 1, 2, rows);
    if (c.margins) e.I32(1).I32(1);  // classifiers, margins
    e.I32(2).I32(rows).Str("f").Str("").I32(1).I32(4).I32(0).I32(3).I32(0).I32(0);
    e.I32(c.wroteLevels).I32(c.wroteV).I32(c.wroteB).I32(0);
    if (c.wroteV > 0) e.I32(2);
    if (c.wroteB > 0) {
      int32_t longest = 0;
      for (int32_t i = 0; i < c.levels && i < static_cast<int32_t>(c.wroteLabels.size()); ++i)
        longest = std::max<int32_t>(longest, static_cast<int32_t>(c.wroteLabels[i].size()));
      e.I32(std::max(longest, 1));
    }
    for (double v : c.wroteLevelValues) e.F64(v);
    for (const std::string& s : c.wroteLabels) e.Str(s);
    for (double v : c.wroteValues) e.F64(v);
    e.I32(c.margins ? 8 : 4).I32(rows).Str("y").Str("").I32(1).I32(4).I32(0).I32(3).I32(0).I32(0);
    e.I32(-1);
    for (int32_t i = 0; i < rows; ++i) e.F64(1);
    EXPECT_EQ(Write(d), e.bytes);
    // The counts that disagreed were made equal to the level count.
    if (!c.levelValues.empty()) {
      EXPECT_EQ(f->levelValueCount, c.levels);
    }
    if (!c.labels.empty()) {
      EXPECT_EQ(f->labelCount, c.levels);
    }
    // And the file reads back.
    EXPECT_EQ(ReadCorvistSpreadsheet((dir_ / "out.crs").c_str()), 1);
  }
}

TEST_F(CorvistSpreadsheetWriter, OmitsEmptyRowsAndColumns) {
  Dataset* d = NewDataset(DatasetShape::Columns, 4);
  Column* u = AddColumnWithValues(d, ColumnKind::TextUnits, "u", 4);
  for (int i = 0; i < 4; ++i) SetText(u, i, "r");  // units do not keep a row
  Column* a = Numbers(d, ColumnKind::Variate, "a", {1, 2, M, 4});
  a->width = 4;
  Column* gone = Numbers(d, ColumnKind::Variate, "gone", {M, M, M, M});
  gone->width = 4;
  Column* b = Numbers(d, ColumnKind::Variate, "b", {5, M});  // two values only
  b->width = 4;
  b->maximum = 9;
  u->width = 4;
  d->hasRestriction = 1;
  d->rows[3].restricted = 1;

  CrsBytes e = Header(3, 1, 4, 3, 1024);
  e.I32(-3).I32(3).Str("u").Str("").I32(4).I32(4).I32(0).I32(3).I32(0).I32(0);
  e.I32(1).Str("r").Str("r").Str("r");
  e.I32(4).I32(3).Str("a").Str("").I32(1).I32(4).I32(0).I32(3).I32(0).I32(0);
  e.I32(-1).F64(1).F64(2).F64(4);
  // Of b's two values both lie before the left-out row: 2 values written.
  e.I32(4).I32(2).Str("b").Str("").I32(1).I32(4).I32(0).I32(3).I32(0).I32(0);
  e.I32(-1).F64(5).F64(M);
  e.I32(21).I32(3).I32(0).I32(0).I32(1);
  // b is the third column written.
  e.I32(1).I32(3).F64(M).F64(9);
  EXPECT_EQ(Write(d), e.bytes);
  EXPECT_EQ(result_, 1);
}

TEST_F(CorvistSpreadsheetWriter, SymmetricMatrixIsNeverThinned) {
  // Order 3 with a units column; the second matrix column holds (1,1), (2,1)
  // and is written as a full column whose first value is a placeholder.
  Dataset* d = NewDataset(DatasetShape::SymmetricMatrix, 3);
  d->name = "S";
  Column* u = Numbers(d, ColumnKind::VariateUnits, "u", {M, M, M});
  Column* c1 = Numbers(d, ColumnKind::SymmetricMatrixColumn, "1", {M, M, M});
  Column* c2 = Numbers(d, ColumnKind::SymmetricMatrixColumn, "2", {M, 3});
  Column* c3 = Numbers(d, ColumnKind::SymmetricMatrixColumn, "3", {5});
  u->width = c1->width = c2->width = c3->width = 4;
  CrsBytes e = Header(3, 3, 4, 3);
  e.Str("S").I32(0);
  auto common = [&](int32_t kind, const char* name) {
    e.I32(kind).I32(3).Str(name).Str("").I32(1).I32(4).I32(0).I32(3).I32(0).I32(0).I32(-1);
  };
  common(-4, "u");
  e.F64(M).F64(M).F64(M);
  common(7, "1");
  e.F64(M).F64(M).F64(M);
  common(7, "2");
  e.F64(M).F64(M).F64(3);
  common(7, "3");
  e.F64(M).F64(M).F64(5);
  EXPECT_EQ(Write(d), e.bytes);
}

TEST_F(CorvistSpreadsheetWriter, OneWayTableNamePartByVersion) {
  for (int version : {1, 2, 3}) {
    ResetState();
    State().interceptFatal = true;
    InitOptions();
    Dataset* d = NewDataset(DatasetShape::Table, 1);
    d->classifierCount = 1;
    CopyLimited(d->name, "T");
    CopyLimited(d->columnFactorName, "C");
    d->labelStyle = 1;
    Column* y = Numbers(d, ColumnKind::TableColumn, "y", {2});
    y->width = 4;
    CrsBytes e = Header(version, 5, 1, 1);
    e.I32(1);
    if (version == 3)
      e.I32(0);
    else
      e.Str("T").I32(1).Str("C");
    e.I32(8).I32(1).Str("y");
    if (version == 3) e.Str("");
    e.I32(1).I32(4);
    if (version >= 2) e.I32(0);
    if (version == 3) e.I32(3).I32(0).I32(0);
    e.I32(-1).F64(2);
    EXPECT_EQ(Write(d, version), e.bytes) << version;
  }
}

TEST_F(CorvistSpreadsheetWriter, NothingToWrite) {
  EXPECT_EQ(WriteCorvistSpreadsheet(nullptr, (dir_ / "x.crs").c_str()), 0);
  Dataset* d = NewDataset(DatasetShape::Columns, 2);
  Numbers(d, ColumnKind::Variate, "a", {M, M});
  EXPECT_EQ(Write(d), "");
  EXPECT_EQ(result_, 0);
  EXPECT_FALSE(std::filesystem::exists(dir_ / "out.crs"));
}

TEST_F(CorvistSpreadsheetWriter, FailedWritesAndOpensGiveZero) {
  Dataset* d = NewDataset(DatasetShape::Columns, 2);
  Numbers(d, ColumnKind::Variate, "a", {1, 2});
  EXPECT_EQ(WriteCorvistSpreadsheet(d, (dir_ / "no/such/dir.crs").c_str()), 0);
  if (std::filesystem::exists("/dev/full")) {
    EXPECT_EQ(WriteCorvistSpreadsheet(d, "/dev/full"), 0);
  }
}

}  // namespace
}  // namespace trovadex
