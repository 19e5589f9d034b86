// Quattro Pro notebooks (the "NativeContent_MAIN" stream of their compound
// document): a shared text table, sheets, and per column blocks of cell runs,
// into a cell grid that the grid step turns into columns.
#include <cctype>
#include <cmath>
#include <string>
#include <vector>

#include "core/byteorder.h"
#include "core/dataset.h"
#include "core/names.h"
#include "core/rk.h"
#include "readers/grid.h"
#include "readers/lotus_sheet.h"
#include "readers/readers.h"
#include "readers/whole_file.h"

namespace trovadex {

namespace {

constexpr int kMessageQuattroPro = 34;
constexpr int64_t kQuattroProGridLimit = 64000000;

// A text of `length` characters at `at` (16-bit characters when `wide`,
// their low bytes kept), at most `keep` of them. False when the bytes are
// not there.
bool TakeText(const LotusRecord& r, std::size_t& at, std::size_t length, bool wide, std::size_t keep,
              std::string& out) {
  const std::size_t bytes = wide ? 2 * length : length;
  if (at > r.length || r.length - at < bytes) return false;
  out.clear();
  for (std::size_t i = 0; i < length && out.size() < keep; ++i) out += static_cast<char>(r.body[at + (wide ? 2 * i : i)]);
  if (std::size_t nul = out.find('\0'); nul != std::string::npos) out.resize(nul);
  at += bytes;
  return true;
}

// The text table: a 4-byte count, 8 bytes, then per text a 16-bit length,
// an option byte and the characters, each text followed by a NUL.
void ReadTextTable(const LotusRecord& r, std::vector<std::string>& texts) {
  texts.clear();
  if (r.length < 12) return;
  const int64_t count = LoadU32LE(r.body);
  std::size_t at = 12;
  for (int64_t k = 0; k < count && at + 3 <= r.length; ++k) {
    const std::size_t length = LoadU16LE(r.body + at);
    const uint8_t option = r.body[at + 2];
    at += 3;
    const bool wide = option & 1;
    std::string text;
    if (!TakeText(r, at, length, wide, kTextLength, text)) return;
    if (CurrentOptions()->compressBlanks) text = TrimText(text, kTextLength);
    texts.push_back(std::move(text));
    const std::size_t nul = wide ? 2 : 1;
    if (at + nul <= r.length && r.body[at] == 0 && (!wide || r.body[at + 1] == 0)) at += nul;
    if (option & 2) {  // a further block of its own length
      if (at + 2 > r.length) return;
      at += 2 + std::size_t{LoadU16LE(r.body + at)};
    }
  }
}

// First pass: the sheet table and the texts.
bool CollectSheets(const std::vector<uint8_t>& bytes, SheetSelection& sel, std::vector<std::string>& texts) {
  std::size_t position = 0;
  LotusRecord r;
  if (!NextLotusRecord(bytes, position, r) || r.type != 1 || r.length != 14) return false;
  if (std::toupper(r.body[0]) != 'Q' || std::toupper(r.body[1]) != 'P' || std::toupper(r.body[2]) != 'W') return false;
  // The signature's fourth byte and the fields after it (the release and
  // its flags) are passed over by their lengths.
  const int64_t sheetCount = LoadU16LE(r.body + 12);
  for (int64_t s = 0; s < sheetCount; ++s) {
    SheetEntry sheet;
    sheet.name = ColumnLetters(s);
    sheet.ordinal = static_cast<int32_t>(s);
    sel.sheets.push_back(std::move(sheet));
  }
  while (NextLotusRecord(bytes, position, r)) {
    if (r.type == 4) {
      std::printf("Quattro File is Password protected - cannot read data.\n");
      return false;
    }
    if (r.type == 0x0407) ReadTextTable(r, texts);
    if (r.type == 0x0601 && r.length > 18 && r.length >= 21) {
      const int64_t number = LoadU16LE(r.body);
      std::size_t at = 21;
      std::string name;
      if (number < sheetCount && TakeText(r, at, LoadU16LE(r.body + 18), r.body[20] & 1, kSheetNameLength, name) &&
          !name.empty()) {
        for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        sel.sheets[number].name = name;
      }
    }
  }
  return !sel.sheets.empty();
}

struct RunReader {
  const LotusRecord& r;
  std::size_t at;
  bool Has(std::size_t n) const { return at <= r.length && r.length - at >= n; }
  uint16_t U16() { return LoadU16LE(r.body + (at += 2) - 2); }
  uint32_t U32() { return LoadU32LE(r.body + (at += 4) - 4); }
  double F64() { return LoadF64LE(r.body + (at += 8) - 8); }
};

// Bytes of one value of a kind, or -1 for a kind whose size is not known.
int ValueSize(int kind, bool stepped) {
  switch (kind) {
    case 0: case 1: return stepped ? -1 : 0;  // empty cells
    case 2: case 3: return 2;
    case 4: return 4;
    case 5: return 8;
    case 6: return stepped ? 4 : 2;
    case 7: return 4;
    case 8: return stepped ? -1 : 14;
  }
  return -1;
}

enum class Stored { Ok, Outside };

// Stores a number or (kind 6, 7) the text of a 1-based index.
Stored StoreValue(CellGrid& grid, const std::vector<std::string>& texts, int64_t row, int64_t column, int kind,
                  double number, int64_t index) {
  if (kind == 6 || kind == 7) {
    if (index < 1 || index > static_cast<int64_t>(texts.size())) return Stored::Ok;
    return StoreText(grid, row, column, texts[index - 1]) ? Stored::Ok : Stored::Outside;
  }
  if (!std::isfinite(number)) return Stored::Ok;
  return StoreNumber(grid, row, column, number) ? Stored::Ok : Stored::Outside;
}

// The runs of one cell block; false when a cell lies outside the grid or
// the work passes its budget.
bool ReadCellBlock(const LotusRecord& r, int64_t column, CellGrid& grid, const std::vector<std::string>& texts,
                   int64_t& budget) {
  RunReader in{r, 8};
  int64_t row = LoadU32LE(r.body);
  const int64_t count = LoadU32LE(r.body + 4);
  for (int64_t done = 0; done < count && in.Has(1);) {
    const uint8_t option = r.body[in.at++];
    if ((option & 0x80) && !in.Has(2)) return true;
    if (option & 0x80) in.at += 2;
    int64_t repeat = 1;
    if (option & 0x40) {
      if (!in.Has(2)) return true;
      repeat = in.U16();
    }
    repeat = std::min(repeat, count - done);
    const int kind = option & 0x0F;
    const bool stepped = option & 0x20;
    const int size = ValueSize(kind, stepped);
    if (size < 0) return true;  // the rest of the block cannot be followed
    if (size == 0) {            // a run of empty cells
      row += repeat, done += repeat;
      continue;
    }
    if ((budget -= repeat) < 0) return false;
    if (stepped) {
      if (!in.Has(2 * std::size_t(size))) return true;
      // Whole-number kinds step in integers, RK and double kinds in doubles.
      int64_t whole = 0, wholeStep = 0;
      double value = 0, step = 0;
      switch (kind) {
        case 2: whole = in.U16(), wholeStep = in.U16(); break;
        case 3: whole = static_cast<int16_t>(in.U16()), wholeStep = static_cast<int16_t>(in.U16()); break;
        case 4: value = DecodeRk(in.U32()), step = DecodeRk(in.U32()); break;
        case 5: value = in.F64(), step = in.F64(); break;
        default: whole = in.U32(), wholeStep = in.U32(); break;
      }
      for (int64_t k = 0; k < repeat; ++k, ++row, ++done) {
        int64_t n = whole + wholeStep * k;
        // Unsigned 16-bit values count down by a step of 0xFFFF: the sum
        // wraps as the writer's 16-bit arithmetic does.
        if (kind == 2) n &= 0xFFFF;
        double x = kind == 4 || kind == 5 ? value + step * static_cast<double>(k) : static_cast<double>(n);
        if (StoreValue(grid, texts, row, column, kind, x, n) == Stored::Outside) return false;
      }
      continue;
    }
    for (int64_t k = 0; k < repeat; ++k, ++row, ++done) {
      if (!in.Has(std::size_t(size))) return true;
      double value = 0;
      int64_t index = 0;
      switch (kind) {
        case 2: value = in.U16(); break;
        case 3: value = static_cast<int16_t>(in.U16()); break;
        case 4: value = DecodeRk(in.U32()); break;
        case 5: value = in.F64(); break;
        case 6: index = in.U16(); break;
        case 7: index = in.U32(); break;
        case 8: value = in.F64(), in.at += 6; break;
      }
      if (StoreValue(grid, texts, row, column, kind, value, index) == Stored::Outside) return false;
    }
  }
  return true;
}

// Second pass: the chosen sheet's cells into the grid.
bool ReadSheetCells(const std::vector<uint8_t>& bytes, int64_t sheet, const std::vector<std::string>& texts,
                    CellGrid& grid) {
  std::size_t position = 0;
  LotusRecord r;
  bool inSheet = false;
  int64_t column = -1, budget = 0;
  while (NextLotusRecord(bytes, position, r)) {
    if (r.type == 0x0601) {
      if (inSheet) break;
      if (r.length < 14 || LoadU16LE(r.body) != sheet) continue;
      const int64_t c0 = LoadU16LE(r.body + 2), c1 = LoadU16LE(r.body + 4);
      const int64_t r0 = LoadU32LE(r.body + 6), r1 = LoadU32LE(r.body + 10);
      if (c1 < c0 || r1 < r0 || r1 > 0x7FFFFFFE) return false;
      const int64_t cells = (c1 - c0 + 1) * (r1 - r0 + 1);
      if (cells * 8 + 8 > kQuattroProGridLimit) return false;
      InitCellGrid(grid, static_cast<int32_t>(r0), static_cast<int32_t>(c0), static_cast<int32_t>(r1 - r0 + 1),
                   static_cast<int32_t>(c1 - c0 + 1));
      // Runs may revisit cells; more work than this is not a notebook.
      budget = 4 * cells + 1000000;
      inSheet = true;
      continue;
    }
    if (!inSheet) continue;
    if (r.type == 0x0602) break;
    if (r.type == 0x0A01) {
      if (r.length != 10) return false;
      column = LoadU16LE(r.body);
    } else if (r.type == 0x0A02) {
      column = -1;
    } else if (r.type == 0x0C01 && r.length >= 8 && column >= 0) {
      if (!ReadCellBlock(r, column, grid, texts, budget)) return false;
    } else if ((r.type == 0x0C02 || (r.type >= 0x0C72 && r.type <= 0x0C76)) && r.length >= 9) {
      // Column, row, 16-bit length, option byte, the text (and a NUL). Only
      // a record the text fills is a text cell: formula records share the
      // range of types.
      const std::size_t length = LoadU16LE(r.body + 6);
      const bool wide = r.body[8] & 1;
      const std::size_t bytes = wide ? 2 * length : length;
      if (r.length != 9 + bytes && r.length != 9 + bytes + (wide ? 2 : 1)) continue;
      std::size_t at = 9;
      std::string text;
      if (!TakeText(r, at, length, wide, kTextLength, text)) continue;
      if (CurrentOptions()->compressBlanks) text = TrimText(text, kTextLength);
      if (!StoreText(grid, LoadU32LE(r.body + 2), LoadU16LE(r.body), text)) return false;
    }
  }
  return grid.ready;
}

}  // namespace

int16_t ReadQuattroPro(const char* path) {
  std::vector<uint8_t> bytes;
  if (!ReadWholeFile(path, bytes)) return 0;
  const std::string shownPath = State().inputFileName.empty() ? std::string(path) : State().inputFileName;
  SheetSelection sel;
  std::vector<std::string> texts;
  if (!CollectSheets(bytes, sel, texts)) return 0;
  if (!ListAndChoose(sel, shownPath)) return 0;
  CellGrid grid;
  if (!ReadSheetCells(bytes, sel.sheets[sel.selected].ordinal, texts, grid)) return 0;
  return GridToColumns(sel, shownPath.c_str(), grid, kMessageQuattroPro);
}

}  // namespace trovadex
