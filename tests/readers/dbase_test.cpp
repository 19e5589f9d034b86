#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "core/byteorder.h"
#include "core/dataset.h"
#include "core/format.h"
#include "core/names.h"
#include "readers/dbase_table.h"
#include "readers/readers.h"
#include "test_support.h"

namespace trovadex {
namespace {

using test::StateTest;
using test::TempDir;

// A dBase III table assembled byte by byte.
struct DbfField {
  std::string name;
  char type;
  int length;
  int decimals;
};

struct DbfBuilder {
  uint8_t version = 0x03;
  uint8_t year = 99, month = 6, day = 15;
  std::vector<DbfField> fields;
  std::vector<std::string> records;  // whole records, deletion flag included
  int headerPadding = 0;             // bytes after the 0x0D counted in the header length
  long countOverride = -1;
  long recordLengthOverride = -1;
  unsigned char terminator = 0x0D;

  int RecordLength() const {
    int n = 1;
    for (const auto& f : fields) n += f.length;
    return n;
  }
  // Adds a live record from field texts, each padded/cut to its field length.
  void Add(const std::vector<std::string>& values, char flag = ' ') {
    std::string r(1, flag);
    for (std::size_t i = 0; i < fields.size(); ++i) {
      std::string v = i < values.size() ? values[i] : "";
      v.resize(static_cast<std::size_t>(fields[i].length), ' ');
      r += v;
    }
    records.push_back(r);
  }
  std::string Bytes() const {
    int headerLength = 32 * static_cast<int>(fields.size()) + 33 + headerPadding;
    std::string h(static_cast<std::size_t>(headerLength), '\0');
    h[0] = static_cast<char>(version);
    h[1] = static_cast<char>(year);
    h[2] = static_cast<char>(month);
    h[3] = static_cast<char>(day);
    StoreU32LE(&h[4], static_cast<uint32_t>(countOverride >= 0 ? countOverride : records.size()));
    StoreU16LE(&h[8], static_cast<uint16_t>(headerLength));
    StoreU16LE(&h[10],
               static_cast<uint16_t>(recordLengthOverride >= 0 ? recordLengthOverride : RecordLength()));
    for (std::size_t i = 0; i < fields.size(); ++i) {
      char* d = &h[32 + 32 * i];
      std::memcpy(d, fields[i].name.data(), std::min<std::size_t>(fields[i].name.size(), 10));
      d[11] = fields[i].type;
      d[16] = static_cast<char>(fields[i].length);
      d[17] = static_cast<char>(fields[i].decimals);
    }
    h[32 + 32 * fields.size()] = static_cast<char>(terminator);
    std::string out = h;
    for (const auto& r : records) out += r;
    return out;
  }
};

class DbaseReaderTest : public StateTest {
 protected:
  TempDir dir;
  std::string output;

