// Excel 5 writer: the Dataset as one BIFF5 worksheet inside a compound
// document. The whole record stream is built in memory, then handed to the
// compound document writer.
//
// Normal layout: row 0 holds the column names (a factor's name followed by
// "!"), data row i is sheet row i + 1; factor labels or level values and
// column descriptions travel in notes on the name cells.
// Metadata layout ("/l=N" on the output): key/value rows from the Dataset's
// notes, then the rows variable_type, variable_title, units, date and
// variable_name, covered by the named range "column_row"; the data follow,
// starting in column 1.

#include "writers/excel.h"

#include <algorithm>
#include <bit>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/byteorder.h"
#include "core/dataset.h"
#include "core/format.h"
#include "writers/compound_writer.h"
#include "writers/writers.h"

namespace trovadex {

// ---------------------------------------------------------------- RK numbers


namespace {

// The high word of a double whose low 34 bits are all zero, else false.
bool HighWordOnly(double value, uint32_t* word) {
  const uint64_t bits = std::bit_cast<uint64_t>(value);
  if ((bits & 0xFFFFFFFFu) != 0 || (bits & (uint64_t{3} << 32)) != 0) return false;
  *word = static_cast<uint32_t>(bits >> 32);
  return true;
}

// A whole number in 0 .. 2^29 - 1 (the positive 30-bit RK integers).
bool SmallWholeNumber(double value, uint32_t* number) {
  if (!(value >= 0 && value < 536870912.0)) return false;
  const uint32_t i = static_cast<uint32_t>(value);
  if (static_cast<double>(i) != value) return false;
  *number = i;
  return true;
}

bool SameDouble(double a, double b) {
  return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b);
}

}  // namespace

bool EncodeRk(double value, uint32_t* rk) {
  uint32_t candidate;
  // Each form is used only when it reads back as exactly the same number.
  if (HighWordOnly(value, &candidate) && SameDouble(DecodeRk(candidate), value)) {
    *rk = candidate;
    return true;
  }
  if (SmallWholeNumber(value, &candidate) && SameDouble(DecodeRk(candidate * 4 + 2), value)) {
    *rk = candidate * 4 + 2;
    return true;
  }
  const double hundredfold = value * 100;
  if (HighWordOnly(hundredfold, &candidate) && SameDouble(DecodeRk(candidate + 1), value)) {
    *rk = candidate + 1;
    return true;
  }
  if (SmallWholeNumber(hundredfold, &candidate) && SameDouble(DecodeRk(candidate * 4 + 3), value)) {
    *rk = candidate * 4 + 3;
    return true;
  }
  return false;
}

namespace {

// ---------------------------------------------------------------- stream buffer

constexpr std::size_t kStreamStep = 65536;
constexpr std::size_t kStreamLimit = 70963200;
constexpr std::size_t kLargestAppend = 4096;
constexpr long kMostDataRows = 16383;
constexpr int kMostSheetColumns = 256;
constexpr std::size_t kLongestLabel = 255;
constexpr std::size_t kLongestNote = 2048;

struct StreamBuffer {
  std::vector<uint8_t> bytes;
  std::size_t pos = 0;
  bool failed = false;
};

// Copies `length` bytes from `source`, or writes zeros when it is null.
bool AppendBytes(StreamBuffer& s, const void* source, std::size_t length) {
  if (s.failed) return false;
  if (length > kLargestAppend) {
    s.failed = true;
    return false;
  }
  if (s.pos + length > s.bytes.size()) {
    std::size_t size = s.bytes.size();
    while (s.pos + length > size) size += kStreamStep;
    if (size > kStreamLimit) {
      std::printf("Error: Data space required exceeds Excel capabilities!\n");
      s.failed = true;
      return false;
    }
    LargeResize(s.bytes, size);  // new bytes are zero
  }
  if (source != nullptr)
    std::memcpy(&s.bytes[s.pos], source, length);
  else
    std::memset(&s.bytes[s.pos], 0, length);
  s.pos += length;
  return true;
}

// One record's bytes, built before they go into the stream.
struct Record {
  uint8_t bytes[4 + kLargestAppend];
  std::size_t length = 4;
  bool overflow = false;

