// .xlsx reader: workbooks written in the test by openpyxl and ssconvert,
// each sheet or range compared cell by cell with what openpyxl reads back.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>

#include "readers/readers.h"
#include "readers/xlsx.h"
#include "test_support.h"

namespace trovadex {
namespace {

bool HaveOpenpyxl() {
  return std::system("/usr/bin/python3 -c 'import openpyxl' >/dev/null 2>&1") == 0;
}

// Writes the workbooks; a second call prints one sheet's cells, as openpyxl
// reads them, as "row column N number" or "row column T text" (0-based;
// dates as serial day numbers of the 1900 system, booleans 0/1, errors left
// out).
const char* kScript = R"PY(
import sys, datetime, subprocess, openpyxl
from openpyxl.workbook.defined_name import DefinedName
from openpyxl.utils.datetime import to_excel
if sys.argv[1] == "write":
    d = sys.argv[2]
    for name, epoch in (("book.xlsx", None), ("book1904.xlsx", openpyxl.utils.datetime.CALENDAR_MAC_1904)):
        wb = openpyxl.Workbook()
        ws = wb.active
        ws.title = "Plots"
        ws.append(["plot", "yield", None, "sown", "ok", "note"])
        ws.append([1, 2.5, None, datetime.datetime(2020, 5, 1), True, "Zoë ß"])
        ws.append([2, -3.25e-7, None, datetime.datetime(1900, 3, 1, 6), False, "日本"])
        ws.append([])
        ws.append([3, 1e300, None, datetime.date(2001, 1, 1), True, "x"])
        ws2 = wb.create_sheet("Ünits")
        ws2["B3"] = "far"
        ws2["D7"] = 0.1
        dn = DefinedName("block", attr_text="Plots!$A$1:$B$3")
        try:
            wb.defined_names["block"] = dn
        except (TypeError, AttributeError):
            wb.defined_names.append(dn)
        if epoch:
            wb.epoch = epoch
        wb.save(d + "/" + name)
    # Dates stored as ISO 8601 text (cells of type "d")
    wb = openpyxl.Workbook(iso_dates=True)
    wb.active.append(["when", "t"])
    wb.active.append([datetime.datetime(2020, 5, 1, 6, 30, 15, 500000), datetime.time(6, 30)])
    wb.active.append([datetime.date(1900, 2, 28), datetime.datetime(1900, 1, 1)])
    wb.save(d + "/iso.xlsx")
    # Rows past the 65,536 a binary workbook can hold
    wb = openpyxl.Workbook()
    wb.active["A1"], wb.active["A2"], wb.active["A70000"] = "n", 1, 2
    wide = wb.create_sheet("Wide")
    wide["AAA1"], wide["AAA2"], wide["AAB1"], wide["AAB2"] = "w", 5, "z", 6
    wb.save(d + "/long.xlsx")
    with open(d + "/f.csv", "w") as f:
        f.write("a,b,c\n1,x,=A2*2\n2,y,=A3/0\n,,\n4.5,z,=A5&B5\n")
    subprocess.run(["ssconvert", d + "/f.csv", d + "/formulas.xlsx"], capture_output=True)
else:
    wb = openpyxl.load_workbook(sys.argv[2], data_only=True)
    ws = wb.worksheets[int(sys.argv[3])]
    cells = ws[sys.argv[4]] if len(sys.argv) > 4 else ws.iter_rows()
    for row in cells:
        for c in row:
            v = c.value
            if v is None or c.data_type == "e" or (isinstance(v, str) and v.startswith("#")):
                continue
            r, k = c.row - 1, c.column - 1
            if isinstance(v, (datetime.datetime, datetime.date, datetime.time)):
                v = to_excel(v)
            if isinstance(v, bool):
                v = int(v)
            if isinstance(v, str):
                print(r, k, "T", v)
            else:
                print(r, k, "N", repr(float(v)))
)PY";

struct Cell {
  bool text = false;
  double number = 0;
  std::string value;
  bool operator==(const Cell& o) const {
    return text == o.text && (text ? value == o.value : number == o.number);
  }
};
using Cells = std::map<std::pair<int64_t, int64_t>, Cell>;

Cells PeerCells(const std::string& script, const std::string& file, int sheet, const std::string& range) {
  std::string cmd = "/usr/bin/python3 " + script + " read '" + file + "' " + std::to_string(sheet) +
                    (range.empty() ? "" : " " + range);
  Cells out;
  FILE* pipe = popen(cmd.c_str(), "r");
  if (!pipe) return out;
  char line[512];
  while (std::fgets(line, sizeof line, pipe)) {
    std::istringstream in(line);
    int64_t r, c;
    std::string kind;
    in >> r >> c >> kind;
    std::string rest;
    std::getline(in >> std::ws, rest);
    Cell cell;
    cell.text = kind == "T";
    if (cell.text) cell.value = rest; else cell.number = std::strtod(rest.c_str(), nullptr);
    out[{r, c}] = cell;
  }
  pclose(pipe);
  return out;
}

class XlsxTest : public test::StateTest {};

TEST_F(XlsxTest, SheetsAndRangesMatchOpenpyxl) {
  if (!HaveOpenpyxl()) GTEST_SKIP() << "python3-openpyxl not installed";
  test::TempDir dir;
  std::string script = dir / "peer.py";
  test::WriteFile(script, kScript);
  ASSERT_EQ(std::system(("/usr/bin/python3 " + script + " write " + dir.path().string()).c_str()), 0);
  const bool haveSsconvert = std::filesystem::exists(dir / "formulas.xlsx");

  struct Case {
    const char* file;
    const char* sheet;  // Sheet argument
    const char* range;  // Range argument
    int peerSheet;
    const char* peerRange;
  };
  const Case cases[] = {
      {"book.xlsx", "", "", 0, ""},
      {"book1904.xlsx", "", "", 0, ""},  // the same days in the 1904 date system
      {"book.xlsx", "2", "", 1, ""},
      {"book.xlsx", "S:ÜNITS", "", 1, ""},
      {"book.xlsx", "Plots", "B2:F5", 0, "B2:F5"},
      {"book1904.xlsx", "block", "", 0, "A1:B3"},
      {"formulas.xlsx", "", "", 0, ""},  // cached values, inline strings, an error cell
      {"iso.xlsx", "", "", 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.file) + " " + c.sheet + " " + c.range);
    if (!haveSsconvert && std::string(c.file) == "formulas.xlsx") continue;
    State().sheet = c.sheet;
    State().range = c.range;
    SheetSelection sel;
    CellGrid grid;
    ASSERT_TRUE(ReadXlsxCells((dir / c.file).c_str(), sel, grid));
    Cells ours;
    for (int64_t r = std::max(grid.lowRow, sel.rowFirst); r <= std::min(grid.highRow, sel.rowLast); ++r)
      for (int64_t k = std::max(grid.lowColumn, sel.colFirst); k <= std::min(grid.highColumn, sel.colLast); ++k) {
        int64_t slot = GridSlot(grid, r, k);
        if (GridKind(grid, slot) == CellKind::Number) ours[{r, k}] = {false, GridNumber(grid, slot), {}};
        if (GridKind(grid, slot) == CellKind::Text) ours[{r, k}] = {true, 0, GridText(grid, slot)};
      }
    Cells peer = PeerCells(script, dir / c.file, c.peerSheet, c.peerRange);
    ASSERT_FALSE(peer.empty());
    EXPECT_EQ(ours.size(), peer.size());
    for (const auto& [at, cell] : peer) {
      SCOPED_TRACE(std::to_string(at.first) + "," + std::to_string(at.second));
      ASSERT_TRUE(ours.count(at));
      EXPECT_TRUE(ours[at] == cell) << ours[at].value << ours[at].number << " vs " << cell.value << cell.number;
    }
  }
  // The whole path: a name row, then the data rows up to the last one.
  test::RunResult run = test::RunTrovadex({dir / "book.xlsx", dir / "out.csv"}, dir.path().string());
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_NE(run.output.find("[PLOTS]A1:F5"), std::string::npos) << run.output;
  run = test::RunTrovadex({dir / "long.xlsx", dir / "long.csv"}, dir.path().string());
  EXPECT_NE(run.output.find("A1:A70000"), std::string::npos) << run.output;
  EXPECT_TRUE(test::ReadFile(dir / "long.csv").ends_with("\r\n2\r\n"));
  // Columns past IV are named with three letters.
  run = test::RunTrovadex({dir / "long.xlsx", dir / "wide.csv", "Wide", "AAB1:AAB9"}, dir.path().string());
  EXPECT_NE(run.output.find("AAB1:AAB2"), std::string::npos) << run.output;
  EXPECT_TRUE(test::ReadFile(dir / "wide.csv").ends_with("z\r\n6\r\n"));

