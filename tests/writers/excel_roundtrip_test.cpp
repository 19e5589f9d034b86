// Round trip through our own reader: a Dataset written by WriteExcel and read
// back by ReadExcel keeps its names, kinds (factors through the name markers
// and the notes on the name cells) and values, in the normal layout and in
// the metadata layout ("column_row" range).
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "core/dataset.h"
#include "readers/readers.h"
#include "test_support.h"
#include "writers/writers.h"
#include "writers/xls_test_support.h"

namespace trovadex {
namespace {

class ExcelRoundTripTest : public test::StateTest {};

Dataset* MakeDataset(int32_t rows) {
  Dataset* d = CreateDataset();
  d->rowCount = rows;
  EXPECT_TRUE(CreateRows(d));
  return d;
}

Column* Numbers(Dataset* d, const char* name, const std::vector<double>& values) {
  Column* c = AddColumnWithValues(d, ColumnKind::Variate, name, d->rowCount);
  for (std::size_t i = 0; i < values.size(); ++i) SetNumber(c, i, values[i]);
  return c;
}

Column* Texts(Dataset* d, const char* name, const std::vector<std::string>& values) {
  Column* c = AddColumnWithValues(d, ColumnKind::Text, name, d->rowCount);
  for (std::size_t i = 0; i < values.size(); ++i) SetText(c, i, values[i]);
  return c;
}

// A factor with level numbers `levels` (1-based; kMissingValue = missing),
// optional labels and level values, shown as `display` says.
Column* Factor(Dataset* d, const char* name, const std::vector<double>& levels, int32_t levelCount,
               const std::vector<std::string>& labels, const std::vector<double>& levelValues,
               int32_t display) {
  Column* c = AddColumnWithValues(d, ColumnKind::Factor, name, d->rowCount);
  c->levelCount = levelCount;
  if (!labels.empty()) SetLabelList(c, labels);
  if (!levelValues.empty()) SetLevelValueList(c, levelValues);
  c->factorDisplay = display;
  for (std::size_t i = 0; i < levels.size(); ++i) SetNumber(c, i, levels[i]);
  return c;
}

// Number of bytes of the "Book" stream and whether it sits in the mini stream.
struct BookInfo {
  uint32_t size = 0;
  bool found = false;
  std::vector<test::BiffRecord> records;
};

BookInfo Book(const std::string& path) {
  const std::string bytes = test::ReadFile(path);
  const test::CfbFile cfb = test::ParseCfb(std::vector<uint8_t>(bytes.begin(), bytes.end()));
  BookInfo info;
  EXPECT_EQ(cfb.error, "");
  for (const test::CfbEntry& e : cfb.entries)
    if (e.type == 2 && e.name == "Book") info.size = e.size;
  const auto book = test::CfbStream(cfb, "Book");
  info.found = book.has_value();
  if (book) info.records = test::SplitBiff(*book);
  return info;
}

bool HasRecord(const BookInfo& b, uint16_t code) {
  for (const auto& r : b.records)
    if (r.code == code) return true;
  return false;
}

// Writes `d`, reads the file back and returns the Dataset read.
Dataset* WriteAndReadBack(Dataset* d, const std::string& path) {
  EXPECT_EQ(WriteExcel(d, path.c_str()), 1);
  SetCurrentDataset(nullptr);
  EXPECT_EQ(ReadExcel(path.c_str()), 1);
  Dataset* back = CurrentDataset();
  EXPECT_NE(back, nullptr);
  EXPECT_NE(back, d);
  return back;
}

std::vector<Column*> DataColumns(Dataset* d) {
  std::vector<Column*> out;
  for (Column* c = d->firstColumn; c; c = c->next)
    if (c->kind != ColumnKind::RowIndex) out.push_back(c);
  return out;
}

std::string LabelOf(Column* c, double level) {
  if (!(level > kMissingValue)) return "<missing>";
  const int64_t k = static_cast<int64_t>(level) - 1;
  if (k < 0 || k >= c->labelCount) return "<no label>";
  return std::string(c->labels.Get(k));
}

// The same names, kinds and values; factors with the same levels, labels and
// level values in the same order.
void ExpectSameColumns(Dataset* written, Dataset* read) {
  const auto a = DataColumns(written);
  const auto b = DataColumns(read);
  ASSERT_EQ(a.size(), b.size());
  ASSERT_EQ(read->rowCount, written->rowCount);
  for (std::size_t k = 0; k < a.size(); ++k) {
    Column* x = a[k];
    Column* y = b[k];
    SCOPED_TRACE("column " + x->name);
    EXPECT_EQ(y->name, x->name);
    EXPECT_EQ(static_cast<int>(y->kind), static_cast<int>(x->kind));
    if (y->kind != x->kind) continue;
    EXPECT_EQ(y->description, x->description);
    for (int32_t i = 0; i < written->rowCount; ++i) {
      if (IsTextKind(x->kind)) {
        EXPECT_EQ(GetText(y, i), GetText(x, i)) << "row " << i;
        continue;
      }
      const double u = GetNumber(x, i), v = GetNumber(y, i);
      if (IsMissing(written, u)) {
        EXPECT_TRUE(IsMissing(read, v)) << "row " << i << " read " << v;
      } else {
        // Exactly the same double, bit for bit.
        EXPECT_EQ(std::memcmp(&u, &v, sizeof u), 0) << "row " << i << ": " << u << " read as " << v;
      }
    }
    if (x->kind != ColumnKind::Factor) continue;
    EXPECT_EQ(y->levelCount, x->levelCount);
    if (x->labelCount == 0) {
      EXPECT_EQ(y->labelCount, 0);
    }
    if (x->labelCount > 0) {
      ASSERT_EQ(y->labelCount, x->labelCount);
      for (int32_t l = 0; l < x->labelCount; ++l) EXPECT_EQ(y->labels.Get(l), x->labels.Get(l));
    }
    if (x->levelValueCount > 0) {
      ASSERT_EQ(y->levelValueCount, x->levelValueCount);
      for (int32_t l = 0; l < x->levelValueCount; ++l) EXPECT_EQ(y->levelValues.Get(l), x->levelValues.Get(l));
    }
  }
}

// Values that need every form of number cell: RK integers, RK high words,
// RK ×100 forms, and NUMBER records for 17-digit and extreme values.
const std::vector<double> kAwkwardNumbers = {
    1,
    2.5,
    0.1,
    -14413.039999999999,
    0.30000000000000004,
    1.0 / 3,
    1e300,
    -1e-300,
    123456789012345678.0,
    536870912.5,
    -0.0001234,
    9007199254740993.0,
    4.9406564584124654e-324,
    1.7976931348623157e308 / 1e10,
    1234567.01,
    -2,
};

TEST_F(ExcelRoundTripTest, NormalLayoutSmallStreamInMiniStream) {
  test::TempDir dir;
  const int32_t n = static_cast<int32_t>(kAwkwardNumbers.size());
  Dataset* d = MakeDataset(n);
  std::vector<double> first = kAwkwardNumbers, middle, last;
  std::vector<std::string> texts;
  std::vector<double> grade, dose, plot;
  for (int32_t i = 0; i < n; ++i) {
    middle.push_back(i % 4 == 1 ? kMissingValue : kAwkwardNumbers[(i * 7) % n] * -3);
    last.push_back(i % 5 == 3 ? kMissingValue : i * 0.25);
    texts.push_back(i % 3 == 2 ? "" : (i == 4 ? "12.5" : "t" + std::to_string(i) + " x, y"));
    // Level 3 ("high") first in the data, so the reader's own level order
    // differs from the note's.
    grade.push_back(i == 6 ? kMissingValue : 3 - i % 3);
    dose.push_back(1 + (i + 1) % 3);
    plot.push_back(1 + i % 4);
  }
  first[2] = kMissingValue;  // missing in the first column: a BLANK
  Numbers(d, "first", first)->description = "first column";
  Numbers(d, "middle", middle);
  Texts(d, "words", texts);
  Factor(d, "grade", grade, 3, {"low", "mid", "high"}, {}, 2)->description = "graded by eye";
  Factor(d, "dose", dose, 3, {}, {40, 10, 0.30000000000000004}, 1);
  Factor(d, "plot", plot, 4, {}, {}, 0);
  Numbers(d, "last", last);

  const std::string path = dir / "small.xls";
  Dataset* back = WriteAndReadBack(d, path);
  ExpectSameColumns(d, back);

  const BookInfo book = Book(path);
  ASSERT_TRUE(book.found);
  EXPECT_LT(book.size, 4096u);
  EXPECT_TRUE(HasRecord(book, 0x0203));  // NUMBER
  EXPECT_TRUE(HasRecord(book, 0x00BD));  // MULRK
  EXPECT_TRUE(HasRecord(book, 0x001C));  // NOTE

  // The plain level-number factor comes back with its level numbers as values.
  Column* plot2 = DataColumns(back)[5];
  ASSERT_EQ(plot2->levelCount, 4);
  for (int32_t i = 0; i < n; ++i) EXPECT_EQ(GetNumber(plot2, i), 1 + i % 4);
}

TEST_F(ExcelRoundTripTest, NormalLayoutLargeStream) {
  test::TempDir dir;
  const int32_t n = 700;
  Dataset* d = MakeDataset(n);
  std::vector<double> small, large, whole;
  std::vector<std::string> texts;
  std::vector<double> group;
  uint64_t state = 0x9E3779B97F4A7C15ull;
  for (int32_t i = 0; i < n; ++i) {
    state ^= state << 13, state ^= state >> 7, state ^= state << 17;
    const double m = std::pow(10.0, static_cast<int>(state % 61) - 30);
    double v = (state & 1 ? -1 : 1) * m * (1 + static_cast<double>(state % 1000003) / 1000003);
    small.push_back(i % 13 == 5 ? kMissingValue : v);
    large.push_back(i < static_cast<int32_t>(kAwkwardNumbers.size()) ? kAwkwardNumbers[i]
                                                                      : -14413.039999999999 + i / 100.0);
    whole.push_back(i % 17 == 3 ? kMissingValue : static_cast<double>(i) * 1000 - 7);
    texts.push_back(i % 5 == 2 ? "" : "text " + std::to_string(i));
    group.push_back(i % 11 == 4 ? kMissingValue : 1 + (i * 5) % 4);
  }
  Numbers(d, "small", small);
  Numbers(d, "large", large);
  Texts(d, "label", texts);
  Factor(d, "group", group, 4, {"d", "c", "b", "a"}, {}, 2);
  Numbers(d, "whole", whole);

  const std::string path = dir / "large.xls";
  Dataset* back = WriteAndReadBack(d, path);
  ExpectSameColumns(d, back);
  const BookInfo book = Book(path);
  ASSERT_TRUE(book.found);
  EXPECT_GT(book.size, 4096u);
}

TEST_F(ExcelRoundTripTest, MetadataLayout) {
  test::TempDir dir;
  const int32_t n = 12;
  Dataset* d = MakeDataset(n);
  std::vector<double> yield, rep;
  std::vector<std::string> variety, plot, note;
  for (int32_t i = 0; i < n; ++i) {
    yield.push_back(i == 5 ? kMissingValue : kAwkwardNumbers[i] * 10);
    rep.push_back(1 + i / 6);
    note.push_back(i % 4 == 0 ? "" : "n" + std::to_string(i));
  }
  // Written order: numbers, texts, factors; the writer puts the factors first.
  Column* y = Numbers(d, "yield", yield);
  y->description = "grain yield";
  Texts(d, "note", note);
  std::vector<double> varietyLevels;
  for (int32_t i = 0; i < n; ++i) varietyLevels.push_back(1 + i % 3);
  Factor(d, "rep", rep, 2, {"I", "II"}, {}, 2);
  Factor(d, "variety", varietyLevels, 3, {"Apex", "Bolt", "Crest"}, {}, 2);
  AppendNote(d, "study: Trial 7");
  AppendNote(d, "site_name: North");
  AppendNote(d, "season: dry");

  State().metadataLayoutOutput = true;
  State().metadataLayoutValue = 2;
  const std::string path = dir / "meta.xls";
  ASSERT_EQ(WriteExcel(d, path.c_str()), 1);
  State().metadataLayoutOutput = false;
  State().rangeLayoutInput = true;
  SetCurrentDataset(nullptr);
  ASSERT_EQ(ReadExcel(path.c_str()), 1);
  Dataset* back = CurrentDataset();
  ASSERT_NE(back, d);

  const auto cols = DataColumns(back);
  ASSERT_EQ(cols.size(), 4u);
  EXPECT_EQ(back->rowCount, n);
  // The classification columns come first, then the others in their order.
  EXPECT_EQ(cols[0]->name, "rep");
  EXPECT_EQ(cols[1]->name, "variety");
  EXPECT_EQ(cols[2]->name, "yield");
  EXPECT_EQ(cols[3]->name, "note");
  EXPECT_EQ(cols[0]->kind, ColumnKind::Factor);
  EXPECT_EQ(cols[1]->kind, ColumnKind::Factor);
  EXPECT_EQ(cols[2]->kind, ColumnKind::Variate);
  EXPECT_EQ(cols[3]->kind, ColumnKind::Text);
  // Descriptions come from the title row, after a blank.
  EXPECT_EQ(cols[2]->description, " grain yield");

  Column* repIn = ColumnAt(d, 3);
  Column* varietyIn = ColumnAt(d, 4);
  ASSERT_EQ(repIn->name, "rep");
  for (int32_t i = 0; i < n; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(LabelOf(cols[0], GetNumber(cols[0], i)), LabelOf(repIn, GetNumber(repIn, i)));
    EXPECT_EQ(LabelOf(cols[1], GetNumber(cols[1], i)), LabelOf(varietyIn, GetNumber(varietyIn, i)));
    const double u = yield[i], v = GetNumber(cols[2], i);
    if (IsMissing(d, u))
      EXPECT_TRUE(IsMissing(back, v));
    else
      EXPECT_EQ(std::memcmp(&u, &v, sizeof u), 0) << u << " read as " << v;
    EXPECT_EQ(GetText(cols[3], i), note[i]);
  }
  // The key rows come back as notes.
  const std::vector<std::string> expectedNotes = {
      "study: Trial 7", "study_title:", "study_pinvestigator:", "site: North", "file: " + path,
      "file_author:",   "sheet: Ravimar Data", "date:",          "season: dry"};
  EXPECT_EQ(back->notes, expectedNotes);
}

TEST_F(ExcelRoundTripTest, MetadataLayoutFirstColumnOfUnitsComesBackAsUnits) {
  test::TempDir dir;
  const int32_t n = 5;
  Dataset* d = MakeDataset(n);
  Column* units = AddColumnWithValues(d, ColumnKind::TextUnits, "plot", n);
  std::vector<double> x;
  for (int32_t i = 0; i < n; ++i) {
    SetText(units, i, "P" + std::to_string(i + 1));
    x.push_back(kAwkwardNumbers[i + 3]);
  }
  d->unitsColumnCount = 1;
  Numbers(d, "x", x);
  State().metadataLayoutOutput = true;
  State().metadataLayoutValue = 1;
  const std::string path = dir / "units.xls";
  ASSERT_EQ(WriteExcel(d, path.c_str()), 1);
  State().metadataLayoutOutput = false;
  State().rangeLayoutInput = true;
  SetCurrentDataset(nullptr);
  ASSERT_EQ(ReadExcel(path.c_str()), 1);
  Dataset* back = CurrentDataset();
  const auto cols = DataColumns(back);
  ASSERT_EQ(cols.size(), 2u);
  EXPECT_EQ(cols[0]->name, "plot");
  EXPECT_EQ(cols[0]->kind, ColumnKind::TextUnits);
  EXPECT_EQ(cols[1]->kind, ColumnKind::Variate);
  for (int32_t i = 0; i < n; ++i) {
    EXPECT_EQ(GetText(cols[0], i), "P" + std::to_string(i + 1));
    EXPECT_EQ(GetNumber(cols[1], i), x[i]);
  }
}

}  // namespace
}  // namespace trovadex

