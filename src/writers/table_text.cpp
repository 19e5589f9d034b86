#include "writers/table_text.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "core/format.h"

namespace trovadex {

void FlushTable(TableOutput& out) {
  if (!out.failed && !out.text.empty() && std::fwrite(out.text.data(), 1, out.text.size(), out.file) != out.text.size())
    out.failed = true;
  out.text.clear();
}

int16_t FinishTable(TableOutput& out) {
  FlushTable(out);
  bool ok = !out.failed;
  if (std::fflush(out.file) != 0 || std::ferror(out.file)) ok = false;
  if (std::fclose(out.file) != 0) ok = false;
  return ok ? 1 : 0;
}

namespace {

bool IsPlainNumericKind(ColumnKind kind) {
  return IsNumericKind(kind) && kind != ColumnKind::RowIndex && kind != ColumnKind::Factor;
}

double MissingOf(const Column* column) {
  return column->dataset ? column->dataset->missingValue : kMissingValue;
}

// A number as the column shows it; dates take the column's own settings.
std::string_view ColumnNumber(const Column* column, double value, char* scratch) {
  if (column->valueFormat == 5) {
    SetCurrentDateBase(column->dateBase);
    SetCurrentDateRepresentation(column->dateRepresentation);
  }
  int n = FormatNumber(scratch, value, column->valueFormat, column->decimals, MissingOf(column));
  return std::string_view(scratch, static_cast<std::size_t>(n));
}

// The level (1-based) that shows a factor value v >= 1: the smallest whole
// number m with m >= v, at most `count`.
int64_t LevelFor(double value, int64_t count) {
  double m = std::ceil(value);
  if (m >= static_cast<double>(count)) return count;
  return std::max<int64_t>(1, static_cast<int64_t>(m));
}

bool HasHighByte(std::string_view text) {
  for (char c : text)
    if (static_cast<unsigned char>(c) > 127) return true;
  return false;
}

// 0: plain ASCII, 1: UTF-8 with a byte above 127, -1: not UTF-8.
int Utf8Class(std::string_view text) {
  if (!HasHighByte(text)) return 0;
  return Utf8Length(text) == std::string_view::npos ? -1 : 1;
}

}  // namespace

bool DecodeUtf8(std::string_view text, std::size_t& at, uint32_t& codePoint) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  if (lead < 0x80) {
    codePoint = lead;
    ++at;
    return true;
  }
  int more;
  uint32_t cp;
  uint32_t least;
  if (lead >= 0xC2 && lead <= 0xDF) {
    more = 1, cp = lead & 0x1F, least = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    more = 2, cp = lead & 0x0F, least = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    more = 3, cp = lead & 0x07, least = 0x10000;
  } else {
    return false;
  }
  if (text.size() - at <= static_cast<std::size_t>(more)) return false;
  for (int k = 1; k <= more; ++k) {
    const unsigned char b = byte(at + static_cast<std::size_t>(k));
    if ((b & 0xC0) != 0x80) return false;
    cp = (cp << 6) | (b & 0x3F);
  }
  // Overlong forms, UTF-16 surrogates and code points past U+10FFFF are
  // not text a UTF-8 source writes.
  if (cp < least || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) return false;
  codePoint = cp;
  at += static_cast<std::size_t>(more) + 1;
  return true;
}

std::size_t Utf8Length(std::string_view text) {
  std::size_t at = 0;
  uint32_t cp = 0;
  while (at < text.size()) {
    if (DecodeUtf8(text, at, cp)) continue;
    // Stored texts are cut to a number of bytes, which may end one inside a
    // sequence: a valid start of one at the very end is no fault.
    const unsigned char lead = static_cast<unsigned char>(text[at]);
    const std::size_t need = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    if (lead < 0xC2 || lead > 0xF4 || text.size() - at >= need) return std::string_view::npos;
    for (std::size_t k = at + 1; k < text.size(); ++k)
      if ((static_cast<unsigned char>(text[k]) & 0xC0) != 0x80) return std::string_view::npos;
    return at;
  }
  return at;
}

