// The cells of one worksheet and their conversion into the Dataset's columns,
// shared by the spreadsheet readers (Excel, Lotus, Quattro): the sheet and
// named-range tables, the selection by Sheet and Range arguments, the cell
// grid, and GridToColumns.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/dataset.h"

namespace trovadex {

inline constexpr int kSheetNameLength = 60;
// Largest grid: cells × 8 + 64 bytes may not pass this.
inline constexpr int64_t kGridByteLimit = 48000000;

struct SheetEntry {
  std::string name;          // at most 60 characters, upper-cased
  int32_t streamOffset = 0;  // offset of the sheet's first record in the stream
  int32_t ordinal = 0;       // position among all sheet records, from 0
};

struct RangeEntry {
  std::string name;  // at most 60 characters, upper-cased
  int32_t sheetOrdinal = 0;
  int32_t colFirst = 0, rowFirst = 0, colLast = 0, rowLast = 0;  // 0-based, inclusive
};

struct CellNote {
  int32_t row = -1;
  int32_t column = -1;
  std::string text;
};

struct SheetSelection {
  std::vector<SheetEntry> sheets;
  std::vector<RangeEntry> ranges;
  // Below the sheet count: that sheet; otherwise range (selected − sheet count).
  int32_t selected = 0;
  int32_t colFirst = 0, rowFirst = 0, colLast = 0xFFFF, rowLast = 0xFFFF;
  // What a range without an end runs to: the last column and row an older
  // workbook can hold; readers of larger sheets raise them.
  int32_t openColumnEnd = 0xFFFF, openRowEnd = 0xFFFF;
  // The last column a cell reference of the Range argument can name (IV in
  // the binary workbooks, XFD in .xlsx).
  int32_t lastNamedColumn = 255;

  // Conversion settings.
  int32_t nameRowMode = 0;  // 0 decide, 1 present, 2 absent
  int32_t nameRowOffset = 0;
  int32_t titleRowOffset = 1;
  int32_t headerRowCount = 1;
  int16_t skipEmptyRows = 0;
  int16_t useTitleRow = 0;
  int16_t factorByTextShare = 0;
  int16_t skipHeaderRows = 0;
  int16_t useColumnRow = 0;  // the "column_row" metadata layout
};

enum class CellKind : uint8_t { Empty = 0, Number = 1, Text = 2 };

// One slot per cell of the declared rectangle, row-major.
struct CellGrid {
  int64_t cellCount = 0;
  int32_t columnCount = 0;
  int32_t rowCount = 0;
  int32_t firstColumn = 0;
  int32_t firstRow = 0;
  std::vector<uint8_t> kinds;     // CellKind per slot
  std::vector<uint32_t> values;   // index into numbers, or offset into texts
  std::vector<double> numbers;
  std::vector<char> texts;        // NUL-terminated texts of at most kKeptTextLength bytes
  // Bounding box of the cells stored (lowest > highest: none).
  int32_t lowRow = 0x7FFFFFFF, highRow = -1, lowColumn = 0x7FFFFFFF, highColumn = -1;
  std::vector<CellNote> notes;    // cell comments
  bool ready = false;
};

// Bytes of a grid of `cells` cells as the limit counts them.
inline int64_t GridBytes(int64_t cells) { return cells * 8 + 64; }

// Sets up an empty grid over rows [firstRow, firstRow+rows) and columns
// [firstColumn, firstColumn+columns) (large-buffer path; no memory: exit 8).
void InitCellGrid(CellGrid& grid, int32_t firstRow, int32_t firstColumn, int32_t rows, int32_t columns);
// Slot of (row, column), or -1 outside the grid.
int64_t GridSlot(const CellGrid& grid, int64_t row, int64_t column);
// Store a value; cells outside the grid are ignored (false).
bool StoreNumber(CellGrid& grid, int64_t row, int64_t column, double value);
bool StoreText(CellGrid& grid, int64_t row, int64_t column, std::string_view text);
CellKind GridKind(const CellGrid& grid, int64_t slot);
double GridNumber(const CellGrid& grid, int64_t slot);
const char* GridText(const CellGrid& grid, int64_t slot);

// Spreadsheet column letters: 0 "A", 25 "Z", 26 "AA", 27 "AB".
std::string ColumnLetters(int64_t column);

// Parses a Range argument ("B3:D12", "AB2:AZ1201", "B3") into the
// selection's rectangle.
void ParseRangeArgument(std::string_view text, SheetSelection& selection);

// Chooses a sheet or named range by the Sheet argument (number, name,
// "S:" name, "R:" name; `occurrence` picks the n-th exact "R:" match, 0 the
// last). Sets `selected`; returns false when there is nothing to choose.
bool SelectByArgument(SheetSelection& selection, std::string argument, long occurrence);

// Applies the selection's choice: a range copies its rectangle and selects
// its sheet (false when no sheet has that ordinal); a sheet takes the Range
// argument when one is given.
bool ResolveSelection(SheetSelection& selection, std::string_view rangeArgument);

// Factor labels, level values or level order from the text of a note from
// its "!" on. Returns true on success.
bool ApplyFactorNote(Column* column, std::string_view note);

// Message kinds of GridToColumns' description.
inline constexpr int kMessageExcel = 5;

// Turns the grid into the Dataset. Returns 1 when it was made, 0 when there
// was nothing to make.
int16_t GridToColumns(SheetSelection& selection, const char* path, const CellGrid& grid, int messageKind);

}  // namespace trovadex
