// The Dataset as a SAS transport (XPORT, version 5) file: the fixed 80-byte
// header cards, one 140-byte NAMESTR per column, then one observation per
// row with numbers as 8-byte IBM floating point and blank-padded texts.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "core/byteorder.h"
#include "core/dataset.h"
#include "core/format.h"
#include "core/ibm_float.h"
#include "writers/writers.h"

namespace trovadex {

namespace {

constexpr std::size_t kCard = 80;
constexpr std::size_t kNamestrLength = 140;
constexpr std::size_t kSasNameLength = 8;
constexpr int64_t kLongestCharacter = 200;
// 1 January 1960 in the internal day count and as a spreadsheet serial.
constexpr double kSasEpochDay = 131428;
constexpr double kSasEpochSerial = 21916;
constexpr double kSecondsPerDay = 86400;
// The observation block is written when it holds this many bytes.
constexpr std::size_t kFlushBytes = std::size_t{1} << 20;

enum class Mode { Text, Label, LevelNumber, LevelValue, Number, Missing };

struct OutVariable {
  Column* column = nullptr;
  Mode mode = Mode::Number;
  int place = 0;          // among the written columns, from 0
  int64_t length = 8;     // bytes in the observation
  int64_t position = 0;
  std::string name;
  const char* format = nullptr;  // date format name, or null
  int formatWidth = 0;
  bool seconds = false;          // date values written as seconds
};

bool IsNameChar(char ch) {
  return (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') || ch == '_';
}
bool IsDigit(char ch) { return ch >= '0' && ch <= '9'; }

std::string Upper(std::string_view s) {
  std::string u(s);
  for (char& ch : u)
    if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 'a' + 'A');
  return u;
}

// Names readers accept as SAS names: letters, digits and "_", not starting
// with a digit, at most 8 characters, unique ignoring case (readers key the
// columns by name). A clash is cut to 8 - n characters and numbered (n
// digits) from 2.
void NameVariables(std::vector<OutVariable>& vars) {
  std::set<std::string> used;
  for (OutVariable& v : vars) {
    std::string name;
    for (char ch : v.column->name) {
      if (ch == '\0') break;
      name += IsNameChar(ch) ? ch : '_';
    }
    if (name.empty() || IsDigit(name[0])) name.insert(name.begin(), '_');
    if (name.size() > kSasNameLength) name.resize(kSasNameLength);
    std::string candidate = name;
    for (long k = 2; used.count(Upper(candidate)); ++k) {
      const std::string digits = std::to_string(k);
      candidate = name.substr(0, kSasNameLength - digits.size()) + digits;
    }
    used.insert(Upper(candidate));
    v.name = candidate;
  }
}

// The member name: the input's base name without its extension; blanks
// become "_" and other characters that SAS names cannot hold "X"; a leading
// digit gets a leading "_"; at most 8 characters.
std::string MemberName(const std::string& source) {
  std::string_view base(source);
  if (std::size_t slash = base.find_last_of("/\\"); slash != std::string_view::npos) base.remove_prefix(slash + 1);
  base = base.substr(0, base.find('.'));
  std::string name;
  for (char ch : base) name += ch == ' ' ? '_' : IsNameChar(ch) ? ch : 'X';
  if (!name.empty() && IsDigit(name[0])) name.insert(name.begin(), '_');
  if (name.empty()) name = "CORVIST";
  if (name.size() > kSasNameLength) name.resize(kSasNameLength);
  return name;
}

// Copies `text` into `field` of `width` bytes, blank-padded and cut.
void PutText(unsigned char* field, std::size_t width, std::string_view text) {
  const std::size_t n = std::min(width, text.size());
  if (n > 0) std::memcpy(field, text.data(), n);
  std::memset(field + n, ' ', width - n);
}

std::string Card(std::string_view text) {
  std::string card(text.substr(0, kCard));
  card.resize(kCard, ' ');
  return card;
}

// "06DEC26:18:27:16" in local time.
std::string TimeStamp() {
  static const char kMonths[][4] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                    "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char stamp[40];
  std::snprintf(stamp, sizeof stamp, "%02d%3.3s%02d:%02d:%02d:%02d", local.tm_mday,
                kMonths[std::clamp(local.tm_mon, 0, 11)], local.tm_year % 100, local.tm_hour, local.tm_min,
                local.tm_sec);
  return std::string(stamp, 16);
}

// ------------------------------------------------------------ cell values

bool RowHasValue(const Dataset* dataset, const OutVariable& v, int64_t row) {
  const Column* c = v.column;
  // Only the values a column holds are read, whatever the Dataset's shape.
  if (row >= c->valueCount || row >= c->numbers.size()) return false;
  if (c->kind == ColumnKind::SymmetricMatrixColumn &&
      !(row > static_cast<int64_t>(v.place) - dataset->unitsColumnCount))
    return false;
  return true;
}

// The level number of a factor row, or 0 when there is none.
int64_t LevelAt(const Dataset* dataset, const OutVariable& v, int64_t row) {
  if (!RowHasValue(dataset, v, row)) return 0;
  const double raw = GetNumber(v.column, row);
  return raw >= 1 && raw < 2147483648.0 ? static_cast<int64_t>(raw) : 0;
}

// A date value moved to days (or seconds) since 1 January 1960; false when
// it has no SAS date.
bool SasDate(const OutVariable& v, double& x, double missing) {
  const Column* c = v.column;
  if (std::strcmp(v.format, "TIME") != 0) {
    if (c->dateBase == 0) {
      SpreadsheetToDayCount(x, missing);
      if (!(x > missing)) return false;
    }
    x -= kSasEpochDay;
  } else if (x > 60) {
    x -= c->dateBase == 0 ? kSasEpochSerial : kSasEpochDay;
  }
  if (v.seconds) x *= kSecondsPerDay;
  return true;
}

void PutNumber(const Dataset* dataset, const OutVariable& v, double x, unsigned char* slot) {
  if (!(x > dataset->missingValue) || (v.format && !SasDate(v, x, dataset->missingValue))) {
    IbmMissing(slot);
    return;
  }
  DoubleToIbm(x, slot);
}

void FillSlot(const Dataset* dataset, const OutVariable& v, int64_t row, unsigned char* slot) {
  const Column* c = v.column;
  const std::size_t length = static_cast<std::size_t>(v.length);
  switch (v.mode) {
    case Mode::Text:
      PutText(slot, length, row < c->valueCount && row < c->texts.size() ? GetText(c, row) : std::string_view());
      return;
    case Mode::Label: {
      const int64_t level = LevelAt(dataset, v, row);
      std::string_view label;
      if (level >= 1 && level <= c->labelCount && level <= c->labels.size()) label = c->labels.Get(level - 1);
      PutText(slot, length, label);
      return;
    }
    case Mode::LevelNumber: {
      const int64_t level = LevelAt(dataset, v, row);
      if (level < 1) break;
      DoubleToIbm(static_cast<double>(level), slot);
      return;
    }
    case Mode::LevelValue: {
      const int64_t level = LevelAt(dataset, v, row);
      if (level < 1 || level > c->levelValueCount || level > c->levelValues.size()) break;
      PutNumber(dataset, v, c->levelValues.Get(level - 1), slot);
      return;
    }
    case Mode::Number:
      if (!RowHasValue(dataset, v, row)) break;
      PutNumber(dataset, v, GetNumber(c, row), slot);
      return;
    case Mode::Missing:
      break;
  }
  IbmMissing(slot);
}

// ------------------------------------------------------------ layout

// Numbers written as they are: every numeric kind but the row index and
// factors (written by their display).
bool IsPlainNumberKind(ColumnKind kind) {
  return IsNumericKind(kind) && kind != ColumnKind::RowIndex && kind != ColumnKind::Factor;
}

// The SAS date format of a date column: DATE for day layouts, DATETIME for
// date-and-time layouts, TIME for time layouts whose values are times of day
// (none lies 60 days or more after 1 January 1960).
void ChooseDateFormat(const Dataset* dataset, OutVariable& v) {
  const Column* c = v.column;
  if (c->valueFormat != 5 || (v.mode != Mode::Number && v.mode != Mode::LevelValue)) return;
  const NumberList& values = v.mode == Mode::LevelValue ? c->levelValues : c->numbers;
  const int64_t count =
      std::min<int64_t>(values.size(), v.mode == Mode::LevelValue ? c->levelValueCount : c->valueCount);
  if (count <= 0) return;
  const int d = c->dateRepresentation;
  if (d < 26 || d == 33) {
    v.format = "DATE";
    v.formatWidth = 9;
    return;
  }
  v.seconds = true;
  v.format = "DATETIME";
  v.formatWidth = 20;
  if (d < 29) return;
  const double epoch = c->dateBase == 0 ? kSasEpochSerial : kSasEpochDay;
  for (int64_t i = 0; i < count; ++i) {
    const double x = values.Get(i);
    if (x > 60 && x > dataset->missingValue && x - epoch >= 60) return;
  }
  v.format = "TIME";
  v.formatWidth = 8;
}

void LayOut(const Dataset* dataset, OutVariable& v) {
  const Column* c = v.column;
  if (v.mode == Mode::Text) {
    std::size_t longest = 1;
    const int64_t n = std::min<int64_t>(c->valueCount, c->texts.size());
    for (int64_t r = 0; r < n && r < dataset->rowCount; ++r) longest = std::max(longest, GetText(c, r).size());
    v.length = std::min<int64_t>(static_cast<int64_t>(longest), kLongestCharacter);
  } else if (v.mode == Mode::Label) {
    std::size_t longest = 1;
    const int64_t n = std::min<int64_t>(c->labelCount, c->labels.size());
    for (int64_t k = 0; k < n; ++k) longest = std::max(longest, c->labels.Get(k).size());
    v.length = std::min<int64_t>(static_cast<int64_t>(longest), kLongestCharacter);
  } else {
    v.length = kIbmBytes;
    ChooseDateFormat(dataset, v);
  }
}

void PutNamestr(const OutVariable& v, int number, unsigned char* n) {
  const Column* c = v.column;
  std::memset(n, 0, kNamestrLength);
  const bool character = v.mode == Mode::Text || v.mode == Mode::Label;
  StoreU16BE(n, character ? 2 : 1);
  StoreU16BE(n + 4, static_cast<uint16_t>(v.length));
  StoreU16BE(n + 6, static_cast<uint16_t>(number));
  PutText(n + 8, 8, v.name);
  PutText(n + 16, 40, c->description);
  PutText(n + 56, 8, v.format ? v.format : "");
  StoreU16BE(n + 64, static_cast<uint16_t>(v.formatWidth));
  if (!character && !v.format && c->decimals >= 0 && v.mode != Mode::LevelNumber)
    StoreU16BE(n + 66, static_cast<uint16_t>(std::min(c->decimals, 99)));
  PutText(n + 72, 8, v.format ? v.format : "");
  StoreU16BE(n + 80, static_cast<uint16_t>(v.formatWidth));
  StoreU32BE(n + 84, static_cast<uint32_t>(v.position));
  std::memset(n + 88, ' ', 52);
}

bool WriteAll(std::FILE* out, const void* data, std::size_t size) {
  return size == 0 || std::fwrite(data, 1, size, out) == size;
}

}  // namespace

int16_t WriteSasTransport(Dataset* dataset, const char* path) {
  if (!dataset || !path || dataset->rowCount <= 0 || dataset->columnCount <= 0) return 0;

  std::vector<OutVariable> vars;
  for (Column* c = dataset->firstColumn; c; c = c->next) {
    if (c->kind == ColumnKind::RowIndex) continue;
    OutVariable v;
    v.column = c;
    v.place = static_cast<int>(vars.size());
    if (IsTextKind(c->kind))
      v.mode = Mode::Text;
    else if (c->kind == ColumnKind::Factor)
      v.mode = c->factorDisplay == 2 ? Mode::Label
               : c->factorDisplay == 1 ? Mode::LevelValue
               : c->factorDisplay == 0 ? Mode::LevelNumber : Mode::Missing;
    else if (IsPlainNumberKind(c->kind))
      v.mode = Mode::Number;
    else
      v.mode = Mode::Missing;
    vars.push_back(v);
  }
  if (vars.empty() || vars.size() > 9999) return 0;
  int64_t obsLength = 0;
  for (OutVariable& v : vars) {
    LayOut(dataset, v);
    v.position = obsLength;
    obsLength += v.length;
  }
  NameVariables(vars);

  std::FILE* out = std::fopen(path, "wb");
  if (!out) {
    std::printf("Write SAS Tranport file - could not open file %.100s\n", path);
    return 0;
  }

  const std::string stamp = TimeStamp();
  const std::string member = MemberName(dataset->sourceFile);
  std::string head;
  head += Card("HEADER RECORD*******LIBRARY HEADER RECORD!!!!!!!000000000000000000000000000000");
  head += Card("SAS     SAS     SASLIB  6.12    WIN_NT                          " + stamp);
  head += Card(stamp);
  head += Card("HEADER RECORD*******MEMBER  HEADER RECORD!!!!!!!000000000000000001600000000140");
  head += Card("HEADER RECORD*******DSCRPTR HEADER RECORD!!!!!!!000000000000000000000000000000");
  std::string paddedMember = member;
  paddedMember.resize(kSasNameLength, ' ');
  head += Card("SAS     " + paddedMember + "SASDATA 6.12    WIN_NT                          " + stamp);
  head += Card(stamp);
  char count[8];
  std::snprintf(count, sizeof count, "%04d", static_cast<int>(vars.size()));
  head += Card(std::string("HEADER RECORD*******NAMESTR HEADER RECORD!!!!!!!000000") + count +
               "00000000000000000000");
  std::string namestrs(vars.size() * kNamestrLength, '\0');
  for (std::size_t i = 0; i < vars.size(); ++i)
    PutNamestr(vars[i], static_cast<int>(i + 1), reinterpret_cast<unsigned char*>(&namestrs[i * kNamestrLength]));
  head += namestrs;
  if (head.size() % kCard) head.append(kCard - head.size() % kCard, ' ');
  head += Card("HEADER RECORD*******OBS     HEADER RECORD!!!!!!!000000000000000000000000000000");
  bool ok = WriteAll(out, head.data(), head.size());

  // Observations go out in blocks of whole observations.
  const std::size_t obs = static_cast<std::size_t>(obsLength);
  const std::size_t perBlock = std::max<std::size_t>(1, kFlushBytes / obs);
  ByteBuffer block;
  LargeResize(block, std::min<std::size_t>(perBlock, static_cast<std::size_t>(dataset->rowCount)) * obs + kCard);
  std::size_t used = 0;
  int64_t written = 0;
  for (int64_t r = 0; ok && r < dataset->rowCount; ++r) {
    unsigned char* record = reinterpret_cast<unsigned char*>(block.data() + used);
    for (const OutVariable& v : vars) FillSlot(dataset, v, r, record + v.position);
    used += obs;
    if (used + obs > block.size() - kCard) {
      ok = WriteAll(out, block.data(), used);
      written += static_cast<int64_t>(used);
      used = 0;
    }
  }
  written += static_cast<int64_t>(used);
  if (const int64_t rest = written % static_cast<int64_t>(kCard); rest != 0) {
    std::memset(block.data() + used, ' ', static_cast<std::size_t>(kCard - rest));
    used += static_cast<std::size_t>(kCard - rest);
  }
  if (ok) ok = WriteAll(out, block.data(), used);
  if (std::fclose(out) != 0) ok = false;
  return ok ? 1 : 0;
}

}  // namespace trovadex
