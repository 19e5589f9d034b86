// Epi Info data files (".rec") into the Dataset: a text file whose first
// line counts the field lines that follow; then the records, each wrapped
// over lines of at most 78 data characters ended by "!" (a "?" ending the
// last line marks a deleted record). Text fields become Text columns, the
// others Variate columns (dates with a date display, fixed-decimal numbers
// with their decimals).
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "core/dataset.h"
#include "core/format.h"
#include "core/names.h"
#include "readers/readers.h"

namespace trovadex {

namespace {

constexpr std::size_t kLineUse = 79;      // characters of a line that count
constexpr int64_t kLineData = 78;         // data characters of a record line
constexpr int kLargestDecimals = 16;

enum class Kind { Number, DateMonthFirst, DateDayFirst, YesNo, Fixed, Text };

struct Field {
  std::string name;
  int type = 0;
  int64_t length = 0;
  int64_t offset = 0;  // in the joined record
  Kind kind = Kind::Number;
  Column* column = nullptr;
};

bool KindOf(int type, Kind& kind) {
  switch (type) {
    case 0: case 6: case 12: kind = Kind::Number; return true;
    case 2: case 10: kind = Kind::DateMonthFirst; return true;
    case 11: kind = Kind::DateDayFirst; return true;
    case 5: kind = Kind::YesNo; return true;
    case 1: case 3: case 7: case 9: kind = Kind::Text; return true;
    default:
      if (type >= 100 && type <= 109) {
        kind = Kind::Fixed;
        return true;
      }
      return false;
  }
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// A leading integer after blanks (optional sign); 0 when there is none.
long LeadingInteger(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size() && IsBlank(s[i])) ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) negative = s[i++] == '-';
  long v = 0;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9' && v < 100000000; ++i) v = v * 10 + (s[i] - '0');
  return negative ? -v : v;
}

std::vector<std::string_view> Tokens(std::string_view line) {
  std::vector<std::string_view> tokens;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && IsBlank(line[i])) ++i;
    std::size_t start = i;
    while (i < line.size() && !IsBlank(line[i])) ++i;
    if (i > start) tokens.push_back(line.substr(start, i - start));
  }
  return tokens;
}

bool IsLetterOrDigit(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

// A record's line without its end marker; `deleted` tells whether it was "?".
std::string_view Content(std::string_view line, bool& deleted) {
  deleted = false;
  if (!line.empty() && line.back() == '!') {
    line.remove_suffix(1);
  } else if (!line.empty() && line.back() == '?') {
    line.remove_suffix(1);
    deleted = true;
  }
  return line;
}

// The date of a field "mm/dd/yy[yy]" (or day first).
double FieldDate(std::string_view s, bool dayFirst, double missing) {
  auto part = [&](std::size_t from, std::size_t count) {
    return from < s.size() ? LeadingInteger(s.substr(from, count)) : 0L;
  };
  const long first = part(0, 2), second = part(3, 2);
  long year = s.size() <= 6 ? 90 : part(6, 4);
  if (s.size() < 10) year += 1900;
  const long month = dayFirst ? second : first, day = dayFirst ? first : second;
  if (month < 1 || month > 12 || day < 1 || day > 31) return missing;
  const double v = DayCountFromDate(day, month, year);
  return v > missing ? v : missing;
}

}  // namespace

