// Excel reader: plain Excel 2, 3 and 4 worksheets and Excel 5/95 and 97-2000
// workbooks. One pass over the workbook-globals records (sheets, shared
// strings, defined names, external references, protection), the choice of a
// sheet or named range, then one pass over that worksheet's cell records into
// a cell grid, which GridToColumns turns into the Dataset.
#include "readers/excel.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "core/byteorder.h"
#include "core/dataset.h"
#include "core/names.h"
#include "core/progress.h"
#include "readers/compound/compound.h"
#include "readers/readers.h"

namespace trovadex {

namespace {

constexpr uint16_t kBof = 0x0809;
constexpr uint16_t kEof = 0x000A;
constexpr uint16_t kContinue = 0x003C;
constexpr uint16_t kLargestRecord = 8224;
constexpr uint16_t kLargestCode = 32766;
constexpr std::size_t kSupbookLimit = 257;

// One record: code, length and body, read through the container stream.
struct Record {
  uint16_t code = 0;
  uint16_t length = 0;
  std::vector<uint8_t> body;
};

// Reads the next record header and body; false when the header cannot be
// read. A short body sets *error.
bool ReadRecord(Record& record, int16_t* error) {
  uint8_t header[4];
  int16_t headerError = 0;
  if (CfbRead(header, 4, &headerError) != 0) {
    *error = 1;
    return false;
  }
  record.code = LoadU16LE(header);
  record.length = LoadU16LE(header + 2);
  record.body.resize(record.length);
  if (record.length > 0 && CfbRead(record.body.data(), record.length, error) != 0) return false;
  return true;
}

uint16_t U16(const Record& r, std::size_t at) { return at + 2 <= r.body.size() ? LoadU16LE(r.body.data() + at) : 0; }
uint32_t U32(const Record& r, std::size_t at) { return at + 4 <= r.body.size() ? LoadU32LE(r.body.data() + at) : 0; }
uint8_t U8(const Record& r, std::size_t at) { return at < r.body.size() ? r.body[at] : 0; }

// Characters of a string: 8-bit ones as they are; 16-bit ones up to 0xFF as
// that byte, others as "_". At most `limit` characters are kept.
void AppendCharacters(std::string& out, const uint8_t* bytes, std::size_t count, bool wide, std::size_t limit) {
  for (std::size_t i = 0; i < count && out.size() < limit; ++i) {
    if (wide) {
      uint16_t c = LoadU16LE(bytes + 2 * i);
      out.push_back(c <= 0xFF ? static_cast<char>(c) : '_');
    } else {
      out.push_back(static_cast<char>(bytes[i]));
    }
  }
}

// A string of `count` characters at `at` in the record, bounded by the bytes
// present; `wide` for 16-bit characters.
std::string RecordString(const Record& r, std::size_t at, std::size_t count, bool wide, std::size_t limit) {
  std::string out;
  if (at > r.body.size()) return out;
  std::size_t width = wide ? 2 : 1;
  count = std::min(count, (r.body.size() - at) / width);
  AppendCharacters(out, r.body.data() + at, count, wide, limit);
  return out;
}

std::string UpperName(std::string name) {
  if (name.size() > static_cast<std::size_t>(kSheetNameLength)) name.resize(kSheetNameLength);
  if (std::size_t nul = name.find('\0'); nul != std::string::npos) name.resize(nul);
  for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return name;
}

// Reads pieces of a record that may continue into CONTINUE records.
struct ContinuedReader {
  Record current;
  std::size_t pos = 0;
  bool ended = false;  // the next record was not a CONTINUE

  std::size_t Left() const { return current.body.size() - pos; }

  // Moves to the next CONTINUE record; puts any other record back.
  bool NextContinue() {
    if (ended) return false;
    int64_t mark = CfbTell();
    Record next;
    int16_t error = 0;
    if (!ReadRecord(next, &error) || next.code != kContinue) {
      CfbSeek(mark);
      ended = true;
      return false;
    }
    current = std::move(next);
    pos = 0;
    return true;
  }

  // Copies n bytes (null: skips), across records.
  bool Take(uint8_t* dest, std::size_t n) {
    while (n > 0) {
      if (Left() == 0 && !NextContinue()) return false;
      std::size_t k = std::min(n, Left());
      if (dest) {
        std::memcpy(dest, current.body.data() + pos, k);
        dest += k;
      }
      pos += k;
      n -= k;
    }
    return true;
  }

