// The Dataset as a dBase III table without memo file (".dbf"): one field per
// column after "Row", one record per row. Character fields for texts and
// factor labels, numeric fields for everything else; numbers are written so
// that they read back exactly.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "core/byteorder.h"
#include "core/columns.h"
#include "core/dataset.h"
#include "core/progress.h"
#include "readers/dbase_table.h"
#include "writers/writers.h"

namespace trovadex {

namespace {

constexpr int kWidestField = 254;                 // field length, one byte in the descriptor
constexpr int kWidestContent = kWidestField - 1;  // the last byte of a field stays blank
constexpr int kCompactContent = 24;               // room for any shortest number text
constexpr int kRealFieldContent = 19;             // narrower fields without decimals read as integers
constexpr int64_t kMaxRecordLength = 65535;
constexpr int64_t kMaxHeaderLength = 65535;
constexpr std::size_t kBufferSize = 400;

enum class Mode { Text, Label, LevelNumber, LevelValue, Number };

struct OutField {
  Column* column = nullptr;
  Mode mode = Mode::Number;
  int place = 0;        // among the written columns, from 0
  int decimals = 0;     // declared and written
  int contentCap = kWidestContent;
  int width = 1;        // content width W; the field length is W + 1
  std::string name;
};

bool IsNumericMode(Mode m) { return m == Mode::LevelNumber || m == Mode::LevelValue || m == Mode::Number; }

// ------------------------------------------------------------ number texts

// The shortest text that reads back as `x` (fixed or exponent form).
int ShortestText(double x, char* out) {
  auto r = std::to_chars(out, out + kBufferSize - 1, x);
  *r.ptr = 0;
  return static_cast<int>(r.ptr - out);
}

// Decimals the shortest exact form of `x` needs in fixed notation, and the
// length of that fixed text.
void ExactDecimals(double x, int& decimals, int& fixedLength) {
  char buf[kBufferSize];
  auto r = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific);
  std::string_view s(buf, static_cast<std::size_t>(r.ptr - buf));
  std::size_t e = s.find('e');
  std::size_t dot = s.find('.');
  int mantissaDecimals = 0;
  if (dot != std::string_view::npos && dot < e) mantissaDecimals = static_cast<int>(e - dot - 1);
  int exponent = 0;
  std::from_chars(s.data() + e + 1 + (s[e + 1] == '+' ? 1 : 0), s.data() + s.size(), exponent);
  decimals = std::max(0, mantissaDecimals - exponent);
  int integerDigits = std::max(1, exponent + 1);
  fixedLength = (x < 0 ? 1 : 0) + integerDigits + (decimals > 0 ? decimals + 1 : 0);
}

// Fixed notation with `decimals` decimals when it fits `cap` characters and
// reads back as `x`, else the shortest exact form.
int NumberText(double x, int decimals, int cap, char* out) {
  char buf[2 * kBufferSize];  // the longest fixed text: 309 digits, point, 253 decimals
  auto r = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::fixed, decimals);
  if (r.ec == std::errc() && r.ptr - buf <= cap) {
    double back = 0;
    auto b = std::from_chars(buf, r.ptr, back);
    if (b.ec == std::errc() && back == x) {
      int n = static_cast<int>(r.ptr - buf);
      std::memcpy(out, buf, static_cast<std::size_t>(n));
      out[n] = 0;
      return n;
    }
  }
  return ShortestText(x, out);
}

// ------------------------------------------------------------ cell values

bool RowHasValue(const Dataset* dataset, const OutField& f, int64_t row) {
  const Column* c = f.column;
  if (row >= c->valueCount) return false;
  if (c->kind == ColumnKind::SymmetricMatrixColumn &&
      !(row > static_cast<int64_t>(f.place) - dataset->unitsColumnCount))
    return false;
  return true;
}

// The level number of a factor row, or false when it is missing.
bool LevelAt(const Dataset* dataset, const OutField& f, int64_t row, int64_t& level, double& raw) {
  if (!RowHasValue(dataset, f, row)) return false;
  raw = GetNumber(f.column, row);
  if (IsMissing(dataset, raw) || std::isnan(raw)) return false;
  if (raw > kNumberCap) raw = kNumberCap;
  level = raw >= 1 && raw < 2147483648.0 ? static_cast<int64_t>(raw) : 0;
  return true;
}

