#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "core/byteorder.h"
#include "core/dataset.h"
#include "readers/readers.h"
#include "test_support.h"
#include "writers/writers.h"

namespace trovadex {
namespace {

using test::StateTest;
using test::TempDir;

struct Descriptor {
  std::string name;
  char type;
  int length;
  int decimals;
  int offset;
};

struct Table {
  std::string bytes;
  int version = 0, year = 0, month = 0, day = 0;
  long records = 0;
  int headerLength = 0, recordLength = 0;
  std::vector<Descriptor> fields;

  std::string Field(long record, int field) const {
    const Descriptor& f = fields[static_cast<std::size_t>(field)];
    return bytes.substr(static_cast<std::size_t>(headerLength + record * recordLength + f.offset),
                        static_cast<std::size_t>(f.length));
  }
};

// Takes a written table apart (the layout is checked by the callers).
Table Parse(const std::string& bytes) {
  Table t;
  t.bytes = bytes;
  if (bytes.size() < 32) return t;
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  t.version = p[0];
  t.year = p[1];
  t.month = p[2];
  t.day = p[3];
  t.records = LoadU32LE(p + 4);
  t.headerLength = LoadU16LE(p + 8);
  t.recordLength = LoadU16LE(p + 10);
  int offset = 1;
  for (std::size_t at = 32; at + 32 <= bytes.size() && p[at] != 0x0D; at += 32) {
    Descriptor d;
    d.name = std::string(reinterpret_cast<const char*>(p + at), strnlen(reinterpret_cast<const char*>(p + at), 11));
    d.type = static_cast<char>(p[at + 11]);
    d.length = p[at + 16];
    d.decimals = p[at + 17];
    d.offset = offset;
    offset += d.length;
    t.fields.push_back(d);
  }
  return t;
}

class DbaseWriterTest : public StateTest {
 protected:
  TempDir dir;
  std::string output;

