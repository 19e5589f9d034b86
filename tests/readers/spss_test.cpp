#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <strings.h>

#include "core/byteorder.h"
#include "core/dataset.h"
#include "core/format.h"
#include "core/names.h"
#include "readers/readers.h"
#include "test_support.h"

namespace trovadex {
namespace {

using test::TempDir;

// Every kind of variable pspp writes, user-missing values of each form,
// value labels on numbers (1, 2 and a 13-digit value left unlabelled) and
// strings, a long name and a 300-byte string with labels.
const char* kSyntax = R"(DATA LIST LIST /id (F4.0) score (F8.2) grp (F2.0) sex (A1) code (A8)
  long (A20) born (DATE11) stamp (DATETIME20) dur (TIME8) dt (DTIME12) ad (ADATE10) tiny (E12.4)
  r3 (F6.1) rr (F4.0) d3 (F4.0) acct (F16.1) household_income (F8.0) essay (A300).
BEGIN DATA
1 12.5 1 m aa "hello  world   x" 01-JAN-2001 "01-JAN-2001 12:30:00" 12:30:00 "1 02:03:04" 02/29/2000 1.5E-5 95 1 7 1 1 "short"
2 -3.25 2 f bb "   lead" 29-FEB-1600 "31-DEC-1899 23:59:59" 100:00:00 "0 00:00:01" 12/31/1999 -2.25 -1 5 8 1234567890123.5 2 "a b"
3 99 3 m "cc" "" 01-MAR-1600 "01-MAR-1900 00:00:00" 0:00:01 "10 10:10:10" 01/01/2026 0 89 6 9 2 3 "XXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXYZ"
4 . 9 "" "" "a twenty byte string" . . . . . . 99 0 10 . 4 ""
5 1e300 1 x "a  b" "x" 31-DEC-9999 . . . . 1e-300 -1e300 . . 1 5 "ZXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXYZ"
END DATA.
VALUE LABELS grp 1 'one' 2 'two' /sex 'm' 'male' 'f' 'female' /code 'aa' 'Alpha' /acct 1 'first'
  /essay 'short' 'A short essay' 'XXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXYZ' 'Ends in YZ'.
MISSING VALUES score (99) /grp (9) /r3 (90 THRU 99, -1) /rr (1 THRU 5) /d3 (7, 8, 9) /long ('x').
VARIABLE LABELS score 'The score of the test'.
FORMATS score (F8.2).
SAVE OUTFILE='plain.sav' /UNCOMPRESSED.
SAVE OUTFILE='packed.sav' /COMPRESSED.
SAVE OUTFILE='zipped.sav' /ZCOMPRESSED.
)";

class SpssReaderTest : public test::StateTest {
 protected:
  TempDir dir;
  std::string output;

