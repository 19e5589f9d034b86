// .xlsx reader internals shared with the tests: the cells of the chosen
// sheet before their conversion into columns.
#pragma once

#include "readers/grid.h"

namespace trovadex {

// Reads the workbook at `path`, chooses the sheet or range by the run's Sheet
// and Range arguments and fills `grid` with the sheet's cells. False (with a
// message) when the workbook is damaged or has no such sheet.
bool ReadXlsxCells(const char* path, SheetSelection& selection, CellGrid& grid);

}  // namespace trovadex
