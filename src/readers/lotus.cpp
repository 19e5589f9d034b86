// Lotus worksheets (WKS, WK1 and WR1 record versions) into the Dataset: one
// column per spreadsheet column, the first row as names when it holds no
// number.
#include <cstdint>
#include <vector>

#include "core/byteorder.h"
#include "core/dataset.h"
#include "readers/lotus_sheet.h"
#include "readers/readers.h"
#include "readers/whole_file.h"

namespace trovadex {

namespace {

constexpr uint16_t kLargestLotusRecord = 512;
constexpr uint16_t kLargestLotusType = 255;
// Format byte, column, row.
constexpr std::size_t kCellHeader = 5;

// Reads the records into the grid; false on a structural fault.
bool ReadLotusCells(const std::vector<uint8_t>& bytes, CellGrid& grid) {
  std::size_t position = 0;
  LotusRecord record;
  bool first = true;
  while (NextLotusRecord(bytes, position, record)) {
    if (first) {
      if (record.type != 0 || record.length < 2) return false;
      uint16_t version = LoadU16LE(record.body);
      if (version != 0x0404 && version != 0x0405 && version != 0x0406) return false;
      first = false;
      continue;
    }
    if (record.type == 1) break;
    // Works writes files that start like these and then go on with records
    // of its own above 255.
    if (record.length > kLargestLotusRecord || record.type > kLargestLotusType) return false;
    if (record.type == 6) {
      if (record.length < 8 || grid.ready) return false;
      int64_t c0 = LoadU16LE(record.body), r0 = LoadU16LE(record.body + 2);
      int64_t c1 = LoadU16LE(record.body + 4), r1 = LoadU16LE(record.body + 6);
      if (c1 < c0 || r1 < r0) return false;
      int64_t columns = c1 - c0 + 1, rows = r1 - r0 + 1;
      if (columns * rows * 8 + 8 > kLotusGridByteLimit)
        FatalExit(9, "Error: Too much data in Lotus file for Trovadex to handle!\n");
      InitCellGrid(grid, static_cast<int32_t>(r0), static_cast<int32_t>(c0), static_cast<int32_t>(rows),
                   static_cast<int32_t>(columns));
      continue;
    }
    if (record.type < 13 || (record.type > 16 && record.type != 51)) continue;
    if (!grid.ready) return false;
    if (record.type == 15 && record.length <= 6) return false;
    if (record.length < kCellHeader) continue;
    int64_t column = LoadU16LE(record.body + 1), row = LoadU16LE(record.body + 3);
    if (GridSlot(grid, row, column) < 0) return false;
    WidenBox(grid, row, column);
    switch (record.type) {
      case 13:
        if (record.length >= 7) StoreNumber(grid, row, column, LoadI16LE(record.body + 5));
        break;
      case 14:
        if (record.length >= 13) StoreLotusNumber(grid, row, column, LoadF64LE(record.body + 5));
        break;
      case 15:
        StoreText(grid, row, column, LotusText(record, kCellHeader + 1));
        break;
      case 16:
        if (record.length >= 13) StoreLotusNumber(grid, row, column, LoadF64LE(record.body + 5));
        break;
      case 51:
        // The text a string formula gave; it follows the formula's record.
        StoreText(grid, row, column, LotusText(record, kCellHeader));
        break;
    }
  }
  return !first && grid.ready;
}

}  // namespace

int16_t ReadLotus(const char* path) {
  std::vector<uint8_t> bytes;
  if (!ReadWholeFile(path, bytes)) return 0;
  CellGrid grid;
  if (!ReadLotusCells(bytes, grid)) return 0;
  return LotusColumns(grid, 0, 0, int64_t{1} << 40, int64_t{1} << 40);
}

}  // namespace trovadex