std::vector<TableColumn> TableColumns(Dataset* dataset) {
  std::vector<TableColumn> columns;
  if (!dataset || !dataset->firstColumn) return columns;
  int64_t place = 0;
  for (Column* c = dataset->firstColumn->next; c && place < dataset->columnCount; c = c->next, ++place) {
    TableColumn t;
    t.column = c;
    // A symmetric matrix's columns hold the lower triangle, diagonal
    // included: column p starts in row p - (units columns) + 1.
    if (c->kind == ColumnKind::SymmetricMatrixColumn)
      t.firstRow = std::max<int64_t>(0, place - dataset->unitsColumnCount + 1);
    columns.push_back(t);
  }
  for (TableColumn& t : columns) t.weight = TableColumnWeight(dataset, t) + 2;
  return columns;
}

std::string_view TableCellText(const TableColumn& table, int64_t row, char* scratch) {
  const Column* c = table.column;
  if (c->kind == ColumnKind::Text || c->kind == ColumnKind::TextUnits) {
    if (row < c->valueCount && row < c->texts.count) return c->texts.Get(row);
    return {};
  }
  if (c->kind == ColumnKind::Factor) {
    if (row >= c->valueCount || row >= c->numbers.count) return {};
    const double v = c->numbers.Get(row);
    if (!(v >= 1) || !(v > MissingOf(c))) return {};  // below 1, missing or NaN
    if (c->factorDisplay == 2) {
      const int64_t count = std::min<int64_t>(c->labelCount, c->labels.count);
      if (count > 0) return c->labels.Get(LevelFor(v, count) - 1);
    } else if (c->factorDisplay == 1) {
      const int64_t count = std::min<int64_t>(c->levelValueCount, c->levelValues.count);
      if (count > 0) return ColumnNumber(c, c->levelValues.Get(LevelFor(v, count) - 1), scratch);
    }
    // Level numbers, and levels that have no values or labels.
    int n = FormatNumber(scratch, v, 3, 0, MissingOf(c));
    return std::string_view(scratch, static_cast<std::size_t>(n));
  }
  if (IsPlainNumericKind(c->kind)) {
    const int64_t index = row - table.firstRow;
    if (index < 0 || index >= c->valueCount || index >= c->numbers.count) return {};
    return ColumnNumber(c, c->numbers.Get(index), scratch);
  }
  return {};
}

int64_t TableColumnWeight(Dataset* dataset, const TableColumn& table) {
  Column* c = table.column;
  int64_t longest = std::max<int64_t>(1, static_cast<int64_t>(c->name.size()));
  if (c->kind == ColumnKind::Text || c->kind == ColumnKind::TextUnits) {
    int64_t text = 0;
    const int64_t n = std::min<int64_t>(c->valueCount, c->texts.count);
    for (int64_t i = 0; i < n; ++i) text = std::max<int64_t>(text, static_cast<int64_t>(c->texts.Get(i).size()));
    c->levelCount = static_cast<int32_t>(text);
    return std::max(longest, text);
  }
  if (c->kind == ColumnKind::Factor && c->factorDisplay == 2 && c->labelCount > 0) {
    const int64_t n = std::min<int64_t>(c->labelCount, c->labels.count);
    for (int64_t i = 0; i < n; ++i) longest = std::max<int64_t>(longest, static_cast<int64_t>(c->labels.Get(i).size()));
    return longest;
  }
  // Numbers: the longest text any row shows.
  char scratch[kNumberTextSize];
  for (int64_t r = 0; r < dataset->rowCount; ++r)
    longest = std::max<int64_t>(longest, static_cast<int64_t>(TableCellText(table, r, scratch).size()));
  return longest;
}

bool TableTextsAreUtf8(const Dataset* dataset, std::string_view title) {
  bool high = false;
  const auto take = [&](std::string_view text) {
    const int k = Utf8Class(text);
    if (k == 1) high = true;
    return k >= 0;
  };
  if (!take(title)) return false;
  if (!dataset) return high;
  for (const Column* c = dataset->firstColumn; c; c = c->next) {
    if (!take(c->name)) return false;
    if (c->kind == ColumnKind::Text || c->kind == ColumnKind::TextUnits) {
      const int64_t n = std::min<int64_t>(c->valueCount, c->texts.count);
      for (int64_t i = 0; i < n; ++i)
        if (!take(c->texts.Get(i))) return false;
    } else if (c->kind == ColumnKind::Factor) {
      const int64_t n = std::min<int64_t>(c->labelCount, c->labels.count);
      for (int64_t i = 0; i < n; ++i)
        if (!take(c->labels.Get(i))) return false;
    }
  }
  return high;
}

}  // namespace trovadex