namespace trovadex {
namespace {

TEST_F(ExcelRoundTripTest, AwkwardLabelsDescriptionsAndEmptyEdgeRows) {
  test::TempDir dir;
  const int32_t n = 6;
  Dataset* d = MakeDataset(n);
  // The first and the fifth data rows have no value at all.
  const double M = kMissingValue;
  Numbers(d, "a", {M, 1.5, 2, M, M, 3})->description = "Yield! (kg/ha)";
  Factor(d, "b", {M, 1, 2, 3, M, 4}, 4, {"x, y", "it's", "p)", "1.5"}, {}, 2)->description = "ratio!";
  Factor(d, "c", {M, 2, 1, 2, M, 1}, 2, {"second", "first"}, {}, 0);
  Texts(d, "d", {"", "*", "", "a!b", "", "z"});
  Numbers(d, "e", {M, 0.5, M, 4, M, 0.25});
  // A plain factor whose description holds "!" keeps its levels unlabelled.
  Factor(d, "f", {1, 2, 1, 2, M, 2}, 2, {}, {}, 0)->description = "No! Not a list";
  const std::string path = dir / "awkward.xls";
  Dataset* back = WriteAndReadBack(d, path);
  ExpectSameColumns(d, back);
}

}  // namespace
}  // namespace trovadex