  // Characters of a string; a break inside them starts with an option byte
  // that gives the width of the characters that follow.
  bool Characters(std::string& out, std::size_t count, bool wide, std::size_t limit) {
    while (count > 0) {
      if (Left() == 0) {
        if (!NextContinue()) return false;
        if (Left() == 0) continue;
        wide = (current.body[pos] & 1) != 0;
        ++pos;
        continue;
      }
      std::size_t width = wide ? 2 : 1;
      std::size_t available = Left() / width;
      if (available == 0) return false;  // half a character
      std::size_t k = std::min(count, available);
      AppendCharacters(out, current.body.data() + pos, k, wide, limit);
      pos += k * width;
      count -= k;
    }
    return true;
  }
};

struct ExternSheet {
  int32_t supbook = 0;
  int32_t firstSheet = 0;
};

struct Globals {
  std::vector<std::string> strings;  // shared strings read
  int64_t stringCount = 0;           // shared strings declared
  std::vector<ExternSheet> externSheets;
  std::vector<uint8_t> supbookLocal;
  bool protectedBook = false;
};

enum class PassEnd { Done, NoData };

// Password and file-protection records: a non-zero value protects the book.
bool Protected(const Record& r) {
  if (r.length == 2) return U16(r, 0) != 0;
  if (r.length == 4) return U32(r, 0) != 0;
  return true;
}

void ReadSharedStrings(Record& first, Globals& g) {
  ContinuedReader in;
  in.current = std::move(first);
  uint8_t head[8];
  if (!in.Take(head, 8)) return;
  uint32_t unique = LoadU32LE(head + 4);
  g.stringCount += unique;
  for (uint32_t i = 0; i < unique; ++i) {
    uint8_t h[3];
    if (!in.Take(h, 3)) return;
    uint16_t count = LoadU16LE(h);
    uint8_t option = h[2];
    uint16_t runs = 0;
    uint32_t phonetic = 0;
    if (option & 0x08) {
      uint8_t b[2];
      if (!in.Take(b, 2)) return;
      runs = LoadU16LE(b);
    }
    if (option & 0x04) {
      uint8_t b[4];
      if (!in.Take(b, 4)) return;
      phonetic = LoadU32LE(b);
    }
    std::string text;
    bool ok = in.Characters(text, count, (option & 1) != 0, kKeptTextLength);
    try {
      g.strings.push_back(std::move(text));
    } catch (const std::bad_alloc&) {
      OutOfMemory();
    }
    if (!ok) return;
    if (!in.Take(nullptr, std::size_t{runs} * 4) || !in.Take(nullptr, phonetic)) return;
  }
}

void ReadDefinedName(const Record& r, bool biff8, Globals& g, SheetSelection& sel) {
  uint16_t flags = U16(r, 0);
  if (flags & 0x1FFF) return;
  std::size_t nameLength = U8(r, 3);
  std::size_t formulaLength = U16(r, 4);
  std::size_t at = 14;
  bool wide = false;
  if (biff8) {
    wide = (U8(r, 14) & 1) != 0;
    at = 15;
  }
  std::string name = RecordString(r, at, nameLength, wide, kSheetNameLength);
  std::size_t f = at + nameLength * (wide ? 2 : 1);
  if (f >= r.body.size() || f + formulaLength > r.body.size() || formulaLength == 0) return;
  if (r.body[f] != 0x3B) return;
  RangeEntry range;
  range.name = UpperName(name);
  if (biff8) {
    if (formulaLength < 11) return;
    int16_t ref = static_cast<int16_t>(U16(r, f + 1));
    if (ref < 0 || static_cast<std::size_t>(ref) >= g.externSheets.size()) return;
    const ExternSheet& e = g.externSheets[ref];
    if (e.supbook < 0 || static_cast<std::size_t>(e.supbook) >= g.supbookLocal.size() || !g.supbookLocal[e.supbook])
      return;
    range.sheetOrdinal = e.firstSheet;
    range.rowFirst = U16(r, f + 3);
    range.rowLast = U16(r, f + 5);
    range.colFirst = U8(r, f + 7);
    range.colLast = U8(r, f + 9);
  } else {
    if (formulaLength < 21) return;
    int16_t ext = static_cast<int16_t>(U16(r, f + 1));
    int16_t firstSheet = static_cast<int16_t>(U16(r, f + 11));
    int16_t lastSheet = static_cast<int16_t>(U16(r, f + 13));
    if (ext >= 0 || firstSheet != lastSheet) return;
    range.sheetOrdinal = firstSheet;
    range.rowFirst = U16(r, f + 15) & 0x3FFF;
    range.rowLast = U16(r, f + 17) & 0x3FFF;
    range.colFirst = U8(r, f + 19);
    range.colLast = U8(r, f + 20);
  }
  sel.ranges.push_back(std::move(range));
}

// The workbook-globals records of Excel 5 and later. Returns false when the
// workbook is protected (no data, no message).
bool GlobalsPass(bool biff8, Globals& g, SheetSelection& sel) {
  int16_t error = 0;
  Record r;
  int32_t ordinal = 0;
  bool first = true;
  for (;;) {
    if (error) FatalExit(14, "Error reading Excel Global header!\n");
    if (!ReadRecord(r, &error)) {
      error = 1;
      continue;
    }
    if (first) {
      first = false;
      if (r.code != kBof) {
        char message[96];
        std::snprintf(message, sizeof message, "Error: Invalid Excel record code %li:1 %li!\n", 1L, static_cast<long>(r.code));
        FatalExit(11, message);
      }
    }
    if (!biff8 && r.length > kLargestRecord) FatalExit(12, "Error: Invalid Excel record length!\n");
    if (r.code > kLargestCode) FatalExit(14, "Error: Invalid Excel record code!\n");
    switch (r.code) {
      case kEof:
        if (error) FatalExit(14, "Error reading Excel Global header!\n");
        return true;
      case 0x0013:
      case 0x002F:
        if (Protected(r)) return false;
        break;
      case 0x0085: {
        uint32_t offset = U32(r, 0);
        uint8_t type = U8(r, 5);
        std::size_t length = U8(r, 6);
        std::size_t at = 7;
        bool wide = false;
        if (biff8) {
          wide = (U8(r, 7) & 1) != 0;
          at = 8;
        }
        std::string name = RecordString(r, at, length, wide, kSheetNameLength);
        int32_t thisOrdinal = ordinal++;
        if (name.empty() || type != 0) break;
        SheetEntry sheet;
        sheet.name = UpperName(name);
        sheet.streamOffset = static_cast<int32_t>(offset);
        sheet.ordinal = thisOrdinal;
        sel.sheets.push_back(std::move(sheet));
        break;
      }
      case 0x0017:
        if (biff8) {
          int32_t count = static_cast<int16_t>(U16(r, 0));
          int64_t present = r.body.size() >= 2 ? static_cast<int64_t>((r.body.size() - 2) / 6) : 0;
          count = static_cast<int32_t>(std::clamp<int64_t>(count, 0, present));
          g.externSheets.clear();
          for (int32_t i = 0; i < count; ++i)
            g.externSheets.push_back({static_cast<int16_t>(U16(r, 2 + 6 * i)), static_cast<int16_t>(U16(r, 4 + 6 * i))});
        }
        break;
      case 0x01AE:
        if (!biff8) {
          error = 1;
        } else if (g.supbookLocal.size() < kSupbookLimit) {
          uint8_t b = U8(r, 2);
          g.supbookLocal.push_back(b == 0 || b == 2 || (b == 1 && r.length == 4));
        }
        break;
      case 0x00FC:
        if (biff8) ReadSharedStrings(r, g);
        break;
      case 0x0018:
      case 0x0218:
        ReadDefinedName(r, biff8, g, sel);
        break;
      default:
        break;
    }
  }
}

// The cells of a worksheet, gathered before the grid is made: the grid then
// spans the declared first row and column to the last cell actually stored,
// so a dimensions record that claims the whole sheet costs nothing.
struct CellCollector {
  struct Pending {
    int32_t row;
    int32_t column;
    uint32_t index;
    CellKind kind;
  };
  bool ready = false;
  int64_t rowFirst = 0, rowEnd = 0, colFirst = 0, colEnd = 0;  // declared rectangle
  int64_t highRow = -1, highColumn = -1;
  std::vector<Pending> cells;
  std::vector<double> numbers;
  std::vector<std::string> texts;