  int16_t Read(const std::string& path) {
    testing::internal::CaptureStdout();
    int16_t ok = ReadSpss(path.c_str());
    output = testing::internal::GetCapturedStdout();
    return ok;
  }
  int16_t ReadBytes(const std::string& bytes) {
    test::WriteFile(dir / "x.sav", bytes);
    return Read(dir / "x.sav");
  }
  bool MakePsppFiles() {
    test::WriteFile(dir / "make.sps", kSyntax);
    return std::system(("cd '" + dir.path().string() + "' && pspp make.sps >/dev/null 2>&1").c_str()) == 0;
  }
};

bool HavePspp() { return std::system("command -v pspp >/dev/null && command -v pspp-convert >/dev/null") == 0; }

// A value as the Dataset shows it: a factor's label, a text, or a number
// ("" when missing).
std::string Shown(Column* c, int64_t row) {
  if (c->kind == ColumnKind::Text) return std::string(GetText(c, row));
  double v = GetNumber(c, row);
  if (IsMissing(c->dataset, v)) return "";
  if (c->kind == ColumnKind::Factor) return std::string(c->labels.Get(static_cast<int64_t>(v) - 1));
  return FormatShortestG(v, 17);
}

// pspp-convert's date and time texts ("mm/dd/yyyy", "mm/dd/yyyy hh:mm:ss",
// "hh:mm:ss" with total hours) as day counts and days.
double DayValue(const std::string& text, bool duration) {
  long m = 0, d = 0, y = 0, hh = 0, mm = 0, ss = 0;
  double days = 0;
  if (!duration) {
    std::sscanf(text.c_str(), "%ld/%ld/%ld %ld:%ld:%ld", &m, &d, &y, &hh, &mm, &ss);
    SetCurrentDateBase(1);
    days = DayCountFromDate(d, m, y);
  } else {
    std::sscanf(text.c_str(), "%ld:%ld:%ld", &hh, &mm, &ss);
  }
  return days + (hh * 3600 + mm * 60 + ss) / 86400.0;
}

std::vector<std::vector<std::string>> ReadCsv(const std::string& path) {
  std::vector<std::vector<std::string>> rows;
  std::istringstream in(test::ReadFile(path));
  for (std::string line; std::getline(in, line);) {
    rows.emplace_back();
    std::string cell;
    bool quoted = false;
    for (char ch : line) {
      if (ch == '"') quoted = !quoted;
      else if (ch == ',' && !quoted) rows.back().push_back(std::exchange(cell, ""));
      else cell += ch;
    }
    rows.back().push_back(cell);
  }
  return rows;
}

TEST_F(SpssReaderTest, PsppFilesAgreeWithPsppConvert) {
  if (!HavePspp()) GTEST_SKIP() << "no pspp";
  ASSERT_TRUE(MakePsppFiles());
  for (const char* file : {"plain.sav", "packed.sav", "zipped.sav"}) {
    for (bool ignoreUser : {false, true}) {
      SCOPED_TRACE(std::string(file) + (ignoreUser ? " /i" : ""));
      const std::string csv = dir / "peer.csv";
      std::string cmd = std::string("pspp-convert --labels ") + (ignoreUser ? "" : "--recode ") + "'" +
                        (dir / file) + "' '" + csv + "'";
      ASSERT_EQ(std::system(cmd.c_str()), 0);
      auto expected = ReadCsv(csv);
      ResetState();
      State().interceptFatal = true;
      State().options.ignoreUserMissing = ignoreUser;
      ASSERT_EQ(Read(dir / file), 1) << output;
      EXPECT_EQ(output, "");
      Dataset* d = CurrentDataset();
      ASSERT_EQ(d->rowCount + 1, static_cast<int>(expected.size()));
      ASSERT_EQ(d->columnCount, static_cast<int>(expected[0].size()));
      for (int j = 0; j < d->columnCount; ++j) {
        Column* c = ColumnAt(d, j + 1);
        std::string name = expected[0][j];
        LegalName(name);
        EXPECT_TRUE(strcasecmp(c->name.c_str(), name.c_str()) == 0) << c->name;
        for (int i = 0; i < d->rowCount; ++i) {
          // Factor labels hold 40 characters, texts 90.
          std::string want = TrimText(expected[i + 1][j], c->kind == ColumnKind::Factor ? 40 : 90);
          if (c->valueFormat == 5 && !want.empty()) {
            double day = DayValue(want, c->dateRepresentation == 31);
            EXPECT_NEAR(GetNumber(c, i), day, 1e-9) << c->name << " row " << i;
          } else if (c->kind == ColumnKind::Variate && !want.empty()) {
            EXPECT_EQ(GetNumber(c, i), std::stod(want)) << c->name << " row " << i;
          } else {
            EXPECT_EQ(Shown(c, i), want) << c->name << " row " << i;
          }
        }
      }
      Column* score = ColumnAt(d, 2);
      EXPECT_EQ(score->description, "The score of the test");
      EXPECT_EQ(score->width, 8);
      EXPECT_EQ(ColumnAt(d, 7)->dateBase, 1);
    }
  }
}

// Walks a little-endian file: lists every number in the header and
// dictionary (offset, size), records where each record starts, marks the
// case elements that hold numbers, and returns where the cases start.
std::size_t WalkDictionary(const std::string& b, std::vector<std::pair<std::size_t, int>>& fields,
                           std::vector<std::size_t>& records, std::vector<bool>& numeric) {
  auto field = [&](std::size_t o, int size) { fields.emplace_back(o, size); };
  for (std::size_t o : {64, 68, 72, 76, 80}) field(o, 4);
  field(84, 8);
  std::size_t p = 176;
  std::vector<std::size_t> setValues;
  auto i32 = [&](std::size_t o) { return static_cast<int32_t>(LoadU32LE(&b[o])); };
  for (;;) {
    records.push_back(p);
    const int32_t type = i32(p);
    field(p, 4);
    p += 4;
    if (type == 2) {
      for (int k = 0; k < 5; ++k) field(p + 4 * k, 4);
      numeric.push_back(i32(p) == 0);
      const bool label = i32(p + 4) != 0;
      const int32_t missing = std::abs(i32(p + 8));
      p += 28;
      if (label) field(p, 4), p += 4 + (i32(p) + 3) / 4 * 4;
      for (int k = 0; k < missing; ++k, p += 8) field(p, 8);
    } else if (type == 3) {
      const int32_t n = i32(p);
      field(p, 4);
      p += 4;
      setValues.clear();
      for (int k = 0; k < n; ++k) setValues.push_back(p), p += 8 + static_cast<unsigned char>(b[p + 8]) / 8 * 8 + 8;
    } else if (type == 4) {
      const int32_t n = i32(p);
      if (numeric[i32(p + 4) - 1])  // string label values are bytes
        for (std::size_t o : setValues) field(o, 8);
      for (int k = 0; k <= n; ++k) field(p + 4 * k, 4);
      p += 4 + 4 * n;
    } else if (type == 7) {
      const int32_t subtype = i32(p), size = i32(p + 4), count = i32(p + 8);
      for (int k = 0; k < 3; ++k) field(p + 4 * k, 4);
      p += 12;
      // Long string labels: per variable a name, its width and a count,
      // then count (value, label) texts, each after its length.
      for (std::size_t q = p; subtype == 21 && q < p + count;) {
        field(q, 4), q += 4 + i32(q);
        field(q, 4), field(q + 4, 4);
        const int32_t labels = i32(q + 4);
        q += 8;
        for (int k = 0; k < 2 * labels; ++k) field(q, 4), q += 4 + i32(q);
      }
      // Long string missing values: a name, a count byte, the value length.
      for (std::size_t q = p; subtype == 22 && q < p + count;) {
        field(q, 4), q += 4 + i32(q);
        field(q + 1, 4);
        q += 5 + static_cast<unsigned char>(b[q]) * i32(q + 1);
      }
      for (int k = 0; k < count; ++k, p += size)
        if (size == 4 || size == 8) field(p, size);
    } else {
      field(p, 4);
      return p + 4;
    }
  }
}

// The big-endian twin of a little-endian file: every number of the header,
// the dictionary and the cases reversed (compressed: the literal elements).
std::string BigEndianTwin(std::string b) {
  std::vector<std::size_t> records;
  std::vector<bool> numeric;
  std::vector<std::pair<std::size_t, int>> fields;
  auto flip = [&](std::size_t o, int size) { std::reverse(b.begin() + o, b.begin() + o + size); };
  const bool compressed = LoadU32LE(&b[72]) != 0;
  std::size_t p = WalkDictionary(b, fields, records, numeric);
  for (auto [o, size] : fields) flip(o, size);
  std::size_t element = 0;
  while (p + 8 <= b.size()) {
    if (!compressed) {
      if (numeric[element++ % numeric.size()]) flip(p, 8);
      p += 8;
      continue;
    }
    std::size_t block = p;
    p += 8;
    for (int k = 0; k < 8; ++k) {
      const unsigned char code = b[block + k];
      if (code == 0 || code == 252) continue;
      if (code == 253 && numeric[element % numeric.size()]) flip(p, 8);
      if (code == 253) p += 8;
      ++element;
    }
  }
  return b;
}

TEST_F(SpssReaderTest, BigEndianTwinGivesTheSameDataset) {
  if (!HavePspp()) GTEST_SKIP() << "no pspp";
  ASSERT_TRUE(MakePsppFiles());
  for (const char* file : {"plain.sav", "packed.sav"}) {
    SCOPED_TRACE(file);
    const std::string little = test::ReadFile(dir / file);
    ASSERT_EQ(Read(dir / file), 1);
    Dataset* a = CurrentDataset();
    ASSERT_EQ(ReadBytes(BigEndianTwin(little)), 1);
    Dataset* b = CurrentDataset();
    ASSERT_NE(a, b);
    ASSERT_EQ(a->rowCount, b->rowCount);
    ASSERT_EQ(a->columnCount, b->columnCount);
    for (Column *x = a->firstColumn, *y = b->firstColumn; x && y; x = x->next, y = y->next) {
      EXPECT_EQ(x->name, y->name);
      EXPECT_EQ(x->kind, y->kind);
      EXPECT_EQ(x->labelCount, y->labelCount);
      for (int i = 0; i < a->rowCount; ++i) {
        if (IsTextKind(x->kind)) EXPECT_EQ(GetText(x, i), GetText(y, i)) << x->name;
        else EXPECT_EQ(GetNumber(x, i), GetNumber(y, i)) << x->name << " row " << i;
      }
    }
  }
  // A big-endian file written by the package itself.
  TROVADEX_NEED_SHARED();
  ASSERT_EQ(Read(test::SharedDir() + "/corpus-public/spss/spss_long.sav"), 1);
  EXPECT_EQ(CurrentDataset()->rowCount, 3);
}

// Damaged dictionaries and counts, made by changing one field of a real file.
TEST_F(SpssReaderTest, DamagedFilesAreRefusedOrCutToTheirCases) {
  if (!HavePspp()) GTEST_SKIP() << "no pspp";
  ASSERT_TRUE(MakePsppFiles());
  for (const char* file : {"plain.sav", "packed.sav"}) {
    SCOPED_TRACE(file);
    const std::string whole = test::ReadFile(dir / file);
    std::vector<std::size_t> rec;
    std::vector<bool> numeric;
    std::vector<std::pair<std::size_t, int>> fields;
    const std::size_t data = WalkDictionary(whole, fields, rec, numeric);
    auto find = [&](int32_t type) {
      return *std::find_if(rec.begin(), rec.end(), [&](std::size_t o) { return LoadU32LE(&whole[o]) == uint32_t(type); });
    };
    auto with = [&](std::size_t at, uint32_t v) {
      std::string b = whole;
      StoreU32LE(&b[at], v);
      return b;
    };
    const uint32_t records = static_cast<uint32_t>(numeric.size());
    const std::vector<std::string> bad = {
        with(0, 0x334C4624), with(64, 5), with(80, 0), with(68, 0), with(68, 1), with(68, records - 1),
        with(rec[0] + 4, uint32_t(-2)), with(rec[1] + 32, uint32_t(-4)), with(find(3) + 4, 0x7FFFFFFF),
        with(find(4) + 4, 0x7FFFFFFF), with(find(7) + 12, 0x7FFFFFFF), with(find(7), 8), whole.substr(0, data)};
    for (std::size_t k = 0; k < bad.size(); ++k) EXPECT_EQ(ReadBytes(bad[k]), 0) << k;
    // A forged count: the cases the file holds, with a warning; an unknown
    // count (any negative) is counted.
    ASSERT_EQ(ReadBytes(with(80, 1000000)), 1);
    EXPECT_EQ(CurrentDataset()->rowCount, 5);
    EXPECT_EQ(output, "Warning: " + (dir / "x.sav") + " holds 5 cases, its header announces 1000000.\n");
    for (uint32_t unknown : {uint32_t(-1), uint32_t(-7)}) {
      ASSERT_EQ(ReadBytes(with(80, unknown)), 1);
      EXPECT_EQ(CurrentDataset()->rowCount, 5);
      EXPECT_EQ(output, "");
    }
    // A file cut inside its cases keeps the cases before the cut.
    ASSERT_EQ(ReadBytes(whole.substr(0, data + (whole.size() - data) / 2)), 1);
    EXPECT_LT(CurrentDataset()->rowCount, 5);
    EXPECT_GT(CurrentDataset()->rowCount, 0);
    // A column limit that falls after the 20-byte string and its
    // continuation records.
    State().columnLimit = 6;
    ASSERT_EQ(Read(dir / file), 1);
    EXPECT_EQ(output, "Warning Columns above 6 NOT transfered!\n");
    ASSERT_EQ(CurrentDataset()->columnCount, 6);
    EXPECT_EQ(GetText(ColumnAt(CurrentDataset(), 6), 3), "a twenty byte string");
    State().columnLimit = kDefaultColumnLimit;
  }
  // zlib blocks: a header that points past the trailer is refused, and so is
  // a block whose bytes were changed.
  const std::string z = test::ReadFile(dir / "zipped.sav");
  std::vector<std::size_t> rec;
  std::vector<bool> numeric;
  std::vector<std::pair<std::size_t, int>> fields;
  const std::size_t data = WalkDictionary(z, fields, rec, numeric);
  std::string bad = z;
  StoreU64LE(&bad[data + 8], LoadU64LE(&z[data + 8]) + 24);
  EXPECT_EQ(ReadBytes(bad), 0);
  bad = z;
  bad[data + 40] = static_cast<char>(bad[data + 40] ^ 0x20);
  EXPECT_EQ(ReadBytes(bad), 0);
  EXPECT_EQ(output, "Error: " + (dir / "x.sav") + " has a damaged compressed block.\n");
}

TEST_F(SpssReaderTest, ValuesThatCannotBecomeAFactorStayNumbers) {
  if (!HavePspp()) GTEST_SKIP() << "no pspp";
  test::WriteFile(dir / "one.sps",
                  "DATA LIST LIST /x (F8.0).\nBEGIN DATA\n1\nEND DATA.\nVALUE LABELS x 1 'one'.\n"
                  "SAVE OUTFILE='one.sav' /UNCOMPRESSED.\n");
  ASSERT_EQ(std::system(("cd '" + dir.path().string() + "' && pspp one.sps >/dev/null 2>&1").c_str()), 0);
  // Two million and one distinct values, past what a factor's levels hold.
  std::string b = test::ReadFile(dir / "one.sav");
  const uint32_t n = 2000001;
  StoreU32LE(&b[80], n);
  b.resize(b.size() - 8);
  for (uint32_t i = 0; i < n; ++i) {
    char v[8];
    StoreF64LE(v, i);
    b.append(v, 8);
  }
  ASSERT_EQ(ReadBytes(b), 1);
  EXPECT_EQ(output, "Warning: x has too many distinct values to become a factor.\n");
  Column* x = ColumnAt(CurrentDataset(), 1);
  EXPECT_EQ(x->kind, ColumnKind::Variate);
  EXPECT_EQ(GetNumber(x, 1999999), 1999999);
}

TEST_F(SpssReaderTest, PublicFilesRead) {
  TROVADEX_NEED_SHARED();
  struct Case {
    const char* name;
    int rows, columns;
    int column, row;
    const char* shown;
  };
  for (const Case& f : {Case{"electric.sav", 240, 13, 2, 0, "NONFATALMI"}, Case{"pbcold.sav", 418, 20, 1, 0, "58.7652"},
                        Case{"labelled-num.sav", 1, 1, 1, 0, "This is one"}}) {
    SCOPED_TRACE(f.name);
    ASSERT_EQ(Read(test::SharedDir() + "/corpus-public/spss/" + f.name), 1);
    EXPECT_EQ(CurrentDataset()->rowCount, f.rows);
    ASSERT_EQ(CurrentDataset()->columnCount, f.columns);
    EXPECT_EQ(Shown(ColumnAt(CurrentDataset(), f.column), f.row).substr(0, std::strlen(f.shown)), f.shown);
  }
}

// Dates print as their formats show them and reach .crv as day counts.
TEST_F(SpssReaderTest, DatesEndToEnd) {
  if (!HavePspp()) GTEST_SKIP() << "no pspp";
  ASSERT_TRUE(MakePsppFiles());
  for (const char* out : {"x.csv", "x.crv", "x.crs", "x.xls"})
    ASSERT_EQ(test::RunTrovadex({"packed.sav", out}, dir.path().string()).exitCode, 0) << out;
  const std::string csv = test::ReadFile(dir / "x.csv"), crv = test::ReadFile(dir / "x.crv");
  EXPECT_NE(csv.find(",01/01/2001,"), std::string::npos);
  EXPECT_NE(csv.find("12:30:00"), std::string::npos);
  EXPECT_NE(crv.find("146404"), std::string::npos);
  EXPECT_NE(crv.find("drep=3"), std::string::npos);
}

}  // namespace
}  // namespace trovadex
