// Delimited text: tab-separated, or separated by commas, semicolons or bars
// with quoted fields. The whole file is read into one buffer and walked
// twice: a scan pass (separator style, names row, shape, column kinds) and,
// after the columns are made, a fill pass that stores the values.

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/convert.h"
#include "core/dataset.h"
#include "core/names.h"
#include "readers/readers.h"

namespace trovadex {

namespace {

// Character classes of the comma style: separators and quote characters.
enum : unsigned char { kPlain = 0, kSeparator = 1, kQuote = 2 };

struct CharTable {
  unsigned char cls[256] = {};
  constexpr CharTable() {
    cls[static_cast<unsigned char>(',')] = kSeparator;
    cls[static_cast<unsigned char>(';')] = kSeparator;
    cls[static_cast<unsigned char>('|')] = kSeparator;
    cls[static_cast<unsigned char>('"')] = kQuote;
    cls[static_cast<unsigned char>('\'')] = kQuote;
  }
};
constexpr CharTable kCommaClasses;

inline unsigned char CommaClass(char c) { return kCommaClasses.cls[static_cast<unsigned char>(c)]; }

struct TextSettings {
  bool commaStyle = false;
  bool compressBlanks = true;
  NamesRowMode namesMode = NamesRowMode::Automatic;
};

// Kind codes of the scan pass.
constexpr int kUndecided = 99;
constexpr int kNumberKind = 4;
constexpr int kTextKind = 3;

// ---------------------------------------------------------------- the buffer

// Reads the whole file. False when it cannot be opened or read.
bool ReadWholeFile(const char* path, std::vector<char>& buffer) {
  std::FILE* f = std::fopen(path, "rb");
  if (!f) return false;
  buffer.clear();
  bool ok = true;
  int64_t size = -1;
  if (fseeko(f, 0, SEEK_END) == 0) {
    size = static_cast<int64_t>(ftello(f));
    if (fseeko(f, 0, SEEK_SET) != 0) size = -1;
  }
  if (size >= 0) {
    LargeResize(buffer, static_cast<std::size_t>(size));
    std::size_t got = size > 0 ? std::fread(buffer.data(), 1, buffer.size(), f) : 0;
    if (std::ferror(f)) ok = false;
    buffer.resize(got);
  }
  // Not seekable, or the file grew: read on in chunks.
  if (ok && size >= 0) {
    int c = std::fgetc(f);
    if (c == EOF) {
      if (std::ferror(f)) ok = false;
      std::fclose(f);
      return ok;
    }
    buffer.push_back(static_cast<char>(c));
  }
  if (ok) {
    const std::size_t chunk = std::size_t{1} << 20;
    for (;;) {
      std::size_t at = buffer.size();
      LargeResize(buffer, at + chunk);
      std::size_t got = std::fread(buffer.data() + at, 1, chunk, f);
      buffer.resize(at + got);
      if (got < chunk) {
        if (std::ferror(f)) ok = false;
        break;
      }
    }
  }
  std::fclose(f);
  return ok;
}

// Line ends become single line feeds: CR LF loses its CR and a lone CR
// turns into a line feed. Works in place; returns the new length.
std::size_t NormaliseLineEnds(char* text, std::size_t length) {
  char* cr = static_cast<char*>(std::memchr(text, '\r', length));
  if (!cr) return length;
  char* out = cr;
  const char* in = cr;
  const char* end = text + length;
  while (in < end) {
    char c = *in++;
    if (c == '\r') {
      *out++ = '\n';
      if (in < end && *in == '\n') ++in;
    } else {
      *out++ = c;
    }
  }
  return static_cast<std::size_t>(out - text);
}

// Walks the lines of the normalised text. A final line feed ends the last
// line; one empty line at the very end (two final line feeds) is not a line.
struct LineWalker {
  const char* at;
  const char* end;