  explicit Record(uint16_t code) { StoreU16LE(bytes, code); }
  bool Room(std::size_t n) {
    if (length + n > sizeof bytes) overflow = true;
    return !overflow;
  }
  Record& U8(unsigned v) {
    if (Room(1)) bytes[length++] = static_cast<uint8_t>(v);
    return *this;
  }
  Record& U16(unsigned v) {
    if (Room(2)) StoreU16LE(bytes + length, static_cast<uint16_t>(v)), length += 2;
    return *this;
  }
  Record& U32(uint32_t v) {
    if (Room(4)) StoreU32LE(bytes + length, v), length += 4;
    return *this;
  }
  Record& F64(double v) {
    if (Room(8)) StoreF64LE(bytes + length, v), length += 8;
    return *this;
  }
  Record& Bytes(const void* data, std::size_t n) {
    if (Room(n)) std::memcpy(bytes + length, data, n), length += n;
    return *this;
  }
  Record& Text(std::string_view text) { return Bytes(text.data(), text.size()); }
  Record& Zeros(std::size_t n) {
    if (Room(n)) std::memset(bytes + length, 0, n), length += n;
    return *this;
  }
  // Length byte and text.
  Record& ShortText(std::string_view text) {
    text = text.substr(0, 255);
    return U8(static_cast<unsigned>(text.size())).Text(text);
  }
};

bool Emit(StreamBuffer& s, Record& record) {
  if (record.overflow) {
    s.failed = true;
    return false;
  }
  StoreU16LE(record.bytes + 2, static_cast<uint16_t>(record.length - 4));
  return AppendBytes(s, record.bytes, record.length);
}

bool EmitU16(StreamBuffer& s, uint16_t code, unsigned value) {
  Record r(code);
  r.U16(value);
  return Emit(s, r);
}

bool EmitEmpty(StreamBuffer& s, uint16_t code) {
  Record r(code);
  return Emit(s, r);
}

// ---------------------------------------------------------------- columns and cells

struct OutColumn {
  Column* column = nullptr;
  int sheetColumn = 0;
  uint16_t xf = 0;
  int64_t valueLimit = 0;     // values available in the main list
  int64_t triangleIndex = -1; // symmetric matrix: rows before this are not written
};

enum class CellType { None, Number, Text };

struct Cell {
  CellType type = CellType::None;
  double number = 0;
  std::string_view text;
};

struct PendingRk {
  int firstColumn = -1;
  int lastColumn = -1;
  std::vector<std::pair<uint16_t, uint32_t>> entries;  // XF, RK
};

struct Writer {
  Dataset* dataset = nullptr;
  StreamBuffer s;
  std::vector<OutColumn> columns;
  bool metadata = false;
  int firstDataColumn = 0;
  int lastDataColumn = 0;
  int writtenColumns = 0;
  PendingRk pending;
  uint16_t row = 0;
};

bool FlushRk(Writer& w) {
  PendingRk& p = w.pending;
  if (p.entries.empty()) return !w.s.failed;
  bool ok;
  if (p.entries.size() == 1) {
    Record r(0x027E);
    r.U16(w.row).U16(p.firstColumn).U16(p.entries[0].first).U32(p.entries[0].second);
    ok = Emit(w.s, r);
  } else {
    Record r(0x00BD);
    r.U16(w.row).U16(p.firstColumn);
    for (const auto& [xf, rk] : p.entries) r.U16(xf).U32(rk);
    r.U16(p.lastColumn);
    ok = Emit(w.s, r);
  }
  p.entries.clear();
  p.firstColumn = p.lastColumn = -1;
  return ok;
}

bool WriteLabel(Writer& w, int column, std::string_view text) {
  if (!FlushRk(w)) return false;
  text = text.substr(0, kLongestLabel);
  if (text.empty()) {
    Record r(0x0201);
    r.U16(w.row).U16(column).U16(0);
    return Emit(w.s, r);
  }
  Record r(0x0204);
  r.U16(w.row).U16(column).U16(0).U16(static_cast<unsigned>(text.size())).Text(text);
  return Emit(w.s, r);
}

bool WriteBlank(Writer& w, int column) {
  if (!FlushRk(w)) return false;
  Record r(0x0201);
  r.U16(w.row).U16(column).U16(0);
  return Emit(w.s, r);
}

bool WriteNumber(Writer& w, int column, uint16_t xf, double value) {
  uint32_t rk;
  if (EncodeRk(value, &rk)) {
    PendingRk& p = w.pending;
    // A MULRK holds adjacent cells only.
    if (!p.entries.empty() && (column != p.lastColumn + 1 || p.entries.size() >= 256))
      if (!FlushRk(w)) return false;
    if (p.entries.empty()) p.firstColumn = column;
    p.lastColumn = column;
    p.entries.emplace_back(xf, rk);
    return true;
  }
  if (!FlushRk(w)) return false;
  Record r(0x0203);
  r.U16(w.row).U16(column).U16(xf).F64(value);
  return Emit(w.s, r);
}

// The cell of data row `i` of a column.
Cell DataCell(const Writer& w, const OutColumn& out, int64_t i) {
  Cell cell;
  Column* c = out.column;
  if (i >= out.valueLimit || i < out.triangleIndex) return cell;
  const Dataset* d = w.dataset;
  if (IsTextKind(c->kind)) {
    cell.text = GetText(c, i);
    if (!cell.text.empty()) cell.type = CellType::Text;
    return cell;
  }
  const double x = GetNumber(c, i);
  if (IsMissing(d, x)) return cell;
  if (c->kind == ColumnKind::Factor) {
    // Only a whole level number 1..levelCount names a level.
    if (!(x >= 1 && x <= c->levelCount) || x != std::floor(x)) return cell;
    const int64_t level = static_cast<int64_t>(x);
    if (c->factorDisplay == 1) {
      if (level > c->levelValueCount || level > c->levelValues.size()) return cell;
      const double v = c->levelValues.Get(level - 1);
      if (IsMissing(d, v)) return cell;
      cell.type = CellType::Number;
      cell.number = std::min(v, kNumberCap);
      return cell;
    }
    if (c->factorDisplay == 2) {
      if (level > c->labelCount || level > c->labels.size()) return cell;
      cell.text = c->labels.Get(level - 1).substr(0, kLabelLength);
      if (!cell.text.empty()) cell.type = CellType::Text;
      return cell;
    }
    cell.type = CellType::Number;
    cell.number = static_cast<double>(level);
    return cell;
  }
  cell.type = CellType::Number;
  cell.number = std::min(x, kNumberCap);
  return cell;
}

bool WriteDataRow(Writer& w, int64_t i) {
  for (const OutColumn& out : w.columns) {
    const Cell cell = DataCell(w, out, i);
    bool ok = true;
    switch (cell.type) {
      case CellType::Number:
        ok = WriteNumber(w, out.sheetColumn, out.xf, cell.number);
        break;
      case CellType::Text:
        ok = WriteLabel(w, out.sheetColumn, cell.text);
        break;
      case CellType::None:
        // Blanks at the row's edges keep its extent.
        if (i < out.valueLimit && i >= out.triangleIndex &&
            (out.sheetColumn == w.firstDataColumn || out.sheetColumn == w.lastDataColumn))
          ok = WriteBlank(w, out.sheetColumn);
        break;
    }
    if (!ok) return false;
  }
  return FlushRk(w);
}

// ---------------------------------------------------------------- metadata rows

struct MetadataKey {
  std::string key;
  std::string value;
};

bool EqualIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

std::vector<MetadataKey> MetadataKeys(const Dataset* d, const char* path) {
  static const char* const kKeys[] = {"study", "study_title", "study_pinvestigator", "site",
                                      "file",  "file_author", "sheet",               "date"};
  static const std::pair<const char*, int> kAliases[] = {
      {"study_name", 0}, {"site_name", 3}, {"file_name", 4}, {"sheet_name", 6}, {"instance_time", 7}};
  std::vector<MetadataKey> keys;
  for (const char* k : kKeys) keys.push_back({k, ""});
  for (const std::string& note : d->notes) {
    const std::size_t colon = note.find(':');
    if (colon == std::string::npos) {
      if (keys[1].value.empty()) keys[1].value = note;
      continue;
    }
    const std::string_view key(note.data(), colon);
    std::string_view value(note);
    value.remove_prefix(colon + 1);
    if (!value.empty() && value.front() == ' ') value.remove_prefix(1);
    bool placed = false;
    for (int k = 0; k < 8 && !placed; ++k) {
      if (EqualIgnoringCase(key, kKeys[k])) {
        keys[k].value = value;
        placed = true;
      }
    }
    for (const auto& [alias, k] : kAliases) {
      if (!placed && EqualIgnoringCase(key, alias)) {
        if (keys[k].value.empty()) keys[k].value = value;
        placed = true;
      }
    }
    if (!placed) keys.push_back({std::string(key), std::string(value)});
  }
  if (keys[4].value.empty()) {
    // The run writes to a temporary name ending ".$$$" and renames it to
    // the ".xls" name afterwards; record the name the file will carry.
    std::string file = path;
    if (file.size() > 4 && file.compare(file.size() - 4, 4, ".$$$") == 0)
      file.replace(file.size() - 4, 4, ".xls");
    keys[4].value = file;
  }
  if (keys[6].value.empty()) keys[6].value = "Ravimar Data";
  return keys;
}

// ---------------------------------------------------------------- notes

std::string FactorNote(const Column* c) {
  std::string text;
  if (c->kind == ColumnKind::Factor) {
    const int64_t labels = std::min<int64_t>(c->labelCount, c->labels.size());
    const int64_t values = std::min<int64_t>(c->levelValueCount, c->levelValues.size());
    if (labels > 0) {
      text = "!T(";
      for (int64_t k = 0; k < labels; ++k) {
        if (k > 0) text += ',';
        const std::string_view label = c->labels.Get(k).substr(0, kLabelLength);
        // A label holding a comma would split; the note list takes quoted items.
        if (label.find(',') != std::string_view::npos) {
          text += '\'';
          text += label;
          text += '\'';
        } else {
          text += label;
        }
        if (text.size() > 959) break;
      }
      text += ')';
    } else if (values > 0) {
      text = "!(";
      for (int64_t k = 0; k < values; ++k) {
        if (k > 0) text += ',';
        // Twelve significant digits, more where the value needs them to come back exact.
        text += FormatShortestG(c->levelValues.Get(k), 12);
        if (text.size() > 959) break;
      }
      text += ')';
    }
    if (text.size() > 959) text.clear();
  }
  if (!c->description.empty() && text.size() < 920) {
    // A reader takes a note's text from its first "!" on as a factor list
    // and the description from the line below it, so a description holding
    // "!" goes below an empty list.
    if (text.empty() && c->description.find('!') != std::string::npos) text = "!";
    if (!text.empty()) text += '\n';
    text += c->description;
  }
  if (text.size() > kLongestNote) text.resize(kLongestNote);
  return text;
}

// ---------------------------------------------------------------- the record sequence

const char* const kFormats[8][2] = {
    {"5", "\"$\"#,##0;\\-\"$\"#,##0"},
    {"6", "\"$\"#,##0;[Red]\\-\"$\"#,##0"},
    {"7", "\"$\"#,##0.00;\\-\"$\"#,##0.00"},
    {"8", "\"$\"#,##0.00;[Red]\\-\"$\"#,##0.00"},
    {"42", "_-\"$\"* #,##0_-;\\-\"$\"* #,##0_-;_-\"$\"* \"-\"_-;_-@_-"},
    {"41", "_-* #,##0_-;\\-* #,##0_-;_-* \"-\"_-;_-@_-"},
    {"44", "_-\"$\"* #,##0.00_-;\\-\"$\"* #,##0.00_-;_-\"$\"* \"-\"??_-;_-@_-"},
    {"43", "_-* #,##0.00_-;\\-* #,##0.00_-;_-* \"-\"??_-;_-@_-"},
};

bool EmitXf(StreamBuffer& s, unsigned font, unsigned format, unsigned type, unsigned align) {
  Record r(0x00E0);
  r.U16(font).U16(format).U16(type).U16(align).U16(0x20C0).Zeros(6);
  return Emit(s, r);
}

bool WriteGlobals(Writer& w, const std::vector<int>& decimalsList, int classColumns, int metaRows) {
  StreamBuffer& s = w.s;
  {
    Record r(0x0809);
    r.U16(0x0500).U16(0x0005).U16(0x0D64).U16(0x07CA);
    Emit(s, r);
  }
  EmitEmpty(s, 0x00E1);
  EmitU16(s, 0x00C1, 0);
  EmitEmpty(s, 0x00BF);
  EmitEmpty(s, 0x00C0);
  EmitEmpty(s, 0x00E2);
  {
    Record r(0x005C);
    r.U8(7).Text("Corvist");
    r.Bytes(std::string(31 - 7, ' ').data(), 31 - 7);
    Emit(s, r);
  }
  EmitU16(s, 0x0042, 1252);
  EmitU16(s, 0x009C, 14);
  if (w.metadata) {
    EmitU16(s, 0x0016, 1);
    {
      Record r(0x0017);
      const std::string_view sheet = "Ravimar Data";
      r.U8(static_cast<unsigned>(sheet.size() + 1)).U8(0x03).Text(sheet);
      Emit(s, r);
    }
    {
      Record r(0x0018);
      r.U16(0).U8(0).U8(10).U16(21).Zeros(8).Text("column_row");
      r.U8(0x3B).U16(0xFFFF).Zeros(6).U8(0x01).U8(0x00).U16(0).U16(0);
      r.U16(metaRows).U16(metaRows + 4).U8(1).U8(classColumns);
      Emit(s, r);
    }
  }
  EmitU16(s, 0x0019, 0);
  EmitU16(s, 0x0012, 0);
  EmitU16(s, 0x0013, 0);
  {
    Record r(0x003D);
    const uint8_t window1[18] = {0x80, 0x01, 0x24, 0x00, 0x74, 0x28, 0x10, 0x17, 0x38,
                                 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x58, 0x02};
    r.Bytes(window1, sizeof window1);
    Emit(s, r);
  }
  EmitU16(s, 0x0040, 0);
  EmitU16(s, 0x008D, 0);
  EmitU16(s, 0x0022, 0);
  EmitU16(s, 0x000E, 1);
  EmitU16(s, 0x00DA, 0);
  const unsigned fontStyle[5][2] = {{0, 400}, {1, 700}, {2, 400}, {3, 700}, {0, 400}};
  for (const auto& [options, weight] : fontStyle) {
    Record r(0x0031);
    r.U16(200).U16(options).U16(0x7FFF).U16(weight).Zeros(6).ShortText("Arial");
    Emit(s, r);
  }
  for (const auto& format : kFormats) {
    Record r(0x041E);
    r.U16(static_cast<unsigned>(std::atoi(format[0]))).ShortText(format[1]);
    Emit(s, r);
  }
  // Custom formats for decimals counts other than 0 and 2.
  std::vector<unsigned> formatOf(decimalsList.size());
  unsigned nextFormat = 164;
  for (std::size_t k = 0; k < decimalsList.size(); ++k) {
    const int d = decimalsList[k];
    if (d == 0) {
      formatOf[k] = 1;
    } else if (d == 2) {
      formatOf[k] = 2;
    } else {
      formatOf[k] = nextFormat++;
      Record r(0x041E);
      r.U16(formatOf[k]).ShortText(std::string_view("0.000000000000000000000", 2 + std::min(d, 20)));
      Emit(s, r);
    }
  }
  EmitXf(s, 0, 0, 0xFFF5, 0x0020);
  for (int k = 1; k <= 2; ++k) EmitXf(s, 1, 0, 0xFFF5, 0xF420);
  for (int k = 3; k <= 4; ++k) EmitXf(s, 2, 0, 0xFFF5, 0xF420);
  for (int k = 5; k <= 14; ++k) EmitXf(s, 0, 0, 0xFFF5, 0xF420);
  EmitXf(s, 0, 0, 0x0001, 0x0020);
  for (unsigned format : {43u, 41u, 44u, 42u, 9u}) EmitXf(s, 5, format, 0xFFF5, 0xF820);
  for (unsigned format : formatOf) EmitXf(s, 0, format, 0x0001, 0x0420);
  const unsigned styles[6][2] = {{16, 3}, {17, 6}, {18, 4}, {19, 7}, {0, 0}, {20, 5}};
  for (const auto& [xf, style] : styles) {
    Record r(0x0293);
    r.U16(xf | 0x8000).U8(style).U8(0xFF);
    Emit(s, r);
  }
  {
    const std::string_view name = w.metadata ? "Ravimar Data" : "Corvist Data";
    Record r(0x0085);
    // The worksheet starts after this record and the end-of-file record.
    const std::size_t recordLength = 4 + 4 + 2 + 1 + name.size();
    r.U32(static_cast<uint32_t>(s.pos + recordLength + 4)).U8(0).U8(0).ShortText(name);
    Emit(s, r);
  }
  EmitEmpty(s, 0x000A);
  return !s.failed;
}

bool WriteSheetSettings(StreamBuffer& s, std::size_t* defaultWidthPos) {
  EmitU16(s, 0x000C, 100);
  EmitU16(s, 0x000D, 1);
  EmitU16(s, 0x000F, 1);
  EmitU16(s, 0x0011, 0);
  {
    Record r(0x0010);
    r.F64(0.001);
    Emit(s, r);
  }
  EmitU16(s, 0x005F, 1);
  EmitU16(s, 0x002A, 0);
  EmitU16(s, 0x002B, 1);
  EmitU16(s, 0x0082, 0);
  {
    Record r(0x0080);
    r.Zeros(8);
    Emit(s, r);
  }
  {
    Record r(0x0225);
    r.U16(0).U16(264);
    Emit(s, r);
  }
  {
    Record r(0x008C);
    r.U16(1).U16(64);
    Emit(s, r);
  }
  EmitU16(s, 0x0081, 0x04C1);
  {
    Record r(0x0014);
    r.ShortText("&A");
    Emit(s, r);
  }
  {
    Record r(0x0015);
    r.ShortText("Page &P");
    Emit(s, r);
  }
  EmitU16(s, 0x0083, 0);
  EmitU16(s, 0x0084, 0);
  {
    Record r(0x00A1);
    r.U16(0).U16(64).U16(1).U16(1).U16(1).U16(4);
    r.U8(0x60).U8(0xEC).U8(0x12).U8(0x00);
    r.F64(0.5).F64(0.5).U16(0xFFFF);
    Emit(s, r);
  }
  *defaultWidthPos = s.pos;
  EmitU16(s, 0x0055, 8);
  return !s.failed;
}

uint16_t ColumnWidth(int32_t width) {
  return static_cast<uint16_t>((std::clamp(width, 0, 254) + 1) * 256);
}

int16_t WriteSheet(Writer& w, const char* path, std::FILE* file) {
  Dataset* d = w.dataset;
  StreamBuffer& s = w.s;

  // Metadata layout: row-label columns and factors first, on a private list.
  std::vector<Column*> order;
  for (Column* c = d->firstColumn; c; c = c->next)
    if (c->kind != ColumnKind::RowIndex) order.push_back(c);
  int classColumns = 1;
  std::vector<MetadataKey> keys;
  if (w.metadata) {
    std::stable_partition(order.begin(), order.end(), [](const Column* c) {
      return static_cast<int32_t>(c->kind) < 0 || c->kind == ColumnKind::Factor;
    });
    long count = 0;
    for (const Column* c : order)
      if (static_cast<int32_t>(c->kind) < 0 || c->kind == ColumnKind::Factor) ++count;
    count = std::min(count, State().metadataLayoutValue);
    classColumns = static_cast<int>(std::max(count, 1L));
    keys = MetadataKeys(d, path);
  }
  const int metaRows = static_cast<int>(keys.size());
  const int headerRows = w.metadata ? metaRows + 5 : 1;
  const int firstColumn = w.metadata ? 1 : 0;
  w.writtenColumns = firstColumn + static_cast<int>(order.size());
  const long totalRows = headerRows + static_cast<long>(d->rowCount);
  if (w.writtenColumns > kMostSheetColumns || totalRows > 65535) return 0;

  // Formats: each distinct decimals count, in order of first appearance.
  std::vector<int> decimalsList;
  int64_t triangle = 0;
  for (std::size_t k = 0; k < order.size(); ++k) {
    Column* c = order[k];
    OutColumn out;
    out.column = c;
    out.sheetColumn = firstColumn + static_cast<int>(k);
    if (c->decimals >= 0) {
      auto it = std::find(decimalsList.begin(), decimalsList.end(), c->decimals);
      if (it == decimalsList.end()) it = decimalsList.insert(decimalsList.end(), c->decimals);
      out.xf = static_cast<uint16_t>(21 + (it - decimalsList.begin()));
    }
    const int64_t stored = IsTextKind(c->kind) ? c->texts.size()
                           : IsNumericKind(c->kind) ? c->numbers.size()
                                                    : 0;
    out.valueLimit = std::min<int64_t>(c->valueCount, stored);
    if (d->shape == DatasetShape::SymmetricMatrix && c->kind == ColumnKind::SymmetricMatrixColumn)
      out.triangleIndex = triangle++;
    w.columns.push_back(out);
  }
  w.firstDataColumn = firstColumn;
  w.lastDataColumn = w.writtenColumns - 1;

  // Workbook globals.
  if (!WriteGlobals(w, decimalsList, classColumns, metaRows)) return 0;

  // Worksheet.
  {
    Record r(0x0809);
    r.U16(0x0500).U16(0x0010).U16(0x0D64).U16(0x07CA);
    Emit(s, r);
  }
  const long blocks = (totalRows - 1) / 32 + 1;
  const std::size_t indexPos = s.pos;
  const std::size_t indexLength = 20 + 4 * static_cast<std::size_t>((totalRows - 1) / 32);
  AppendBytes(s, nullptr, indexLength);
  std::size_t defaultWidthPos = 0;
  if (!WriteSheetSettings(s, &defaultWidthPos)) return 0;
  if (w.metadata) {
    Record r(0x007D);
    r.U16(0).U16(0).U16(ColumnWidth(20)).U16(0).Zeros(3);
    Emit(s, r);
  }
  for (const OutColumn& out : w.columns) {
    Record r(0x007D);
    r.U16(out.sheetColumn).U16(out.sheetColumn).U16(ColumnWidth(out.column->width)).U16(out.xf);
    r.Zeros(3);
    Emit(s, r);
  }
  {
    Record r(0x0200);
    r.U16(0).U16(static_cast<unsigned>(totalRows)).U16(0).U16(w.writtenColumns).Zeros(2);
    Emit(s, r);
  }
  if (s.failed) return 0;

  // Rows in blocks of 32, each block closed by a DBCELL.
  std::vector<uint32_t> dbcells;
  std::vector<std::size_t> rowStart(32);
  for (long blockStart = 0; blockStart < totalRows; blockStart += 32) {
    const long blockEnd = std::min(blockStart + 32, totalRows);
    const std::size_t firstRowPos = s.pos;
    for (long r = blockStart; r < blockEnd; ++r) {
      Record rec(0x0208);
      rec.U16(static_cast<unsigned>(r)).U16(0).U16(w.writtenColumns).U16(0x8108).Zeros(8);
      Emit(s, rec);
    }
    for (long r = blockStart; r < blockEnd; ++r) {
      rowStart[r - blockStart] = s.pos;
      w.row = static_cast<uint16_t>(r);
      bool ok = true;
      const long dataRow = r - headerRows;
      if (dataRow >= 0) {
        ok = WriteDataRow(w, dataRow);
      } else if (!w.metadata) {
        for (const OutColumn& out : w.columns) {
          std::string name = out.column->name;
          if (out.column->kind == ColumnKind::Factor) name += '!';
          if (!(ok = WriteLabel(w, out.sheetColumn, name))) break;
        }
      } else if (r < metaRows) {
        ok = WriteLabel(w, 0, keys[r].key);
        if (ok && !keys[r].value.empty()) ok = WriteLabel(w, 1, keys[r].value);
      } else {
        const long line = r - metaRows;  // 0 type, 1 title, 2 units, 3 date, 4 names
        static const char* const kLines[5] = {"variable_type", "variable_title", "units", "date",
                                              "variable_name"};
        ok = WriteLabel(w, 0, kLines[line]);
        for (std::size_t k = 0; ok && k < w.columns.size(); ++k) {
          const Column* c = w.columns[k].column;
          std::string_view text;
          if (line == 0) {
            if (static_cast<int32_t>(c->kind) < 0)
              text = "";
            else if (c->kind == ColumnKind::Factor)
              text = static_cast<int>(k) < classColumns ? "factor" : "treatment";
            else
              text = "measurement";
          } else if (line == 1) {
            text = c->description;
          } else if (line == 4) {
            text = c->name;
          }
          if (!text.empty()) ok = WriteLabel(w, w.columns[k].sheetColumn, text);
        }
      }
      if (!ok) return 0;
    }
    const std::size_t dbcellPos = s.pos;
    dbcells.push_back(static_cast<uint32_t>(dbcellPos));
    Record rec(0x00D7);
    rec.U32(static_cast<uint32_t>(dbcellPos - firstRowPos));
    for (long r = blockStart; r < blockEnd; ++r) {
      const std::size_t from =
          r == blockStart ? firstRowPos + 20 : rowStart[r - blockStart - 1];
      rec.U16(static_cast<unsigned>(std::min<std::size_t>(rowStart[r - blockStart] - from, 0xFFFF)));
    }
    if (!Emit(s, rec)) return 0;
  }

  // Notes on the name cells.
  if (!w.metadata) {
    for (const OutColumn& out : w.columns) {
      const std::string text = FactorNote(out.column);
      if (text.empty()) continue;
      Record r(0x001C);
      r.U16(0).U16(out.sheetColumn).U16(static_cast<unsigned>(text.size())).Text(text);
      if (!Emit(s, r)) return 0;
    }
  }

  // Window, frozen panes and selections.
  {
    Record r(0x023E);
    r.U16(0x07BE).U16(0).U16(0).Zeros(4);
    Emit(s, r);
  }
  const unsigned frozenRows = static_cast<unsigned>(headerRows);
  const bool frozenColumn = d->unitsColumnCount != 1;
  {
    Record r(0x0041);
    if (!frozenColumn)
      r.U16(0).U16(frozenRows).U16(frozenRows).U16(0).U16(2);
    else
      r.U16(1).U16(frozenRows).U16(frozenRows).U16(1).U16(0);
    Emit(s, r);
  }
  auto selection = [&](unsigned pane, unsigned row, unsigned column, unsigned firstRow,
                       unsigned lastRow, unsigned firstCol, unsigned lastCol) {
    Record r(0x001D);
    r.U8(pane).U16(row).U16(column).U16(0).U16(1).U16(firstRow).U16(lastRow).U8(firstCol).U8(lastCol);
    Emit(s, r);
  };
  if (frozenColumn) {
    selection(0, frozenRows, 1, frozenRows, frozenRows, 1, 1);
    selection(1, 0, 1, 1, 1, 1, 1);
  }
  selection(3, 0, 0, 0, 0, 0, 0);
  selection(2, frozenRows, 0, frozenRows, frozenRows, 0, 0);

  // Columns of standard width: every column but the written ones.
  {
    uint8_t bits[32];
    std::memset(bits, 0xFF, sizeof bits);
    for (int c = 0; c < w.writtenColumns; ++c) bits[c / 8] &= static_cast<uint8_t>(~(1u << (c % 8)));
    Record r(0x00AB);
    r.U16(32).Bytes(bits, sizeof bits);
    Emit(s, r);
  }

  // The INDEX record in the space kept for it.
  {
    Record r(0x020B);
    r.Zeros(4).U16(0).U16(static_cast<unsigned>(totalRows)).U32(static_cast<uint32_t>(defaultWidthPos));
    for (uint32_t pos : dbcells) r.U32(pos);
    if (r.overflow || r.length != indexLength || static_cast<long>(dbcells.size()) != blocks) return 0;
    StoreU16LE(r.bytes + 2, static_cast<uint16_t>(r.length - 4));
    if (s.failed) return 0;
    std::memcpy(&s.bytes[indexPos], r.bytes, r.length);
  }
  EmitEmpty(s, 0x000A);
  if (s.failed) return 0;

  return WriteCompoundDocument(file, s.bytes.data(), static_cast<uint32_t>(s.pos), "Book") ? 1 : 0;
}

}  // namespace

int16_t WriteExcel(Dataset* dataset, const char* path) {
  if (dataset == nullptr || path == nullptr) return 0;
  if (dataset->rowCount > kMostDataRows) {
    std::printf("Error: Excel 5 worksheets hold at most 16,383 rows of data (%li rows)!\n",
                static_cast<long>(dataset->rowCount));
    return 0;
  }
  bool anyColumn = false;
  for (Column* c = dataset->firstColumn; c && !anyColumn; c = c->next)
    anyColumn = c->kind != ColumnKind::RowIndex;
  if (dataset->rowCount < 1 || !anyColumn) return 0;

  const int16_t savedLock = dataset->locked;
  dataset->locked = 1;
  int16_t result = 0;
  std::FILE* file = std::fopen(path, "wb");
  if (file == nullptr) {
    std::printf("Error: In Write XLS File - could not open file %.100s\n", path);
  } else {
    Writer w;
    w.dataset = dataset;
    w.metadata = State().metadataLayoutOutput;
    LargeResize(w.s.bytes, kStreamStep);
    result = WriteSheet(w, path, file);
    if (std::fclose(file) != 0) result = 0;
  }
  dataset->locked = savedLock;
  return result;
}

}  // namespace trovadex
