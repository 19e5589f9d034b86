#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "core/byteorder.h"
#include "core/dataset.h"
#include "readers/corvist_spreadsheet_bytes.h"
#include "readers/corvist_spreadsheet_shapes.h"
#include "readers/readers.h"
#include "test_support.h"
#include "writers/writers.h"

namespace trovadex {
namespace {

using test::CrsBytes;
using test::StateTest;
using test::TempDir;

using namespace test::crs_shapes;

constexpr double M = kMissingValue;

// ------------------------------------------------------------------ comparison

std::vector<Column*> DataColumns(Dataset* d) {
  std::vector<Column*> out;
  for (Column* c = d->firstColumn; c; c = c->next)
    if (c->kind != ColumnKind::RowIndex) out.push_back(c);
  return out;
}

// Structures keep the range of their units column and first structure column.
bool RangeKept(Dataset* d, Column* c) {
  bool structure = d->shape == DatasetShape::Matrix || d->shape == DatasetShape::SymmetricMatrix ||
                   d->shape == DatasetShape::DiagonalMatrix ||
                   (d->shape == DatasetShape::Table && d->classifierCount >= 2);
  if (!structure) return true;
  return (c->position == 1 && c->kind == ColumnKind::VariateUnits) ||
         c->position == d->unitsColumnCount;
}

// What a file of `version` keeps of `src` (after the writer normalised it).
void ExpectRoundTrip(Dataset* src, Dataset* back, int version) {
  const bool v3 = version == 3;
  const bool twoWay = src->shape == DatasetShape::Table && src->classifierCount == 2;
  const bool oneWay = src->shape == DatasetShape::Table && src->classifierCount == 1;
  const bool margins = src->shape == DatasetShape::Table && src->hasMargins;
  EXPECT_EQ(back->shape, src->shape);
  EXPECT_EQ(back->sheetVersion, version);
  EXPECT_EQ(back->rowCount, src->rowCount);
  EXPECT_EQ(back->sheetFlag, version >= 2 ? src->sheetFlag : 0);
  EXPECT_EQ(back->locked, v3 ? src->locked : 0);
  if (src->shape == DatasetShape::Matrix || src->shape == DatasetShape::SymmetricMatrix ||
      twoWay || (oneWay && !v3)) {
    EXPECT_EQ(back->name, src->name);
    EXPECT_EQ(back->labelStyle, src->labelStyle);
  }
  if (twoWay || (oneWay && !v3)) {
    EXPECT_EQ(back->columnFactorName, src->columnFactorName);
  }
  if (oneWay && v3) {
    EXPECT_EQ(back->name, "");
  }
  if (src->shape == DatasetShape::DiagonalMatrix) {
    EXPECT_EQ(back->name, "D");
  }
  if (src->shape == DatasetShape::Table) {
    EXPECT_EQ(back->classifierCount, src->classifierCount);
    EXPECT_EQ(back->hasMargins, v3 ? src->hasMargins : 0);
    if (twoWay) {
      EXPECT_EQ(back->tableFlag, v3 ? src->tableFlag : 0);
    }
  }
  EXPECT_EQ(back->hasRestriction, src->hasRestriction);
  ASSERT_EQ(back->rows.size(), src->rows.size());
  for (std::size_t r = 0; r < src->rows.size(); ++r)
    EXPECT_EQ(back->rows[r].restricted, src->rows[r].restricted) << "row " << r;
  EXPECT_EQ(back->notes, v3 ? src->notes : std::vector<std::string>{});

  std::vector<Column*> a = DataColumns(src), b = DataColumns(back);
  ASSERT_EQ(a.size(), b.size());
  EXPECT_EQ(back->columnCount, src->columnCount);
  EXPECT_EQ(back->unitsColumnCount, src->unitsColumnCount);
  const int cap = version == 1 ? 40 : version == 2 ? 60 : 90;
  for (std::size_t k = 0; k < a.size(); ++k) {
    Column* s = a[k];
    Column* t = b[k];
    SCOPED_TRACE("column " + s->name);
    EXPECT_EQ(t->kind, s->kind);
    std::string name = s->name;
    if (twoWay && s->kind == ColumnKind::TableColumn && !s->columnLabel.empty()) name = s->columnLabel;
    EXPECT_EQ(t->name, name);
    EXPECT_EQ(t->description, v3 ? s->description : "");
    int format = s->valueFormat;
    if (!v3 && format == 5) format = 1;
    EXPECT_EQ(t->valueFormat, format);
    EXPECT_EQ(t->width, std::min(s->width, cap));
    EXPECT_EQ(t->justification, version >= 2 ? s->justification : 0);
    EXPECT_EQ(t->dateRepresentation, v3 ? s->dateRepresentation : 3);
    EXPECT_EQ(t->dateBase, v3 ? s->dateBase : 0);
    EXPECT_EQ(t->locked, v3 ? s->locked : 0);
    EXPECT_EQ(t->note, v3 ? s->note : "");
    EXPECT_EQ(t->valueCount, s->valueCount);
    if (s->kind == ColumnKind::Factor) {
      EXPECT_EQ(t->levelCount, s->levelCount + (margins ? 1 : 0));
      EXPECT_EQ(t->factorDisplay, s->factorDisplay);
      EXPECT_EQ(t->decimals, s->levelValueCount > 0 ? s->decimals : -1);
      std::vector<double> lv;
      for (int i = 0; i < s->levelValueCount; ++i) lv.push_back(s->levelValues.Get(i));
      if (margins && !lv.empty()) lv.push_back(lv.size() + 1.0);
      ASSERT_EQ(t->levelValueCount, static_cast<int32_t>(lv.size()));
      for (std::size_t i = 0; i < lv.size(); ++i) EXPECT_EQ(t->levelValues.Get(i), lv[i]);
      std::vector<std::string> lb;
      for (int i = 0; i < s->labelCount; ++i) lb.emplace_back(s->labels.Get(i));
      if (margins && !lb.empty()) lb.push_back("Margin");
      ASSERT_EQ(t->labelCount, static_cast<int32_t>(lb.size()));
      for (std::size_t i = 0; i < lb.size(); ++i) EXPECT_EQ(t->labels.Get(i), lb[i]);
    } else if (IsTextKind(s->kind)) {
      EXPECT_EQ(t->levelCount, s->levelCount);
    } else {
      EXPECT_EQ(t->decimals, s->decimals);
      if (v3 && RangeKept(src, s)) {
        EXPECT_EQ(t->minimum, s->minimum);
        EXPECT_EQ(t->maximum, s->maximum);
      }
    }
    if (twoWay && s->kind == ColumnKind::TableColumn) {
      EXPECT_EQ(t->levelValue, s->levelValue);
    }
    for (int64_t i = 0; i < s->valueCount; ++i) {
      if (IsTextKind(s->kind))
        EXPECT_EQ(GetText(t, i), GetText(s, i)) << "value " << i;
      else
        EXPECT_EQ(GetNumber(t, i), GetNumber(s, i)) << "value " << i;
    }
  }
}

// ------------------------------------------------------------------ round trips

struct ShapeCase {
  const char* label;
  Dataset* (*make)();
};

const ShapeCase kShapes[] = {
    {"Columns", MakeColumns},       {"Matrix", MakeMatrix},
    {"Symmetric", MakeSymmetric},   {"Diagonal", MakeDiagonal},
    {"OneWayTable", MakeOneWayTable}, {"TwoWayTable", MakeTwoWayTable},
    {"Scalars", MakeScalars},
};

class CorvistSpreadsheetRoundTrip
    : public StateTest,
      public ::testing::WithParamInterface<std::tuple<int, int, bool>> {};

TEST_P(CorvistSpreadsheetRoundTrip, ReadsBackWhatWasWritten) {
  const auto [shapeIndex, version, reversed] = GetParam();
  TempDir dir;
  Dataset* src = kShapes[shapeIndex].make();
  State().spreadsheetVersion = version;
  const std::string path = dir / "out.crs";
  ASSERT_EQ(WriteCorvistSpreadsheet(src, path.c_str()), 1);
  if (reversed) {
    std::string bytes = test::ReverseCrs(test::ReadFile(path));
    ASSERT_FALSE(bytes.empty());
    test::WriteFile(path, bytes);
  }
  ASSERT_EQ(ReadCorvistSpreadsheet(path.c_str()), 1);
  Dataset* back = CurrentDataset();
  ASSERT_NE(back, src);
  ExpectRoundTrip(src, back, version);
}

INSTANTIATE_TEST_SUITE_P(
    EveryShape, CorvistSpreadsheetRoundTrip,
    ::testing::Combine(::testing::Range(0, static_cast<int>(std::size(kShapes))),
                       ::testing::Values(1, 2, 3), ::testing::Bool()),
    [](const auto& info) {
      return std::string(kShapes[std::get<0>(info.param)].label) + "_v" +
             std::to_string(std::get<1>(info.param)) +
             (std::get<2>(info.param) ? "_reversed" : "_asWritten");
    });

// ------------------------------------------------------------------ checks

class CorvistSpreadsheetReader : public StateTest {
 protected:
  // Reads `bytes` as a spreadsheet file; returns the reader's result.
  int Read(const std::string& bytes) {
    const std::string path = dir_ / "in.crs";
    test::WriteFile(path, bytes);
    return ReadCorvistSpreadsheet(path.c_str());
  }
  // Header of a version 3 file (either order) without extension.
  static CrsBytes Header3(bool big, int32_t shape, int32_t records, int32_t rows) {
    CrsBytes b{big, {}};
    b.I32(54415441).I32(shape).I32(records).I32(rows).F64(M).I32(0).I32(0).I32(0).I32(0).I32(0);
    return b;
  }
  // Common part of a version 3 column record.
  static void Common3(CrsBytes& b, int32_t kind, int32_t n, const char* name, int32_t width = 8,
                      int32_t dateWord = 3) {
    b.I32(kind).I32(n).Str(name).Str("").I32(kind == 3 ? 4 : 1).I32(width).I32(0).I32(dateWord).I32(0).I32(0);
  }
  TempDir dir_;
};

TEST_F(CorvistSpreadsheetReader, MagicNumbersOfTheReversedOrder) {
  auto swapped = [](int32_t v) {
    SwapBytes4(v);
    return v;
  };
  EXPECT_EQ(swapped(53315331), 59190531);
  EXPECT_EQ(swapped(53325332), 346959107);
  EXPECT_EQ(swapped(54415441), 1364213251);
}

TEST_F(CorvistSpreadsheetReader, HandBuiltBigEndianFile) {
  for (bool big : {false, true}) {
    CrsBytes b = Header3(big, 1, 2, 2);
    Common3(b, 4, 2, "v", 0);
    b.I32(3).F64(123456.5).F64(M);
    Common3(b, 3, 2, "txt", 7);
    b.I32(5).Str("hello").Str("");
    ASSERT_EQ(Read(b.bytes), 1) << big;
    Dataset* d = CurrentDataset();
    ASSERT_EQ(d->columnCount, 2);
    Column* v = ColumnAt(d, 1);
    EXPECT_EQ(GetNumber(v, 0), 123456.5);
    EXPECT_EQ(GetNumber(v, 1), M);
    EXPECT_EQ(v->decimals, 3);
    // Stored width 0: digit estimate 8 (5 integer digits + 3) plus 3 decimals and the point.
    EXPECT_EQ(v->width, 12);
    Column* t = ColumnAt(d, 2);
    EXPECT_EQ(GetText(t, 0), "hello");
    EXPECT_EQ(t->width, 7);
    EXPECT_EQ(t->levelCount, 5);
  }
}

TEST_F(CorvistSpreadsheetReader, BigEndianMagicIsTheFirstWordReversed) {
  CrsBytes b = Header3(true, 6, 1, 1);
  Common3(b, 1, 1, "s");
  b.I32(-1).F64(2.5);
  // The big-endian bytes of 54415441 read little-endian give 1364213251.
  EXPECT_EQ(LoadI32LE(b.bytes.data()), 1364213251);
  ASSERT_EQ(Read(b.bytes), 1);
  EXPECT_EQ(GetNumber(ColumnAt(CurrentDataset(), 1), 0), 2.5);
}

TEST_F(CorvistSpreadsheetReader, DateWordKeepsBaseAndRepresentation) {
  CrsBytes b = Header3(false, 1, 2, 1);
  Common3(b, 4, 1, "a", 8, 2 * 64 + 7);
  b.I32(-1).F64(1);
  Common3(b, 4, 1, "b", 8, 40);  // representation 40 does not exist
  b.I32(-1).F64(1);
  ASSERT_EQ(Read(b.bytes), 1);
  Column* a = ColumnAt(CurrentDataset(), 1);
  EXPECT_EQ(a->dateBase, 2);
  EXPECT_EQ(a->dateRepresentation, 7);
  EXPECT_EQ(ColumnAt(CurrentDataset(), 2)->dateRepresentation, 3);
}

// A symmetric matrix column k may be stored in full (k placeholders first)
// or as its triangle part only; both read as (k, k), (k+1, k), ...
TEST_F(CorvistSpreadsheetReader, SymmetricColumnsInFullOrTriangleForm) {
  for (bool full : {true, false}) {
    CrsBytes b = Header3(false, 3, 3, 3);
    b.Str("S").I32(0);
    const std::vector<std::vector<double>> stored =
        full ? std::vector<std::vector<double>>{{1, 0.5, 0.25}, {99, 1, -0.75}, {99, 99, 1}}
             : std::vector<std::vector<double>>{{1, 0.5, 0.25}, {1, -0.75}, {1}};
    const char* names[] = {"1", "2", "3"};
    for (int k = 0; k < 3; ++k) {
      Common3(b, 7, static_cast<int32_t>(stored[k].size()), names[k]);
      b.I32(-1);
      for (double v : stored[k]) b.F64(v);
    }
    ASSERT_EQ(Read(b.bytes), 1) << full;
    Dataset* d = CurrentDataset();
    EXPECT_EQ(d->name, "S");
    const std::vector<std::vector<double>> expected = {{1, 0.5, 0.25}, {1, -0.75}, {1}};
    for (int k = 0; k < 3; ++k) {
      Column* c = ColumnAt(d, k + 1);
      ASSERT_EQ(c->valueCount, static_cast<int32_t>(expected[k].size())) << full << k;
      for (std::size_t i = 0; i < expected[k].size(); ++i) EXPECT_EQ(GetNumber(c, i), expected[k][i]);
    }
  }
}

TEST_F(CorvistSpreadsheetReader, VersionZeroHasNoMagic) {
  CrsBytes b;
  b.I32(1).I32(1).I32(2).F64(M);
  b.I32(4).I32(2).Str("x").I32(2).F64(1).F64(22);
  ASSERT_EQ(Read(b.bytes), 1);
  Dataset* d = CurrentDataset();
  EXPECT_EQ(d->sheetVersion, 0);
  Column* x = ColumnAt(d, 1);
  EXPECT_EQ(x->name, "x");
  EXPECT_EQ(x->decimals, 2);
  EXPECT_EQ(x->valueFormat, 1);
  EXPECT_EQ(x->dateRepresentation, 3);
  EXPECT_EQ(x->width, 7);  // digit estimate 4 of 22, plus 2 decimals and the point
}

TEST_F(CorvistSpreadsheetReader, OneWayTablesOfVersionsOneAndTwoReadTheirNames) {
  for (int version : {1, 2}) {
    CrsBytes b;
    b.I32(version == 1 ? 53315331 : 53325332).I32(5).I32(2).I32(2).F64(M);
    if (version == 2) b.I32(0);
    b.I32(1).Str("tab").I32(0).Str("");  // classifiers, name, label style, column factor
    auto common = [&](int32_t kind, const char* name) {
      b.I32(kind).I32(2).Str(name).I32(1).I32(8);
      if (version == 2) b.I32(0);
    };
    common(2, "f");
    b.I32(2).I32(0).I32(0);
    if (version == 2) b.I32(0);
    b.F64(1).F64(2);
    common(8, "y");
    b.I32(-1).F64(3).F64(4);
    ASSERT_EQ(Read(b.bytes), 1) << version;
    Dataset* d = CurrentDataset();
    EXPECT_EQ(d->name, "tab");
    EXPECT_EQ(d->classifierCount, 1);
    EXPECT_EQ(d->unitsColumnCount, 2);
    EXPECT_EQ(GetNumber(ColumnAt(d, 2), 1), 4);
  }
}

TEST_F(CorvistSpreadsheetReader, ColumnLimitWarnsAndKeepsTheRestriction) {
  State().columnLimit = 2;
  CrsBytes b = Header3(false, 1, 4, 2);
  for (const char* name : {"a", "b", "c"}) {
    Common3(b, 4, 2, name);
    b.I32(-1).F64(1).F64(2);
  }
  b.I32(21).I32(2).I32(0).I32(1);
  testing::internal::CaptureStdout();
  int result = Read(b.bytes);
  std::string out = testing::internal::GetCapturedStdout();
  ASSERT_EQ(result, 1);
  EXPECT_EQ(out, "Warning Columns above 2 NOT transfered!\n");
  Dataset* d = CurrentDataset();
  EXPECT_EQ(d->columnCount, 2);
  EXPECT_EQ(d->hasRestriction, 1);
  EXPECT_EQ(d->rows[1].restricted, 1);
}

// One row per refused file: each is a valid small file with one fault.
struct BadCase {
  const char* label;
  std::string bytes;
};

std::vector<BadCase> BadFiles() {
  std::vector<BadCase> cases;
  auto columns = [](int32_t records, int32_t rows) {
    CrsBytes b;
    b.I32(54415441).I32(1).I32(records).I32(rows).F64(M).I32(0).I32(0).I32(0).I32(0).I32(0);
    return b;
  };
  auto common = [](CrsBytes& b, int32_t kind, int32_t n, const char* name) {
    b.I32(kind).I32(n).Str(name).Str("").I32(1).I32(8).I32(0).I32(3).I32(0).I32(0);
  };
  auto factor = [&](double value) {
    CrsBytes b = columns(1, 1);
    common(b, 2, 1, "f");
    b.I32(3).I32(0).I32(0).I32(0).F64(value);
    return b.bytes;
  };
  cases.push_back({"FactorValueNotWhole", factor(2.5)});
  cases.push_back({"FactorValueAboveLevels", factor(4)});
  cases.push_back({"FactorValueZero", factor(0)});
  {
    CrsBytes b;
    b.I32(54415441).I32(6).I32(1).I32(2).F64(M).I32(0).I32(0).I32(0).I32(0).I32(0);
    common(b, 1, 2, "s");
    b.I32(-1).F64(1).F64(2);
    cases.push_back({"ScalarsWithTwoRows", b.bytes});
  }
  cases.push_back({"UnknownMagic", CrsBytes{}.I32(7).I32(1).bytes});
  {
    CrsBytes b = columns(1, 1);
    common(b, 9, 1, "x");
    cases.push_back({"UnknownKind", b.bytes});
  }
  {
    CrsBytes b = columns(1, 1);
    common(b, 5, 1, "x");
    b.I32(-1).F64(1);
    cases.push_back({"MatrixColumnInColumns", b.bytes});
  }
  {
    CrsBytes b = columns(1, 1);
    common(b, 4, 2, "x");
    b.I32(-1).F64(1).F64(2);
    cases.push_back({"MoreValuesThanRows", b.bytes});
  }
  {
    CrsBytes b = columns(1, 1);
    common(b, 4, 1, "");
    b.I32(-1).F64(1);
    cases.push_back({"EmptyName", b.bytes});
  }
  {
    CrsBytes b = columns(1, 1);
    b.I32(4).I32(1).Str("x").Str("").I32(6).I32(8).I32(0).I32(3).I32(0).I32(0).I32(-1).F64(1);
    cases.push_back({"ValueFormatSix", b.bytes});
  }
  {
    CrsBytes b = columns(1, 1);
    b.I32(4).I32(1).Str("x").Str("").I32(1).I32(8).I32(4).I32(3).I32(0).I32(0).I32(-1).F64(1);
    cases.push_back({"JustificationFour", b.bytes});
  }
  {
    CrsBytes b = columns(2, 2);
    common(b, 4, 2, "x");
    b.I32(-1).F64(1).F64(2);
    b.I32(21).I32(2).I32(0).I32(2);
    cases.push_back({"RestrictionFlagTwo", b.bytes});
  }
  {
    CrsBytes b = columns(1, 1);
    common(b, 2, 1, "f");
    b.I32(3).I32(2).I32(0).I32(0).I32(-1).F64(1).F64(2).F64(1);
    cases.push_back({"LevelValueCountDiffers", b.bytes});
  }
  {
    CrsBytes b = columns(1, 1);
    common(b, 2, 1, "f");
    b.I32(1).I32(0).I32(1).I32(2).I32(0).Str("a").F64(1);
    cases.push_back({"LongestLabelZero", b.bytes});
  }
  {
    CrsBytes b = columns(1, 1);
    common(b, 3, 1, "t");
    b.I32(0).I32(-5);
    cases.push_back({"NegativeTextLength", b.bytes});
  }
  {
    CrsBytes b = columns(1, 1);
    common(b, 3, 1, "t");
    b.I32(0).I32(0x7FFFFFF0);
    cases.push_back({"TextLengthBeyondFile", b.bytes});
  }
  {
    CrsBytes b = columns(1, 1);
    common(b, 4, 0x7FFFFFF0, "x");
    cases.push_back({"ValueCountBeyondFile", b.bytes});
  }
  {
    CrsBytes b = columns(1, 0x7FFFFFF0);
    common(b, 4, 1, "x");
    b.I32(-1).F64(1);
    cases.push_back({"RowCountBeyondFile", b.bytes});
  }
  {
    CrsBytes b = columns(0x7FFFFFF0, 1);
    common(b, 4, 1, "x");
    b.I32(-1).F64(1);
    cases.push_back({"RecordCountBeyondFile", b.bytes});
  }
  {
    CrsBytes b = columns(1, 1);
    common(b, 2, 1, "f");
    b.I32(0x7FFFFFF0).I32(0x7FFFFFF0).I32(0).I32(0).I32(-1).F64(1);
    cases.push_back({"LevelCountBeyondFile", b.bytes});
  }
  {
    CrsBytes b;
    b.I32(54415441).I32(1).I32(1).I32(1).F64(M).I32(0).I32(0).I32(0).I32(0).I32(0x7FFFFFF0);
    cases.push_back({"ExtensionBeyondFile", b.bytes});
  }
  {
    CrsBytes b;
    b.I32(54415441).I32(4).I32(3).I32(1).F64(M).I32(0).I32(0).I32(0).I32(0).I32(0);
    for (const char* name : {"a", "b", "c"}) {
      common(b, 6, 1, name);
      b.I32(-1).F64(1);
    }
    cases.push_back({"DiagonalWithThreeColumns", b.bytes});
  }
  {
    CrsBytes b;
    b.I32(54415441).I32(2).I32(1).I32(1).F64(M).I32(0).I32(0).I32(0).I32(0).I32(0);
    b.Str("").I32(0);
    common(b, 5, 1, "c");
    b.I32(-1).F64(1);
    cases.push_back({"MatrixWithoutName", b.bytes});
  }
  {
    CrsBytes b;
    b.I32(54415441).I32(5).I32(1).I32(1).F64(M).I32(0).I32(0).I32(0).I32(0).I32(0);
    b.I32(3).I32(0);
    cases.push_back({"TableWithThreeClassifiers", b.bytes});
  }
  {
    CrsBytes b = columns(1, 1);
    b.bytes[4 * 4 + 8 + 4 * 4] = '\xFF';  // extension length -1 (low byte only; stays negative)
    b.bytes[4 * 4 + 8 + 4 * 4 + 1] = '\xFF';
    b.bytes[4 * 4 + 8 + 4 * 4 + 2] = '\xFF';
    b.bytes[4 * 4 + 8 + 4 * 4 + 3] = '\xFF';
    cases.push_back({"NegativeExtension", b.bytes});
  }
  return cases;
}

TEST_F(CorvistSpreadsheetReader, RefusesDamagedFiles) {
  for (const BadCase& c : BadFiles()) {
    EXPECT_EQ(Read(c.bytes), 0) << c.label;
  }
}

TEST_F(CorvistSpreadsheetReader, RefusesEveryTruncation) {
  for (int version : {1, 2, 3}) {
    ResetState();
    State().interceptFatal = true;
    InitOptions();
    Dataset* src = MakeSmall();
    State().spreadsheetVersion = version;
    const std::string path = dir_ / "full.crs";
    ASSERT_EQ(WriteCorvistSpreadsheet(src, path.c_str()), 1);
    const std::string full = test::ReadFile(path);
    ASSERT_EQ(Read(full), 1);
    for (std::size_t n = 0; n < full.size(); ++n) {
      // Every read leaves a Dataset behind; start afresh so they do not pile up.
      ResetState();
      State().interceptFatal = true;
      InitOptions();
      EXPECT_EQ(Read(full.substr(0, n)), 0) << "version " << version << " prefix " << n;
    }
  }
}

// Damaged copies of good files (bytes overwritten at fixed pseudo-random
// places, with small and extreme values) either read or are refused; none
// may crash or run out of memory.
TEST_F(CorvistSpreadsheetReader, SurvivesDamagedBytes) {
  std::vector<std::string> originals;
  for (auto make : {MakeSmall, MakeTwoWayTable, MakeSymmetric}) {
    ResetState();
    State().interceptFatal = true;
    InitOptions();
    Dataset* src = make();
    State().spreadsheetVersion = 3;
    const std::string path = dir_ / "good.crs";
    ASSERT_EQ(WriteCorvistSpreadsheet(src, path.c_str()), 1);
    originals.push_back(test::ReadFile(path));
    originals.push_back(test::ReverseCrs(originals.back()));
  }
  uint32_t seed = 12345;
  auto next = [&seed]() {
    seed = seed * 1103515245u + 12345u;
    return seed >> 8;
  };
  const unsigned char values[] = {0x00, 0x01, 0x02, 0x15, 0x7F, 0x80, 0xFE, 0xFF};
  for (int round = 0; round < 1200; ++round) {
    std::string bytes = originals[round % originals.size()];
    int changes = 1 + static_cast<int>(next() % 3);
    for (int k = 0; k < changes; ++k)
      bytes[next() % bytes.size()] = static_cast<char>(values[next() % sizeof values]);
    ResetState();
    State().interceptFatal = true;
    InitOptions();
    int result = Read(bytes);
    EXPECT_TRUE(result == 0 || result == 1);
  }
}

TEST_F(CorvistSpreadsheetReader, MissingFileFails) {
  EXPECT_EQ(ReadCorvistSpreadsheet((dir_ / "absent.crs").c_str()), 0);
}

}  // namespace
}  // namespace trovadex