  LineWalker(const char* text, std::size_t length) : at(text), end(text + length) {
    if (length >= 2 && end[-1] == '\n' && end[-2] == '\n') --end;
  }
  bool Next(std::string_view& line) {
    if (at >= end) return false;
    const char* nl = static_cast<const char*>(std::memchr(at, '\n', static_cast<std::size_t>(end - at)));
    const char* stop = nl ? nl : end;
    line = std::string_view(at, static_cast<std::size_t>(stop - at));
    at = nl ? nl + 1 : end;
    return true;
  }
};

// ---------------------------------------------------------------- fields

// In comma style, the end of a quoted part that opens at `open`: the
// matching quote after it (a doubled quote is text), or null when the line
// holds none.
const char* ClosingQuote(const char* open, const char* end) {
  char q = *open;
  const char* p = open + 1;
  while (p < end) {
    p = static_cast<const char*>(std::memchr(p, q, static_cast<std::size_t>(end - p)));
    if (!p) return nullptr;
    if (p + 1 < end && p[1] == q) {
      p += 2;
      continue;
    }
    return p;
  }
  return nullptr;
}

// The first separator or quote character of the comma style at or after p.
inline const char* FindCommaSpecial(const char* p, const char* end) {
#if defined(__SSE2__)
  const __m128i comma = _mm_set1_epi8(',');
  const __m128i semicolon = _mm_set1_epi8(';');
  const __m128i bar = _mm_set1_epi8('|');
  const __m128i dquote = _mm_set1_epi8('"');
  const __m128i apostrophe = _mm_set1_epi8('\'');
  while (end - p >= 16) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, comma), _mm_cmpeq_epi8(v, semicolon)),
                               _mm_or_si128(_mm_cmpeq_epi8(v, bar),
                                            _mm_or_si128(_mm_cmpeq_epi8(v, dquote), _mm_cmpeq_epi8(v, apostrophe))));
    int mask = _mm_movemask_epi8(hit);
    if (mask) return p + __builtin_ctz(static_cast<unsigned>(mask));
    p += 16;
  }
#endif
  while (p < end && CommaClass(*p) == kPlain) ++p;
  return p;
}

// The end of the field that starts at `p` (a separator position or the line end).
const char* FieldEnd(const char* p, const char* end, bool commaStyle) {
  if (!commaStyle) {
    const char* tab = static_cast<const char*>(std::memchr(p, '\t', static_cast<std::size_t>(end - p)));
    return tab ? tab : end;
  }
  while (p < end) {
    p = FindCommaSpecial(p, end);
    if (p >= end) return end;
    unsigned char cls = CommaClass(*p);
    if (cls == kSeparator) return p;
    // A quote: when it closes on this line, the field runs to the first
    // separator after the closing quote. A quote that never closes (O'Brien)
    // is an ordinary character.
    const char* close = ClosingQuote(p, end);
    if (!close) {
      ++p;
      continue;
    }
    for (p = close + 1; p < end; ++p)
      if (CommaClass(*p) == kSeparator) return p;
    return end;
  }
  return end;
}

inline bool IsFieldBlank(char c, bool commaStyle) { return c == ' ' || (commaStyle && c == '\t'); }

// Steps through the fields of one line.
struct FieldWalker {
  const char* at;
  const char* end;
  bool commaStyle;
  bool more;

  FieldWalker(std::string_view line, bool comma)
      : at(line.data()), end(line.data() + line.size()), commaStyle(comma) {
    while (at < end && *at == ' ') ++at;  // leading spaces of the line
    more = at < end;
  }
  // The next field without its leading blanks.
  bool Next(std::string_view& field) {
    if (!more) return false;
    while (at < end && IsFieldBlank(*at, commaStyle)) ++at;
    const char* stop = FieldEnd(at, end, commaStyle);
    field = std::string_view(at, static_cast<std::size_t>(stop - at));
    if (stop < end) {
      at = stop + 1;
    } else {
      at = end;
      more = false;
    }
    return true;
  }
};

inline std::string_view DropTrailing(std::string_view s, bool tabsToo) {
  while (!s.empty() && (s.back() == ' ' || (tabsToo && s.back() == '\t'))) s.remove_suffix(1);
  return s;
}