  Dataset* NewDataset(int rows) {
    Dataset* d = CreateDataset();
    d->rowCount = rows;
    CreateRows(d);
    return d;
  }
  Column* Numbers(Dataset* d, const std::string& name, const std::vector<double>& values,
                  int decimals = -1, ColumnKind kind = ColumnKind::Variate) {
    Column* c = AddColumnWithValues(d, kind, name, static_cast<int32_t>(values.size()));
    for (std::size_t i = 0; i < values.size(); ++i) SetNumber(c, static_cast<int64_t>(i), values[i]);
    c->decimals = decimals;
    return c;
  }
  Column* Texts(Dataset* d, const std::string& name, const std::vector<std::string>& values) {
    Column* c = AddColumnWithValues(d, ColumnKind::Text, name, static_cast<int32_t>(values.size()));
    for (std::size_t i = 0; i < values.size(); ++i) SetText(c, static_cast<int64_t>(i), values[i]);
    return c;
  }
  int16_t Write(Dataset* d, const std::string& name = "out.dbf") {
    testing::internal::CaptureStdout();
    int16_t ok = WriteDbase(d, (dir / name).c_str());
    output = testing::internal::GetCapturedStdout();
    return ok;
  }
  Table Written(const std::string& name = "out.dbf") { return Parse(test::ReadFile(dir / name)); }
};

std::string Trim(const std::string& s) {
  std::size_t a = s.find_first_not_of(' ');
  if (a == std::string::npos) return "";
  return s.substr(a, s.find_last_not_of(' ') - a + 1);
}

// Digits after the decimal point of a fixed-form number text (-1: exponent form).
int DecimalsIn(const std::string& text) {
  if (text.find_first_of("eE") != std::string::npos) return -1;
  std::size_t dot = text.find('.');
  return dot == std::string::npos ? 0 : static_cast<int>(text.size() - dot - 1);
}

// ------------------------------------------------------------ layout

TEST_F(DbaseWriterTest, HeaderDescriptorsAndRecords) {
  Dataset* d = NewDataset(2);
  Texts(d, "name", {"Ann", "Bartholomew"});
  Numbers(d, "amount", {1.5, -123.25}, 2);
  Numbers(d, "count", {3, 12}, 0);
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  ASSERT_EQ(Write(d), 1);
  EXPECT_EQ(output, "");
  Table t = Written();
  EXPECT_EQ(t.version, 0x03);
  EXPECT_EQ(t.year, local.tm_year & 0xFF);
  EXPECT_EQ(t.month, local.tm_mon + 1);
  EXPECT_EQ(t.day, local.tm_mday);
  EXPECT_EQ(t.records, 2);
  EXPECT_EQ(t.headerLength, 129);
  ASSERT_EQ(t.fields.size(), 3u);
  EXPECT_EQ(t.bytes[128], '\x0D');
  EXPECT_EQ(t.fields[0].name, "name");
  EXPECT_EQ(t.fields[0].type, 'C');
  EXPECT_EQ(t.fields[0].length, 12);  // longest text + 1
  EXPECT_EQ(t.fields[0].decimals, 0);
  // Digit estimates 3 and 5, 2 decimals: W = 7, field length 8.
  EXPECT_EQ(t.fields[1].type, 'N');
  EXPECT_EQ(t.fields[1].length, 8);
  EXPECT_EQ(t.fields[1].decimals, 2);
  EXPECT_EQ(t.fields[2].decimals, 0);
  EXPECT_EQ(t.recordLength, 1 + 12 + 8 + t.fields[2].length);
  EXPECT_EQ(t.bytes.size(), 129u + 2u * static_cast<std::size_t>(t.recordLength));  // no end marker
  EXPECT_EQ(t.bytes[129], ' ');
  EXPECT_EQ(t.Field(0, 0), "Ann         ");
  EXPECT_EQ(t.Field(1, 0), "Bartholomew ");
  EXPECT_EQ(t.Field(0, 1), "   1.50 ");
  EXPECT_EQ(t.Field(1, 1), "-123.25 ");
  EXPECT_EQ(Trim(t.Field(1, 2)), "12");
  EXPECT_EQ(t.Field(1, 2).back(), ' ');
}

TEST_F(DbaseWriterTest, UnsetDecimalsDeclareWhatIsWritten) {
  Dataset* d = NewDataset(3);
  Numbers(d, "x", {1.5, 2, -0.25});
  Numbers(d, "whole", {1, 2, 300});
  ASSERT_EQ(Write(d), 1);
  Table t = Written();
  EXPECT_EQ(t.fields[0].decimals, 2);
  EXPECT_EQ(Trim(t.Field(0, 0)), "1.50");
  EXPECT_EQ(Trim(t.Field(1, 0)), "2.00");
  EXPECT_EQ(Trim(t.Field(2, 0)), "-0.25");
  EXPECT_EQ(t.fields[1].decimals, 0);
  EXPECT_EQ(Trim(t.Field(2, 1)), "300");
}

// Every written number reads back as the same double, and every fixed-form
// text carries exactly the declared decimals.
TEST_F(DbaseWriterTest, NumbersAreNeverCut) {
  struct Case {
    const char* what;
    std::vector<double> values;
    int decimals;
  };
  const Case cases[] = {
      {"1e15 with no decimals", {1e15, 5}, 0},
      {"large integers", {123456789012345678.0, -9007199254740993.0, 1e22}, 0},
      {"beyond a field", {1e300, -2.5e280, 7}, 0},
      {"tiny", {1e-20, 3.14}, -1},
      {"very tiny", {1e-300, -4.9e-324, 1}, -1},
      {"binary fractions", {0.1 + 0.2, 1.0 / 3.0, 2.0 / 3.0}, 2},
      {"decimals too few for the values", {1.23456789, 100.125}, 1},
      {"the largest number kept", {kNumberCap, -9.5e306}, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Dataset* d = NewDataset(static_cast<int>(c.values.size()));
    Numbers(d, "x", c.values, c.decimals);
    ASSERT_EQ(Write(d), 1);
    Table t = Written();
    ASSERT_EQ(t.fields.size(), 1u);
    EXPECT_LE(t.fields[0].length, 254);
    EXPECT_GE(t.fields[0].length, 2);
    for (std::size_t i = 0; i < c.values.size(); ++i) {
      std::string field = t.Field(static_cast<long>(i), 0);
      EXPECT_EQ(field.back(), ' ');
      std::string text = Trim(field);
      ASSERT_FALSE(text.empty());
      EXPECT_EQ(field.find(text) + text.size(), field.size() - 1) << "right-aligned";
      EXPECT_EQ(std::strtod(text.c_str(), nullptr), c.values[i]) << text;
      // Other readers take narrower fields without decimals for integers.
      if (text.find('e') != std::string::npos && t.fields[0].decimals == 0) {
        EXPECT_GE(t.fields[0].length, 20);
      }
      int decimals = DecimalsIn(text);
      if (decimals >= 0) {
        EXPECT_EQ(decimals, t.fields[0].decimals) << text;
      }
    }
  }
}

TEST_F(DbaseWriterTest, ValuesNotAboveMissingAreBlank) {
  Dataset* d = NewDataset(5);
  Numbers(d, "x", {kMissingValue, -1e308, 4.5, NAN, -HUGE_VAL}, 1);
  ASSERT_EQ(Write(d), 1);
  Table t = Written();
  for (long r : {0L, 1L, 3L, 4L}) EXPECT_EQ(Trim(t.Field(r, 0)), "") << r;
  EXPECT_EQ(Trim(t.Field(2, 0)), "4.5");
}

TEST_F(DbaseWriterTest, FactorsByDisplay) {
  Dataset* d = NewDataset(4);
  Column* byNumber = Numbers(d, "lev", {1, 2, kMissingValue, 3}, -1, ColumnKind::Factor);
  byNumber->levelCount = 3;
  byNumber->factorDisplay = 0;
  Column* byValue = Numbers(d, "val", {1, 2, kMissingValue, 3}, -1, ColumnKind::Factor);
  byValue->levelCount = 3;
  byValue->factorDisplay = 1;
  byValue->valueFormat = 5;  // dates: still written as numbers
  SetLevelValueList(byValue, {36892, 36892.5, -17.125});
  Column* byLabel = Numbers(d, "lab", {2, 1, kMissingValue, 3}, -1, ColumnKind::Factor);
  byLabel->levelCount = 3;
  byLabel->factorDisplay = 2;
  SetLabelList(byLabel, {"low", "medium", "high"});
  ASSERT_EQ(Write(d), 1);
  Table t = Written();
  ASSERT_EQ(t.fields.size(), 3u);
  EXPECT_EQ(t.fields[0].type, 'N');
  EXPECT_EQ(t.fields[0].decimals, 0);
  EXPECT_EQ(t.fields[0].length, 3);  // ceil(log10(4)) + 1 + 1
  EXPECT_EQ(t.fields[1].type, 'N');
  EXPECT_EQ(t.fields[1].decimals, 3);
  EXPECT_EQ(t.fields[2].type, 'C');
  EXPECT_EQ(t.fields[2].length, 7);
  const char* expect[4][3] = {{"1", "36892.000", "medium"},
                              {"2", "36892.500", "low"},
                              {"", "", ""},
                              {"3", "-17.125", "high"}};
  for (int r = 0; r < 4; ++r)
    for (int f = 0; f < 3; ++f) EXPECT_EQ(Trim(t.Field(r, f)), expect[r][f]) << r << "," << f;
  EXPECT_EQ(t.Field(0, 2), "medium ");
}

TEST_F(DbaseWriterTest, NamesAreCutAndMadeUnique) {
  Dataset* d = NewDataset(1);
  for (const char* name : {"temperature_1", "temperature_2", "TEMPERATUR", "short", "x"})
    Numbers(d, name, {1}, 0);
  ASSERT_EQ(Write(d), 1);
  Table t = Written();
  std::vector<std::string> names;
  for (const auto& f : t.fields) names.push_back(f.name);
  EXPECT_EQ(names, (std::vector<std::string>{"temperatur", "temperat_2", "TEMPERAT_3", "short", "x"}));
}

TEST_F(DbaseWriterTest, TextsKeepTheirWholeLength) {
  Dataset* d = NewDataset(2);
  Texts(d, "t", {std::string(90, 'q'), ""});
  ASSERT_EQ(Write(d), 1);
  Table t = Written();
  EXPECT_EQ(t.fields[0].length, 91);
  EXPECT_EQ(t.Field(0, 0), std::string(90, 'q') + " ");
  EXPECT_EQ(t.Field(1, 0), std::string(91, ' '));
}

TEST_F(DbaseWriterTest, Failures) {
  Dataset* empty = NewDataset(0);
  EXPECT_EQ(Write(empty), 0);
  EXPECT_FALSE(std::filesystem::exists(dir / "out.dbf"));
  Dataset* noColumns = NewDataset(2);
  EXPECT_EQ(Write(noColumns), 0);
  EXPECT_FALSE(std::filesystem::exists(dir / "out.dbf"));

  Dataset* d = NewDataset(2);
  Numbers(d, "x", {1, 2}, 0);
  EXPECT_EQ(Write(d, "missing/dir/out.dbf"), 0);
  EXPECT_EQ(output, "Error: " + (dir / "missing/dir/out.dbf").substr(0, 100) + " not found\n");
  if (std::filesystem::exists("/dev/full")) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(WriteDbase(d, "/dev/full"), 0);  // every write fails or the close does
    testing::internal::GetCapturedStdout();
  }
}

// ------------------------------------------------------------ round trips

// A table with texts, integers, decimals, large and tiny numbers and gaps.
Dataset* Sample(DbaseWriterTest& t, int rows) {
  (void)t;
  Dataset* d = CreateDataset();
  d->rowCount = rows;
  CreateRows(d);
  Column* text = AddColumnWithValues(d, ColumnKind::Text, "label", rows);
  Column* whole = AddColumnWithValues(d, ColumnKind::Variate, "count", rows);
  Column* fraction = AddColumnWithValues(d, ColumnKind::Variate, "fraction", rows);
  Column* large = AddColumnWithValues(d, ColumnKind::Variate, "large", rows);
  Column* tiny = AddColumnWithValues(d, ColumnKind::Variate, "tiny", rows);
  Column* fixed2 = AddColumnWithValues(d, ColumnKind::Variate, "money", rows);
  fixed2->decimals = 2;
  Column* huge = AddColumnWithValues(d, ColumnKind::Variate, "huge", rows);
  huge->decimals = 0;
  const char* words[] = {"alpha", "Beta gamma", "", "d'elta", "x", "Zürich", "a,b;c"};
  for (int i = 0; i < rows; ++i) {
    SetText(text, i, words[i % 7]);
    SetNumber(whole, i, i % 5 == 3 ? kMissingValue : (i * 7919) % 100003 - 50000);
    SetNumber(fraction, i, i % 6 == 2 ? kMissingValue : (i - 10) / 8.0 + 1.0 / (i + 3));
    SetNumber(large, i, i % 4 == 1 ? kMissingValue : std::pow(10.0, 5 + 2 * (i % 12)) * (1 + i / 97.0));
    SetNumber(tiny, i, i % 3 == 0 ? kMissingValue : std::pow(10.0, -3 - 3 * (i % 7)) * (1 + i / 13.0));
    SetNumber(fixed2, i, (i * 37 % 1000) / 100.0);
    SetNumber(huge, i, i % 2 ? i * 1000.0 : i % 10 ? std::pow(10.0, 250 + i % 50) * (1 + i / 7.0) : 1e300);
  }
  return d;
}

// Compares every value of the data columns of two Datasets.
void ExpectSameValues(Dataset* a, Dataset* b) {
  ASSERT_EQ(a->rowCount, b->rowCount);
  ASSERT_EQ(a->columnCount, b->columnCount);
  for (int p = 1; p <= a->columnCount; ++p) {
    Column* x = ColumnAt(a, p);
    Column* y = ColumnAt(b, p);
    SCOPED_TRACE(x->name);
    ASSERT_EQ(IsTextKind(x->kind), IsTextKind(y->kind));
    for (int r = 0; r < a->rowCount; ++r) {
      if (IsTextKind(x->kind)) {
        ASSERT_EQ(GetText(x, r), GetText(y, r)) << "row " << r;
      } else if (IsMissing(a, GetNumber(x, r))) {
        ASSERT_TRUE(IsMissing(b, GetNumber(y, r))) << "row " << r;
      } else {
        ASSERT_EQ(GetNumber(x, r), GetNumber(y, r)) << "row " << r;
      }
    }
  }
}

TEST_F(DbaseWriterTest, DatasetThroughDbaseKeepsEveryValue) {
  Dataset* original = Sample(*this, 60);
  ASSERT_EQ(Write(original), 1);
  testing::internal::CaptureStdout();
  ASSERT_EQ(ReadDbase((dir / "out.dbf").c_str()), 1);
  testing::internal::GetCapturedStdout();
  ExpectSameValues(original, CurrentDataset());
}

TEST_F(DbaseWriterTest, DbaseToDbaseKeepsEveryValue) {
  TROVADEX_NEED_SHARED();
  std::vector<std::string> files;
  for (const char* folder : {"/corpus-public/dbase", "/corpus/dbase"}) {
    std::string dirPath = test::SharedDir() + folder;
    if (!std::filesystem::is_directory(dirPath)) continue;
    for (auto& e : std::filesystem::directory_iterator(dirPath))
      if (e.path().extension() == ".dbf") files.push_back(e.path().string());
  }
  ASSERT_FALSE(files.empty());
  for (const std::string& file : files) {
    SCOPED_TRACE(file);
    ResetState();
    State().interceptFatal = true;
    testing::internal::CaptureStdout();
    ASSERT_EQ(ReadDbase(file.c_str()), 1);
    Dataset* first = CurrentDataset();
    ASSERT_EQ(WriteDbase(first, (dir / "copy.dbf").c_str()), 1);
    ASSERT_EQ(ReadDbase((dir / "copy.dbf").c_str()), 1);
    testing::internal::GetCapturedStdout();
    ExpectSameValues(first, CurrentDataset());
  }
}

// ------------------------------------------------------------ independent readers

std::string RunCommand(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return out;
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
  pclose(pipe);
  return out;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

std::vector<std::string> SplitCsv(const std::string& line) {
  std::vector<std::string> cells;
  std::string cell;
  bool quoted = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    char ch = line[i];
    if (quoted) {
      if (ch == '"' && i + 1 < line.size() && line[i + 1] == '"') {
        cell += '"';
        ++i;
      } else if (ch == '"') {
        quoted = false;
      } else {
        cell += ch;
      }
    } else if (ch == '"') {
      quoted = true;
    } else if (ch == ',') {
      cells.push_back(cell);
      cell.clear();
    } else {
      cell += ch;
    }
  }
  cells.push_back(cell);
  return cells;
}

// Checks one cell as read back by another program against the Dataset.
void ExpectCell(Dataset* d, Column* c, int row, const std::string& got, const char* reader) {
  SCOPED_TRACE(std::string(reader) + " " + c->name + " row " + std::to_string(row));
  if (IsTextKind(c->kind)) {
    EXPECT_EQ(got, GetText(c, row));
  } else if (IsMissing(d, GetNumber(c, row))) {
    EXPECT_TRUE(got.empty() || got == "None") << got;
  } else {
    ASSERT_FALSE(got.empty() || got == "None");
    double x = GetNumber(c, row);
    if (std::fabs(x) >= 1e79 && got.find_first_of(".eE") == std::string::npos && got.size() >= 79) {
      // GDAL prints fixed text into an 80-byte buffer: it shows the leading
      // digits of the exact value, which name the double only by those digits.
      char full[400];
      std::snprintf(full, sizeof full, "%.0f", x);
      EXPECT_EQ(std::string(full).substr(0, got.size()), got);
      return;
    }
    EXPECT_EQ(std::strtod(got.c_str(), nullptr), x) << got;
  }
}

TEST_F(DbaseWriterTest, DbfreadReadsOurTables) {
  if (std::system("/usr/bin/python3 -c 'import dbfread' >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "no dbfread";
  Dataset* d = Sample(*this, 60);
  ASSERT_EQ(Write(d), 1);
  std::string script = dir / "dump.py";
  test::WriteFile(script, R"PY(
import sys
from dbfread import DBF
t = DBF(sys.argv[1], encoding='utf-8')
print(','.join(f.name for f in t.fields))
for rec in t:
    print('\t'.join('None' if v is None else (v if isinstance(v, str) else repr(float(v)))
                    for v in rec.values()))
)PY");
  auto lines = SplitLines(RunCommand("/usr/bin/python3 " + script + " " + (dir / "out.dbf")));
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(d->rowCount) + 1);
  EXPECT_EQ(lines[0], "label,count,fraction,large,tiny,money,huge");
  for (int r = 0; r < d->rowCount; ++r) {
    std::vector<std::string> cells;
    std::istringstream in(lines[static_cast<std::size_t>(r) + 1]);
    std::string cell;
    while (std::getline(in, cell, '\t')) cells.push_back(cell);
    cells.resize(static_cast<std::size_t>(d->columnCount));
    for (int p = 1; p <= d->columnCount; ++p) ExpectCell(d, ColumnAt(d, p), r, cells[p - 1], "dbfread");
  }
}

TEST_F(DbaseWriterTest, Ogr2ogrReadsOurTables) {
  if (std::system("ogr2ogr --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "no ogr2ogr";
  Dataset* d = Sample(*this, 60);
  ASSERT_EQ(Write(d), 1);
  std::string csv = dir / "out.csv";
  RunCommand("ogr2ogr --config SHAPE_ENCODING \"\" -f CSV " + csv + " " + (dir / "out.dbf") + " 2>&1");
  auto lines = SplitLines(test::ReadFile(csv));
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(d->rowCount) + 1);
  EXPECT_EQ(lines[0], "label,count,fraction,large,tiny,money,huge");
  for (int r = 0; r < d->rowCount; ++r) {
    auto cells = SplitCsv(lines[static_cast<std::size_t>(r) + 1]);
    cells.resize(static_cast<std::size_t>(d->columnCount));
    for (int p = 1; p <= d->columnCount; ++p) ExpectCell(d, ColumnAt(d, p), r, cells[p - 1], "ogr2ogr");
  }
}

}  // namespace
}  // namespace trovadex