  bool Inside(int64_t row, int64_t column) const {
    return ready && row >= rowFirst && row < rowEnd && column >= colFirst && column < colEnd;
  }
  void Add(int64_t row, int64_t column, CellKind kind, uint32_t index) {
    try {
      cells.push_back({static_cast<int32_t>(row), static_cast<int32_t>(column), index, kind});
    } catch (const std::bad_alloc&) {
      OutOfMemory();
    }
    if (row > highRow || column > highColumn) {
      highRow = std::max(highRow, row);
      highColumn = std::max(highColumn, column);
      if (GridBytes((highRow - rowFirst + 1) * (highColumn - colFirst + 1)) > kGridByteLimit)
        FatalExit(9, "Error: Too much data in Excel file for Trovadex to handle!\n");
    }
  }
  void Number(int64_t row, int64_t column, double value) {
    if (std::isnan(value) || std::isinf(value) || !(value > kMissingValue) || !Inside(row, column)) return;
    try {
      numbers.push_back(value);
    } catch (const std::bad_alloc&) {
      OutOfMemory();
    }
    Add(row, column, CellKind::Number, static_cast<uint32_t>(numbers.size() - 1));
  }
  // Texts: blanks compressed when asked, kept long enough for the column
  // store to see and count a cut; empty ones store nothing.
  void Text(int64_t row, int64_t column, std::string text) {
    if (text.empty() || !Inside(row, column)) return;
    if (CurrentOptions()->compressBlanks) text = TrimText(text, kKeptTextLength);
    if (text.size() > kKeptTextLength) text.resize(kKeptTextLength);
    if (text.empty()) return;
    try {
      texts.push_back(std::move(text));
    } catch (const std::bad_alloc&) {
      OutOfMemory();
    }
    Add(row, column, CellKind::Text, static_cast<uint32_t>(texts.size() - 1));
  }
  // Fills the grid; later cells of the same position replace earlier ones.
  void Build(CellGrid& grid) {
    std::vector<CellNote> notes = std::move(grid.notes);
    int32_t rows = highRow >= rowFirst ? static_cast<int32_t>(highRow - rowFirst + 1) : 1;
    int32_t columns = highColumn >= colFirst ? static_cast<int32_t>(highColumn - colFirst + 1) : 1;
    InitCellGrid(grid, static_cast<int32_t>(rowFirst), static_cast<int32_t>(colFirst), rows, columns);
    for (const Pending& p : cells) {
      if (p.kind == CellKind::Number)
        StoreNumber(grid, p.row, p.column, numbers[p.index]);
      else
        StoreText(grid, p.row, p.column, texts[p.index]);
    }
    grid.notes = std::move(notes);
  }
};

struct NoteText {
  std::string text;
  int32_t objectId = -1;
};

// The records of one worksheet. Returns NoData when the first record is not
// a beginning-of-file record or the sheet is protected.
PassEnd SheetPass(ExcelCells& cells, const Globals& g, bool plain, bool biff2, bool biff8) {
  CellGrid& grid = cells.grid;
  Record r;
  int16_t error = 0;
  bool first = true;
  int depth = 0;
  bool haveDimensions = false;
  int64_t formulaRow = -1, formulaColumn = -1;
  std::vector<NoteText> texts;
  int32_t lastObjectId = -1;
  const std::size_t xfWidth = biff2 ? 3 : 2;
  const std::size_t extra = biff2 ? 1 : 0;
  CellCollector cells_;

  for (;;) {
    if (!ReadRecord(r, &error)) break;
    ReportProgress(CfbTell(), -1);
    uint16_t code = plain ? (r.code & 0x09FF) : r.code;
    if (first) {
      first = false;
      if (code != kBof && !(plain && code == 0x0009)) return PassEnd::NoData;
      continue;
    }
    if (!biff8 && r.length > kLargestRecord) break;
    if (code > kLargestCode) break;
    if (depth > 0) {  // an embedded substream (chart)
      if (code == kBof || (plain && code == 0x0009)) ++depth;
      if (code == kEof) --depth;
      continue;
    }
    if (code == kBof || (plain && code == 0x0009)) {
      depth = 1;
      continue;
    }
    if (code == kEof) break;

    auto needGrid = [&](std::size_t minimum) { return haveDimensions && r.body.size() >= minimum; };
    bool stop = false;
    switch (code) {
      case 0x0000:
      case 0x0200: {
        if (haveDimensions) break;
        if (r.body.size() < (biff8 ? 12u : 8u)) {
          stop = true;
          break;
        }
        int64_t rowFirst, rowEnd, colFirst, colEnd;
        if (biff8) {
          rowFirst = U32(r, 0);
          rowEnd = U32(r, 4);
          colFirst = U16(r, 8);
          colEnd = U16(r, 10);
        } else {
          rowFirst = U16(r, 0);
          rowEnd = U16(r, 2);
          colFirst = U16(r, 4);
          colEnd = U16(r, 6);
        }
        if (rowFirst >= rowEnd || colFirst >= colEnd) {
          if (rowFirst == rowEnd || colFirst == colEnd) FatalExit(10, "Error: Excel Sheet is empty!\n");
          FatalExit(10, "Error: Invalid Excel file Dimension record!\n");
        }
        cells_.rowFirst = rowFirst;
        cells_.rowEnd = rowEnd;
        cells_.colFirst = colFirst;
        cells_.colEnd = colEnd;
        cells_.ready = true;
        haveDimensions = true;
        break;
      }
      case 0x0002:  // integer (Excel 2)
        if (!needGrid(9)) {
          stop = true;
          break;
        }
        cells_.Number(U16(r, 0), U16(r, 2), U16(r, 7));
        break;
      case 0x0003:
      case 0x0203:
        if (!needGrid(14 + extra)) {
          stop = true;
          break;
        }
        cells_.Number(U16(r, 0), U16(r, 2), LoadF64LE(r.body.data() + 4 + xfWidth));
        break;
      case 0x007E:
      case 0x027E:
        if (!needGrid(10 + extra)) {
          stop = true;
          break;
        }
        cells_.Number(U16(r, 0), U16(r, 2), DecodeRk(U32(r, 4 + xfWidth)));
        break;
      case 0x00BD: {
        if (!needGrid(12)) {
          stop = true;
          break;
        }
        uint16_t row = U16(r, 0), column = U16(r, 2);
        std::size_t pairs = r.body.size() / 6 - 1;
        for (std::size_t i = 0; i < pairs && 4 + 6 * i + 6 <= r.body.size(); ++i)
          cells_.Number(row, int64_t{column} + static_cast<int64_t>(i), DecodeRk(U32(r, 4 + 6 * i + 2)));
        break;
      }
      case 0x0005:
      case 0x0205:
        if (!needGrid(8 + extra)) {
          stop = true;
          break;
        }
        if (U8(r, 5 + xfWidth) == 0) cells_.Number(U16(r, 0), U16(r, 2), U8(r, 4 + xfWidth) ? 1.0 : 0.0);
        break;
      case 0x0006:
      case 0x0406: {
        if (!needGrid(14 + extra)) {
          stop = true;
          break;
        }
        uint16_t row = U16(r, 0), column = U16(r, 2);
        std::size_t at = 4 + xfWidth;
        formulaRow = row;
        formulaColumn = column;
        if (LoadU16LE(r.body.data() + at + 6) != 0xFFFF) {
          cells_.Number(row, column, LoadF64LE(r.body.data() + at));
        } else if (r.body[at] == 1) {
          cells_.Number(row, column, r.body[at + 2] == 1 ? 1.0 : 0.0);
        }
        break;
      }
      case 0x0007:
      case 0x0207: {
        if (code == 0x0007 && !plain) break;
        if (!needGrid(biff2 ? 1 : 2)) {
          stop = true;
          break;
        }
        if (formulaRow < 0) break;  // no formula cell before it
        std::string text;
        if (biff2) {
          text = RecordString(r, 1, U8(r, 0), false, kKeptTextLength);
        } else if (biff8) {
          text = RecordString(r, 3, U16(r, 0), (U8(r, 2) & 1) != 0, kKeptTextLength);
        } else {
          text = RecordString(r, 2, U16(r, 0), false, kKeptTextLength);
        }
        cells_.Text(formulaRow, formulaColumn, std::move(text));
        formulaRow = formulaColumn = -1;
        break;
      }
      case 0x0004:
      case 0x0204: {
        if (!needGrid(8)) {
          stop = true;
          break;
        }
        uint16_t row = U16(r, 0), column = U16(r, 2);
        std::string text;
        if (biff2) {
          std::size_t length = U8(r, 7);
          if (length != r.body.size() - 8) length = r.body.size() - 8;
          text = RecordString(r, 8, length, false, kKeptTextLength);
        } else if (biff8) {
          std::size_t length = U16(r, 6);
          bool wide = (U8(r, 8) & 1) != 0;
          std::size_t room = r.body.size() > 9 ? (r.body.size() - 9) / (wide ? 2 : 1) : 0;
          text = RecordString(r, 9, std::min(length, room), wide, kKeptTextLength);
        } else {
          std::size_t length = U16(r, 6);
          if (length != r.body.size() - 8) length = std::min(length, r.body.size() - 8);
          text = RecordString(r, 8, length, false, kKeptTextLength);
        }
        cells_.Text(row, column, std::move(text));
        break;
      }
      case 0x00D6: {
        if (!needGrid(8)) {
          stop = true;
          break;
        }
        std::size_t length = U16(r, 6);
        std::string text = biff8 ? RecordString(r, 9, length, (U8(r, 8) & 1) != 0, kKeptTextLength)
                                 : RecordString(r, 8, length, false, kKeptTextLength);
        cells_.Text(U16(r, 0), U16(r, 2), std::move(text));
        break;
      }
      case 0x00FD: {
        if (!needGrid(10)) {
          stop = true;
          break;
        }
        uint32_t index = U32(r, 6);
        if (index >= g.stringCount) {
          stop = true;
          break;
        }
        if (index < g.strings.size()) cells_.Text(U16(r, 0), U16(r, 2), g.strings[index]);
        break;
      }
      case 0x005D:  // object: remember its number for the text that follows
        if (biff8 && U16(r, 0) == 0x15 && r.body.size() >= 8) lastObjectId = U16(r, 6);
        break;
      case 0x001C: {
        if (plain) break;
        if (r.body.size() < 6) {
          stop = true;
          break;
        }
        uint16_t row = U16(r, 0), column = U16(r, 2);
        if (biff8) {
          if (r.body.size() < 8) {
            stop = true;
            break;
          }
          int32_t object = U16(r, 6);
          NoteText* found = nullptr;
          for (NoteText& t : texts)
            if (t.objectId == object) found = &t;
          if (!found && object >= 1 && static_cast<std::size_t>(object) <= texts.size()) found = &texts[object - 1];
          if (found && !found->text.empty()) cells.grid.notes.push_back({row, column, found->text});
          break;
        }
        std::size_t length = U16(r, 4);
        if (row == 0xFFFF && column == 0) {  // continuation of the last note
          if (!grid.notes.empty()) grid.notes.back().text += RecordString(r, 6, r.body.size() - 6, false, 8224);
          break;
        }
        if (length == 0) break;
        std::string text = RecordString(r, 6, std::min(length, r.body.size() - 6), false, 8224);
        grid.notes.push_back({row, column, std::move(text)});
        break;
      }
      case 0x01B6: {
        if (!biff8) break;
        if (r.body.size() != 18) {
          stop = true;
          break;
        }
        std::size_t length = U16(r, 10);
        int32_t object = lastObjectId;
        lastObjectId = -1;
        if (length == 0) break;
        Record next;
        if (!ReadRecord(next, &error) || next.code != kContinue || next.body.empty()) {
          stop = true;
          break;
        }
        bool wide = (next.body[0] & 1) != 0;
        NoteText t;
        t.objectId = object;
        t.text = RecordString(next, 1, length, wide, 8224);
        texts.push_back(std::move(t));
        break;
      }
      case 0x0013:
      case 0x002F:
        if (Protected(r)) return PassEnd::NoData;
        break;
      default:
        break;
    }
    if (stop) break;
  }
  if (cells_.ready) cells_.Build(grid);
  return PassEnd::Done;
}

std::string BaseName(const char* path) {
  std::string_view p = path ? path : "";
  if (std::size_t slash = p.find_last_of("/\\"); slash != std::string_view::npos) p = p.substr(slash + 1);
  if (std::size_t dot = p.rfind('.'); dot != std::string_view::npos) p = p.substr(0, dot);
  return std::string(p);
}

}  // namespace


namespace {

ExcelOutcome CollectCells(const char* path, ExcelCells& cells, std::vector<uint8_t>* bytes) {
  int16_t handOff = -1;
  int opened = bytes ? CfbOpenWorkbookBytes(std::move(*bytes), path, &handOff) : CfbOpenWorkbook(path, &handOff);
  if (opened != 0) {
    CfbReset();
    if (handOff >= 0) {
      cells.handOffResult = handOff;
      return ExcelOutcome::HandedOff;
    }
    return ExcelOutcome::NoData;
  }
  CfbState& cfb = Cfb();
  const bool plain = cfb.plainFile, biff2 = cfb.biff2, biff8 = cfb.biff8;
  cells.version = plain ? (biff2 ? 2 : 3) : (biff8 ? 8 : 5);
  SheetSelection& sel = cells.selection;
  sel = SheetSelection{};
  sel.useColumnRow = State().rangeLayoutInput ? 1 : 0;
  Globals g;
  RunState& state = State();

  if (plain) {
    SheetEntry sheet;
    sheet.name = BaseName(path) + (biff2 ? " (Excel 2)" : " (Excel 3/4)");
    if (sheet.name.size() > 63) sheet.name.resize(63);
    sel.sheets.push_back(std::move(sheet));
  } else {
    if (!GlobalsPass(biff8, g, sel)) {
      CfbReset();
      return ExcelOutcome::NoData;
    }
    if (sel.sheets.empty()) FatalExit(15, "Empty Excel spreadsheet - no valid worksheets!\n");
  }

  if (state.listSheets) {
    std::printf("File: %s\nSheets:\n", path);
    for (const SheetEntry& s : sel.sheets) std::printf("%s\n", s.name.c_str());
    std::printf("Named Ranges:\n");
    for (const RangeEntry& r : sel.ranges) std::printf("%s\n", r.name.c_str());
    CfbReset();
    FatalExit(0, nullptr);
  }

  std::string argument = state.rangeLayoutInput ? std::string("R:column_row") : state.sheet;
  SelectByArgument(sel, argument, state.rangeLayoutInput ? state.rangeOccurrence : 1);
  std::string range = state.range.substr(0, 80);
  if (!ResolveSelection(sel, range) || CfbSeek(sel.sheets[sel.selected].streamOffset) != 0) {
    CfbReset();
    return ExcelOutcome::NoData;
  }
  PassEnd end = SheetPass(cells, g, plain, biff2, biff8);
  CfbReset();
  return end == PassEnd::Done ? ExcelOutcome::Cells : ExcelOutcome::NoData;
}

}  // namespace

ExcelOutcome ReadExcelCells(const char* path, ExcelCells& cells) { return CollectCells(path, cells, nullptr); }

ExcelOutcome ReadExcelCellsFromBytes(std::vector<uint8_t> bytes, const char* name, ExcelCells& cells) {
  return CollectCells(name, cells, &bytes);
}

int16_t ConvertExcelCells(ExcelOutcome outcome, ExcelCells& cells, const char* path) {
  switch (outcome) {
    case ExcelOutcome::HandedOff:
      return cells.handOffResult;
    case ExcelOutcome::NoData:
      return 1;
    case ExcelOutcome::Cells:
      break;
  }
  return GridToColumns(cells.selection, path, cells.grid, kMessageExcel);
}

int16_t ReadExcel(const char* path) {
  ExcelCells cells;
  ExcelOutcome outcome = ReadExcelCells(path, cells);
  return ConvertExcelCells(outcome, cells, path);
}

int16_t ReadExcelFromBytes(std::vector<uint8_t> bytes, const char* name) {
  ExcelCells cells;
  ExcelOutcome outcome = ReadExcelCellsFromBytes(std::move(bytes), name, cells);
  return ConvertExcelCells(outcome, cells, name);
}

}  // namespace trovadex
