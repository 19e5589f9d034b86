// Delimited text output: ".tab" (tab-separated), ".csv" (fixed-width fields
// ended by commas, texts in apostrophes) and plain fixed-width text with a
// title line for every other extension. One line of names, then one line
// per row; lines end with CR LF. Output is built in a large buffer and
// written in big blocks.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "core/dataset.h"
#include "core/format.h"
#include "core/progress.h"
#include "writers/number_text.h"
#include "writers/text_line.h"
#include "writers/writers.h"

namespace trovadex {

namespace {

enum class Mode { Tab, Comma, Plain };

constexpr std::size_t kBlockSize = std::size_t{1} << 20;
// Room one value may take in a line: a number text, or a quoted text whose
// every character is a doubled apostrophe.
constexpr std::size_t kValueRoom = kNumberTextSize > 2 * kTextLength + 2 ? kNumberTextSize : 2 * kTextLength + 2;

// Buffered output to one file: lines are built straight into `data` and
// written in large blocks; `failed` stays set after the first failed write.
struct BlockOutput {
  std::FILE* file = nullptr;
  ByteBuffer data;
  std::size_t used = 0;
  bool failed = false;
};

void Flush(BlockOutput& out) {
  if (!out.failed && out.used > 0 && std::fwrite(out.data.data(), 1, out.used, out.file) != out.used)
    out.failed = true;
  out.used = 0;
}

// A pointer to room for `bytes` more bytes; the caller sets `used` after writing.
char* Reserve(BlockOutput& out, std::size_t bytes) {
  if (out.used + bytes > out.data.size()) {
    Flush(out);
    if (bytes > out.data.size()) LargeResize(out.data, bytes);
  }
  return out.data.data() + out.used;
}

void Append(BlockOutput& out, std::string_view text) {
  char* p = Reserve(out, text.size());
  std::memcpy(p, text.data(), text.size());
  out.used += text.size();
}

bool IsPlainNumericKind(ColumnKind kind) {
  return IsNumericKind(kind) && kind != ColumnKind::RowIndex && kind != ColumnKind::Factor &&
         kind != ColumnKind::SymmetricMatrixColumn;
}

// One data column as it is laid out.
struct FieldPlan {
  Column* column = nullptr;
  int32_t width = 1;      // field width, one separator position included
  int64_t firstRow = 0;   // lower-triangle columns: the row of their first value
  bool isDate = false;
  // Its numbers print in the free format ("%g" with at least six digits).
  bool freeFormat = false;
  // The common columns, written by the tab-separated loop itself: plain
  // numbers in the free format, and texts; `stored` values of each.
  enum class Fast { None, FreeNumber, Text } fast = Fast::None;
  int64_t stored = 0;
};

// The level (1-based) whose level value or label shows a factor value: the
// smallest whole number m from 1 up with m >= value, at most `count`.
int64_t LevelFor(double value, int64_t count) {
  double m = std::ceil(value);
  if (!(m >= 1)) return 1;
  if (m >= static_cast<double>(count)) return count;
  return static_cast<int64_t>(m);
}

// Text in apostrophes with inner apostrophes doubled and control bytes
// dropped; bytes above 127 stay as they are. Needs 2 * size + 2 bytes.
char* PutQuoted(char* o, std::string_view text) {
  *o++ = '\'';
  for (char c : text) {
    if (static_cast<unsigned char>(c) < 32) continue;
    *o++ = c;
    if (c == '\'') *o++ = '\'';
  }
  *o++ = '\'';
  return o;
}

// Text with control bytes (tabs, line ends) turned into blanks, so that a
// value can never break the field or record structure.
char* PutClean(char* o, std::string_view text) {
  const std::size_t n = text.size();
  std::memcpy(o, text.data(), n);
  // Eight bytes at a time: a word with no byte below 32 (most) is skipped.
  // (The words are read from the source: reading back the bytes just
  // copied would wait for the copy's stores.)
  constexpr uint64_t kOnes = 0x0101010101010101u;
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t x;
    std::memcpy(&x, text.data() + i, 8);
    if (((x - kOnes * 32) & ~x & (kOnes * 128)) == 0) continue;
    for (std::size_t k = i; k < i + 8; ++k)
      if (static_cast<unsigned char>(text[k]) < 32) o[k] = ' ';
  }
  for (; i < n; ++i)
    if (static_cast<unsigned char>(text[i]) < 32) o[i] = ' ';
  return o + n;
}

inline char* PutText(char* o, std::string_view text, bool quoting) {
  return quoting ? PutQuoted(o, text) : PutClean(o, text);
}

std::size_t QuotedLength(std::string_view text) {
  std::size_t n = text.size();
  for (char c : text)
    if (c == '\'') ++n;
  return n;
}

void UseDateSettings(const Column* column) {
  SetCurrentDateBase(column->dateBase);
  SetCurrentDateRepresentation(column->dateRepresentation);
}

// Writes the text of row r of a column at `o` (at most kValueRoom bytes)
// and returns the end. `right` tells whether the value is right-aligned.
char* PutValue(char* o, const FieldPlan& plan, int64_t r, double missing, bool quoting, bool& right) {
  const Column* column = plan.column;
  const ColumnKind kind = column->kind;
  const int32_t just = column->justification;
  if (IsPlainNumericKind(kind) || kind == ColumnKind::SymmetricMatrixColumn) {
    right = just != 1;
    int64_t index = r - plan.firstRow;
    if (index >= 0 && index < column->valueCount && index < column->numbers.count) {
      const double v = column->numbers.Get(index);
      if (plan.freeFormat) {
        // What FormatNumber gives for these formats, without its dispatch.
        if (!(v > missing)) {
          *o++ = '*';
          return o;
        }
        return o + FormatShortestG(o, v, 6);
      }
      if (plan.isDate) UseDateSettings(column);
      o += FastFormatNumber(o, v, column->valueFormat, column->decimals, missing);
    }
    return o;
  }
  if (kind == ColumnKind::Text || kind == ColumnKind::TextUnits) {
    right = just == 2;
    if (r < column->texts.count && r < column->valueCount) o = PutText(o, column->texts.Get(r), quoting);
    else if (quoting) o = PutQuoted(o, std::string_view());
    return o;
  }
  if (kind == ColumnKind::Factor) {
    bool present = r < column->valueCount && r < column->numbers.count;
    double v = present ? column->numbers.Get(r) : missing;
    bool isMissing = !(v > missing);
    int display = column->factorDisplay;
    if (display == 2 && column->labelCount > 0) {
      // A missing value shows no label.
      right = just == 2;
      if (!isMissing) {
        int64_t m = LevelFor(v, std::min<int64_t>(column->labelCount, column->labels.count));
        o = PutText(o, m >= 1 ? column->labels.Get(m - 1) : std::string_view(), quoting);
      }
      return o;
    }
    right = just != 1;
    if (display == 1 && column->levelValueCount > 0) {
      // A missing value shows "*", not the first level's value.
      if (isMissing) {
        *o++ = '*';
        return o;
      }
      int64_t m = LevelFor(v, std::min<int64_t>(column->levelValueCount, column->levelValues.count));
      if (plan.isDate) UseDateSettings(column);
      return o + FastFormatNumber(o, m >= 1 ? column->levelValues.Get(m - 1) : missing, column->valueFormat,
                                  column->decimals, missing);
    }
    return o + FormatNumber(o, v, 3, 0, missing);
  }
  right = false;
  return o;
}

// Content width w of a column (before the separator position).
int32_t ContentWidth(FieldPlan& plan, int64_t rows, double missing, bool quoting, char* number, bool tabMode) {
  bool right = false;
  Column* column = plan.column;
  const ColumnKind kind = column->kind;
  std::size_t w = 1;
  if (kind == ColumnKind::Text || kind == ColumnKind::TextUnits) {
    std::size_t longest = 0, longestQuoted = 0;
    int64_t n = std::min<int64_t>(column->valueCount, column->texts.count);
    for (int64_t i = 0; i < n; ++i) {
      std::string_view t = column->texts.Get(i);
      longest = std::max(longest, t.size());
      if (quoting) longestQuoted = std::max(longestQuoted, QuotedLength(t));
    }
    column->levelCount = static_cast<int32_t>(longest);
    w = std::max(w, quoting ? longestQuoted + 2 : longest);
    return static_cast<int32_t>(w);
  }
  if (tabMode) return 1;  // tab-separated fields have no width
  if (kind == ColumnKind::Factor && column->factorDisplay == 2 && column->labelCount > 0) {
    int64_t n = std::min<int64_t>(column->labelCount, column->labels.count);
    std::size_t longest = 0;
    for (int64_t i = 0; i < n; ++i) {
      std::string_view t = column->labels.Get(i);
      longest = std::max(longest, quoting ? QuotedLength(t) : t.size());
    }
    w = std::max(w, quoting ? longest + 2 : longest);
    return static_cast<int32_t>(w);
  }
  if (kind == ColumnKind::Factor && column->factorDisplay == 1 && column->levelValueCount > 0) {
    int64_t n = std::min<int64_t>(column->levelValueCount, column->levelValues.count);
    if (plan.isDate) UseDateSettings(column);
    for (int64_t i = 0; i < n; ++i) {
      int len = FastFormatNumber(number, column->levelValues.Get(i), column->valueFormat, column->decimals, missing);
      w = std::max(w, static_cast<std::size_t>(len));
    }
    return static_cast<int32_t>(w);
  }
  // Numbers and level numbers: the longest text actually printed.
  for (int64_t r = 0; r < rows; ++r) {
    std::size_t len = static_cast<std::size_t>(PutValue(number, plan, r, missing, false, right) - number);
    w = std::max(w, len);
  }
  return static_cast<int32_t>(w);
}

bool NameRightAligned(const Column* column) {
  const ColumnKind kind = column->kind;
  if (kind == ColumnKind::Text || kind == ColumnKind::TextUnits) return column->justification == 2;
  if (kind == ColumnKind::Factor)
    return column->justification == 2 || (column->justification == 0 && column->factorDisplay != 2);
  return column->justification != 1;
}

// The title line of plain output: the output name with ".txt", the time and the date.
std::string TitleLine(const char* path) {
  std::string stem(path);
  std::size_t temp = stem.find(".$$$");
  if (temp != std::string::npos) {
    stem.erase(temp);
  } else {
    std::size_t slash = stem.find_last_of("/\\");
    std::size_t dot = stem.rfind('.');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) stem.erase(dot);
  }
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d %02d/%02d/%02d", local.tm_hour, local.tm_min, local.tm_sec,
                local.tm_mon + 1, local.tm_mday, local.tm_year % 100);
  return "\"" + stem + ".txt (Created by Trovadex: " + stamp + ")\"";
}

