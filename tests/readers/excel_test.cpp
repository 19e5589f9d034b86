// Excel reader: real workbooks of every version against their expected
// values and an independent reader, sheet and range selection, the listing,
// record-level edge cases, and damaged input.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <random>
#include <sstream>

#include "readers/compound/compound.h"
#include "readers/excel.h"
#include "readers/json_mini.h"
#include "readers/readers.h"
#include "readers/xls_builder.h"
#include "test_support.h"

namespace trovadex {
namespace {

namespace fs = std::filesystem;
using test::Bytes;

class ExcelTest : public test::StateTest {
 protected:
  void TearDown() override {
    CfbReset();
    test::StateTest::TearDown();
  }
};

std::vector<std::string> PublicWorkbooks() {
  std::vector<std::string> files;
  std::string root = test::SharedDir() + "/corpus-public";
  for (const char* folder : {"excel-biff2", "excel-biff3", "excel-biff4", "excel-biff5", "excel-biff8"}) {
    fs::path dir = fs::path(root) / folder;
    if (!fs::exists(dir)) continue;
    for (const auto& e : fs::directory_iterator(dir)) {
      std::string ext = e.path().extension().string();
      if (ext == ".xls" || ext == ".XLS") files.push_back(e.path().string());
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

// Cells of the selected sheet as (row, column) -> number or text.
struct CellValue {
  bool isText = false;
  double number = 0;
  std::string text;
};
using CellMap = std::map<std::pair<int64_t, int64_t>, CellValue>;
std::pair<int64_t, int64_t> K(int64_t row, int64_t column) { return {row, column}; }

CellMap CellsOf(const CellGrid& g) {
  CellMap out;
  if (!g.ready) return out;
  for (int64_t r = g.lowRow; r <= g.highRow; ++r)
    for (int64_t c = g.lowColumn; c <= g.highColumn; ++c) {
      int64_t slot = GridSlot(g, r, c);
      CellKind k = GridKind(g, slot);
      if (k == CellKind::Number) out[{r, c}] = {false, GridNumber(g, slot), {}};
      if (k == CellKind::Text) out[{r, c}] = {true, 0, GridText(g, slot)};
    }
  return out;
}

ExcelOutcome ReadCells(const std::string& path, ExcelCells& cells, const std::string& sheet = "",
                       const std::string& range = "") {
  State().sheet = sheet;
  State().range = range;
  return ReadExcelCells(path.c_str(), cells);
}

TEST_F(ExcelTest, EveryPublicWorkbookReads) {
  TROVADEX_NEED_SHARED();
  auto files = PublicWorkbooks();
  ASSERT_GE(files.size(), 25u);
  for (const std::string& f : files) {
    SCOPED_TRACE(f);
    ExcelCells cells;
    ExcelOutcome outcome = ExcelOutcome::NoData;
    ASSERT_NO_THROW(outcome = ReadCells(f, cells));
    EXPECT_EQ(outcome, ExcelOutcome::Cells);
    EXPECT_TRUE(cells.grid.ready);
    EXPECT_FALSE(cells.selection.sheets.empty());
  }
}

TEST_F(ExcelTest, VersionsAreRecognised) {
  TROVADEX_NEED_SHARED();
  std::string root = test::SharedDir() + "/corpus-public/";
  std::pair<const char*, int> cases[] = {{"excel-biff2/as3xls_BIFF2.xls", 2}, {"excel-biff3/as3xls_BIFF3.xls", 3},
                                         {"excel-biff4/as3xls_BIFF4.xls", 3}, {"excel-biff5/as3xls_BIFF5.xls", 5},
                                         {"excel-biff8/RkNumber.xls", 8}};
  for (auto [file, version] : cases) {
    ExcelCells cells;
    ReadCells(root + file, cells);
    EXPECT_EQ(cells.version, version) << file;
  }
}

// The expected.json files list single cells: numbers, texts, dates (stored
// numbers) and errors (no value).
TEST_F(ExcelTest, FirstSheetMatchesExpectedCells) {
  TROVADEX_NEED_SHARED();
  int checked = 0;
  for (const std::string& f : PublicWorkbooks()) {
    std::string expectedPath = f + ".expected.json";
    if (!fs::exists(expectedPath)) continue;
    SCOPED_TRACE(f);
    test::Json expected;
    std::string text = test::ReadFile(expectedPath);
    ASSERT_TRUE(test::JsonParser(text).Parse(expected));
    const test::Json* list = expected.Get("cells");
    ASSERT_TRUE(list);
    ExcelCells cells;
    ASSERT_EQ(ReadCells(f, cells), ExcelOutcome::Cells);
    CellMap got = CellsOf(cells.grid);
    for (const test::Json& cell : list->items) {
      auto key = std::make_pair(static_cast<int64_t>(cell.Get("row")->number), static_cast<int64_t>(cell.Get("col")->number));
      SCOPED_TRACE(testing::Message() << "row " << key.first << " col " << key.second);
      auto it = got.find(key);
      if (cell.Get("error")) {
        EXPECT_TRUE(it == got.end());
      } else if (const test::Json* stored = cell.Get("stored_number")) {
        ASSERT_TRUE(it != got.end());
        EXPECT_FALSE(it->second.isText);
        EXPECT_EQ(it->second.number, stored->number);
      } else if (const test::Json* value = cell.Get("value")) {
        ASSERT_TRUE(it != got.end());
        if (value->type == test::Json::String) {
          EXPECT_TRUE(it->second.isText);
          EXPECT_EQ(it->second.text, value->text);
        } else {
          EXPECT_FALSE(it->second.isText);
          EXPECT_EQ(it->second.number, value->number);
        }
      }
      ++checked;
    }
  }
  EXPECT_GE(checked, 60);
}

// Every worksheet of every workbook, cell by cell, against Debian's xlrd.
const char* kXlrdScript = R"PY(
import sys, xlrd
path = sys.argv[1]
b = xlrd.open_workbook(path, formatting_info=False)
wide = b.biff_version >= 80
for i, s in enumerate(b.sheets()):
    print("S\t%d\t%s" % (i, s.name.encode('latin-1', 'replace').hex()))
    for r in range(s.nrows):
        for c in range(s.ncols):
            cell = s.cell(r, c)
            t = cell.ctype
            if t in (2, 3):
                print("C\t%d\t%d\tN\t%r" % (r, c, float(cell.value)))
            elif t == 4:
                print("C\t%d\t%d\tN\t%r" % (r, c, float(cell.value)))
            elif t == 1:
                v = cell.value[:255]
                if wide:
                    raw = bytes(ord(ch) if ord(ch) <= 0xFF else 0x5F for ch in v)
                else:
                    raw = v.encode(b.encoding, 'replace')
                raw = b' '.join(x for x in raw.split(b' ') if x)
                if raw:
                    print("C\t%d\t%d\tT\t%s" % (r, c, raw.hex()))
)PY";

std::string FromHex(const std::string& hex) {
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return out;
}

bool HaveXlrd() {
  return fs::exists("/usr/bin/python3") && std::system("/usr/bin/python3 -c 'import xlrd' >/dev/null 2>&1") == 0;
}

TEST_F(ExcelTest, EveryWorksheetMatchesIndependentReader) {
  TROVADEX_NEED_SHARED();
  if (!HaveXlrd()) GTEST_SKIP() << "python3-xlrd not installed";
  test::TempDir dir;
  std::string script = dir / "dump.py";
  test::WriteFile(script, kXlrdScript);
  std::vector<std::string> files = PublicWorkbooks();
  for (const auto& e : fs::directory_iterator(test::SharedDir() + "/corpus/excel"))
    if (e.path().extension() == ".xls") files.push_back(e.path().string());
  int sheetsCompared = 0;
  for (const std::string& f : files) {
    SCOPED_TRACE(f);
    std::string out = dir / "out.txt";
    std::string cmd = "/usr/bin/python3 " + script + " '" + f + "' > " + out + " 2>/dev/null";
    if (std::system(cmd.c_str()) != 0) continue;  // a file the peer cannot read
    std::istringstream lines(test::ReadFile(out));
    std::vector<std::pair<std::string, CellMap>> sheets;
    std::string line;
    while (std::getline(lines, line)) {
      std::vector<std::string> p;
      std::stringstream ss(line);
      std::string part;
      while (std::getline(ss, part, '\t')) p.push_back(part);
      p.resize(std::max<std::size_t>(p.size(), 5));
      if (p[0] == "S") {
        sheets.push_back({FromHex(p[2]), {}});
      } else if (p[0] == "C" && !sheets.empty()) {
        CellValue v;
        v.isText = p[3] == "T";
        if (v.isText)
          v.text = FromHex(p[4]);
        else
          v.number = std::strtod(p[4].c_str(), nullptr);
        sheets.back().second[{std::stoll(p[1]), std::stoll(p[2])}] = v;
      }
    }
    for (std::size_t i = 0; i < sheets.size(); ++i) {
      SCOPED_TRACE(testing::Message() << "sheet " << i);
      ExcelCells cells;
      const CellMap& want = sheets[i].second;
      testing::internal::CaptureStdout();
      try {
        ASSERT_EQ(ReadCells(f, cells, std::to_string(i + 1)), ExcelOutcome::Cells);
      } catch (const FatalExitError& e) {
        // A sheet whose dimensions record declares no cells.
        EXPECT_EQ(e.code, 10);
        EXPECT_TRUE(want.empty());
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error: Excel Sheet is empty!\n");
        continue;
      }
      testing::internal::GetCapturedStdout();
      CellMap got = CellsOf(cells.grid);
      EXPECT_EQ(got.size(), want.size());
      for (const auto& [key, v] : want) {
        auto it = got.find(key);
        ASSERT_TRUE(it != got.end()) << "missing cell " << key.first << "," << key.second;
        EXPECT_EQ(it->second.isText, v.isText) << key.first << "," << key.second;
        if (v.isText)
          EXPECT_EQ(it->second.text, v.text) << key.first << "," << key.second;
        else
          EXPECT_EQ(it->second.number, v.number) << key.first << "," << key.second;
      }
      ++sheetsCompared;
    }
  }
  EXPECT_GE(sheetsCompared, 40);
}

TEST_F(ExcelTest, SheetsAndNamedRangesSelectAsAsked) {
  TROVADEX_NEED_SHARED();
  std::string ranges8 = test::SharedDir() + "/corpus-public/excel-biff8/named_ranges_2011.xls";
  std::string ranges5 = test::SharedDir() + "/corpus-public/excel-biff5/named_ranges_2011.xls";
  std::string names = test::SharedDir() + "/corpus-public/excel-biff8/namesdemo.xls";
  std::string three = test::SharedDir() + "/corpus/excel/xlwt_biff8_three_sheets.xls";
  struct Case {
    std::string file, sheet, range;
    std::string sheetName;
    int32_t c0, r0, c1, r1;
  } cases[] = {
      {ranges8, "", "", "NAMED RANGES", 0, 0, 0xFFFF, 0xFFFF},
      {ranges8, "2", "", "CROSS-SHEET", 0, 0, 0xFFFF, 0xFFFF},
      {ranges8, "3", "", "NAMED RANGES", 0, 1, 0, 5},  // sheets first, then ranges
      {ranges8, "col3_", "", "NAMED RANGES", 2, 1, 2, 5},
      {ranges8, "R:ROW6_", "", "NAMED RANGES", 0, 6, 2, 6},
      {ranges8, "S:cross", "", "CROSS-SHEET", 0, 0, 0xFFFF, 0xFFFF},
      {ranges8, "99", "", "NAMED RANGES", 0, 6, 2, 6},  // limited to the last entry
      {ranges5, "COL1_", "", "NAMED RANGES", 0, 1, 0, 5},
      {ranges8, "1", "C1:K100", "NAMED RANGES", 2, 0, 10, 99},
      {ranges8, "1", "B3", "NAMED RANGES", 1, 2, 0xFFFF, 0xFFFF},
      {names, "R:RECTANGLE1", "", "SHEET3", 0, 8, 3, 9},
      {names, "S:SEAMUS O'REILLY", "", "SEAMUS O'REILLY", 0, 0, 0xFFFF, 0xFFFF},
      {three, "S:Gamma", "", "GAMMA", 0, 0, 0xFFFF, 0xFFFF},
      {three, "S:Gam", "", "GAMMA", 0, 0, 0xFFFF, 0xFFFF},
  };
  for (const Case& c : cases) {
    if (!fs::exists(c.file)) continue;
    SCOPED_TRACE(c.file + " " + c.sheet + " " + c.range);
    ExcelCells cells;
    ASSERT_EQ(ReadCells(c.file, cells, c.sheet, c.range), ExcelOutcome::Cells);
    const SheetSelection& s = cells.selection;
    ASSERT_LT(s.selected, static_cast<int32_t>(s.sheets.size()));
    EXPECT_EQ(s.sheets[s.selected].name, c.sheetName);
    EXPECT_EQ(s.colFirst, c.c0);
    EXPECT_EQ(s.rowFirst, c.r0);
    EXPECT_EQ(s.colLast, c.c1);
    EXPECT_EQ(s.rowLast, c.r1);
  }
}

TEST_F(ExcelTest, ListingPrintsSheetsAndRangesAndEnds) {
  TROVADEX_NEED_SHARED();
  std::string file = test::SharedDir() + "/corpus-public/excel-biff8/named_ranges_2011.xls";
  State().listSheets = true;
  testing::internal::CaptureStdout();
  int code = -1;
  try {
    ReadExcel(file.c_str());
  } catch (const FatalExitError& e) {
    code = e.code;
  }
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(code, 0);
  EXPECT_EQ(out, "File: " + file + "\nSheets:\nNAMED RANGES\nCROSS-SHEET\nNamed Ranges:\nCOL1_\nCOL3_\nROW6_\n");
}

TEST_F(ExcelTest, RkValues) {
  EXPECT_EQ(DecodeRk(0x00000002), 0.0);
  EXPECT_EQ(DecodeRk(0x00000193), 1.0);
  EXPECT_EQ(DecodeRk(0x3FF00000), 1.0);
  EXPECT_EQ(DecodeRk(0x3FF00001), 0.01);
  EXPECT_EQ(DecodeRk(0xFFFFFFFE), -1.0);  // signed integer
  EXPECT_EQ(DecodeRk((123456u << 2) | 3), 1234.56);
}

// ---------------------------------------------------------------- hand-made workbooks

class ExcelBuiltTest : public ExcelTest {
 protected:
  ExcelOutcome Read(const Bytes& stream, bool compound = true) {
    Bytes file = compound ? test::CompoundDocument(stream) : stream;
    path_ = dir_ / "book.xls";
    test::WriteFile(path_, std::string(file.begin(), file.end()));
    cells_ = ExcelCells{};
    return ReadExcelCells(path_.c_str(), cells_);
  }
  int FatalCode(const Bytes& stream, std::string* output = nullptr) {
    testing::internal::CaptureStdout();
    int code = -1;
    try {
      Read(stream);
    } catch (const FatalExitError& e) {
      code = e.code;
    }
    std::string out = testing::internal::GetCapturedStdout();
    if (output) *output = out;
    return code;
  }
  test::TempDir dir_;
  std::string path_;
  ExcelCells cells_;
};

Bytes SheetWith(const Bytes& cells, bool biff8 = true) {
  Bytes s;
  test::Rec(s, 0x0200, biff8 ? test::Dimensions8(0, 10, 0, 5) : test::Dimensions5(0, 10, 0, 5));
  s.insert(s.end(), cells.begin(), cells.end());
  return s;
}

TEST_F(ExcelBuiltTest, SixteenBitCharactersKeepLatinOne) {
  Bytes cells;
  test::Rec(cells, 0x0204, test::LabelCell8Wide(0, 0, u"M\u00FCller"));
  test::Rec(cells, 0x0204, test::LabelCell8Wide(0, 1, u"\u03A9mega"));
  ASSERT_EQ(Read(test::Workbook(true, {}, {{"S", SheetWith(cells)}})), ExcelOutcome::Cells);
  CellMap got = CellsOf(cells_.grid);
  EXPECT_EQ(got[K(0, 0)].text, "M\xFCller");
  EXPECT_EQ(got[K(0, 1)].text, "_mega");
}

TEST_F(ExcelBuiltTest, SharedStringsAcrossContinueRecords) {
  // Three strings; the second is cut inside its characters and goes on
  // 16-bit in the CONTINUE record.
  Bytes sst, cont;
  test::Put32(sst, 3), test::Put32(sst, 3);
  test::Put16(sst, 3), sst.push_back(0), test::PutText(sst, "one");
  test::Put16(sst, 6), sst.push_back(0), test::PutText(sst, "tw");
  cont.push_back(1);
  for (char16_t c : std::u16string(u"o\u00E9\u0416x")) test::Put16(cont, c);
  test::Put16(cont, 5), cont.push_back(0), test::PutText(cont, "three");
  Bytes globals;
  test::Rec(globals, 0x00FC, sst);
  test::Rec(globals, 0x003C, cont);
  Bytes cells;
  for (uint16_t i = 0; i < 3; ++i) {
    Bytes b;
    test::Put16(b, i), test::Put16(b, 0), test::Put16(b, 15), test::Put32(b, i);
    test::Rec(cells, 0x00FD, b);
  }
  ASSERT_EQ(Read(test::Workbook(true, globals, {{"S", SheetWith(cells)}})), ExcelOutcome::Cells);
  CellMap got = CellsOf(cells_.grid);
  EXPECT_EQ(got[K(0, 0)].text, "one");
  EXPECT_EQ(got[K(1, 0)].text, "two\xE9_x");
  EXPECT_EQ(got[K(2, 0)].text, "three");
}

TEST_F(ExcelBuiltTest, HugeSharedStringCountIsBoundedByTheRecord) {
  Bytes sst;
  test::Put32(sst, 0xFFFFFFFF), test::Put32(sst, 0xFFFFFFFF);
  test::Put16(sst, 2), sst.push_back(0), test::PutText(sst, "ok");
  Bytes globals;
  test::Rec(globals, 0x00FC, sst);
  Bytes cells, b, c;
  test::Put16(b, 0), test::Put16(b, 0), test::Put16(b, 15), test::Put32(b, 0);
  test::Rec(cells, 0x00FD, b);
  test::Put16(c, 1), test::Put16(c, 0), test::Put16(c, 15), test::Put32(c, 5000);  // never read: empty
  test::Rec(cells, 0x00FD, c);
  ASSERT_EQ(Read(test::Workbook(true, globals, {{"S", SheetWith(cells)}})), ExcelOutcome::Cells);
  CellMap got = CellsOf(cells_.grid);
  EXPECT_EQ(got.size(), 1u);
  EXPECT_EQ(got[K(0, 0)].text, "ok");
}

TEST_F(ExcelBuiltTest, FormulaResults) {
  Bytes cells;
  auto formula = [&](uint16_t row, std::initializer_list<uint8_t> result) {
    Bytes b;
    test::Put16(b, row), test::Put16(b, 0), test::Put16(b, 15);
    b.insert(b.end(), result);
    test::Put16(b, 0), test::Put32(b, 0), test::Put16(b, 0);
    test::Rec(cells, 0x0006, b);
  };
  auto string = [&](const std::string& s) {
    Bytes b;
    test::Put16(b, static_cast<uint16_t>(s.size())), b.push_back(0), test::PutText(b, s);
    test::Rec(cells, 0x0207, b);
  };
  string("orphan");  // no formula before it: ignored
  formula(0, {0, 0, 0, 0, 0, 0, 0x24, 0x40});                     // 10.0
  formula(1, {0, 0, 0, 0, 0, 0, 0xFF, 0xFF});                     // text result
  string("text result");
  formula(2, {1, 0, 1, 0, 0, 0, 0xFF, 0xFF});                     // boolean true
  formula(3, {2, 0, 7, 0, 0, 0, 0xFF, 0xFF});                     // error: nothing
  ASSERT_EQ(Read(test::Workbook(true, {}, {{"S", SheetWith(cells)}})), ExcelOutcome::Cells);
  CellMap got = CellsOf(cells_.grid);
  EXPECT_EQ(got.size(), 3u);
  EXPECT_EQ(got[K(0, 0)].number, 10.0);
  EXPECT_EQ(got[K(1, 0)].text, "text result");
  EXPECT_EQ(got[K(2, 0)].number, 1.0);
}

TEST_F(ExcelBuiltTest, NotesFromTextObjects) {
  Bytes cells;
  auto object = [&](uint16_t id, const std::string& text) {
    Bytes obj;
    test::Put16(obj, 0x15), test::Put16(obj, 0x12), test::Put16(obj, 0x19), test::Put16(obj, id);
    obj.resize(obj.size() + 18, 0);
    test::Rec(cells, 0x005D, obj);
    Bytes txo(18, 0);
    StoreU16LE(&txo[10], static_cast<uint16_t>(text.size()));
    StoreU16LE(&txo[12], 16);
    test::Rec(cells, 0x01B6, txo);
    Bytes cont{0};
    test::PutText(cont, text);
    test::Rec(cells, 0x003C, cont);
    Bytes runs(16, 0);
    test::Rec(cells, 0x003C, runs);
  };
  object(7, "!T(low,high)\nDose given");
  object(3, "second note");
  auto note = [&](uint16_t row, uint16_t col, uint16_t id) {
    Bytes b;
    test::Put16(b, row), test::Put16(b, col), test::Put16(b, 0), test::Put16(b, id);
    test::Put16(b, 0), b.push_back(0), b.push_back(0);
    test::Rec(cells, 0x001C, b);
  };
  note(0, 1, 7);
  note(0, 2, 3);
  ASSERT_EQ(Read(test::Workbook(true, {}, {{"S", SheetWith(cells)}})), ExcelOutcome::Cells);
  ASSERT_EQ(cells_.grid.notes.size(), 2u);
  EXPECT_EQ(cells_.grid.notes[0].row, 0);
  EXPECT_EQ(cells_.grid.notes[0].column, 1);
  EXPECT_EQ(cells_.grid.notes[0].text, "!T(low,high)\nDose given");
  EXPECT_EQ(cells_.grid.notes[1].column, 2);
  EXPECT_EQ(cells_.grid.notes[1].text, "second note");
}

TEST_F(ExcelBuiltTest, Excel5Notes) {
  Bytes cells;
  auto note = [&](uint16_t row, uint16_t col, const std::string& text, int lengthDelta = 0) {
    Bytes b;
    test::Put16(b, row), test::Put16(b, col), test::Put16(b, static_cast<uint16_t>(text.size() + lengthDelta));
    test::PutText(b, text);
    test::Rec(cells, 0x001C, b);
  };
  note(0, 0, "!(10,20)");
  note(1, 1, "abc");
  note(0xFFFF, 0, "def");  // continuation
  test::Rec(cells, 0x0203, test::NumberCell(2, 2, 4));
  ASSERT_EQ(Read(test::Workbook(false, {}, {{"S", SheetWith(cells, false)}})), ExcelOutcome::Cells);
  ASSERT_EQ(cells_.grid.notes.size(), 2u);
  EXPECT_EQ(cells_.grid.notes[0].text, "!(10,20)");
  EXPECT_EQ(cells_.grid.notes[1].text, "abcdef");
}

TEST_F(ExcelBuiltTest, ProtectedWorkbookGivesNoData) {
  Bytes globals;
  test::Rec(globals, 0x002F, {1, 0, 1, 0, 1, 0});  // encrypted
  EXPECT_EQ(Read(test::Workbook(true, globals, {{"S", SheetWith({})}})), ExcelOutcome::NoData);
  Bytes password;
  test::Rec(password, 0x0013, {0x12, 0x34});
  EXPECT_EQ(Read(test::Workbook(true, password, {{"S", SheetWith({})}})), ExcelOutcome::NoData);
  Bytes open;
  test::Rec(open, 0x0013, {0, 0});
  EXPECT_EQ(Read(test::Workbook(true, open, {{"S", SheetWith({})}})), ExcelOutcome::Cells);
  testing::internal::CaptureStdout();
  Bytes file = test::CompoundDocument(test::Workbook(true, globals, {{"S", SheetWith({})}}));
  test::WriteFile(path_, std::string(file.begin(), file.end()));
  EXPECT_EQ(ReadExcel(path_.c_str()), 1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(CurrentDataset(), nullptr);
}

TEST_F(ExcelBuiltTest, FatalConditions) {
  std::string out;
  // Dimensions.
  Bytes empty;
  test::Rec(empty, 0x0200, test::Dimensions8(3, 3, 0, 4));
  EXPECT_EQ(FatalCode(test::Workbook(true, {}, {{"S", empty}}), &out), 10);
  EXPECT_EQ(out, "Error: Excel Sheet is empty!\n");
  Bytes inverted;
  test::Rec(inverted, 0x0200, test::Dimensions8(5, 3, 0, 4));
  EXPECT_EQ(FatalCode(test::Workbook(true, {}, {{"S", inverted}}), &out), 10);
  EXPECT_EQ(out, "Error: Invalid Excel file Dimension record!\n");
  // A grid above 48,000,000 bytes: 6,000,001 cells actually spanned.
  Bytes big;
  test::Rec(big, 0x0200, test::Dimensions8(0, 60001, 0, 100));
  test::Rec(big, 0x0203, test::NumberCell(0, 0, 1));
  test::Rec(big, 0x0203, test::NumberCell(60000, 99, 1));
  EXPECT_EQ(FatalCode(test::Workbook(true, {}, {{"S", big}}), &out), 9);
  EXPECT_EQ(out, "Error: Too much data in Excel file for Trovadex to handle!\n");
  // 2,000,000 cells take the large-buffer path and read.
  Bytes large;
  test::Rec(large, 0x0200, test::Dimensions8(0, 20000, 0, 100));
  test::Rec(large, 0x0203, test::NumberCell(0, 0, 1));
  test::Rec(large, 0x0203, test::NumberCell(19999, 99, 2));
  EXPECT_EQ(FatalCode(test::Workbook(true, {}, {{"S", large}})), -1);
  EXPECT_EQ(cells_.grid.cellCount, 2000000);
  // No worksheet.
  EXPECT_EQ(FatalCode(test::Workbook(true, {}, {{"Chart", {}, 2}}), &out), 15);
  EXPECT_EQ(out, "Empty Excel spreadsheet - no valid worksheets!\n");
  // Record too long outside Excel 8.
  Bytes longRecord;
  test::Rec(longRecord, 0x0042, Bytes(8225, 0));
  EXPECT_EQ(FatalCode(test::Workbook(false, longRecord, {{"S", SheetWith({}, false)}}), &out), 12);
  EXPECT_EQ(out, "Error: Invalid Excel record length!\n");
  // Record code out of range.
  Bytes badCode;
  test::Rec(badCode, 0x8000, {});
  EXPECT_EQ(FatalCode(test::Workbook(true, badCode, {{"S", SheetWith({})}}), &out), 14);
  EXPECT_EQ(out, "Error: Invalid Excel record code!\n");
  // SUPBOOK outside Excel 8 is a read error.
  Bytes supbook;
  test::Rec(supbook, 0x01AE, {1, 0, 1, 4});
  EXPECT_EQ(FatalCode(test::Workbook(false, supbook, {{"S", SheetWith({}, false)}}), &out), 14);
  EXPECT_EQ(out, "Error reading Excel Global header!\n");
  // Globals cut short.
  Bytes book = test::Workbook(true, {}, {{"S", SheetWith({})}});
  Bytes cut(book.begin(), book.begin() + 30);
  cut.resize(4096 + 8, 0);  // a stream of zero records after the cut: ends with a read error
  EXPECT_NE(FatalCode(cut), -2);
}

TEST_F(ExcelBuiltTest, UntrustedNameAndReferenceFields) {
  // EXTERNSHEET claiming more entries than it holds; a NAME whose formula
  // length runs past the record; a NAME referring past the table.
  Bytes globals;
  test::Rec(globals, 0x01AE, {1, 0, 1, 4});  // local book
  Bytes extern8;
  test::Put16(extern8, 30000), test::Put16(extern8, 0), test::Put16(extern8, 0), test::Put16(extern8, 0);
  test::Rec(globals, 0x0017, extern8);
  auto name = [&](const std::string& n, uint16_t formulaLength, int16_t ref) {
    Bytes b;
    test::Put16(b, 0), b.push_back(0), b.push_back(static_cast<uint8_t>(n.size())), test::Put16(b, formulaLength);
    b.resize(14, 0);
    b.push_back(0);
    test::PutText(b, n);
    b.push_back(0x3B), test::Put16(b, static_cast<uint16_t>(ref)), test::Put16(b, 1), test::Put16(b, 3),
        test::Put16(b, 0), test::Put16(b, 2);
    test::Rec(globals, 0x0018, b);
  };
  name("good", 11, 0);
  name("toolong", 200, 0);
  name("farref", 11, 5);
  name("negref", 11, -1);
  ASSERT_EQ(Read(test::Workbook(true, globals, {{"S", SheetWith({})}})), ExcelOutcome::Cells);
  ASSERT_EQ(cells_.selection.ranges.size(), 1u);
  EXPECT_EQ(cells_.selection.ranges[0].name, "GOOD");
  EXPECT_EQ(cells_.selection.ranges[0].rowFirst, 1);
  EXPECT_EQ(cells_.selection.ranges[0].rowLast, 3);
  EXPECT_EQ(cells_.selection.ranges[0].colLast, 2);
}

TEST_F(ExcelBuiltTest, SecondDimensionsRecordIsIgnored) {
  Bytes s;
  test::Rec(s, 0x0200, test::Dimensions8(0, 3, 0, 3));
  test::Rec(s, 0x0203, test::NumberCell(0, 0, 1));
  test::Rec(s, 0x0200, test::Dimensions8(0, 60001, 0, 200));
  test::Rec(s, 0x0203, test::NumberCell(2, 2, 9));
  test::Rec(s, 0x0203, test::NumberCell(50, 50, 7));  // outside the first rectangle: not stored
  ASSERT_EQ(Read(test::Workbook(true, {}, {{"S", s}})), ExcelOutcome::Cells);
  CellMap got = CellsOf(cells_.grid);
  EXPECT_EQ(got.size(), 2u);
  EXPECT_EQ(got[K(2, 2)].number, 9);
}

TEST_F(ExcelBuiltTest, NumbersThatAreNotStored) {
  Bytes cells;
  test::Rec(cells, 0x0203, test::NumberCell(0, 0, std::nan("")));
  test::Rec(cells, 0x0203, test::NumberCell(1, 0, -1e307));
  test::Rec(cells, 0x0203, test::NumberCell(2, 0, -HUGE_VAL));
  test::Rec(cells, 0x0203, test::NumberCell(3, 0, -0.5e307));
  ASSERT_EQ(Read(test::Workbook(true, {}, {{"S", SheetWith(cells)}})), ExcelOutcome::Cells);
  CellMap got = CellsOf(cells_.grid);
  EXPECT_EQ(got.size(), 1u);
  EXPECT_EQ(got[K(3, 0)].number, -0.5e307);
}

TEST_F(ExcelBuiltTest, HandedOffStreamReturnsTheTargetResult) {
  test::CfbOptions o;
  o.streamName = u"NativeContent_MAIN";
  Bytes doc = test::CompoundDocument(Bytes(800, 1), o);
  test::WriteFile(path_ = dir_ / "book.qpw", std::string(doc.begin(), doc.end()));
  setenv("TMP", dir_.path().c_str(), 1);
  testing::internal::CaptureStdout();
  int16_t result = ReadExcel(path_.c_str());
  testing::internal::GetCapturedStdout();
  unsetenv("TMP");
  EXPECT_EQ(result, 0);  // this build's Quattro Pro reader does not read it
  int left = 0;
  for (const auto& e : fs::directory_iterator(dir_.path())) left += e.path().filename().string().find("Q17X") != std::string::npos;
  EXPECT_EQ(left, 0);
}

// ---------------------------------------------------------------- damaged input

void ReadQuietly(const std::string& bytes) {
  try {
    ReadExcelFromBytes(std::vector<uint8_t>(bytes.begin(), bytes.end()), "damaged.xls");
  } catch (const FatalExitError& e) {
    EXPECT_TRUE(e.code == 0 || (e.code >= 7 && e.code <= 15)) << e.code;
  }
  CfbReset();
  ResetState();
  State().interceptFatal = true;
}

std::vector<std::string> DamageSources() {
  std::string shared = test::SharedDir();
  return {shared + "/corpus/excel/xlwt_biff8.xls", shared + "/corpus/excel/gnumeric_biff5.xls",
          shared + "/corpus-public/excel-biff3/as3xls_BIFF3.xls"};
}

TEST_F(ExcelTest, EveryTruncationEndsCleanly) {
  TROVADEX_NEED_SHARED();
  testing::internal::CaptureStdout();
  for (const std::string& source : DamageSources()) {
    std::string bytes = test::ReadFile(source);
    ASSERT_FALSE(bytes.empty()) << source;
    for (std::size_t n = 0; n < bytes.size(); ++n) {
      ReadQuietly(bytes.substr(0, n));
    }
  }
  testing::internal::GetCapturedStdout();
}

TEST_F(ExcelTest, SingleByteCorruptionsEndCleanly) {
  TROVADEX_NEED_SHARED();
  testing::internal::CaptureStdout();
  unsigned seed = 20240611;
  for (const std::string& source : DamageSources()) {
    std::string bytes = test::ReadFile(source);
    ASSERT_FALSE(bytes.empty());
    std::mt19937 random(seed++);
    for (int i = 0; i < 500; ++i) {
      std::string damaged = bytes;
      std::size_t at = random() % damaged.size();
      static const unsigned char kValues[] = {0x00, 0xFF, 0x7F, 0x80, 0x01, 0xFE};
      damaged[at] = static_cast<char>(i % 2 ? kValues[random() % 6] : random() % 256);
      ReadQuietly(damaged);
    }
  }
  testing::internal::GetCapturedStdout();
}

}  // namespace
}  // namespace trovadex