  // Writes the bytes, reads them; the printed text goes to `output`.
  int16_t Read(const std::string& bytes) {
    std::string path = dir / "t.dbf";
    test::WriteFile(path, bytes);
    testing::internal::CaptureStdout();
    int16_t ok = ReadDbase(path.c_str());
    output = testing::internal::GetCapturedStdout();
    return ok;
  }
  Column* Col(int position) { return ColumnAt(CurrentDataset(), position); }
};

double Missing() { return kMissingValue; }

// ------------------------------------------------------------ field values

// The decimals of an N field count digits after the point; the text
// outputs must print every one of them (N(12,4) -165.8561 is not -165.9).
TEST_F(DbaseReaderTest, DecimalsOfNumericFieldsSurviveTextOutput) {
  DbfBuilder b;
  b.fields = {{"AMOUNT", 'N', 12, 4}, {"SMALL", 'N', 6, 2}, {"MIXED", 'N', 12, 2}};
  b.Add({"   -165.8561", "  1.23", "    1.23456"});
  b.Add({"      0.0001", "  9.99", "       2.5"});
  ASSERT_EQ(Read(b.Bytes()), 1) << output;
  Column* amount = Col(1);
  Column* small = Col(2);
  Column* mixed = Col(3);
  EXPECT_EQ(FormatNumber(GetNumber(amount, 0), amount->valueFormat, amount->decimals, Missing()),
            "-165.8561");
  EXPECT_EQ(FormatNumber(GetNumber(amount, 1), amount->valueFormat, amount->decimals, Missing()),
            "0.0001");
  EXPECT_EQ(FormatNumber(GetNumber(small, 0), small->valueFormat, small->decimals, Missing()), "1.23");
  // More digits than declared: the column prints in full rather than rounded.
  EXPECT_EQ(FormatNumber(GetNumber(mixed, 0), mixed->valueFormat, mixed->decimals, Missing()),
            "1.23456");
  EXPECT_EQ(FormatNumber(GetNumber(mixed, 1), mixed->valueFormat, mixed->decimals, Missing()), "2.5");
}


TEST_F(DbaseReaderTest, NumericDateLogicalAndTextValues) {
  DbfBuilder b;
  b.fields = {{"NUM", 'N', 10, 2}, {"WHEN", 'D', 8, 0}, {"OK", 'L', 1, 0}, {"NAME", 'C', 12, 0},
              {"F", 'F', 12, 3}};
  b.Add({"   12.5abc", "20240229", "y", "  A   B  ", "-1.25e3"});
  b.Add({"", "00000000", "?", "", "1e999"});
  b.Add({"  -7", "        ", "F", "x", "abc"});
  b.Add({"0", "20241301", "t", "", "  +.5"});
  b.Add({"*****", "19991232", "n", "", "1E-3"});
  ASSERT_EQ(Read(b.Bytes()), 1) << output;
  Dataset* d = CurrentDataset();
  ASSERT_EQ(d->rowCount, 5);
  ASSERT_EQ(d->columnCount, 5);
  struct Expect {
    int row;
    double num, when, ok, f;
  };
  const double m = Missing();
  const Expect cases[] = {
      {0, 12.5, DayCountFromDate(29, 2, 2024), 1, -1250},
      {1, m, m, m, m},  // blanks; zero date; "?"; range error
      {2, -7, m, 0, m},
      {3, 0, m, 1, 0.5},  // month 13
      {4, m, m, 0, 0.001},  // asterisks; day 32
  };
  for (const Expect& e : cases) {
    SCOPED_TRACE(e.row);
    EXPECT_EQ(GetNumber(Col(1), e.row), e.num);
    EXPECT_EQ(GetNumber(Col(2), e.row), e.when);
    EXPECT_EQ(GetNumber(Col(3), e.row), e.ok);
    EXPECT_EQ(GetNumber(Col(5), e.row), e.f);
  }
  EXPECT_GT(GetNumber(Col(2), 0), m);  // a real date is not missing
  EXPECT_EQ(GetText(Col(4), 0), "A B");
  EXPECT_EQ(GetText(Col(4), 1), "");
  EXPECT_EQ(GetText(Col(4), 2), "x");
  EXPECT_EQ(Col(1)->kind, ColumnKind::Variate);
  EXPECT_EQ(Col(1)->decimals, 2);
  EXPECT_EQ(Col(1)->valueFormat, 3);  // the field's decimals are digits after the point
  EXPECT_EQ(Col(5)->decimals, -1);    // "-1.25e3" does not fit fixed decimals: printed in full
  EXPECT_EQ(Col(2)->kind, ColumnKind::Variate);  // dates are plain numbers
  EXPECT_EQ(Col(2)->valueFormat, 1);
  EXPECT_EQ(Col(4)->kind, ColumnKind::Text);
  EXPECT_EQ(Col(4)->valueFormat, 4);
  EXPECT_EQ(Col(4)->decimals, -1);
  EXPECT_EQ(Col(4)->maxTextLength, 90);
  EXPECT_EQ(Col(1)->maxTextLength, 25);
}

TEST_F(DbaseReaderTest, KeepBlanksOptionOnlyDropsTrailingBlanks) {
  State().options.compressBlanks = 0;
  DbfBuilder b;
  b.fields = {{"NAME", 'C', 12, 0}};
  b.Add({"  A   B  "});
  ASSERT_EQ(Read(b.Bytes()), 1);
  EXPECT_EQ(GetText(Col(1), 0), "  A   B");
}

TEST_F(DbaseReaderTest, TextIsCutAtNinetyAndAtNul) {
  DbfBuilder b;
  b.fields = {{"LONG", 'C', 120, 0}, {"NUL", 'C', 6, 0}};
  std::string nul("ab\0\0\0\0", 6);
  b.Add({std::string(100, 'x'), nul});
  b.Add({"", std::string(6, '\0')});
  ASSERT_EQ(Read(b.Bytes()), 1);
  EXPECT_EQ(GetText(Col(1), 0), std::string(90, 'x'));
  EXPECT_EQ(GetText(Col(2), 0), "ab");
  EXPECT_EQ(GetText(Col(2), 1), "");
  EXPECT_EQ(Col(1)->levelCount, 90);
  EXPECT_EQ(State().cuts[static_cast<std::size_t>(CutKind::Text)], 1);
}

TEST_F(DbaseReaderTest, MemoAndBinaryFieldsAreSteppedOver) {
  DbfBuilder b;
  b.fields = {{"A", 'C', 3, 0}, {"MEMO", 'M', 10, 0}, {"G", 'G', 4, 0}, {"B", 'C', 3, 0}};
  b.Add({"one", "        12", "xxxx", "two"});
  ASSERT_EQ(Read(b.Bytes()), 1);
  Dataset* d = CurrentDataset();
  ASSERT_EQ(d->columnCount, 2);
  EXPECT_EQ(Col(1)->name, "A");
  EXPECT_EQ(Col(2)->name, "B");
  EXPECT_EQ(GetText(Col(1), 0), "one");
  EXPECT_EQ(GetText(Col(2), 0), "two");
}

TEST_F(DbaseReaderTest, Widths) {
  DbfBuilder b;
  b.fields = {{"AMOUNT", 'N', 12, 2}, {"X", 'L', 1, 0}, {"T", 'C', 20, 0}, {"D", 'D', 8, 0}};
  b.Add({"1234.50", "T", "hello", "20000101"});  // estimate |3| + 3 = 6
  b.Add({"-12345.25", "F", "a much longer text", ""});  // estimate 4 + 3 = 7
  ASSERT_EQ(Read(b.Bytes()), 1);
  EXPECT_EQ(Col(1)->width, 10);  // 7 + 2 + 1
  EXPECT_EQ(Col(2)->width, 3);   // 1 + 0 + 1, at least 3
  EXPECT_EQ(Col(3)->levelCount, 18);
  EXPECT_EQ(Col(3)->width, 18);
  EXPECT_EQ(Col(4)->width, 9);  // 8 + 0 + 1
}

// ------------------------------------------------------------ records

TEST_F(DbaseReaderTest, DeletedRecordsAreLeftOut) {
  DbfBuilder b;
  b.fields = {{"N", 'N', 4, 0}, {"T", 'C', 4, 0}};
  b.Add({"1", "a"});
  b.Add({"2", "b"}, '*');
  b.Add({"3", "c"});
  b.Add({"4", "d"}, '*');
  ASSERT_EQ(Read(b.Bytes()), 1);
  Dataset* d = CurrentDataset();
  ASSERT_EQ(d->rowCount, 2);
  EXPECT_EQ(Col(1)->valueCount, 2);
  EXPECT_EQ(Col(2)->valueCount, 2);
  EXPECT_EQ(Col(1)->numbers.size(), 2);
  EXPECT_EQ(d->rows.size(), 2u);
  EXPECT_EQ(GetNumber(Col(1), 1), 3);
  EXPECT_EQ(GetText(Col(2), 1), "c");
}

// Tables of several megabytes are read in blocks of records: values on both
// sides of every block boundary, deletions among them, a header padded near
// its 16-bit limit, an overstated record count and a cut last record.
TEST_F(DbaseReaderTest, LargeTablesReadAcrossRecordBlocks) {
  for (int padding : {0, 65000}) {
    SCOPED_TRACE(padding);
    ResetState();
    State().interceptFatal = true;
    DbfBuilder b;
    b.headerPadding = padding;
    b.fields = {{"T", 'C', 200, 0}, {"N", 'N', 12, 3}};
    const int records = 12000;
    std::vector<std::string> texts;
    std::vector<double> numbers;
    for (int i = 0; i < records; ++i) {
      bool deleted = i % 997 == 5;
      std::string t = std::to_string(i);
      t.insert(t.begin(), 'r');
      t.append(static_cast<std::size_t>(i % 150), 'x');
      char number[32];
      std::snprintf(number, sizeof number, "%12.3f", i * 1.5 - 7000.25);
      b.Add({t, number}, deleted ? '*' : ' ');
      if (deleted) continue;
      texts.push_back(t.substr(0, 90));
      numbers.push_back(i * 1.5 - 7000.25);
    }
    b.countOverride = records + 5;
    std::string bytes = b.Bytes() + std::string(100, 'z');
    ASSERT_GT(bytes.size(), 2u << 20);
    ASSERT_EQ(Read(bytes), 1);
    Dataset* d = CurrentDataset();
    ASSERT_EQ(d->rowCount, static_cast<int32_t>(texts.size()));
    for (std::size_t i = 0; i < texts.size(); ++i) {
      ASSERT_EQ(GetText(Col(1), static_cast<int64_t>(i)), texts[i]) << i;
      ASSERT_EQ(GetNumber(Col(2), static_cast<int64_t>(i)), numbers[i]) << i;
    }
  }
}

TEST_F(DbaseReaderTest, AllRecordsDeletedGiveAnEmptyTable) {
  DbfBuilder b;
  b.fields = {{"N", 'N', 4, 0}};
  b.Add({"1"}, '*');
  b.Add({"2"}, '*');
  ASSERT_EQ(Read(b.Bytes()), 1);
  EXPECT_EQ(CurrentDataset()->rowCount, 0);
  EXPECT_EQ(Col(1)->valueCount, 0);
}

TEST_F(DbaseReaderTest, RecentYearsAreAccepted) {
  for (int year : {110, 111, 124, 255}) {
    DbfBuilder b;
    b.year = static_cast<uint8_t>(year);
    b.fields = {{"N", 'N', 4, 0}};
    b.Add({"7"});
    EXPECT_EQ(Read(b.Bytes()), 1) << year;
  }
}

TEST_F(DbaseReaderTest, HeaderFailures) {
  struct Case {
    const char* what;
    void (*change)(DbfBuilder&);
    const char* message;  // printed text; null: nothing
  };
  const Case cases[] = {
      {"month 13", [](DbfBuilder& b) { b.month = 13; }, nullptr},
      {"day 32", [](DbfBuilder& b) { b.day = 32; }, nullptr},
      {"no records", [](DbfBuilder& b) { b.records.clear(); }, "DBF file is empty.\n"},
      {"count 0", [](DbfBuilder& b) { b.countOverride = 0; }, "DBF file is empty.\n"},
      {"record length 0", [](DbfBuilder& b) { b.recordLengthOverride = 0; },
       "Record length 0 in DBF file.\n"},
      {"terminator", [](DbfBuilder& b) { b.terminator = 0x20; },
       "Header termination incorrect in DBF file.\n"},
      {"unknown type", [](DbfBuilder& b) { b.fields[0].type = 'Q'; }, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    DbfBuilder b;
    b.fields = {{"N", 'N', 4, 0}};
    b.Add({"7"});
    c.change(b);
    EXPECT_EQ(Read(b.Bytes()), 0);
    EXPECT_EQ(output, c.message ? c.message : "");
  }
  EXPECT_EQ(Read(std::string(20, '\x03')), 0);
  EXPECT_EQ(ReadDbase((dir / "absent.dbf").c_str()), 0);
}

TEST_F(DbaseReaderTest, PaddedHeaderRecordsStartAtHeaderLength) {
  DbfBuilder b;
  b.version = 0x30;
  b.headerPadding = 263;  // backlink area after the terminator
  b.fields = {{"N", 'N', 5, 0}, {"T", 'C', 3, 0}};
  b.Add({"11", "abc"});
  b.Add({"22", "def"});
  ASSERT_EQ(Read(b.Bytes()), 1);
  ASSERT_EQ(CurrentDataset()->rowCount, 2);
  EXPECT_EQ(GetNumber(Col(1), 1), 22);
  EXPECT_EQ(GetText(Col(2), 1), "def");
}

TEST_F(DbaseReaderTest, FieldsOutsideTheRecordAreBlank) {
  DbfBuilder b;
  b.fields = {{"A", 'N', 4, 0}, {"B", 'N', 6, 0}, {"C", 'C', 4, 0}, {"L", 'L', 1, 0}};
  // Records of 8 bytes: A fits, B would run 3 bytes over, C and L lie outside.
  b.recordLengthOverride = 8;
  b.records = {" 1234567", " 7654321"};
  ASSERT_EQ(Read(b.Bytes()), 1);
  ASSERT_EQ(CurrentDataset()->rowCount, 2);
  EXPECT_EQ(GetNumber(Col(1), 0), 1234);
  EXPECT_EQ(GetNumber(Col(2), 0), Missing());
  EXPECT_EQ(GetText(Col(3), 0), "");
  EXPECT_EQ(GetNumber(Col(4), 0), Missing());
  EXPECT_EQ(GetNumber(Col(1), 1), 7654);
}

TEST_F(DbaseReaderTest, ForgedRecordCountIsCappedAtTheFile) {
  DbfBuilder b;
  b.fields = {{"N", 'N', 3, 0}};
  b.Add({"1"});
  b.Add({"2"});
  b.Add({"3"});
  b.countOverride = 0xFFFFFFFFL;
  std::string bytes = b.Bytes() + "\x1A";  // end-of-file marker
  ASSERT_EQ(Read(bytes), 1);
  EXPECT_EQ(CurrentDataset()->rowCount, 3);
  // A count below the records present is kept.
  b.countOverride = 2;
  ASSERT_EQ(Read(b.Bytes()), 1);
  EXPECT_EQ(CurrentDataset()->rowCount, 2);
}

TEST_F(DbaseReaderTest, ColumnLimitWarning) {
  State().columnLimit = 2;
  DbfBuilder b;
  b.fields = {{"A", 'N', 2, 0}, {"M", 'M', 10, 0}, {"B", 'N', 2, 0}, {"C", 'C', 2, 0}};
  b.Add({"1", "", "2", "xy"});
  ASSERT_EQ(Read(b.Bytes()), 1);
  EXPECT_EQ(output, "Warning Columns above 2 NOT transfered!\n");
  ASSERT_EQ(CurrentDataset()->columnCount, 2);
  EXPECT_EQ(GetNumber(Col(2), 0), 2);
  // A memo field does not count against the limit.
  State().columnLimit = 3;
  ASSERT_EQ(Read(b.Bytes()), 1);
  EXPECT_EQ(output, "");
  EXPECT_EQ(CurrentDataset()->columnCount, 3);
}

TEST_F(DbaseReaderTest, NamesGoThroughTheIdentifierRule) {
  DbfBuilder b;
  b.fields = {{"EMP:NMBR", 'N', 3, 0}, {"ABCDEFGHIJ", 'C', 2, 0}};
  b.Add({"1", "x"});
  std::string bytes = b.Bytes();
  bytes[64 + 10] = 'K';  // eleven name bytes without a NUL
  ASSERT_EQ(Read(bytes), 1);
  std::string first = "EMP:NMBR", second = "ABCDEFGHIJK";
  LegalName(first);
  LegalName(second);
  EXPECT_EQ(Col(1)->name, first);
  EXPECT_EQ(Col(2)->name, second);
}

// ------------------------------------------------------------ real files

struct PublicFile {
  const char* name;
  int records;        // live records
  int dataFields;     // fields other than memo
};

const PublicFile kPublicFiles[] = {
    {"dbase_02.dbf", 9, 14},         {"dbase_03.dbf", 14, 31}, {"dbase_03_cyrillic.dbf", 2, 2},
    {"dbase_83.dbf", 67, 14},        {"dbase_8b.dbf", 10, 5},  {"dbase_f5.dbf", 975, 58},
};

// The field names of a public file, from its expected-values file.
std::vector<std::pair<std::string, char>> ExpectedFields(const std::string& json) {
  std::vector<std::pair<std::string, char>> out;
  std::size_t at = 0;
  while ((at = json.find("\"name\": \"", at)) != std::string::npos) {
    at += 9;
    std::size_t end = json.find('"', at);
    std::string name = json.substr(at, end - at);
    std::size_t t = json.find("\"type\": \"", end);
    out.emplace_back(name, json[t + 9]);
    at = end;
  }
  return out;
}

TEST_F(DbaseReaderTest, PublicFilesReadWithTheirCountsAndNames) {
  TROVADEX_NEED_SHARED();
  for (const PublicFile& f : kPublicFiles) {
    SCOPED_TRACE(f.name);
    std::string base = test::SharedDir() + "/corpus-public/dbase/" + f.name;
    ResetState();
    State().interceptFatal = true;
    testing::internal::CaptureStdout();
    int16_t ok = ReadDbase(base.c_str());
    std::string printed = testing::internal::GetCapturedStdout();
    ASSERT_EQ(ok, 1) << printed;
    EXPECT_EQ(printed, "");
    Dataset* d = CurrentDataset();
    EXPECT_EQ(d->rowCount, f.records);
    ASSERT_EQ(d->columnCount, f.dataFields);
    auto fields = ExpectedFields(test::ReadFile(base + ".expected.json"));
    int position = 1;
    for (auto& [name, type] : fields) {
      if (type == 'M') continue;
      std::string legal = name;
      LegalName(legal);
      Column* c = ColumnAt(d, position++);
      ASSERT_NE(c, nullptr);
      EXPECT_EQ(c->name, legal);
      EXPECT_EQ(c->kind, type == 'C' ? ColumnKind::Text : ColumnKind::Variate) << name;
    }
  }
}

// dBase II: 16-byte descriptors, records after byte 520 (values as the
// file's bytes show them).
TEST_F(DbaseReaderTest, DbaseTwoValues) {
  TROVADEX_NEED_SHARED();
  std::string path = test::SharedDir() + "/corpus-public/dbase/dbase_02.dbf";
  ASSERT_EQ(ReadDbase(path.c_str()), 1);
  ASSERT_EQ(CurrentDataset()->rowCount, 9);
  EXPECT_EQ(GetNumber(Col(1), 0), 2);
  EXPECT_EQ(GetText(Col(2), 0), "Stegman");
  EXPECT_EQ(GetText(Col(3), 0), "Joe");
  EXPECT_EQ(GetText(Col(4), 0), "4421 W 166th ST");
  EXPECT_EQ(GetText(Col(9), 0), "07/31/82");
  EXPECT_EQ(GetText(Col(10), 0), "/ /");
  EXPECT_EQ(GetNumber(Col(13), 0), 6);
  EXPECT_EQ(GetText(Col(2), 1), "Hemeryick");
  EXPECT_EQ(GetText(Col(5), 2), "Culver City");
  EXPECT_EQ(GetNumber(Col(14), 2), 18);
  EXPECT_EQ(Col(13)->decimals, 3);
}

TEST_F(DbaseReaderTest, FoxProDateFromItsTestSuite) {
  TROVADEX_NEED_SHARED();
  std::string path = test::SharedDir() + "/corpus-public/dbase/dbase_f5.dbf";
  ASSERT_EQ(ReadDbase(path.c_str()), 1);
  Column* datn = nullptr;
  for (Column* c = CurrentDataset()->firstColumn; c; c = c->next)
    if (c->name == "DATN") datn = c;
  ASSERT_NE(datn, nullptr);
  EXPECT_EQ(GetNumber(datn, 3), DayCountFromDate(30, 6, 1870));
}

// Every value of every real table against what dbfread reads.
TEST_F(DbaseReaderTest, RealFilesAgreeWithDbfread) {
  TROVADEX_NEED_SHARED();
  if (std::system("/usr/bin/python3 -c 'import dbfread' >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "no dbfread";
  std::vector<std::string> files;
  for (const char* folder : {"/corpus-public/dbase", "/corpus/dbase"}) {
    std::string dirPath = test::SharedDir() + folder;
    if (!std::filesystem::is_directory(dirPath)) continue;
    for (auto& e : std::filesystem::directory_iterator(dirPath))
      if (e.path().extension() == ".dbf" && test::ReadFile(e.path().string())[0] != '\x02')
        files.push_back(e.path().string());  // dbfread has no dBase II
  }
  ASSERT_FALSE(files.empty());
  // One line per value: row, field index, then "N <number>", "M" or "T <hex bytes>".
  const std::string script = dir / "dump.py";
  test::WriteFile(script, R"PY(
import sys, datetime
from dbfread import DBF, FieldParser
class Parser(FieldParser):
    def parseD(self, field, data):
        try:
            return super().parseD(field, data)
        except ValueError:
            return None
    def parseN(self, field, data):
        try:
            return super().parseN(field, data)
        except ValueError:
            return None
    parseF = parseN
t = DBF(sys.argv[1], encoding='latin-1', ignore_missing_memofile=True, parserclass=Parser,
        char_decode_errors='strict', recfactory=list)
base = datetime.date(1899, 12, 30)
for i, rec in enumerate(t):
    for k, (f, (n, v)) in enumerate(zip(t.fields, rec)):
        if f.type not in 'CNFDL':
            continue
        if f.type == 'C':
            print(i, k, 'T', (v or '').encode('latin-1').hex())
        elif v is None:
            print(i, k, 'M')
        elif f.type == 'D':
            # Spreadsheet day count: 1 January 1900 is 1 and 1 March 1900 is 61
            # (the count has a 29 February 1900); years before 1600 are missing.
            if v.year < 1600:
                print(i, k, 'M')
            elif v < datetime.date(1900, 3, 1):
                print(i, k, 'N', (v - base).days - 1)
            else:
                print(i, k, 'N', (v - base).days)
        elif f.type == 'L':
            print(i, k, 'N', 1 if v else 0)
        else:
            print(i, k, 'N', repr(float(v)))
)PY");
  for (const std::string& file : files) {
    SCOPED_TRACE(file);
    ResetState();
    State().interceptFatal = true;
    testing::internal::CaptureStdout();
    int16_t ok = ReadDbase(file.c_str());
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(ok, 1);
    Dataset* d = CurrentDataset();
    // The raw field names in order, to find each column.
    std::string raw = test::ReadFile(file);
    DbaseHeader header;
    ASSERT_EQ(ParseDbaseHeader(reinterpret_cast<const unsigned char*>(raw.data()), raw.size(), true,
                               header),
              DbaseHeaderStatus::Ok);
    std::map<std::string, Column*> byField;  // field index -> column
    int position = 1;
    for (std::size_t k = 0; k < header.fields.size(); ++k)
      if (IsDbaseDataField(header.fields[k].type)) byField[std::to_string(k)] = ColumnAt(d, position++);

    std::string cmd = "/usr/bin/python3 " + script + " '" + file + "'";
    FILE* pipe = popen(cmd.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char line[4096];
    long values = 0, rows = 0;
    while (std::fgets(line, sizeof line, pipe)) {
      std::istringstream in(line);
      long row;
      std::string name, tag, value;
      in >> row >> name >> tag >> value;
      rows = std::max(rows, row + 1);
      Column* c = byField[name];
      ASSERT_NE(c, nullptr) << name;
      ASSERT_LT(row, d->rowCount);
      ++values;
      if (tag == "T") {
        std::string text;
        for (std::size_t i = 0; i + 1 < value.size(); i += 2)
          text += static_cast<char>(std::stoi(value.substr(i, 2), nullptr, 16));
        EXPECT_EQ(GetText(c, row), TrimText(text.substr(0, 90), 90)) << name << " row " << row;
      } else if (tag == "M") {
        EXPECT_TRUE(IsMissing(d, GetNumber(c, row))) << name << " row " << row;
      } else {
        EXPECT_EQ(GetNumber(c, row), std::stod(value)) << name << " row " << row;
      }
    }
    EXPECT_EQ(pclose(pipe), 0);
    EXPECT_EQ(rows, d->rowCount);
    EXPECT_GT(values, 0);
  }
}

// A file cut at any length ends in a message or in fewer rows.
TEST_F(DbaseReaderTest, TruncatedFilesNeverCrash) {
  TROVADEX_NEED_SHARED();
  std::vector<std::string> files;
  for (const char* folder : {"/corpus-public/dbase", "/corpus/dbase"}) {
    std::string dirPath = test::SharedDir() + folder;
    if (!std::filesystem::is_directory(dirPath)) continue;
    for (auto& e : std::filesystem::directory_iterator(dirPath))
      if (e.path().extension() == ".dbf") files.push_back(e.path().string());
  }
  for (const std::string& file : files) {
    SCOPED_TRACE(file);
    std::string whole = test::ReadFile(file);
    ResetState();
    State().interceptFatal = true;
    ASSERT_EQ(Read(whole), 1);
    const int fullRows = CurrentDataset()->rowCount;
    DbaseHeader header;
    ParseDbaseHeader(reinterpret_cast<const unsigned char*>(whole.data()), whole.size(), true, header);
    // Every cut through the first 600 bytes, cuts at and around every
    // descriptor's boundary, type, length and decimals bytes, around the
    // first record boundaries, spread over the records (fewer for wide
    // tables, each read of which costs more), and the last bytes.
    std::set<std::size_t> cuts;
    for (std::size_t n = 0; n < std::min<std::size_t>(600, whole.size()); ++n) cuts.insert(n);
    const std::size_t slot = header.dbase2 ? 16 : 32, first = header.dbase2 ? 8 : 32;
    for (std::size_t b = first; b <= static_cast<std::size_t>(header.dataStart); b += slot)
      for (std::size_t d : {0, 1, 11, 12, 15, 16, 17, 31}) {
        cuts.insert(b + d);
        if (b + d > 0) cuts.insert(b + d - 1);
      }
    for (int64_t k = 0; k < 4; ++k)
      for (int64_t d : {-1, 0, 1})
        cuts.insert(static_cast<std::size_t>(header.dataStart + k * header.recordLength + d));
    const std::size_t spread = header.fields.size() > 20 ? 6 : 24;
    for (std::size_t k = 1; k < spread; ++k) cuts.insert(whole.size() * k / spread);
    for (std::size_t d = 1; d <= 3; ++d) cuts.insert(whole.size() - d);
    for (std::size_t n : cuts) {
      if (n >= whole.size()) continue;
      ResetState();
      State().interceptFatal = true;
      int16_t ok = Read(whole.substr(0, n));
      if (ok) {
        ASSERT_LE(CurrentDataset()->rowCount, fullRows) << n;
        ASSERT_GE(CurrentDataset()->rowCount, 0) << n;
      } else if (n >= (header.dbase2 ? 8u : 32u)) {
        // Past the fixed header a failure says why.
        ASSERT_FALSE(output.empty()) << n;
      }
    }
  }
}

// Corrupted header and descriptor bytes end in a failure or a table, never a
// crash (run under the sanitizers).
TEST_F(DbaseReaderTest, CorruptedHeadersNeverCrash) {
  TROVADEX_NEED_SHARED();
  const char* small[] = {"/corpus-public/dbase/dbase_02.dbf", "/corpus-public/dbase/dbase_8b.dbf",
                         "/corpus-public/dbase/dbase_03_cyrillic.dbf"};
  std::mt19937 random(20240611);
  for (const char* name : small) {
    SCOPED_TRACE(name);
    std::string whole = test::ReadFile(test::SharedDir() + name);
    ASSERT_FALSE(whole.empty());
    const std::size_t header = std::min<std::size_t>(whole.size(), whole[0] == 2 ? 521 : 300);
    for (int round = 0; round < 60; ++round) {
      std::string bytes = whole;
      int changes = 1 + static_cast<int>(random() % 4);
      for (int k = 0; k < changes; ++k) {
        std::size_t at = random() % header;
        const unsigned char values[] = {0x00, 0x0D, 0xFF, 0x80, 0x7F, 0x01, 'N', 'C', 'D', 'M'};
        bytes[at] = static_cast<char>(random() % 2 ? values[random() % 10] : random() % 256);
      }
      ResetState();
      State().interceptFatal = true;
      int16_t ok = Read(bytes);
      if (ok) {
        Dataset* d = CurrentDataset();
        for (Column* c = d->firstColumn; c; c = c->next) ASSERT_EQ(c->valueCount, d->rowCount);
      }
    }
  }
}

}  // namespace
}  // namespace trovadex