// The names line of comma and plain output: names placed over their fields,
// pushed right when an earlier name ran past its field.
std::string HeaderLine(const std::vector<FieldPlan>& plans, Mode mode) {
  std::size_t total = 0;
  for (const FieldPlan& p : plans) {
    std::size_t nameWidth = p.column->name.size() + (p.column->kind == ColumnKind::Factor ? 2 : 1);
    total += std::max<std::size_t>(static_cast<std::size_t>(p.width), nameWidth);
  }
  std::string line(total, ' ');
  int64_t end = 0, pos = 0, last = 0, lastSeparator = -1;
  for (const FieldPlan& p : plans) {
    const Column* column = p.column;
    const bool factor = column->kind == ColumnKind::Factor;
    const int64_t width = p.width;
    const int64_t n = static_cast<int64_t>(column->name.size()) + (factor && !column->name.empty() ? 1 : 0);
    end += width;
    if (n > 0 || mode == Mode::Comma) {
      int64_t start;
      if (n == 0)
        start = pos;
      else if (end < pos + width)
        start = std::max(end - n - 1, last);
      else if (n < width)
        start = NameRightAligned(column) ? pos + width - n - 1 : pos;
      else
        start = std::max(pos + width - n - 1, last);
      if (start < 0) start = 0;
      std::size_t need = static_cast<std::size_t>(start + n + 1);
      if (line.size() < need) line.resize(need, ' ');
      std::memcpy(&line[static_cast<std::size_t>(start)], column->name.data(), column->name.size());
      if (factor && n > 0) line[static_cast<std::size_t>(start) + column->name.size()] = '!';
      last = start + n + 1;
      if (mode == Mode::Comma) {
        line[static_cast<std::size_t>(start + n)] = ',';
        lastSeparator = start + n;
      }
    }
    pos = std::max(last, end);
  }
  if (mode == Mode::Comma) line.resize(lastSeparator >= 0 ? static_cast<std::size_t>(lastSeparator) : 0);
  return line;
}

}  // namespace