// The number of a numeric field at `row`; false for a blank field.
bool CellNumber(const Dataset* dataset, const OutField& f, int64_t row, double& x) {
  const Column* c = f.column;
  if (f.mode == Mode::Number) {
    if (!RowHasValue(dataset, f, row)) return false;
    x = GetNumber(c, row);
  } else {
    int64_t level = 0;
    double raw = 0;
    if (!LevelAt(dataset, f, row, level, raw)) return false;
    x = raw;
    if (f.mode == Mode::LevelValue && c->levelValueCount > 0) {
      if (level < 1 || level > c->levelValueCount || level > c->levelValues.size()) return false;
      x = c->levelValues.Get(level - 1);
    }
  }
  if (IsMissing(dataset, x) || std::isnan(x)) return false;
  if (x > kNumberCap) x = kNumberCap;
  return true;
}

// The text of a character field at `row` (empty for a blank field).
std::string_view CellText(const Dataset* dataset, const OutField& f, int64_t row, char* scratch) {
  const Column* c = f.column;
  if (f.mode == Mode::Text) {
    if (!RowHasValue(dataset, f, row)) return {};
    return GetText(c, row);
  }
  int64_t level = 0;
  double raw = 0;
  if (!LevelAt(dataset, f, row, level, raw)) return {};
  if (level >= 1 && level <= c->labelCount && level <= c->labels.size()) return c->labels.Get(level - 1);
  // A level without a label keeps its number.
  int n = ShortestText(raw, scratch);
  return std::string_view(scratch, static_cast<std::size_t>(n));
}

// ------------------------------------------------------------ field layout

void LayOutNumberField(const Dataset* dataset, OutField& f) {
  const Column* c = f.column;
  int base = f.mode == Mode::LevelNumber ? 0 : std::max(0, c->decimals);
  int neededDecimals = 0, largestEstimate = 1;
  int64_t rows = dataset->rowCount;
  double x = 0;
  for (int64_t r = 0; r < rows; ++r) {
    if (!CellNumber(dataset, f, r, x)) continue;
    int d = 0, len = 0;
    ExactDecimals(x, d, len);
    if (len <= f.contentCap) neededDecimals = std::max(neededDecimals, d);
    largestEstimate = std::max(largestEstimate, EstimateDigits(x));
  }
  int decimals = std::max(base, neededDecimals);
  decimals = std::max(0, std::min(decimals, f.contentCap - 2));
  f.decimals = decimals;

  char buf[kBufferSize];
  int longest = 1;
  bool exponentForm = false;
  for (int64_t r = 0; r < rows; ++r) {
    if (!CellNumber(dataset, f, r, x)) continue;
    int n = NumberText(x, decimals, f.contentCap, buf);
    longest = std::max(longest, n);
    if (std::memchr(buf, 'e', static_cast<std::size_t>(n))) exponentForm = true;
  }
  // Readers take a field of fewer than 20 characters without decimals for
  // integers; one that holds exponent forms must be read as real numbers.
  if (exponentForm && decimals == 0) longest = std::max(longest, kRealFieldContent);
  int width;
  if (f.mode == Mode::LevelNumber)
    width = static_cast<int>(std::ceil(std::log10(static_cast<double>(c->levelCount) + 1))) + 1;
  else
    width = largestEstimate + decimals;
  f.width = std::clamp(std::max(width, longest), 1, f.contentCap);
}

void LayOutTextField(const Dataset* dataset, OutField& f) {
  char scratch[kBufferSize];
  std::size_t longest = 1;
  for (int64_t r = 0; r < dataset->rowCount; ++r)
    longest = std::max(longest, CellText(dataset, f, r, scratch).size());
  f.width = static_cast<int>(std::min<std::size_t>(longest, kWidestContent));
  f.decimals = 0;
}

int64_t RecordLength(const std::vector<OutField>& fields) {
  int64_t n = 1;
  for (const OutField& f : fields) n += f.width + 1;
  return n;
}

std::string Upper(std::string_view s) {
  std::string u(s);
  for (char& ch : u)
    if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 'a' + 'A');
  return u;
}

// Field names: at most 10 characters, unique ignoring case (a clash gets a
// numeric suffix within the 10 characters).
void NameFields(std::vector<OutField>& fields) {
  std::set<std::string> used;
  for (OutField& f : fields) {
    std::string name = f.column->name;
    name = name.substr(0, std::min<std::size_t>(name.find('\0'), 10));
    if (name.empty()) name = "FIELD";
    std::string candidate = name;
    for (long k = 2; used.count(Upper(candidate)); ++k) {
      char suffix[24];
      int n = std::snprintf(suffix, sizeof suffix, "_%ld", k);
      candidate = name.substr(0, 10 - static_cast<std::size_t>(n));
      candidate.append(suffix, static_cast<std::size_t>(n));
    }
    used.insert(Upper(candidate));
    f.name = candidate;
  }
}

