// Quattro WQ1 spreadsheets and WB1/WB2/WB3 notebooks into the Dataset. Both
// use Lotus-style records; a WQ1 cell starts with a format byte, a notebook
// cell does not and carries its sheet in the high byte of the column field.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

#include "core/byteorder.h"
#include "core/dataset.h"
#include "readers/grid.h"
#include "readers/lotus_sheet.h"
#include "readers/readers.h"
#include "readers/whole_file.h"

namespace trovadex {

namespace {

constexpr uint16_t kLargestRecord = 8192;
constexpr uint16_t kLargestType = 1200;
constexpr uint16_t kWq1Version = 0x5120;

std::string BaseName(const std::string& path) {
  std::string_view p = path;
  if (std::size_t slash = p.find_last_of("/\\"); slash != std::string_view::npos) p = p.substr(slash + 1);
  if (std::size_t dot = p.rfind('.'); dot != std::string_view::npos) p = p.substr(0, dot);
  return std::string(p);
}

std::string UpperCut(std::string_view text, std::size_t limit) {
  std::string out(text.substr(0, std::min(text.size(), limit)));
  if (std::size_t nul = out.find('\0'); nul != std::string::npos) out.resize(nul);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

// "A", "B", … "Z", then two letters.
std::string SheetLetters(int64_t number) { return ColumnLetters(number); }

SheetEntry* SheetByOrdinal(SheetSelection& sel, int64_t ordinal) {
  for (SheetEntry& s : sel.sheets)
    if (s.ordinal == ordinal) return &s;
  return nullptr;
}

// The named-range record of a notebook: a length byte and the name, then
// the 16-bit reference word and, for a three-dimensional reference, first
// column, first sheet (1 byte each), first row (2), last column, last sheet
// (1 each), last row (2).
void ReadNamedRange(const LotusRecord& record, SheetSelection& sel) {
  if (record.length < 1) return;
  std::size_t nameLength = record.body[0];
  std::size_t at = 1 + nameLength;
  if (at + 2 + 8 > record.length) return;
  uint16_t word = LoadU16LE(record.body + at);
  if ((word >> 12) != 0x1) return;
  const uint8_t* r = record.body + at + 2;
  int sheetFirst = r[1], sheetLast = r[5];
  if (sheetFirst != sheetLast || !SheetByOrdinal(sel, sheetFirst)) return;
  RangeEntry range;
  range.name = UpperCut(std::string_view(reinterpret_cast<const char*>(record.body) + 1, nameLength), kSheetNameLength);
  range.sheetOrdinal = sheetFirst;
  range.colFirst = r[0];
  range.rowFirst = LoadU16LE(r + 2);
  range.colLast = r[4];
  range.rowLast = LoadU16LE(r + 6);
  if (range.colLast < range.colFirst || range.rowLast < range.rowFirst) return;
  sel.ranges.push_back(std::move(range));
}

// First pass: the kind of file, its sheets and named ranges. False when the
// file is not one or gives no data (password, bad record).
bool CollectSheets(const std::vector<uint8_t>& bytes, const std::string& shownPath, bool& wq1, SheetSelection& sel) {
  std::size_t position = 0;
  LotusRecord record;
  bool first = true;
  int64_t nameSheet = -1;
  while (NextLotusRecord(bytes, position, record)) {
    if (first) {
      if (record.type != 0 || record.length < 2) return false;
      wq1 = LoadU16LE(record.body) == kWq1Version;
      first = false;
      if (wq1) {
        SheetEntry sheet;
        sheet.name = BaseName(shownPath) + " (WQ1 File)";
        sel.sheets.push_back(std::move(sheet));
      }
      continue;
    }
    if (record.type == 0 || record.type > kLargestType || record.length > kLargestRecord) return false;
    if (record.type == 1) break;
    if (record.type == 75) return false;  // password protected
    if (wq1) continue;
    switch (record.type) {
      case 6:
        if (record.length >= 8 && sel.sheets.empty()) {
          int from = record.body[1], to = record.body[5];
          for (int s = from; s <= to; ++s) {
            SheetEntry sheet;
            sheet.name = SheetLetters(s);
            sheet.ordinal = s;
            sel.sheets.push_back(std::move(sheet));
          }
        }
        break;
      case 11:
        ReadNamedRange(record, sel);
        break;
      case 202:
        nameSheet = record.length >= 1 ? record.body[0] : -1;
        break;
      case 204:
        if (SheetEntry* sheet = SheetByOrdinal(sel, nameSheet); sheet && record.length > 0) {
          std::string name = UpperCut(std::string_view(reinterpret_cast<const char*>(record.body), record.length),
                                      kSheetNameLength);
          if (!name.empty()) sheet->name = name;
        }
        break;
      case 203:
        nameSheet = -1;
        break;
    }
  }
  return !first && !sel.sheets.empty();
}

// Second pass: the cells of the chosen sheet into the grid.
bool ReadSheetCells(const std::vector<uint8_t>& bytes, bool wq1, int64_t sheet, CellGrid& grid) {
  const std::size_t header = wq1 ? 5 : 6;        // where a cell's value starts
  const std::size_t columnAt = wq1 ? 1 : 0, rowAt = wq1 ? 3 : 2;
  std::size_t position = 0;
  LotusRecord record;
  while (NextLotusRecord(bytes, position, record)) {
    if (record.type == 1) break;
    if (record.type == 6) {
      if (record.length < 8 || grid.ready) continue;
      int64_t c0 = LoadU16LE(record.body), r0 = LoadU16LE(record.body + 2);
      int64_t c1 = LoadU16LE(record.body + 4), r1 = LoadU16LE(record.body + 6);
      if (!wq1) {
        c0 &= 0xFF;
        c1 &= 0xFF;
      }
      if (c1 < c0 || r1 < r0) return false;
      int64_t columns = c1 - c0 + 1, rows = r1 - r0 + 1;
      if (columns * rows * 8 + 8 > kLotusGridByteLimit)
        FatalExit(9, "Error: Too much data in Quattro file for Trovadex to handle!\n");
      InitCellGrid(grid, static_cast<int32_t>(r0), static_cast<int32_t>(c0), static_cast<int32_t>(rows),
                   static_cast<int32_t>(columns));
      continue;
    }
    if ((record.type < 13 || record.type > 16) && record.type != 51) continue;
    if (record.length < header) continue;
    uint16_t columnField = LoadU16LE(record.body + columnAt);
    int64_t column = wq1 ? columnField : (columnField & 0xFF);
    if (!wq1 && (columnField >> 8) != sheet) continue;
    int64_t row = LoadU16LE(record.body + rowAt);
    if (!grid.ready || GridSlot(grid, row, column) < 0) return false;
    switch (record.type) {
      case 13:
        if (record.length >= header + 2) {
          WidenBox(grid, row, column);
          StoreNumber(grid, row, column, LoadI16LE(record.body + header));
        }
        break;
      case 14:
      case 16:
        if (record.length >= header + 8) {
          WidenBox(grid, row, column);
          StoreLotusNumber(grid, row, column, LoadF64LE(record.body + header));
        }
        break;
      case 15:
        if (record.length >= 8) {
          WidenBox(grid, row, column);
          StoreText(grid, row, column, LotusText(record, header + 1));
        }
        break;
      case 51:
        // The text a string formula gave: after a length byte in a WQ1
        // file, after a prefix byte in a notebook.
        if (record.length >= 8) {
          WidenBox(grid, row, column);
          StoreText(grid, row, column, LotusText(record, wq1 ? header : header + 1));
        }
        break;
    }
  }
  return grid.ready;
}

}  // namespace

int16_t ReadQuattro(const char* path) {
  std::vector<uint8_t> bytes;
  if (!ReadWholeFile(path, bytes)) return 0;
  // Quattro Pro notebooks come this way out of their compound document.
  LotusRecord first;
  std::size_t position = 0;
  if (NextLotusRecord(bytes, position, first) && first.type == 1) return ReadQuattroPro(path);
  RunState& state = State();
  // A file handed over from a compound document is shown by the run's input path.
  const std::string shownPath = state.inputFileName.empty() ? std::string(path) : state.inputFileName;

  SheetSelection sel;
  bool wq1 = false;
  if (!CollectSheets(bytes, shownPath, wq1, sel)) return 0;
  if (!ListAndChoose(sel, shownPath)) return 0;

  CellGrid grid;
  if (!ReadSheetCells(bytes, wq1, sel.sheets[sel.selected].ordinal, grid)) return 0;
  return LotusColumns(grid, sel.colFirst, sel.rowFirst, sel.colLast, sel.rowLast);
}

}  // namespace trovadex