int16_t WriteDelimitedText(Dataset* dataset, const char* path, bool tabSeparated) {
  if (!dataset || !path || dataset->rowCount <= 0 || dataset->columnCount <= 0 || !dataset->firstColumn) return 0;
  const Mode mode = tabSeparated ? Mode::Tab : (State().commaOutput ? Mode::Comma : Mode::Plain);
  const bool quoting = mode == Mode::Comma && CurrentOptions()->quoteText != 0;
  const double missing = dataset->missingValue;
  const int64_t rows = dataset->rowCount;

  // The data columns, in list order after "Row".
  std::vector<FieldPlan> plans;
  int32_t place = 0;
  for (Column* c = dataset->firstColumn->next; c && place < dataset->columnCount; c = c->next, ++place) {
    FieldPlan plan;
    plan.column = c;
    plan.isDate = c->valueFormat == 5;
    plan.freeFormat = c->valueFormat != 2 && c->valueFormat != 3 && c->valueFormat != 5 &&
                      (c->valueFormat != 1 || c->decimals <= 0);
    if (c->kind == ColumnKind::SymmetricMatrixColumn) plan.firstRow = std::max<int64_t>(0, place - dataset->unitsColumnCount + 1);
    if (IsPlainNumericKind(c->kind) && plan.freeFormat) {
      plan.fast = FieldPlan::Fast::FreeNumber;
      plan.stored = std::min<int64_t>(c->valueCount, c->numbers.count);
    } else if (c->kind == ColumnKind::Text || c->kind == ColumnKind::TextUnits) {
      plan.fast = FieldPlan::Fast::Text;
      plan.stored = std::min<int64_t>(c->valueCount, c->texts.count);
    }
    plans.push_back(plan);
  }
  if (plans.empty()) return 0;

  std::vector<char> valueBuffer(kValueRoom + 1);
  char* value = valueBuffer.data();
  for (FieldPlan& plan : plans)
    plan.width = ContentWidth(plan, rows, missing, quoting, value, mode == Mode::Tab) + 1;

  BlockOutput out;
  out.file = std::fopen(path, "wb");
  if (!out.file) return 0;
  std::size_t lineWidth = 0;
  for (const FieldPlan& p : plans) lineWidth += static_cast<std::size_t>(p.width);
  // Room for one record: every value at its largest, separators and CR LF.
  const std::size_t recordRoom = std::max(lineWidth, plans.size() * (kValueRoom + 1)) + 2;
  LargeResize(out.data, std::max(kBlockSize, 2 * recordRoom));

  std::string lines;
  if (mode == Mode::Plain) AppendTextLine(lines, TitleLine(path), kNoLineLimit, false);
  if (mode == Mode::Tab) {
    std::string header;
    for (const FieldPlan& p : plans) {
      header += p.column->name;
      header += '\t';
    }
    header.pop_back();
    AppendTextLine(lines, header, kNoLineLimit, false);
  } else {
    AppendTextLine(lines, HeaderLine(plans, mode), kNoLineLimit, mode == Mode::Comma);
  }
  Append(out, lines);

  bool right = false;
  for (int64_t r = 0; r < rows && !out.failed; ++r) {
    ReportProgress(r * dataset->columnCount, r);
    char* const line = Reserve(out, recordRoom);
    char* o = line;
    if (mode == Mode::Tab) {
      for (const FieldPlan& p : plans) {
        // What PutValue gives for these columns, without its dispatch.
        if (p.fast == FieldPlan::Fast::FreeNumber) {
          if (r < p.stored) {
            const double v = p.column->numbers.Get(r);
            if (v > missing)
              o += FormatShortestG(o, v, 6);
            else
              *o++ = '*';
          }
        } else if (p.fast == FieldPlan::Fast::Text) {
          if (r < p.stored) o = PutClean(o, p.column->texts.Get(r));
        } else {
          o = PutValue(o, p, r, missing, false, right);
        }
        *o++ = '\t';
      }
      o[-1] = '\r';
      *o++ = '\n';
    } else {
      std::memset(line, ' ', lineWidth);
      char* at = line;
      for (const FieldPlan& p : plans) {
        std::size_t len = static_cast<std::size_t>(PutValue(value, p, r, missing, quoting, right) - value);
        std::size_t room = static_cast<std::size_t>(p.width) - 1;
        if (len > room) len = room;
        std::memcpy(right ? at + room - len : at, value, len);
        at += p.width;
        if (mode == Mode::Comma) at[-1] = ',';
      }
      o = line + lineWidth;
      // Comma mode drops the final separator; the last field keeps its padding.
      if (mode == Mode::Comma) --o;
      *o++ = '\r';
      *o++ = '\n';
    }
    out.used += static_cast<std::size_t>(o - line);
  }
  Flush(out);
  bool ok = !out.failed;
  if (std::fflush(out.file) != 0) ok = false;
  if (std::ferror(out.file)) ok = false;
  if (std::fclose(out.file) != 0) ok = false;
  return ok ? 1 : 0;
}

}  // namespace trovadex
