// Helpers shared by the readers of Lotus-style worksheets (Lotus WKS/WK1/WR1,
// Quattro WQ1 and WB notebooks): the record walk over the file's bytes, the
// text of label cells, and the making of columns from the cells.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "readers/grid.h"

namespace trovadex {

// Largest grid of a Lotus-style worksheet: cells × 8 + 8 may not pass this.
inline constexpr int64_t kLotusGridByteLimit = 16000000;

// One record: 16-bit type, 16-bit length, body.
struct LotusRecord {
  uint16_t type = 0;
  uint16_t length = 0;
  const uint8_t* body = nullptr;
};

// The record at `position`; false at the end of the bytes or when the body
// runs past them.
bool NextLotusRecord(const std::vector<uint8_t>& bytes, std::size_t& position, LotusRecord& record);

// The text of a label or string cell from `offset` of the body to its end:
// cut at a NUL, a leading length byte that counts the rest dropped (Quattro
// writes one), trimmed when blanks are compressed.
std::string LotusText(const LotusRecord& record, std::size_t offset);

// Widens the grid's box of lowest and highest row and column.
void WidenBox(CellGrid& grid, int64_t row, int64_t column);

// Stores a number unless it is NaN, infinite or not above the missing value.
void StoreLotusNumber(CellGrid& grid, int64_t row, int64_t column, double value);

// Makes the Dataset's columns from the cells of the grid's box cut to the
// rectangle (inclusive): the first row names the columns unless it holds a
// number. Returns 1 when the Dataset was made.
int16_t LotusColumns(const CellGrid& grid, int64_t c0, int64_t r0, int64_t c1, int64_t r1);

// The "/w" listing (ends the run) or the choice of sheet or named range by
// the run's Sheet and Range arguments; a one-letter Sheet argument that
// begins no name picks the sheet at that letter's position. False when
// nothing can be chosen.
bool ListAndChoose(SheetSelection& sel, const std::string& shownPath);

}  // namespace trovadex