// The text of a field: a quoted comma-style field loses its quotes and has
// its doubled quotes collapsed; with compressBlanks the blanks are trimmed.
// The result may point into `scratch`.
std::string_view FieldText(std::string_view field, const TextSettings& settings, std::string& scratch) {
  if (settings.commaStyle && !field.empty() && CommaClass(field[0]) == kQuote) {
    char q = field[0];
    field.remove_prefix(1);
    field = DropTrailing(field, true);
    if (!field.empty() && field.back() == q) field.remove_suffix(1);
    if (field.find(q) != std::string_view::npos) {
      scratch.clear();
      for (std::size_t i = 0; i < field.size(); ++i) {
        char c = field[i];
        scratch.push_back(c);
        if (CommaClass(c) == kQuote && i + 1 < field.size() && field[i + 1] == c) ++i;
      }
      field = scratch;
    }
  }
  if (settings.compressBlanks && !field.empty()) {
    bool needsTrim = field.front() == ' ' || field.back() == ' ' ||
                     field.find("  ") != std::string_view::npos;
    if (needsTrim) {
      std::string trimmed = TrimText(field, kTextLength);
      scratch.swap(trimmed);
      field = scratch;
    }
  }
  if (field.size() > static_cast<std::size_t>(kTextLength)) field = field.substr(0, kTextLength);
  return field;
}

// ---------------------------------------------------------------- numbers

// Length of the decimal number at the start of s, read the way strtod reads
// one (leading white space, sign, digits with one point, exponent) but
// without its "inf", "nan" and hexadecimal forms; 0 when there is none.
std::size_t NumberPrefixLength(std::string_view s) {
  std::size_t i = 0, n = s.size();
  while (i < n && (s[i] == ' ' || s[i] == '\t')) ++i;
  if (i < n && (s[i] == '+' || s[i] == '-')) ++i;
  std::size_t digits = 0;
  while (i < n && static_cast<unsigned>(s[i] - '0') < 10) ++i, ++digits;
  if (i < n && s[i] == '.') {
    ++i;
    while (i < n && static_cast<unsigned>(s[i] - '0') < 10) ++i, ++digits;
  }
  if (digits == 0) return 0;
  if (i < n && (s[i] == 'e' || s[i] == 'E')) {
    std::size_t j = i + 1;
    if (j < n && (s[j] == '+' || s[j] == '-')) ++j;
    if (j < n && static_cast<unsigned>(s[j] - '0') < 10) {
      while (j < n && static_cast<unsigned>(s[j] - '0') < 10) ++j;
      i = j;
    }
  }
  return i;
}

// Scan-pass test: the field reads as a number, alone or followed by a
// single "*", or it is a lone "*" (a missing number).
bool LooksNumeric(std::string_view field) {
  std::size_t len = NumberPrefixLength(field);
  std::string_view rest = field.substr(len);
  return rest.empty() || rest == "*";
}

// The number stored for a field of a number column: empty text, text
// starting with "*" or without a number, and numbers out of range are
// missing; characters after the number are ignored.
double FieldNumber(std::string_view field) {
  const char* p = field.data();
  const char* e = p + field.size();
  while (p < e && (*p == ' ' || *p == '\t')) ++p;
  bool plus = p < e && *p == '+';
  if (plus) ++p;
  // Only decimal digits or a point may start the number (no "inf", "nan").
  const char* first = (!plus && p < e && *p == '-') ? p + 1 : p;
  if (first >= e || !(static_cast<unsigned>(*first - '0') < 10 || *first == '.')) return kMissingValue;
  double value = 0;
  auto [ptr, ec] = std::from_chars(p, e, value, std::chars_format::general);
  if (ec != std::errc() || ptr == p) return kMissingValue;
  if (value > kNumberCap) value = kNumberCap;
  if (!(value > kMissingValue)) value = kMissingValue;
  return value;
}

// ---------------------------------------------------------------- scan pass

struct ScanResult {
  int64_t rows = 0;
  int64_t columns = 0;  // widest line, before the column limit
  bool hasNames = false;
  std::vector<int> kinds;      // per kept position
  std::vector<char> factor;    // per kept position: marked "!"
  const char* firstLine = nullptr;  // start of the text after skipped title lines
};