  // The same workbook saved as .xls by ssconvert gives the same command file
  // (over the columns of plain ASCII text: .xls texts are 8-bit).
  if (std::system(("ssconvert '" + (dir / "book.xlsx") + "' '" + (dir / "book.xls") + "' >/dev/null 2>&1").c_str()) != 0)
    return;
  for (const char* input : {"book.xlsx", "book.xls"})
    test::RunTrovadex({dir / input, dir / (std::string(input) + ".crv"), "Plots", "A1:E5"}, dir.path().string());
  std::string fromXlsx = test::ReadFile(dir / "book.xlsx.crv");
  for (std::size_t at; (at = fromXlsx.find("book.xlsx")) != std::string::npos;) fromXlsx.replace(at, 9, "book.xls");
  EXPECT_FALSE(fromXlsx.empty());
  EXPECT_EQ(fromXlsx, test::ReadFile(dir / "book.xls.crv"));
}

// Other ZIP archives are no workbooks; a damaged workbook or one declaring
// entities is refused with a message.
TEST_F(XlsxTest, RefusesOtherArchivesAndEntityDeclarations) {
  if (!HaveOpenpyxl()) GTEST_SKIP() << "python3-openpyxl not installed";
  test::TempDir dir;
  std::string cmd = "cd " + dir.path().string() + " && /usr/bin/python3 -c \"\nimport zipfile, openpyxl\n"
                    "z = zipfile.ZipFile('other.zip', 'w'); z.writestr('a.txt', 'x'); z.close()\n"
                    "wb = openpyxl.Workbook(); wb.active['A1'] = 1; wb.save('ok.xlsx')\n"
                    "wb.active['XFD1048576'] = 2; wb.save('corners.xlsx')\n"
                    "src = zipfile.ZipFile('ok.xlsx'); out = zipfile.ZipFile('deflated.xlsx', 'w', zipfile.ZIP_DEFLATED)\n"
                    "for i in src.infolist():\n"
                    "    data = src.read(i.filename)\n"
                    "    if i.filename.startswith('xl/worksheets/'):\n"
                    "        data = data.replace(b'<sheetData>', b'<sheetData>' + b' ' * 30000000)\n"
                    "    out.writestr(i.filename, data)\n"
                    "out.close()\n"
                    "src = zipfile.ZipFile('ok.xlsx'); out = zipfile.ZipFile('bomb.xlsx', 'w')\n"
                    "for i in src.infolist():\n"
                    "    data = src.read(i.filename)\n"
                    "    if i.filename == 'xl/workbook.xml':\n"
                    "        data = b'<!DOCTYPE w [<!ENTITY a \\\"aaaa\\\">]>' + data[data.index(b'<workbook'):]\n"
                    "    out.writestr(i, data)\n"
                    "out.close()\n\"";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  test::RunResult other = test::RunTrovadex({dir / "other.zip", dir / "o.csv"}, dir.path().string());
  EXPECT_NE(other.output.find("Unknown File type!"), std::string::npos) << other.output;
  test::RunResult bomb = test::RunTrovadex({dir / "bomb.xlsx", dir / "b.csv"}, dir.path().string());
  EXPECT_NE(bomb.exitCode, 0);
  EXPECT_NE(bomb.output.find("declares entities"), std::string::npos) << bomb.output;
  // A1 and XFD1048576: a grid no workbook reader could hold.
  test::RunResult corners = test::RunTrovadex({dir / "corners.xlsx", dir / "c.csv"}, dir.path().string());
  EXPECT_EQ(corners.exitCode, 9) << corners.output;
  EXPECT_NE(corners.output.find("Too much data"), std::string::npos) << corners.output;
  // 30 MB of blanks deflate to a few kilobytes: past 100 times the file size.
  test::RunResult inflated = test::RunTrovadex({dir / "deflated.xlsx", dir / "d.csv"}, dir.path().string());
  EXPECT_NE(inflated.exitCode, 0);
  EXPECT_NE(inflated.output.find("too large"), std::string::npos) << inflated.output;
  test::RunResult ok = test::RunTrovadex({dir / "ok.xlsx", dir / "k.csv"}, dir.path().string());
  EXPECT_EQ(ok.exitCode, 0) << ok.output;
}

}  // namespace
}  // namespace trovadex
