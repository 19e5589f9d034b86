// Excel reader internals shared with the tests: the cells of the selected
// worksheet before their conversion into columns.
#pragma once

#include "core/rk.h"

#include <cstdint>
#include <string>
#include <vector>

#include "readers/grid.h"

namespace trovadex {

enum class ExcelOutcome {
  Cells,      // the worksheet's cells are in `grid`
  NoData,     // nothing to convert (unreadable, protected, no such sheet)
  HandedOff,  // the container held another program's file; its reader ran
};

struct ExcelCells {
  SheetSelection selection;
  CellGrid grid;
  int16_t handOffResult = 0;
  int version = 0;  // 2, 3 (3 or 4), 5 or 8
};

// Reads the workbook at `path`, selects the sheet or range by the run's Sheet
// and Range arguments and collects the cells. Fatal conditions end the run
// through FatalExit (codes 9 to 15; listing with "/w" ends it with 0).
ExcelOutcome ReadExcelCells(const char* path, ExcelCells& cells);

// The same from the bytes of a file already in memory (`name` stands for its
// path in messages).
ExcelOutcome ReadExcelCellsFromBytes(std::vector<uint8_t> bytes, const char* name, ExcelCells& cells);
// ReadExcel from bytes in memory.
int16_t ReadExcelFromBytes(std::vector<uint8_t> bytes, const char* name);

// The value of an RK number.

}  // namespace trovadex