// Names-row decision from the first line: a field that starts with a sign
// or a digit means data.
bool FirstLineHoldsNames(std::string_view line, bool commaStyle) {
  bool fieldStart = true;
  for (char c : line) {
    if (fieldStart && (c == '+' || c == '-' || static_cast<unsigned>(c - '0') < 10)) return false;
    if (commaStyle) {
      if (CommaClass(c) == kSeparator)
        fieldStart = true;
      else if (c != ' ' && c != '\t')
        fieldStart = false;
    } else {
      fieldStart = (c == '\t' || c == ' ');
    }
  }
  return true;
}

bool ScanText(const char* text, std::size_t length, const TextSettings& settings, int32_t columnLimit,
              ScanResult& result) {
  LineWalker lines(text, length);
  std::string_view line;
  // Tab style: title lines (starting with a double quote) at the very start are skipped.
  if (!settings.commaStyle) {
    while (lines.at < lines.end && *lines.at == '"') lines.Next(line);
  }
  result.firstLine = lines.at;
  if (lines.at >= lines.end) return false;

  std::size_t limit = static_cast<std::size_t>(std::max<int32_t>(columnLimit, 0));
  std::vector<int>& kinds = result.kinds;
  std::vector<char>& factor = result.factor;
  std::string scratch;
  bool first = true;
  while (lines.Next(line)) {
    if (first) {
      switch (settings.namesMode) {
        case NamesRowMode::Present: result.hasNames = true; break;
        case NamesRowMode::Absent: result.hasNames = false; break;
        default: result.hasNames = FirstLineHoldsNames(line, settings.commaStyle); break;
      }
    }
    bool namesLine = first && result.hasNames;
    first = false;
    ++result.rows;

    FieldWalker fields(line, settings.commaStyle);
    std::string_view field;
    int64_t count = 0;
    while (fields.Next(field)) {
      std::size_t position = static_cast<std::size_t>(count++);
      if (position >= limit) continue;  // only the count matters beyond the limit
      if (position >= kinds.size()) {
        kinds.push_back(kUndecided);
        factor.push_back(0);
      }
      if (kinds[position] != kUndecided) continue;
      if (namesLine) {
        std::string_view name = DropTrailing(FieldText(field, settings, scratch), false);
        if (name.empty()) continue;
        char last = name.back();
        if (last == '!') factor[position] = 1;
        if (last == '$') kinds[position] = kTextKind;
        if (last == '#') kinds[position] = kNumberKind;
        continue;
      }
      field = DropTrailing(field, false);
      if (field.empty()) continue;
      if (!LooksNumeric(field)) kinds[position] = kTextKind;
    }
    result.columns = std::max(result.columns, count);
  }
  if (result.hasNames) --result.rows;
  for (std::size_t i = 0; i < kinds.size(); ++i) {
    if (kinds[i] == kUndecided) kinds[i] = kNumberKind;
    if (factor[i]) kinds[i] = -kinds[i];
  }
  return true;
}

// ---------------------------------------------------------------- creation and fill

bool CreateTextDataset(const ScanResult& scan, std::vector<Column*>& columns) {
  Dataset* dataset = CreateDataset();
  dataset->shape = DatasetShape::Columns;
  dataset->labelStyle = 0;
  dataset->rowCount = static_cast<int32_t>(scan.rows);
  dataset->missingValue = kMissingValue;
  if (!CreateRows(dataset)) return false;
  for (int kind : scan.kinds) {
    std::string name = MakeDefaultName(0);
    bool number = (kind == kNumberKind || kind == -kNumberKind);
    Column* column = AddColumn(dataset, number ? ColumnKind::Variate : ColumnKind::Text, name,
                               number ? 25 : kTextLength);
    if (!column) break;
    if (!AllocateValues(column, dataset->rowCount)) return false;
    column->decimals = number ? -1 : 0;
    column->valueFormat = number ? 1 : 4;
    column->valueCount = dataset->rowCount;
    column->width = 6;
    columns.push_back(column);
  }
  return !columns.empty();
}

