#include "writers/excel.h"

#include <sys/wait.h>

#include <chrono>
#include <cmath>
#include <map>
#include <sstream>

#include "core/format.h"
#include "test_support.h"
#include "writers/writers.h"
#include "writers/xls_test_support.h"

namespace trovadex {
namespace {

using test::BiffRecord;
using test::StateTest;

class ExcelWriterTest : public StateTest {};

Dataset* MakeDataset(int32_t rows) {
  Dataset* d = CreateDataset();
  d->rowCount = rows;
  EXPECT_TRUE(CreateRows(d));
  return d;
}

Column* NumberColumn(Dataset* d, const char* name, const std::vector<double>& values) {
  Column* c = AddColumnWithValues(d, ColumnKind::Variate, name, d->rowCount);
  for (std::size_t i = 0; i < values.size(); ++i) SetNumber(c, i, values[i]);
  return c;
}

Column* TextColumn(Dataset* d, const char* name, const std::vector<std::string>& values) {
  Column* c = AddColumnWithValues(d, ColumnKind::Text, name, d->rowCount);
  for (std::size_t i = 0; i < values.size(); ++i) SetText(c, i, values[i]);
  return c;
}

Column* FactorColumn(Dataset* d, const char* name, const std::vector<std::string>& labels,
                     const std::vector<double>& levels) {
  Column* c = AddColumnWithValues(d, ColumnKind::Factor, name, d->rowCount);
  c->levelCount = static_cast<int32_t>(labels.size());
  SetLabelList(c, labels);
  c->factorDisplay = 2;
  for (std::size_t i = 0; i < levels.size(); ++i) SetNumber(c, i, levels[i]);
  return c;
}

std::vector<BiffRecord> BookRecords(const std::string& path) {
  const std::string bytes = test::ReadFile(path);
  const test::CfbFile cfb = test::ParseCfb(std::vector<uint8_t>(bytes.begin(), bytes.end()));
  EXPECT_EQ(cfb.error, "");
  const auto book = test::CfbStream(cfb, "Book");
  EXPECT_TRUE(book.has_value());
  if (!book) return {};
  std::vector<BiffRecord> records = test::SplitBiff(*book);
  // The records cover the stream exactly.
  std::size_t total = 0;
  for (const BiffRecord& r : records) total += 4 + r.body.size();
  EXPECT_EQ(total, book->size());
  return records;
}

std::vector<BiffRecord> WriteAndRead(Dataset* d, const std::string& path) {
  EXPECT_EQ(WriteExcel(d, path.c_str()), 1);
  return BookRecords(path);
}

std::vector<const BiffRecord*> Find(const std::vector<BiffRecord>& records, uint16_t code) {
  std::vector<const BiffRecord*> out;
  for (const BiffRecord& r : records)
    if (r.code == code) out.push_back(&r);
  return out;
}

// Cell records (RK, MULRK, NUMBER, LABEL, BLANK) of one sheet row.
std::vector<const BiffRecord*> RowCells(const std::vector<BiffRecord>& records, unsigned row) {
  std::vector<const BiffRecord*> out;
  for (const BiffRecord& r : records) {
    if ((r.code == 0x027E || r.code == 0x00BD || r.code == 0x0203 || r.code == 0x0204 ||
         r.code == 0x0201) &&
        LoadU16LE(r.body.data()) == row)
      out.push_back(&r);
  }
  return out;
}

TEST_F(ExcelWriterTest, RkFormsReadBackExactly) {
  struct Case {
    double value;
    bool rk;
    uint32_t code;
  };
  const Case cases[] = {
      {1.0, true, 0x3FF00000},         {2.5, true, 0x40040000},  {0.1, true, 0x40240001},
      {0.0, true, 0x00000000},         {-2.0, true, 0xC0000000}, {100000001.0, true, 100000001u * 4 + 2},
      {1234567.01, true, 123456701u * 4 + 3},
      {-14413.039999999999, false, 0}, {1.0 / 3, false, 0},     {1e300, false, 0},
      {536870912.5, false, 0},
  };
  for (const Case& c : cases) {
    uint32_t rk = 0;
    EXPECT_EQ(EncodeRk(c.value, &rk), c.rk) << c.value;
    if (c.rk) {
      EXPECT_EQ(rk, c.code) << c.value;
      EXPECT_EQ(DecodeRk(rk), c.value);
    }
  }
  // Whatever is encoded decodes to the same bits.
  uint64_t state = 88172645463325252ull;
  int encoded = 0;
  for (int k = 0; k < 200000; ++k) {
    state ^= state << 13, state ^= state >> 7, state ^= state << 17;
    double v;
    switch (k % 4) {
      case 0: v = static_cast<double>(static_cast<int64_t>(state % 20000001) - 10000000) / 100; break;
      case 1: v = static_cast<double>(state % 1000000000); break;
      case 2: v = std::ldexp(static_cast<double>(state >> 40), -static_cast<int>(state % 40)); break;
      default: v = std::bit_cast<double>(state & 0xBFFFFFFFFFFFFFFFull); break;
    }
    uint32_t rk;
    if (EncodeRk(v, &rk)) {
      ++encoded;
      ASSERT_EQ(std::bit_cast<uint64_t>(DecodeRk(rk)), std::bit_cast<uint64_t>(v)) << v;
    }
  }
  EXPECT_GT(encoded, 50000);
}

TEST_F(ExcelWriterTest, AdjacentRkValuesShareOneMulrk) {
  test::TempDir dir;
  Dataset* d = MakeDataset(1);
  NumberColumn(d, "a", {1.0});
  NumberColumn(d, "b", {2.5});
  NumberColumn(d, "c", {0.1});
  NumberColumn(d, "e", {-14413.039999999999});
  const auto records = WriteAndRead(d, dir / "m.xls");
  const auto cells = RowCells(records, 1);
  ASSERT_EQ(cells.size(), 2u);
  ASSERT_EQ(cells[0]->code, 0x00BD);
  const std::vector<uint8_t>& m = cells[0]->body;
  ASSERT_EQ(m.size(), 6u * 3 + 6);
  EXPECT_EQ(LoadU16LE(&m[2]), 0);   // first column
  EXPECT_EQ(LoadU32LE(&m[6]), 0x3FF00000u);
  EXPECT_EQ(LoadU32LE(&m[12]), 0x40040000u);
  EXPECT_EQ(LoadU32LE(&m[18]), 0x40240001u);
  EXPECT_EQ(LoadU16LE(&m[22]), 2);  // last column
  // The value whose hundredfold RK would read back as -14413.04.
  ASSERT_EQ(cells[1]->code, 0x0203);
  EXPECT_EQ(LoadU16LE(&cells[1]->body[2]), 3);
  EXPECT_EQ(LoadF64LE(&cells[1]->body[6]), -14413.039999999999);

  // One column: one RK record per row.
  Dataset* single = MakeDataset(3);
  NumberColumn(single, "x", {1.0, 2.5, 0.1});
  const auto one = WriteAndRead(single, dir / "s.xls");
  const uint32_t expected[3] = {0x3FF00000u, 0x40040000u, 0x40240001u};
  for (unsigned row = 1; row <= 3; ++row) {
    const auto c = RowCells(one, row);
    ASSERT_EQ(c.size(), 1u);
    ASSERT_EQ(c[0]->code, 0x027E);
    EXPECT_EQ(LoadU32LE(&c[0]->body[6]), expected[row - 1]);
  }
}

TEST_F(ExcelWriterTest, BlanksOnlyAtTheRowEdges) {
  test::TempDir dir;
  Dataset* d = MakeDataset(3);
  NumberColumn(d, "a", {kMissingValue, 1, 1});
  NumberColumn(d, "b", {kMissingValue, kMissingValue, 2});
  TextColumn(d, "c", {"", "x", ""});
  const auto records = WriteAndRead(d, dir / "b.xls");
  struct Expect {
    unsigned row;
    std::vector<std::pair<uint16_t, unsigned>> cells;  // code, column
  };
  const Expect expect[] = {
      {1, {{0x0201, 0}, {0x0201, 2}}},
      {2, {{0x027E, 0}, {0x0204, 2}}},
      {3, {{0x00BD, 0}, {0x0201, 2}}},
  };
  for (const Expect& e : expect) {
    const auto cells = RowCells(records, e.row);
    ASSERT_EQ(cells.size(), e.cells.size()) << e.row;
    for (std::size_t k = 0; k < cells.size(); ++k) {
      EXPECT_EQ(cells[k]->code, e.cells[k].first) << e.row;
      EXPECT_EQ(LoadU16LE(&cells[k]->body[2]), e.cells[k].second) << e.row;
    }
  }
  // A missing middle value splits the RK run: two separate RK records.
  Dataset* gap = MakeDataset(1);
  NumberColumn(gap, "a", {1});
  NumberColumn(gap, "b", {kMissingValue});
  NumberColumn(gap, "c", {3});
  const auto gapRecords = WriteAndRead(gap, dir / "g.xls");
  const auto g = RowCells(gapRecords, 1);
  ASSERT_EQ(g.size(), 2u);
  EXPECT_EQ(g[0]->code, 0x027E);
  EXPECT_EQ(g[1]->code, 0x027E);
  EXPECT_EQ(LoadU16LE(&g[1]->body[2]), 2);
}

TEST_F(ExcelWriterTest, FactorNameAndNote) {
  test::TempDir dir;
  Dataset* d = MakeDataset(3);
  FactorColumn(d, "Dose", {"low", "high"}, {1, 2, 1});
  Column* v = AddColumnWithValues(d, ColumnKind::Factor, "Rate", 3);
  v->levelCount = 3;
  SetLevelValueList(v, {0.5, 10, 0.1 + 0.2});
  for (int i = 0; i < 3; ++i) SetNumber(v, i, i + 1);
  Column* plain = NumberColumn(d, "x", {1, 2, 3});
  plain->description = "weight in kg";
  Column* both = FactorColumn(d, "Site", {"a,b", "c"}, {1, 2, 2});
  both->description = "where";
  const auto records = WriteAndRead(d, dir / "f.xls");
  const auto names = RowCells(records, 0);
  ASSERT_EQ(names.size(), 4u);
  auto labelText = [](const BiffRecord* r) {
    return std::string(r->body.begin() + 8, r->body.begin() + 8 + LoadU16LE(&r->body[6]));
  };
  EXPECT_EQ(labelText(names[0]), "Dose!");
  EXPECT_EQ(labelText(names[1]), "Rate!");
  EXPECT_EQ(labelText(names[2]), "x");
  EXPECT_EQ(labelText(names[3]), "Site!");
  const auto notes = Find(records, 0x001C);
  ASSERT_EQ(notes.size(), 4u);
  std::map<unsigned, std::string> byColumn;
  for (const BiffRecord* n : notes) {
    EXPECT_EQ(LoadU16LE(&n->body[0]), 0);
    EXPECT_EQ(LoadU16LE(&n->body[4]), n->body.size() - 6);
    byColumn[LoadU16LE(&n->body[2])] = std::string(n->body.begin() + 6, n->body.end());
  }
  EXPECT_EQ(byColumn[0], "!T(low,high)");
  EXPECT_EQ(byColumn[1], "!(0.5,10,0.30000000000000004)");
  EXPECT_EQ(byColumn[2], "weight in kg");
  EXPECT_EQ(byColumn[3], "!T('a,b',c)\nwhere");
  // Level cells: labels as texts.
  const auto row1 = RowCells(records, 1);
  ASSERT_EQ(row1[0]->code, 0x0204);
  EXPECT_EQ(labelText(row1[0]), "low");
}

TEST_F(ExcelWriterTest, LevelNumbersOutsideTheFactorAreMissing) {
  test::TempDir dir;
  Dataset* d = MakeDataset(5);
  NumberColumn(d, "a", {1, 2, 3, 4, 5});
  FactorColumn(d, "f", {"low", "high"}, {3, 0, 1.5, -1, 2});
  Column* byValue = AddColumnWithValues(d, ColumnKind::Factor, "g", 5);
  byValue->levelCount = 3;
  byValue->factorDisplay = 1;
  SetLevelValueList(byValue, {7, 8});  // level 3 has no value
  for (int i = 0; i < 5; ++i) SetNumber(byValue, i, i % 2 ? 3 : 2);
  NumberColumn(d, "z", {1, 2, 3, 4, 5});
  const auto records = WriteAndRead(d, dir / "l.xls");
  for (unsigned row = 1; row <= 4; ++row) {
    for (const BiffRecord* c : RowCells(records, row)) {
      const unsigned column = LoadU16LE(&c->body[2]);
      if (c->code == 0x00BD) {
        const unsigned last = LoadU16LE(&c->body[c->body.size() - 2]);
        EXPECT_TRUE(column > 1 || last < 1) << row;  // no RK in the factor's column
        if (row % 2 == 0) {
          EXPECT_TRUE(column > 2 || last < 2) << row;
        }
      } else {
        EXPECT_NE(column, 1u) << row << " code " << c->code;
        if (row % 2 == 0) {
          EXPECT_NE(column, 2u) << row;
        }
      }
    }
  }
  // Row 5 shows "high" and the level value 7.
  const auto row5 = RowCells(records, 5);
  ASSERT_GE(row5.size(), 3u);
  EXPECT_EQ(row5[1]->code, 0x0204);
}

TEST_F(ExcelWriterTest, FormatsAndCellFormatsFollowTheDecimals) {
  test::TempDir dir;
  Dataset* d = MakeDataset(1);
  const int decimals[] = {0, 3, 2, -1, 3, 5, 25};
  const char* names[] = {"a", "b", "c", "d", "e", "f", "g"};
  for (int k = 0; k < 7; ++k) NumberColumn(d, names[k], {1.25})->decimals = decimals[k];
  const auto records = WriteAndRead(d, dir / "x.xls");
  std::map<unsigned, std::string> formats;
  for (const BiffRecord* f : Find(records, 0x041E))
    formats[LoadU16LE(&f->body[0])] = std::string(f->body.begin() + 3, f->body.begin() + 3 + f->body[2]);
  EXPECT_EQ(formats.size(), 8u + 3);
  EXPECT_EQ(formats[164], "0.000");
  EXPECT_EQ(formats[165], "0.00000");
  EXPECT_EQ(formats[166], "0.00000000000000000000");
  EXPECT_EQ(formats[43], "_-* #,##0.00_-;\\-* #,##0.00_-;_-* \"-\"??_-;_-@_-");
  const auto xfs = Find(records, 0x00E0);
  ASSERT_EQ(xfs.size(), 21u + 5);
  const unsigned expectedFormat[5] = {1, 164, 2, 165, 166};
  for (int k = 0; k < 5; ++k) {
    EXPECT_EQ(LoadU16LE(&xfs[21 + k]->body[2]), expectedFormat[k]);
    EXPECT_EQ(LoadU16LE(&xfs[21 + k]->body[4]), 0x0001);
  }
  EXPECT_EQ(LoadU16LE(&xfs[16]->body[0]), 5);
  EXPECT_EQ(LoadU16LE(&xfs[20]->body[2]), 9);
  // Column formats and cell formats: XF 21, 22, 23, 0, 22, 24, 25.
  const unsigned expectedXf[7] = {21, 22, 23, 0, 22, 24, 25};
  const auto colinfo = Find(records, 0x007D);
  ASSERT_EQ(colinfo.size(), 7u);
  for (int k = 0; k < 7; ++k) EXPECT_EQ(LoadU16LE(&colinfo[k]->body[6]), expectedXf[k]);
  const auto cells = RowCells(records, 1);
  ASSERT_EQ(cells.size(), 1u);
  ASSERT_EQ(cells[0]->code, 0x00BD);
  for (int k = 0; k < 7; ++k) EXPECT_EQ(LoadU16LE(&cells[0]->body[4 + 6 * k]), expectedXf[k]);
}

TEST_F(ExcelWriterTest, IndexAndDbcellPointAtTheRows) {
  test::TempDir dir;
  Dataset* d = MakeDataset(100);
  std::vector<double> values;
  for (int i = 0; i < 100; ++i) values.push_back(i % 7 ? i * 0.37 : kMissingValue);
  NumberColumn(d, "a", values);
  TextColumn(d, "t", {"x", "", "yy"});
  const auto records = WriteAndRead(d, dir / "i.xls");
  std::map<std::size_t, const BiffRecord*> at;
  for (const BiffRecord& r : records) at[r.pos] = &r;
  const auto index = Find(records, 0x020B);
  ASSERT_EQ(index.size(), 1u);
  const std::vector<uint8_t>& body = index[0]->body;
  ASSERT_EQ(body.size(), 12u + 4 * 4);  // 101 rows: 4 blocks
  EXPECT_EQ(LoadU16LE(&body[6]), 101);
  ASSERT_TRUE(at.count(LoadU32LE(&body[8])));
  EXPECT_EQ(at[LoadU32LE(&body[8])]->code, 0x0055);
  unsigned row = 0;
  for (int b = 0; b < 4; ++b) {
    const std::size_t dbPos = LoadU32LE(&body[12 + 4 * b]);
    ASSERT_TRUE(at.count(dbPos));
    const BiffRecord* db = at[dbPos];
    ASSERT_EQ(db->code, 0x00D7);
    const std::size_t firstRow = dbPos - LoadU32LE(&db->body[0]);
    ASSERT_TRUE(at.count(firstRow));
    EXPECT_EQ(at[firstRow]->code, 0x0208);
    EXPECT_EQ(LoadU16LE(&at[firstRow]->body[0]), row);
    std::size_t cell = firstRow + 20;
    for (std::size_t k = 4; k < db->body.size(); k += 2, ++row) {
      cell += LoadU16LE(&db->body[k]);
      ASSERT_TRUE(at.count(cell)) << row;
      EXPECT_EQ(LoadU16LE(&at[cell]->body[0]), row);
    }
  }
  EXPECT_EQ(row, 101u);
  // Every row has its ROW record; the dimensions span the written cells.
  EXPECT_EQ(Find(records, 0x0208).size(), 101u);
  const auto dims = Find(records, 0x0200);
  ASSERT_EQ(dims.size(), 1u);
  EXPECT_EQ(LoadU16LE(&dims[0]->body[2]), 101);
  EXPECT_EQ(LoadU16LE(&dims[0]->body[6]), 2);
  // The sheet begins where BOUNDSHEET says.
  const auto bound = Find(records, 0x0085);
  ASSERT_EQ(bound.size(), 1u);
  const std::size_t sheet = LoadU32LE(&bound[0]->body[0]);
  ASSERT_TRUE(at.count(sheet));
  EXPECT_EQ(at[sheet]->code, 0x0809);
  EXPECT_EQ(LoadU16LE(&at[sheet]->body[2]), 0x0010);
  // Column bits: standard width everywhere but the two written columns.
  const auto gcw = Find(records, 0x00AB);
  ASSERT_EQ(gcw.size(), 1u);
  ASSERT_EQ(gcw[0]->body.size(), 34u);
  EXPECT_EQ(gcw[0]->body[2], 0xFC);
  EXPECT_EQ(gcw[0]->body[33], 0xFF);
}

TEST_F(ExcelWriterTest, TooManyRowsIsReported) {
  test::TempDir dir;
  Dataset* d = MakeDataset(16384);
  NumberColumn(d, "a", {1});
  testing::internal::CaptureStdout();
  EXPECT_EQ(WriteExcel(d, (dir / "r.xls").c_str()), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Error: Excel 5 worksheets hold at most 16,383 rows of data (16384 rows)!\n");
  EXPECT_FALSE(std::filesystem::exists(dir / "r.xls"));
  EXPECT_EQ(d->locked, 0);
}

TEST_F(ExcelWriterTest, NothingToWrite) {
  test::TempDir dir;
  Dataset* d = MakeDataset(3);
  testing::internal::CaptureStdout();
  EXPECT_EQ(WriteExcel(d, (dir / "e.xls").c_str()), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST_F(ExcelWriterTest, FailedOpenAndWriteReturnZero) {
  Dataset* d = MakeDataset(3);
  NumberColumn(d, "a", {1, 2, 3});
  testing::internal::CaptureStdout();
  EXPECT_EQ(WriteExcel(d, "/nonexistent-dir/x.xls"), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Error: In Write XLS File - could not open file /nonexistent-dir/x.xls\n");
  if (std::FILE* f = std::fopen("/dev/full", "wb")) {
    std::fclose(f);
    EXPECT_EQ(WriteExcel(d, "/dev/full"), 0);
  }
  EXPECT_EQ(d->locked, 0);
}

TEST_F(ExcelWriterTest, StreamLimitIsReportedWithoutExit) {
  // 16,383 rows x 255 NUMBER cells is about 75 MB of records.
  test::TempDir dir;
  State().columnLimit = 255;
  Dataset* d = MakeDataset(16383);
  for (int k = 0; k < 255; ++k) {
    Column* c = AddColumnWithValues(d, ColumnKind::Variate, "c" + std::to_string(k), 16383);
    ASSERT_NE(c, nullptr);
    for (int i = 0; i < 16383; ++i) SetNumber(c, i, 1.0 / (i + k + 3));
  }
  testing::internal::CaptureStdout();
  EXPECT_EQ(WriteExcel(d, (dir / "big.xls").c_str()), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Error: Data space required exceeds Excel capabilities!\n");
}

TEST_F(ExcelWriterTest, MetadataLayoutKeepsTheDataset) {
  test::TempDir dir;
  State().metadataLayoutOutput = true;
  State().metadataLayoutValue = 2;
  Dataset* d = MakeDataset(2);
  Column* x = NumberColumn(d, "yield", {1.5, 2});
  x->description = "grain yield";
  Column* t = TextColumn(d, "note", {"a", "b"});
  Column* f = FactorColumn(d, "block", {"I", "II"}, {1, 2});
  Column* g = FactorColumn(d, "variety", {"v1", "v2"}, {2, 1});
  AppendNote(d, "Study: Trial 7");
  AppendNote(d, "A free title");
  AppendNote(d, "site_name: North");
  AppendNote(d, "season: dry");
  d->locked = 0;
  const auto records = WriteAndRead(d, dir / "m.xls");
  // The Dataset's own order and lock are untouched.
  Column* order[] = {x, t, f, g};
  Column* c = d->firstColumn->next;
  for (Column* expected : order) {
    ASSERT_EQ(c, expected);
    c = c->next;
  }
  EXPECT_EQ(d->locked, 0);
  auto labelAt = [&](unsigned row, unsigned column) -> std::string {
    for (const BiffRecord* r : RowCells(records, row))
      if (r->code == 0x0204 && LoadU16LE(&r->body[2]) == column)
        return std::string(r->body.begin() + 8, r->body.end());
    return "<none>";
  };
  // Nine keys: the eight fixed ones and "season".
  EXPECT_EQ(labelAt(0, 0), "study");
  EXPECT_EQ(labelAt(0, 1), "Trial 7");
  EXPECT_EQ(labelAt(1, 1), "A free title");
  EXPECT_EQ(labelAt(3, 1), "North");
  EXPECT_EQ(labelAt(4, 1), (dir / "m.xls"));
  EXPECT_EQ(labelAt(6, 1), "Ravimar Data");
  EXPECT_EQ(labelAt(8, 0), "season");
  EXPECT_EQ(labelAt(8, 1), "dry");
  EXPECT_EQ(labelAt(9, 0), "variable_type");
  EXPECT_EQ(labelAt(9, 1), "factor");
  EXPECT_EQ(labelAt(9, 2), "factor");
  EXPECT_EQ(labelAt(9, 3), "measurement");
  EXPECT_EQ(labelAt(10, 3), "grain yield");
  EXPECT_EQ(labelAt(13, 0), "variable_name");
  EXPECT_EQ(labelAt(13, 1), "block");
  EXPECT_EQ(labelAt(13, 2), "variety");
  EXPECT_EQ(labelAt(13, 3), "yield");
  EXPECT_EQ(labelAt(13, 4), "note");
  EXPECT_EQ(labelAt(14, 1), "I");
  EXPECT_EQ(labelAt(14, 2), "v2");
  EXPECT_EQ(labelAt(14, 4), "a");
  const auto name = Find(records, 0x0018);
  ASSERT_EQ(name.size(), 1u);
  const std::vector<uint8_t>& n = name[0]->body;
  ASSERT_EQ(n.size(), 14u + 10 + 21);
  EXPECT_EQ(std::string(n.begin() + 14, n.begin() + 24), "column_row");
  EXPECT_EQ(n[24], 0x3B);
  EXPECT_EQ(LoadU16LE(&n[39]), 9);   // first row W
  EXPECT_EQ(LoadU16LE(&n[41]), 13);  // last row W + 4
  EXPECT_EQ(n[43], 1);
  EXPECT_EQ(n[44], 2);
  EXPECT_TRUE(Find(records, 0x001C).empty());
}

// ---------------------------------------------------------------- independent readers

// A Dataset with numbers of every magnitude, missing values, texts and
// factors over 300+ rows.
Dataset* MixedDataset(int32_t rows) {
  Dataset* d = MakeDataset(rows);
  std::vector<double> small, large, whole, fixed;
  for (int i = 0; i < rows; ++i) {
    const double m = std::pow(10.0, (i % 41) - 20);
    small.push_back(i % 13 == 5 ? kMissingValue : (i % 2 ? -1 : 1) * m * (1 + i / 7.0));
    large.push_back(i % 3 == 0 ? 1e300 / (i + 1) : -14413.039999999999 + i);
    whole.push_back(i % 17 == 3 ? kMissingValue : static_cast<double>(i * 1000 - 7));
    fixed.push_back(i * 0.25);
  }
  NumberColumn(d, "small", small);
  NumberColumn(d, "large", large);
  std::vector<std::string> texts;
  std::vector<double> levels;
  for (int i = 0; i < rows; ++i) {
    texts.push_back(i % 5 == 2 ? "" : "text " + std::to_string(i) + (i % 2 ? " odd" : ""));
    levels.push_back(i % 11 == 4 ? kMissingValue : 1 + i % 3);
  }
  TextColumn(d, "label", texts);
  FactorColumn(d, "group", {"low", "mid", "high"}, levels);
  NumberColumn(d, "whole", whole);
  NumberColumn(d, "quarter", fixed)->decimals = 2;
  return d;
}

// What a reader should see in data row i, column k ("" = empty cell).
struct Expected {
  bool number = false;
  double value = 0;
  std::string text;
};

Expected ExpectedCell(Dataset* d, int k, int64_t i) {
  Column* c = ColumnAt(d, k + 1);
  Expected e;
  if (c->kind == ColumnKind::Text) {
    e.text = std::string(GetText(c, i));
  } else if (c->kind == ColumnKind::Factor) {
    const double x = GetNumber(c, i);
    if (!IsMissing(d, x)) e.text = std::string(c->labels.Get(static_cast<int64_t>(x) - 1));
  } else {
    const double x = GetNumber(c, i);
    if (!IsMissing(d, x)) {
      e.number = true;
      e.value = x;
    }
  }
  return e;
}

std::vector<std::string> SplitTabs(const std::string& line) {
  std::vector<std::string> out;
  std::size_t start = 0;
  for (;;) {
    const std::size_t tab = line.find('\t', start);
    out.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
    if (tab == std::string::npos) return out;
    start = tab + 1;
  }
}

const char* kXlrdDump =
    "import sys, xlrd\n"
    "b = xlrd.open_workbook(sys.argv[1], formatting_info=(sys.argv[2] == '1'))\n"
    "s = b.sheet_by_index(0)\n"
    "print('sheet', s.name, s.nrows, s.ncols, sep='\\t')\n"
    "for r in range(s.nrows):\n"
    "  for c in range(s.ncols):\n"
    "    v = s.cell(r, c)\n"
    "    if v.ctype == xlrd.XL_CELL_NUMBER: print(r, c, 'n', repr(v.value), sep='\\t')\n"
    "    if v.ctype == xlrd.XL_CELL_NUMBER and b.formatting_info:\n"
    "      print(r, c, 'f', b.format_map[b.xf_list[v.xf_index].format_key].format_str, sep='\\t')\n"
    "    elif v.ctype == xlrd.XL_CELL_TEXT: print(r, c, 't', v.value, sep='\\t')\n";

// Cells read by xlrd: (row, column) -> ("n" or "t", text).
std::map<std::pair<int, int>, std::pair<std::string, std::string>> XlrdCells(
    const test::TempDir& dir, const std::string& file, bool formatting, std::string* header,
    std::map<std::pair<int, int>, std::string>* formats) {
  test::WriteFile(dir / "dump.py", kXlrdDump);
  std::string out;
  const int rc = test::RunCommand(
      "/usr/bin/python3 " + (dir / "dump.py") + " " + file + (formatting ? " 1" : " 0") + " 2>&1", &out);
  EXPECT_EQ(rc, 0) << out.substr(0, 2000);
  std::map<std::pair<int, int>, std::pair<std::string, std::string>> cells;
  std::istringstream in(out);
  std::string line;
  std::getline(in, *header);
  while (std::getline(in, line)) {
    const auto f = SplitTabs(line);
    if (f.size() == 4 && f[2] == "f")
      (*formats)[{std::stoi(f[0]), std::stoi(f[1])}] = f[3];
    else if (f.size() == 4)
      cells[{std::stoi(f[0]), std::stoi(f[1])}] = {f[2], f[3]};
  }
  return cells;
}

TEST_F(ExcelWriterTest, XlrdReadsEveryCell) {
  if (!test::PythonModuleAvailable("xlrd")) GTEST_SKIP() << "python3-xlrd absent";
  test::TempDir dir;
  Dataset* d = MixedDataset(333);
  const std::string file = dir / "mixed.xls";
  ASSERT_EQ(WriteExcel(d, file.c_str()), 1);
  for (bool formatting : {false, true}) {
    std::string header;
    std::map<std::pair<int, int>, std::string> formats;
    const auto cells = XlrdCells(dir, file, formatting, &header, &formats);
    EXPECT_EQ(header, "sheet\tCorvist Data\t334\t6");
    const char* names[] = {"small", "large", "label", "group!", "whole", "quarter"};
    for (int k = 0; k < 6; ++k) {
      const auto it = cells.find({0, k});
      ASSERT_NE(it, cells.end());
      EXPECT_EQ(it->second, std::make_pair(std::string("t"), std::string(names[k])));
    }
    std::size_t count = 6;
    for (int64_t i = 0; i < 333; ++i) {
      for (int k = 0; k < 6; ++k) {
        const Expected e = ExpectedCell(d, k, i);
        const auto it = cells.find({static_cast<int>(i) + 1, k});
        if (e.number) {
          ASSERT_NE(it, cells.end()) << i << "," << k;
          ASSERT_EQ(it->second.first, "n");
          EXPECT_EQ(ParseDecimal(it->second.second.c_str(), nullptr, nullptr), e.value)
              << i << "," << k << " " << it->second.second;
          ++count;
          if (formatting) {
            const std::pair<int, int> at(static_cast<int>(i) + 1, k);
            EXPECT_EQ(formats[at], k == 5 ? "0.00" : "General");
          }
        } else if (!e.text.empty()) {
          ASSERT_NE(it, cells.end()) << i << "," << k;
          EXPECT_EQ(it->second, std::make_pair(std::string("t"), e.text));
          ++count;
        } else {
          EXPECT_EQ(it, cells.end()) << i << "," << k;
        }
      }
    }
    EXPECT_EQ(cells.size(), count);
  }
}

// A CSV line into fields (quotes as ssconvert writes them).
std::vector<std::string> SplitCsv(const std::string& line) {
  std::vector<std::string> out(1);
  bool quoted = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char ch = line[i];
    if (quoted) {
      if (ch == '"' && i + 1 < line.size() && line[i + 1] == '"') {
        out.back() += '"';
        ++i;
      } else if (ch == '"') {
        quoted = false;
      } else {
        out.back() += ch;
      }
    } else if (ch == '"') {
      quoted = true;
    } else if (ch == ',') {
      out.emplace_back();
    } else if (ch != '\r') {
      out.back() += ch;
    }
  }
  return out;
}

TEST_F(ExcelWriterTest, GnumericReadsEveryCell) {
  std::string ignored;
  if (test::RunCommand("command -v ssconvert >/dev/null 2>&1", &ignored) != 0)
    GTEST_SKIP() << "ssconvert absent";
  test::TempDir dir;
  Dataset* d = MixedDataset(321);
  const std::string file = dir / "mixed.xls";
  ASSERT_EQ(WriteExcel(d, file.c_str()), 1);
  std::string out;
  ASSERT_EQ(test::RunCommand("HOME=" + dir.path().string() + " ssconvert " + file + " " +
                                 (dir / "mixed.csv") + " 2>&1",
                             &out),
            0)
      << out;
  // No complaint about the file.
  EXPECT_EQ(out, "");
  std::istringstream in(test::ReadFile(dir / "mixed.csv"));
  std::string line;
  std::vector<std::vector<std::string>> rows;
  while (std::getline(in, line)) rows.push_back(SplitCsv(line));
  ASSERT_EQ(rows.size(), 322u);
  const std::vector<std::string> names = {"small", "large", "label", "group!", "whole", "quarter"};
  EXPECT_EQ(rows[0], names);
  for (int64_t i = 0; i < 321; ++i) {
    const auto& row = rows[i + 1];
    ASSERT_EQ(row.size(), 6u) << i;
    for (int k = 0; k < 6; ++k) {
      const Expected e = ExpectedCell(d, k, i);
      if (!e.number) {
        EXPECT_EQ(row[k], e.text) << i << "," << k;
      } else {
        EXPECT_EQ(ParseDecimal(row[k].c_str(), nullptr, nullptr), e.value)
            << i << "," << k << " " << row[k];
      }
    }
  }
}

// The largest sheet: 16,383 rows of 20 columns, read back by xlrd.
TEST_F(ExcelWriterTest, LargestSheetReadsBack) {
  test::TempDir dir;
  Dataset* d = MakeDataset(16383);
  for (int k = 0; k < 20; ++k) {
    Column* c = AddColumnWithValues(d, ColumnKind::Variate, "v" + std::to_string(k), 16383);
    for (int i = 0; i < 16383; ++i) SetNumber(c, i, k % 2 ? i * 0.01 + k : 1.0 / (i + k + 1));
  }
  const std::string file = dir / "largest.xls";
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(WriteExcel(d, file.c_str()), 1);
  const double ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  const auto size = std::filesystem::file_size(file);
  std::printf("16383 x 20 sheet: %llu bytes written in %.1f ms\n",
              static_cast<unsigned long long>(size), ms);
  if (!test::PythonModuleAvailable("xlrd")) GTEST_SKIP() << "python3-xlrd absent";
  const std::string script =
      "import sys, xlrd\n"
      "s = xlrd.open_workbook(sys.argv[1]).sheet_by_index(0)\n"
      "print(s.nrows, s.ncols, repr(s.cell_value(16383, 19)), repr(s.cell_value(16383, 0)),\n"
      "      repr(s.cell_value(1, 1)))\n";
  test::WriteFile(dir / "big.py", script);
  std::string out;
  ASSERT_EQ(test::RunCommand("/usr/bin/python3 " + (dir / "big.py") + " " + file + " 2>&1", &out), 0)
      << out;
  std::istringstream in(out);
  long rows = 0, columns = 0;
  std::string a, b, c;
  in >> rows >> columns >> a >> b >> c;
  EXPECT_EQ(rows, 16384);
  EXPECT_EQ(columns, 20);
  EXPECT_EQ(ParseDecimal(a.c_str(), nullptr, nullptr), 16382 * 0.01 + 19) << out;
  EXPECT_EQ(ParseDecimal(b.c_str(), nullptr, nullptr), 1.0 / 16383) << out;
  EXPECT_EQ(ParseDecimal(c.c_str(), nullptr, nullptr), 1.0) << out;
}

// ---------------------------------------------------------------- whole runs

TEST_F(ExcelWriterTest, RunWritesTextToExcel) {
  test::TempDir dir;
  test::WriteFile(dir / "in.csv", "grp!,x,t\r\nlow,1.5,abc\r\nhigh,-14413.039999999999,de f\r\nlow,*,g\r\n");
  for (const char* output : {"out.xls", "meta.xls/l=1"}) {
    const test::RunResult run = test::RunTrovadex({"in.csv", output}, dir.path().string());
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find(" 3 records transferred."), std::string::npos) << run.output;
  }
  const auto plain = BookRecords(dir / "out.xls");
  const auto notes = Find(plain, 0x001C);
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(std::string(notes[0]->body.begin() + 6, notes[0]->body.end()), "!T(high,low)");
  const auto meta = BookRecords(dir / "meta.xls");
  EXPECT_EQ(Find(meta, 0x0018).size(), 1u);
  bool fileKey = false;
  for (const BiffRecord* r : RowCells(meta, 4))
    if (r->code == 0x0204 && LoadU16LE(&r->body[2]) == 1)
      fileKey = std::string(r->body.begin() + 8, r->body.end()) == "meta.xls";
  EXPECT_TRUE(fileKey);
  if (!test::PythonModuleAvailable("xlrd")) return;
  std::string header;
  std::map<std::pair<int, int>, std::string> formats;
  const auto cells = XlrdCells(dir, dir / "out.xls", false, &header, &formats);
  EXPECT_EQ(header, "sheet\tCorvist Data\t4\t3");
  EXPECT_EQ(cells.at({0, 0}).second, "grp!");
  EXPECT_EQ(cells.at({2, 0}).second, "high");
  EXPECT_EQ(ParseDecimal(cells.at({2, 1}).second.c_str(), nullptr, nullptr), -14413.039999999999);
  EXPECT_EQ(cells.count({3, 1}), 0u);
  EXPECT_EQ(cells.at({3, 2}).second, "g");
}

TEST_F(ExcelWriterTest, RunWithTooManyRowsSaysWhy) {
  test::TempDir dir;
  std::string text = "x\r\n";
  for (int i = 0; i < 16384; ++i) text += std::to_string(i) + "\r\n";
  test::WriteFile(dir / "in.csv", text);
  const test::RunResult run = test::RunTrovadex({"in.csv", "out.xls"}, dir.path().string());
  EXPECT_EQ(run.exitCode, 6) << run.output;
  EXPECT_NE(run.output.find("Error: Excel 5 worksheets hold at most 16,383 rows of data (16384 rows)!\n"),
            std::string::npos)
      << run.output;
  EXPECT_FALSE(std::filesystem::exists(dir / "out.xls"));
}

}  // namespace
}  // namespace trovadex