bool WriteAll(std::FILE* out, const void* data, std::size_t size) {
  return std::fwrite(data, 1, size, out) == size;
}

}  // namespace

int16_t WriteDbase(Dataset* dataset, const char* path) {
  if (!dataset || !path || dataset->rowCount <= 0 || dataset->columnCount <= 0) return 0;

  std::vector<OutField> fields;
  for (Column* c = dataset->firstColumn; c; c = c->next) {
    if (c->kind == ColumnKind::RowIndex) continue;
    OutField f;
    f.column = c;
    f.place = static_cast<int>(fields.size());
    if (IsTextKind(c->kind))
      f.mode = Mode::Text;
    else if (c->kind == ColumnKind::Factor)
      f.mode = c->factorDisplay == 2 ? Mode::Label
               : c->factorDisplay == 1 ? Mode::LevelValue : Mode::LevelNumber;
    else
      f.mode = Mode::Number;
    fields.push_back(f);
  }
  if (fields.empty()) return 0;

  for (OutField& f : fields) {
    if (IsNumericMode(f.mode))
      LayOutNumberField(dataset, f);
    else
      LayOutTextField(dataset, f);
  }
  // Very wide numbers move to their shortest form when the record would
  // outgrow its 16-bit length.
  if (RecordLength(fields) > kMaxRecordLength) {
    for (OutField& f : fields) {
      if (!IsNumericMode(f.mode) || f.width <= kCompactContent) continue;
      f.contentCap = kCompactContent;
      LayOutNumberField(dataset, f);
    }
  }
  const int64_t recordLength = RecordLength(fields);
  const int64_t headerLength = 32 * static_cast<int64_t>(fields.size()) + 33;
  if (recordLength > kMaxRecordLength || headerLength > kMaxHeaderLength) {
    std::printf("Error: Too many or too wide columns for a dBase file.\n");
    return 0;
  }
  NameFields(fields);

  std::FILE* out = std::fopen(path, "wb");
  if (!out) {
    std::printf("Error: %.100s not found\n", path);
    return 0;
  }

  std::vector<unsigned char> head(static_cast<std::size_t>(headerLength), 0);
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  head[0] = 0x03;
  head[1] = static_cast<unsigned char>(local.tm_year & 0xFF);
  head[2] = static_cast<unsigned char>(local.tm_mon + 1);
  head[3] = static_cast<unsigned char>(local.tm_mday);
  StoreU32LE(&head[4], static_cast<uint32_t>(dataset->rowCount));
  StoreU16LE(&head[8], static_cast<uint16_t>(headerLength));
  StoreU16LE(&head[10], static_cast<uint16_t>(recordLength));
  for (std::size_t i = 0; i < fields.size(); ++i) {
    unsigned char* d = &head[32 + 32 * i];
    const OutField& f = fields[i];
    std::memcpy(d, f.name.data(), std::min<std::size_t>(f.name.size(), 10));
    d[11] = IsNumericMode(f.mode) ? 'N' : 'C';
    d[16] = static_cast<unsigned char>(f.width + 1);
    d[17] = static_cast<unsigned char>(f.decimals);
  }
  head[static_cast<std::size_t>(headerLength) - 1] = 0x0D;
  bool ok = WriteAll(out, head.data(), head.size());

  std::vector<char> record;
  LargeResize(record, static_cast<std::size_t>(recordLength));
  char text[kBufferSize];
  for (int64_t r = 0; ok && r < dataset->rowCount; ++r) {
    ReportProgress(r * dataset->columnCount, r);
    std::fill(record.begin(), record.end(), ' ');
    int64_t at = 1;
    for (const OutField& f : fields) {
      const int64_t content = f.width;  // L - 1: the field's last byte stays blank
      if (IsNumericMode(f.mode)) {
        double x = 0;
        if (CellNumber(dataset, f, r, x)) {
          int n = NumberText(x, f.decimals, f.contentCap, text);
          int64_t used = std::min<int64_t>(n, content);
          std::memcpy(&record[at + content - used], text, static_cast<std::size_t>(used));
        }
      } else {
        std::string_view t = CellText(dataset, f, r, text);
        std::size_t used = std::min<std::size_t>(t.size(), static_cast<std::size_t>(content));
        if (used > 0) std::memcpy(&record[at], t.data(), used);
      }
      at += f.width + 1;
    }
    ok = WriteAll(out, record.data(), record.size());
  }
  if (std::fclose(out) != 0) ok = false;
  return ok ? 1 : 0;
}

}  // namespace trovadex