void FillText(const char* text, std::size_t length, const ScanResult& scan, const TextSettings& settings,
              const std::vector<Column*>& columns) {
  LineWalker lines(text, length);
  lines.at = scan.firstLine;
  const int64_t rowCount = scan.rows;
  const std::size_t columnCount = columns.size();
  std::vector<char> isText(columnCount);
  for (std::size_t i = 0; i < columnCount; ++i) isText[i] = IsTextKind(columns[i]->kind);
  std::string scratch;
  std::string name;
  std::string_view line;
  bool namesLine = scan.hasNames;
  int64_t r = 0;
  while (r < rowCount && lines.Next(line)) {
    FieldWalker fields(line, settings.commaStyle);
    std::string_view field;
    for (std::size_t c = 0; c < columnCount && fields.Next(field); ++c) {
      Column* column = columns[c];
      if (namesLine) {
        std::string_view t = FieldText(field, settings, scratch);
        if (t.empty()) continue;
        name.assign(t);
        LegalName(name);
        CopyLimited(column->name, name, kNameLength);
        continue;
      }
      if (isText[c]) {
        std::string_view t = FieldText(field, settings, scratch);
        column->texts.Set(r, t);
        if (static_cast<int32_t>(t.size()) > column->levelCount)
          column->levelCount = static_cast<int32_t>(t.size());
      } else {
        if (settings.commaStyle && !field.empty() && CommaClass(field[0]) == kQuote)
          field = FieldText(field, settings, scratch);
        column->numbers.Set(r, FieldNumber(field));
      }
    }
    if (namesLine)
      namesLine = false;
    else
      ++r;
  }
}

void FinishFactors(Dataset* dataset, const ScanResult& scan, const std::vector<Column*>& columns) {
  for (std::size_t i = 0; i < columns.size(); ++i) {
    if (scan.kinds[i] >= 0) continue;
    Column* column = columns[i];
    if (column->kind == ColumnKind::Variate)
      VariateToFactor(column, true);
    else if (column->kind == ColumnKind::Text)
      TextToFactor(column, true, dataset->options.compressBlanks != 0);
    if (column->name.empty()) column->name = MakeDefaultName(0);
    char last = column->name.back();
    if (last == '!' || last == '#' || last == '$') column->name.pop_back();
  }
}

}  // namespace

int16_t ReadDelimitedText(const char* path) {
  std::vector<char> buffer;
  if (!path || !ReadWholeFile(path, buffer)) return 0;
  if (buffer.empty()) return 0;
  std::size_t length = NormaliseLineEnds(buffer.data(), buffer.size());
  const char* text = buffer.data();
  if (length == 0) return 0;

  TextSettings settings;
  settings.commaStyle = std::memchr(text, ',', length) != nullptr;
  if (settings.commaStyle) {
    // A tab-separated file whose first line has tabs and no comma stays tab
    // separated even when some value holds a comma.
    const char* nl = static_cast<const char*>(std::memchr(text, '\n', length));
    std::string_view first(text, nl ? static_cast<std::size_t>(nl - text) : length);
    if (first.find('\t') != std::string_view::npos && first.find(',') == std::string_view::npos)
      settings.commaStyle = false;
  }
  settings.compressBlanks = State().options.compressBlanks != 0;
  settings.namesMode = State().namesRowMode;

  ScanResult scan;
  const int32_t columnLimit = State().columnLimit;
  if (!ScanText(text, length, settings, columnLimit, scan)) return 0;
  if (scan.rows < 1 || scan.columns < 1 || scan.kinds.empty()) return 0;
  if (scan.rows > INT32_MAX) {
    std::printf("Error: Too many records in %.100s!\n", path);
    return 0;
  }
  if (scan.columns > columnLimit) std::printf("Warning Columns above %li NOT transfered!\n", static_cast<long>(columnLimit));

  Dataset* previous = CurrentDataset();
  SetCurrentDataset(nullptr);
  std::vector<Column*> columns;
  if (!CreateTextDataset(scan, columns)) {
    SetCurrentDataset(previous);
    return 0;
  }
  Dataset* dataset = CurrentDataset();
  FillText(text, length, scan, settings, columns);
  // The buffer is no longer needed: give its memory back before the conversions.
  std::vector<char>().swap(buffer);
  FinishFactors(dataset, scan, columns);
  MakeNamesUnique(dataset);
  return 1;
}

}  // namespace trovadex
