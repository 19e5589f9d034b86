// End to end: files of the shared corpus go through the built program into
// ".xls" (directly, through a ".crs" file, or from another workbook); the
// workbook is read back by the program into ".tab" and compared with the
// direct translation, and read by xlrd (when installed) and compared with the
// values the corpus lists. Texts are bytes to the program: the workbook says
// code page 1252, so xlrd's texts are turned back into those bytes.
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "readers/json_mini.h"
#include "test_support.h"
#include "writers/xls_test_support.h"

namespace trovadex {
namespace {

namespace fs = std::filesystem;

struct Case {
  const char* folder;
  const char* file;
  const char* via;  // "" = straight to .xls, "crs" = through a .crs file
};

const Case kCases[] = {
    {"delimited", "r_comma.csv", ""},          {"delimited", "r_comma.csv", "crs"},
    {"delimited", "gnumeric_comma.csv", ""},   {"delimited", "pandas_comma.csv", "crs"},
    {"delimited", "r_tab.txt", ""},            {"delimited", "r_comma_na_star.csv", ""},
    {"excel", "gnumeric_biff5.xls", ""},       {"excel", "gnumeric_biff8_mixed.xls", ""},
    {"excel", "xlwt_biff8.xls", ""},           {"excel", "gnumeric_biff5_nonames.xls", ""},
};

std::string Describe(const Case& c) { return std::string(c.folder) + "/" + c.file + (*c.via ? " via .crs" : ""); }

const char* kXlrdCells =
    "import sys, xlrd\n"
    "s = xlrd.open_workbook(sys.argv[1]).sheet_by_index(0)\n"
    "o = sys.stdout.buffer\n"
    "for r in range(s.nrows):\n"
    "  for c in range(s.ncols):\n"
    "    v = s.cell(r, c)\n"
    "    if v.ctype == xlrd.XL_CELL_NUMBER: o.write(('%d\\t%d\\tn\\t%r\\n' % (r, c, v.value)).encode())\n"
    "    elif v.ctype == xlrd.XL_CELL_TEXT:\n"
    "      o.write(('%d\\t%d\\tt\\t' % (r, c)).encode() + v.value.encode('cp1252') + b'\\n')\n";

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

// Cells read by xlrd: (row, column) -> (kind "n" or "t", text).
std::map<std::pair<int, int>, std::pair<std::string, std::string>> XlrdCells(const test::TempDir& dir,
                                                                             const std::string& file) {
  test::WriteFile(dir / "cells.py", kXlrdCells);
  std::string out;
  const int rc = test::RunCommand("/usr/bin/python3 " + (dir / "cells.py") + " " + (dir / file) + " 2>&1", &out);
  EXPECT_EQ(rc, 0) << out.substr(0, 2000);
  std::map<std::pair<int, int>, std::pair<std::string, std::string>> cells;
  std::istringstream in(out);
  std::string line;
  while (std::getline(in, line)) {
    const auto f = SplitTabs(line);
    if (f.size() == 4) cells[{std::stoi(f[0]), std::stoi(f[1])}] = {f[2], f[3]};
  }
  return cells;
}

// Texts as the readers keep them by default: trimmed, inner runs of blanks
// made one blank.
std::string Collapsed(const std::string& text) {
  std::string out;
  for (char ch : text) {
    if (ch == ' ' && (out.empty() || out.back() == ' ')) continue;
    out += ch;
  }
  if (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

// UTF-8 text as single bytes (code points below 256; others unchanged): the
// Excel reader keeps workbook texts as such bytes.
std::string Latin1(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const unsigned char ch = static_cast<unsigned char>(text[i]);
    if ((ch == 0xC2 || ch == 0xC3) && i + 1 < text.size()) {
      out += static_cast<char>(((ch & 0x03) << 6) | (static_cast<unsigned char>(text[i + 1]) & 0x3F));
      ++i;
    } else {
      out += text[i];
    }
  }
  return out;
}

// Whether the cell xlrd read matches the corpus value `v` (null = empty).
bool CellMatches(const std::pair<std::string, std::string>* cell, test::Json v, bool number, bool latin1) {
  if (latin1 && v.type == test::Json::String) v.text = Latin1(v.text);
  if (v.type == test::Json::Null) return cell == nullptr || (cell->first == "t" && cell->second == "*");
  if (!cell) return v.type == test::Json::String && v.text.empty();
  if (number && v.type == test::Json::Number)
    return cell->first == "n" && std::strtod(cell->second.c_str(), nullptr) == v.number;
  if (v.type == test::Json::String) return cell->first == "t" && cell->second == Collapsed(v.text);
  return false;
}

TEST(ExcelRoundTripEndToEnd, CorpusFilesThroughExcelAndBack) {
  TROVADEX_NEED_SHARED();
  const bool xlrd = test::PythonModuleAvailable("xlrd");
  for (const Case& c : kCases) {
    SCOPED_TRACE(Describe(c));
    const fs::path source = fs::path(test::SharedDir()) / "corpus" / c.folder / c.file;
    if (!fs::exists(source)) {
      ADD_FAILURE() << "missing corpus file " << source;
      continue;
    }
    test::TempDir dir;
    const std::string work = dir.path().string();
    const std::string input = std::string("in") + source.extension().string();
    fs::copy_file(source, dir.path() / input);

    test::RunResult run = test::RunTrovadex({input, "ref.tab"}, work);
    ASSERT_EQ(run.exitCode, 0) << run.output;
    std::string from = input;
    if (*c.via) {
      run = test::RunTrovadex({input, "mid.crs"}, work);
      ASSERT_EQ(run.exitCode, 0) << run.output;
      from = "mid.crs";
    }
    run = test::RunTrovadex({from, "out.xls"}, work);
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("records transferred"), std::string::npos) << run.output;
    run = test::RunTrovadex({"out.xls", "back.tab"}, work);
    ASSERT_EQ(run.exitCode, 0) << run.output;
    const std::string reference = test::ReadFile(dir / "ref.tab");
    ASSERT_FALSE(reference.empty());
    EXPECT_EQ(test::ReadFile(dir / "back.tab"), reference);

    // A workbook of our own makes the same workbook again.
    run = test::RunTrovadex({"out.xls", "again.xls"}, work);
    ASSERT_EQ(run.exitCode, 0) << run.output;
    run = test::RunTrovadex({"again.xls", "again.tab"}, work);
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(test::ReadFile(dir / "again.tab"), reference);

    if (!xlrd) continue;
    // The names row holds the names of the translation; the cells below it
    // the corpus values.
    const auto cells = XlrdCells(dir, "out.xls");
    const std::vector<std::string> names = SplitTabs(reference.substr(0, reference.find("\r\n")));
    for (std::size_t k = 0; k < names.size(); ++k) {
      auto it = cells.find({0, static_cast<int>(k)});
      ASSERT_NE(it, cells.end()) << "name " << k;
      EXPECT_EQ(it->second.second, names[k]);
    }
    test::Json expected;
    fs::path json = source;
    json.replace_extension(".expected.json");
    if (!test::JsonParser(test::ReadFile(json.string())).Parse(expected)) {
      ADD_FAILURE() << "unreadable " << json;
      continue;
    }
    const bool fromExcel = std::string(c.folder) == "excel";
    const test::Json* columns = expected.Get("columns");
    ASSERT_NE(columns, nullptr);
    ASSERT_EQ(columns->items.size(), names.size());
    for (std::size_t k = 0; k < columns->items.size(); ++k) {
      const test::Json& column = columns->items[k];
      const test::Json* date = column.Get("date");
      const test::Json* raw = column.Get("raw");
      if (date && date->boolean && !raw) continue;  // dates kept as texts
      const test::Json* values = raw ? raw : column.Get("values");
      const test::Json* type = column.Get("type");
      const bool number = type && type->text == "number";
      ASSERT_NE(values, nullptr);
      for (std::size_t i = 0; i < values->items.size(); ++i) {
        auto it = cells.find({static_cast<int>(i) + 1, static_cast<int>(k)});
        const auto* cell = it == cells.end() ? nullptr : &it->second;
        bool ok = CellMatches(cell, values->items[i], number, fromExcel);
        if (!ok) {
          if (const test::Json* alternatives = column.Get("alt_values"))
            for (const test::Json& alt : alternatives->items)
              if (i < alt.items.size() && CellMatches(cell, alt.items[i], number, fromExcel)) ok = true;
        }
        EXPECT_TRUE(ok) << "column " << names[k] << " row " << i + 1 << ": "
                        << (cell ? cell->first + " " + cell->second : "empty");
      }
    }
  }
}

}  // namespace
}  // namespace trovadex