int16_t ReadEpiInfo(const char* path) {
  if (!path) return 0;
  std::FILE* in = std::fopen(path, "rb");
  if (!in) return 0;
  std::string text;
  {
    char buffer[65536];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, in)) > 0) text.append(buffer, n);
    const bool failed = std::ferror(in) != 0;
    if (std::fclose(in) != 0 || failed) return 0;
  }

  // DOS editors end a text file with Ctrl-Z: the data end there.
  for (std::size_t z = text.find('\x1a'); z != std::string::npos; z = text.find('\x1a', z + 1)) {
    if (z == 0 || text[z - 1] == '\n') {
      text.resize(z);
      break;
    }
  }
  // The lines, without their line ends, each cut to the characters that count.
  std::vector<std::string_view> lines;
  for (std::size_t at = 0; at < text.size();) {
    std::size_t end = text.find('\n', at);
    const std::size_t next = end == std::string::npos ? text.size() : end + 1;
    if (end == std::string::npos) end = text.size();
    std::string_view line(text.data() + at, end - at);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line.substr(0, kLineUse));
    at = next;
  }
  if (lines.empty()) return 0;
  const long fieldLines = LeadingInteger(lines[0]);
  if (fieldLines <= 0 || static_cast<std::size_t>(fieldLines) >= lines.size()) return 0;

  std::vector<Field> fields;
  int64_t recordLength = 0;
  for (long i = 1; i <= fieldLines; ++i) {
    const std::vector<std::string_view> tokens = Tokens(lines[static_cast<std::size_t>(i)]);
    if (tokens.size() < 8) continue;
    Field f;
    f.length = LeadingInteger(tokens[7]);
    if (f.length <= 0) continue;  // a label, or a length that cannot be
    f.type = static_cast<int>(LeadingInteger(tokens[6]));
    if (!KindOf(f.type, f.kind)) return 0;
    CopyLimited(f.name, tokens[0], 12);
    f.offset = recordLength;
    recordLength += f.length;
    // The record cannot be longer than the file.
    if (recordLength > static_cast<int64_t>(text.size())) return 0;
    fields.push_back(f);
  }
  if (fields.empty()) return 0;
  const long limit = State().columnLimit;
  if (static_cast<long>(fields.size()) > limit) {
    std::printf("Warning Columns above %li NOT transfered!\n", limit);
  }

  // Count the records: whole groups of lines whose last line does not end
  // in "?" after its last "!".
  const int64_t perRecord = (recordLength - 1) / kLineData + 1;
  const std::size_t first = static_cast<std::size_t>(fieldLines) + 1;
  // A final line end leaves an empty last line: no record line.
  std::size_t lineCount = lines.size();
  if (lineCount > first && lines.back().empty() && !text.empty() && text.back() == '\n') --lineCount;
  const int64_t groups = (static_cast<int64_t>(lineCount) - static_cast<int64_t>(first)) / perRecord;
  int64_t records = 0;
  for (int64_t g = 0; g < groups; ++g) {
    std::string_view last = lines[first + static_cast<std::size_t>((g + 1) * perRecord - 1)];
    const std::size_t bang = last.rfind('!'), ask = last.rfind('?');
    if (ask == std::string_view::npos || (bang != std::string_view::npos && bang > ask)) ++records;
  }
  if (records <= 0) return 0;

  Dataset* dataset = CreateDataset();
  dataset->rowCount = static_cast<int32_t>(std::min<int64_t>(records, 2147483647));
  if (!CreateRows(dataset)) return 0;
  const double missing = dataset->missingValue;

  long made = 0;
  for (Field& f : fields) {
    if (made >= limit) break;
    std::string name = f.name;
    if (!name.empty() && !IsLetterOrDigit(name[0])) name.erase(0, 1);
    LegalName(name);
    const bool isText = f.kind == Kind::Text;
    Column* c = AddColumn(dataset, isText ? ColumnKind::Text : ColumnKind::Variate, name, isText ? kTextLength : 25);
    if (!c) break;
    ++made;
    AllocateValues(c, dataset->rowCount);
    c->decimals = -1;
    c->valueFormat = isText ? 4 : f.kind == Kind::Fixed ? 3 : 1;
    if (isText) c->levelCount = static_cast<int32_t>(std::min<int64_t>(f.length, kTextLength));
    if (f.kind == Kind::DateMonthFirst || f.kind == Kind::DateDayFirst) {
      c->valueFormat = 5;
      c->dateBase = static_cast<int16_t>(CurrentDateBase());
      const bool shortDate = f.length < 10;
      c->dateRepresentation = f.kind == Kind::DateMonthFirst ? (shortDate ? 23 : 24) : (shortDate ? 3 : 4);
    }
    const int64_t wider = std::max<int64_t>(f.length, static_cast<int64_t>(c->name.size()));
    c->width = wider >= 88 ? 90 : static_cast<int32_t>(wider + 2);
    c->valueCount = dataset->rowCount;
    f.column = c;
  }

  const bool compress = State().options.compressBlanks != 0;
  std::string record;
  int64_t row = 0;
  for (int64_t g = 0; g < groups && row < dataset->rowCount; ++g) {
    record.clear();
    bool deleted = false;
    for (int64_t k = 0; k < perRecord; ++k)
      record += Content(lines[first + static_cast<std::size_t>(g * perRecord + k)], deleted);
    if (deleted) continue;
    // A record shorter than its fields is read as if padded with blanks.
    if (static_cast<int64_t>(record.size()) < recordLength) record.resize(static_cast<std::size_t>(recordLength), ' ');
    for (Field& f : fields) {
      Column* c = f.column;
      if (!c) continue;
      const std::string_view s(record.data() + f.offset, static_cast<std::size_t>(f.length));
      if (f.kind == Kind::Text) {
        if (compress) {
          c->texts.SetNew(row, TrimText(s, kTextLength));
        } else {
          std::string_view t = s.substr(0, kTextLength);
          while (!t.empty() && t.back() == ' ') t.remove_suffix(1);
          c->texts.SetNew(row, t);
        }
        continue;
      }
      double x = missing;
      if (s.find_first_not_of(' ') != std::string_view::npos) {
        switch (f.kind) {
          case Kind::DateMonthFirst:
          case Kind::DateDayFirst:
            x = FieldDate(s, f.kind == Kind::DateDayFirst, missing);
            break;
          case Kind::YesNo: {
            const char ch = s[s.find_first_not_of(' ')];
            x = ch == 'Y' || ch == 'y' ? 1 : 0;
            break;
          }
          default: {
            if (f.kind == Kind::Fixed && c->decimals < 0) {
              const std::size_t point = s.find('.');
              int decimals = 0;
              for (std::size_t i = point == std::string_view::npos ? s.size() : point + 1;
                   i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i)
                ++decimals;
              c->decimals = std::min(decimals, kLargestDecimals);
            }
            // The number's text ends the field: a copy gives it its end.
            const std::string copy(s);
            const char* end = nullptr;
            x = ParseDecimal(copy.c_str(), &end, nullptr);
            if (end == copy.c_str()) {
              // No number: 0, except for the texts of NaN and infinity.
              const char ch = s[s.find_first_not_of(' ')];
              const bool special = ch == 'n' || ch == 'N' || ch == 'i' || ch == 'I' ||
                                   ((ch == '-' || ch == '+') && copy.find_first_of("iInN") != std::string::npos);
              x = special ? missing : 0;
            } else if (std::isinf(x)) {
              x = missing;
            }
            break;
          }
        }
      }
      if (x < missing) x = missing;
      if (x > kNumberCap) x = kNumberCap;
      c->numbers.Set(row, x);
    }
    ++row;
  }
  if (row < dataset->rowCount) {
    ShortenRows(dataset, static_cast<int32_t>(row));
  }
  return 1;
}

}  // namespace trovadex
