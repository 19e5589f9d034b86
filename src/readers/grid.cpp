// Cell grid storage, sheet and range selection, and the conversion of a
// worksheet's cells into the Dataset's columns.
#include "readers/grid.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "core/columns.h"
#include "core/convert.h"
#include "core/format.h"
#include "core/names.h"

namespace trovadex {

namespace {

template <class Vector, class Value>
void PushBack(Vector& v, const Value& value) {
  try {
    v.push_back(value);
  } catch (const std::bad_alloc&) {
    OutOfMemory();
  }
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

// ---------------------------------------------------------------- grid

void InitCellGrid(CellGrid& grid, int32_t firstRow, int32_t firstColumn, int32_t rows, int32_t columns) {
  grid = CellGrid{};
  grid.firstRow = firstRow;
  grid.firstColumn = firstColumn;
  grid.rowCount = rows > 0 ? rows : 0;
  grid.columnCount = columns > 0 ? columns : 0;
  grid.cellCount = int64_t{grid.rowCount} * grid.columnCount;
  LargeResize(grid.kinds, static_cast<std::size_t>(grid.cellCount));
  LargeResize(grid.values, static_cast<std::size_t>(grid.cellCount));
  grid.ready = true;
}

int64_t GridSlot(const CellGrid& grid, int64_t row, int64_t column) {
  if (!grid.ready) return -1;
  int64_t r = row - grid.firstRow;
  int64_t c = column - grid.firstColumn;
  if (r < 0 || c < 0 || r >= grid.rowCount || c >= grid.columnCount) return -1;
  int64_t slot = r * grid.columnCount + c;
  if (slot < 0 || slot >= grid.cellCount) return -1;
  return slot;
}

namespace {
void Widen(CellGrid& grid, int64_t row, int64_t column) {
  grid.lowRow = static_cast<int32_t>(std::min<int64_t>(grid.lowRow, row));
  grid.highRow = static_cast<int32_t>(std::max<int64_t>(grid.highRow, row));
  grid.lowColumn = static_cast<int32_t>(std::min<int64_t>(grid.lowColumn, column));
  grid.highColumn = static_cast<int32_t>(std::max<int64_t>(grid.highColumn, column));
}
}  // namespace

bool StoreNumber(CellGrid& grid, int64_t row, int64_t column, double value) {
  int64_t slot = GridSlot(grid, row, column);
  if (slot < 0) return false;
  if (grid.kinds[slot] == static_cast<uint8_t>(CellKind::Number)) {
    grid.numbers[grid.values[slot]] = value;
  } else {
    grid.values[slot] = static_cast<uint32_t>(grid.numbers.size());
    PushBack(grid.numbers, value);
    grid.kinds[slot] = static_cast<uint8_t>(CellKind::Number);
  }
  Widen(grid, row, column);
  return true;
}

bool StoreText(CellGrid& grid, int64_t row, int64_t column, std::string_view text) {
  int64_t slot = GridSlot(grid, row, column);
  if (slot < 0) return false;
  if (std::size_t nul = text.find('\0'); nul != std::string_view::npos) text = text.substr(0, nul);
  text = Utf8Prefix(text, kKeptTextLength);
  if (grid.texts.size() + text.size() + 1 > 0xFFFFFFF0u) return false;
  grid.values[slot] = static_cast<uint32_t>(grid.texts.size());
  try {
    grid.texts.insert(grid.texts.end(), text.begin(), text.end());
    grid.texts.push_back('\0');
  } catch (const std::bad_alloc&) {
    OutOfMemory();
  }
  grid.kinds[slot] = static_cast<uint8_t>(CellKind::Text);
  Widen(grid, row, column);
  return true;
}

CellKind GridKind(const CellGrid& grid, int64_t slot) {
  if (slot < 0 || slot >= grid.cellCount) return CellKind::Empty;
  return static_cast<CellKind>(grid.kinds[slot]);
}

double GridNumber(const CellGrid& grid, int64_t slot) { return grid.numbers[grid.values[slot]]; }

const char* GridText(const CellGrid& grid, int64_t slot) { return grid.texts.data() + grid.values[slot]; }

std::string ColumnLetters(int64_t column) {
  if (column < 0) column = 0;
  std::string out;
  int64_t n = column + 1;
  while (n > 0) {
    int64_t d = (n - 1) % 26;
    out.insert(out.begin(), static_cast<char>('A' + d));
    n = (n - 1) / 26;
  }
  return out;
}

// ---------------------------------------------------------------- selection

namespace {

// One cell reference from text[pos]; returns the position after it.
std::size_t ParseCellReference(std::string_view text, std::size_t pos, int32_t& column, int32_t& row,
                               int32_t lastColumn) {
  // Two letters reach ZZ (701); sheets wider than that take three.
  const int maxLetters = lastColumn > 701 ? 3 : 2;
  int letters = 0;
  int64_t col = 0;
  while (pos < text.size() && letters < maxLetters && std::isalpha(static_cast<unsigned char>(text[pos]))) {
    int v = std::toupper(static_cast<unsigned char>(text[pos])) - 'A';
    col = letters == 0 ? v : (col + 1) * 26 + v;
    ++letters;
    ++pos;
  }
  if (letters > 0) column = static_cast<int32_t>(col);
  int64_t number = 0;
  bool digits = false;
  while (pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos]))) {
    number = std::min<int64_t>(number * 10 + (text[pos] - '0'), 0x7FFFFFFF);
    digits = true;
    ++pos;
  }
  if (digits) {
    column = std::min(column, lastColumn);
    row = static_cast<int32_t>(std::max<int64_t>(number - 1, 0));
  }
  return pos;
}

}  // namespace

void ParseRangeArgument(std::string_view text, SheetSelection& selection) {
  if (text.size() > 80) text = text.substr(0, 80);
  std::size_t separator = text.find(':');
  if (separator == std::string_view::npos) {
    separator = text.find('.');
    if (separator != std::string_view::npos) {
      std::size_t second = text.find('.', separator + 1);
      if (second != std::string_view::npos) separator = second;
    } else {
      separator = text.find(' ');
    }
  }
  selection.colLast = selection.openColumnEnd;
  selection.rowLast = selection.openRowEnd;
  std::size_t end = ParseCellReference(text, 0, selection.colFirst, selection.rowFirst, selection.lastNamedColumn);
  // A character other than a letter, digit, ":" or "." ends the argument.
  if (end < text.size() && end < separator) {
    char c = text[end];
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != ':' && c != '.') return;
  }
  if (separator == std::string_view::npos) return;
  std::size_t pos = separator + 1;
  while (pos < text.size() && !std::isalnum(static_cast<unsigned char>(text[pos]))) ++pos;
  if (pos >= text.size()) return;
  ParseCellReference(text, pos, selection.colLast, selection.rowLast, selection.lastNamedColumn);
}

namespace {

std::size_t AgreeingCount(const std::string& name, std::string_view key) {
  std::size_t n = 0;
  while (n < key.size() && n < name.size() && name[n] == key[n]) ++n;
  return n;
}

}  // namespace

bool SelectByArgument(SheetSelection& selection, std::string argument, long occurrence) {
  const int64_t sheets = static_cast<int64_t>(selection.sheets.size());
  const int64_t total = sheets + static_cast<int64_t>(selection.ranges.size());
  if (total <= 0) return false;
  argument = Upper(std::move(argument));
  int64_t chosen = selection.selected;

  bool isNumber = !argument.empty() && std::all_of(argument.begin(), argument.end(), [](char c) {
    return std::isdigit(static_cast<unsigned char>(c));
  });
  if (isNumber) {
    long n = 0;
    auto [ptr, ec] = std::from_chars(argument.data(), argument.data() + argument.size(), n);
    char printed[32];
    std::snprintf(printed, sizeof printed, "%ld", n);
    if (ec == std::errc() && ptr == argument.data() + argument.size() && n > 0 && argument == printed)
      chosen = n - 1;
    else
      isNumber = false;
  }
  if (!isNumber && !argument.empty()) {
    std::string_view key = argument;
    bool sheetsOnly = key.rfind("S:", 0) == 0;
    bool rangesOnly = key.rfind("R:", 0) == 0;
    if (sheetsOnly || rangesOnly) key.remove_prefix(2);
    std::size_t bestCount = 0;
    if (sheetsOnly) {
      for (int64_t i = 0; i < sheets; ++i) {
        const std::string& name = selection.sheets[i].name;
        std::size_t count = AgreeingCount(name, key);
        if (count > bestCount) {
          bestCount = count;
          chosen = i;
        }
        if (count == key.size() && name.size() == key.size()) {
          chosen = i;
          break;
        }
      }
    } else if (rangesOnly) {
      int64_t best = 0;
      long exact = 0;
      for (std::size_t i = 0; i < selection.ranges.size(); ++i) {
        const std::string& name = selection.ranges[i].name;
        std::size_t count = AgreeingCount(name, key);
        if (count > bestCount) {
          bestCount = count;
          best = static_cast<int64_t>(i);
        }
        if (count == key.size() && name.size() == key.size()) {
          best = static_cast<int64_t>(i);
          bestCount = count;
          if (++exact == occurrence) break;
        }
      }
      chosen = sheets + best;
    } else {
      bool exactFound = false;
      auto consider = [&](const std::string& name, int64_t index) {
        if (exactFound) return;
        std::size_t count = AgreeingCount(name, key);
        if (count > bestCount) {
          bestCount = count;
          chosen = index;
        }
        if (count == key.size() && name.size() == key.size()) {
          chosen = index;
          exactFound = true;
        }
      };
      for (int64_t i = 0; i < sheets; ++i) consider(selection.sheets[i].name, i);
      for (std::size_t i = 0; i < selection.ranges.size(); ++i)
        consider(selection.ranges[i].name, sheets + static_cast<int64_t>(i));
    }
  }
  chosen = std::clamp<int64_t>(chosen, 0, total - 1);
  selection.selected = static_cast<int32_t>(chosen);
  return true;
}

bool ResolveSelection(SheetSelection& selection, std::string_view rangeArgument) {
  const int64_t sheets = static_cast<int64_t>(selection.sheets.size());
  if (selection.selected < 0) return false;
  if (selection.selected >= sheets) {
    int64_t r = selection.selected - sheets;
    if (r >= static_cast<int64_t>(selection.ranges.size())) return false;
    const RangeEntry& range = selection.ranges[r];
    selection.colFirst = range.colFirst;
    selection.rowFirst = range.rowFirst;
    selection.colLast = range.colLast;
    selection.rowLast = range.rowLast;
    for (int64_t i = 0; i < sheets; ++i) {
      if (selection.sheets[i].ordinal == range.sheetOrdinal) {
        selection.selected = static_cast<int32_t>(i);
        return true;
      }
    }
    return false;
  }
  if (!rangeArgument.empty()) ParseRangeArgument(rangeArgument, selection);
  return true;
}

// ---------------------------------------------------------------- factor notes

namespace {

std::string TrimBlanks(std::string_view s) {
  std::size_t a = 0, b = s.size();
  while (a < b && (s[a] == ' ' || s[a] == '\t')) ++a;
  while (b > a && (s[b - 1] == ' ' || s[b - 1] == '\t')) --b;
  return std::string(s.substr(a, b - a));
}

bool ReadWholeNumber(const std::string& item, double* value) {
  const char* end = nullptr;
  bool rangeError = false;
  if (item.empty()) return false;
  double v = ParseDecimal(item.c_str(), &end, &rangeError);
  if (end == item.c_str() || rangeError) return false;
  while (*end == ' ') ++end;
  if (*end) return false;
  *value = v;
  return true;
}

}  // namespace

bool ApplyFactorNote(Column* column, std::string_view note) {
  if (!column || column->kind != ColumnKind::Factor || column->levelCount <= 1) return false;
  if (note.empty() || note[0] != '!' || note.size() < 2) return false;
  std::string_view list = note.substr(1);
  if (std::size_t eol = list.find_first_of("\r\n"); eol != std::string_view::npos) list = list.substr(0, eol);
  // Leading blanks and an opening bracket.
  while (!list.empty() && list.front() == ' ') list.remove_prefix(1);
  bool labelList = false;
  if (!list.empty() && (list.front() == 'T' || list.front() == 't')) {
    labelList = true;
    list.remove_prefix(1);
  }
  if (!list.empty() && list.front() == '(') list.remove_prefix(1);
  if (!labelList)
    labelList = list.find_first_not_of("(0123456789.+-eE, )") != std::string_view::npos;
  std::vector<std::string> items;
  std::size_t start = 0;
  while (start <= list.size()) {
    std::size_t comma = list.find(',', start);
    // A quoted item may hold commas: it ends at the quote that is followed
    // (after blanks) by a comma, a closing bracket or the end of the list.
    if (std::size_t open = list.find_first_not_of(' ', start); open != std::string_view::npos && open < comma &&
                                                                  list[open] == '\'') {
      for (std::size_t close = list.find('\'', open + 1); close != std::string_view::npos;
           close = list.find('\'', close + 1)) {
        std::size_t after = list.find_first_not_of(' ', close + 1);
        if (after == std::string_view::npos || list[after] == ',' || list[after] == ')') {
          comma = after != std::string_view::npos && list[after] == ',' ? after : list.find(',', close + 1);
          break;
        }
      }
    }
    std::string_view raw = list.substr(start, comma == std::string_view::npos ? std::string_view::npos : comma - start);
    std::string item = TrimBlanks(raw);
    if (comma == std::string_view::npos && !item.empty() && item.back() == ')') item = TrimBlanks(std::string_view(item).substr(0, item.size() - 1));
    if (item.size() >= 2 && item.front() == '\'' && item.back() == '\'') item = item.substr(1, item.size() - 2);
    items.push_back(std::move(item));
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  if (items.size() == 1 && items[0].empty()) return false;
  const int32_t levels = column->levelCount;

  if (labelList && column->labelCount == 0) {
    if (!MakeLabelsFromLevels(column)) return false;
    std::vector<std::string> labels;
    for (int32_t i = 0; i < column->labelCount && i < levels; ++i) labels.emplace_back(column->labels.Get(i));
    labels.resize(static_cast<std::size_t>(levels));
    for (std::size_t i = 0; i < items.size() && i < labels.size(); ++i)
      labels[i] = items[i];
    SetLabelList(column, labels);
    column->longestLabel = 0;
    for (int32_t i = 0; i < column->labelCount; ++i)
      column->longestLabel = std::max<int32_t>(column->longestLabel, static_cast<int32_t>(column->labels.Get(i).size()));
    return true;
  }
  if (!labelList && column->levelValueCount == 0) {
    bool permutation = true;
    for (const auto& item : items) {
      double v;
      if (!ReadWholeNumber(item, &v) || v != std::floor(v) || v < 1 || v > levels) permutation = false;
    }
    if (!permutation) {
      if (!SetLevelValues(column, nullptr)) return false;
      std::vector<double> values;
      for (int32_t i = 0; i < column->levelValueCount; ++i) values.push_back(column->levelValues.Get(i));
      values.resize(static_cast<std::size_t>(levels), 0);
      for (std::size_t i = 0; i < items.size() && i < values.size(); ++i) {
        double v;
        if (ReadWholeNumber(items[i], &v)) values[i] = v;
      }
      SetLevelValueList(column, values);
      return true;
    }
  }
  // A reordering: the levels named by the items first, then the others.
  std::vector<int32_t> order;
  std::vector<uint8_t> taken(static_cast<std::size_t>(levels), 0);
  for (const auto& item : items) {
    double number = 0;
    bool isNumber = ReadWholeNumber(item, &number);
    for (int32_t k = 0; k < levels; ++k) {
      if (taken[k]) continue;
      bool match = false;
      if (k < column->labelCount) {
        std::string_view label = column->labels.Get(k);
        std::string_view wanted = item;
        if (label.size() > static_cast<std::size_t>(kLabelLength)) label = label.substr(0, kLabelLength);
        if (wanted.size() > static_cast<std::size_t>(kLabelLength)) wanted = wanted.substr(0, kLabelLength);
        match = label == wanted;
      }
      if (!match && isNumber) {
        if (k < column->levelValueCount)
          match = column->levelValues.Get(k) == number;
        else if (column->levelValueCount == 0 && column->labelCount == 0)
          match = number == k + 1;
      }
      if (match) {
        taken[k] = 1;
        order.push_back(k);
      }
    }
  }
  for (int32_t k = 0; k < levels; ++k)
    if (!taken[k]) order.push_back(k);
  return ReorderLevels(column, order);
}

// ---------------------------------------------------------------- grid to columns

namespace {

std::string NumberInText(double value) {
  if (value == std::floor(value) && std::fabs(value) <= 9007199254740992.0) {
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "%.0f", value == 0 ? 0.0 : value);
    return buffer;
  }
  return FormatShortestG(value);
}

std::string PrintG(double value, int digits) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.*g", digits, value);
  return buffer;
}

struct Rectangle {
  int64_t c0, r0, c1, r1;
};

}  // namespace

int16_t GridToColumns(SheetSelection& selection, const char* path, const CellGrid& grid, int messageKind) {
  if (!grid.ready) return 0;
  RunState& state = State();
  const std::string& missingText = state.missingText;
  Options* options = CurrentOptions();

  int64_t nameRow = -1, titleRow = -1, typeRow = -1;
  Rectangle rect;
  if (selection.useColumnRow) {
    rect.c0 = std::max<int64_t>(grid.lowColumn, selection.colFirst);
    rect.r0 = std::max<int64_t>(grid.lowRow, int64_t{selection.rowLast} + 1);
    rect.c1 = grid.highColumn;
    rect.r1 = grid.highRow;
    titleRow = selection.rowFirst;
    nameRow = selection.rowLast;
    selection.skipEmptyRows = 1;
    selection.useTitleRow = 1;
    selection.nameRowMode = 1;
    selection.skipHeaderRows = 0;
    bool nameMarked = false, nameFound = false, titleMarked = false;
    for (int64_t r = selection.rowFirst; r <= selection.rowLast; ++r) {
      int64_t slot = GridSlot(grid, r, grid.firstColumn);
      if (GridKind(grid, slot) != CellKind::Text) continue;
      std::string_view text = GridText(grid, slot);
      if (EqualsIgnoringCase(text, "variable_name")) {
        nameRow = r;
        nameMarked = nameFound = true;
      } else if (EqualsIgnoringCase(text, "variable_title")) {
        titleRow = r;
        titleMarked = true;
      } else if (EqualsIgnoringCase(text, "variable_type")) {
        typeRow = r;
      } else if (EqualsIgnoringCase(text, "trait_title")) {
        if (nameFound && !titleMarked) {
          titleRow = r;
          titleMarked = true;
        }
      } else if (!nameMarked && (EqualsIgnoringCase(text, "trait_name") || EqualsIgnoringCase(text, "trait"))) {
        nameRow = r;
        nameFound = true;
      }
    }
  } else {
    rect.c0 = std::max<int64_t>(grid.lowColumn, selection.colFirst);
    rect.r0 = std::max<int64_t>(grid.lowRow, selection.rowFirst);
    rect.c1 = std::min<int64_t>(grid.highColumn, selection.colLast);
    rect.r1 = std::min<int64_t>(grid.highRow, selection.rowLast);
  }
  if (rect.c0 > rect.c1 || rect.r0 > rect.r1) return 0;

  auto rowNonEmpty = [&](int64_t r) {
    for (int64_t c = rect.c0; c <= rect.c1; ++c)
      if (GridKind(grid, GridSlot(grid, r, c)) != CellKind::Empty) return true;
    return false;
  };

  int mode = selection.nameRowMode;
  if (state.namesRowMode == NamesRowMode::Absent)
    mode = 2;
  else if (state.namesRowMode == NamesRowMode::Present)
    mode = 1;

  const bool scan = selection.skipEmptyRows || selection.skipHeaderRows;
  int64_t candidate = -1;
  int64_t dataStart = -1, lastRow = -1;
  std::vector<uint8_t> leftOut;
  LargeResize(leftOut, static_cast<std::size_t>(rect.r1 - rect.r0 + 1));
  if (scan) {
    int32_t headersPassed = 0;
    for (int64_t r = rect.r0; r <= rect.r1; ++r) {
      bool nonEmpty = rowNonEmpty(r);
      if (nonEmpty && r - rect.r0 == selection.nameRowOffset && mode != 2 && nameRow < 0) {
        nameRow = candidate = r;
        continue;
      }
      if (nonEmpty && selection.useTitleRow && r - rect.r0 == selection.titleRowOffset && titleRow < 0) {
        titleRow = r;
        continue;
      }
      if (dataStart < 0) {
        if (!nonEmpty) {
          leftOut[r - rect.r0] = 1;
          continue;
        }
        if (selection.skipHeaderRows && headersPassed < selection.headerRowCount) {
          ++headersPassed;
          leftOut[r - rect.r0] = 1;
          continue;
        }
        dataStart = lastRow = r;
        continue;
      }
      if (nonEmpty)
        lastRow = r;
      else if (selection.skipEmptyRows)
        leftOut[r - rect.r0] = 1;
    }
    if (dataStart < 0 && candidate < 0) return 0;
  } else {
    if (mode != 2) candidate = rect.r0 + selection.nameRowOffset;
    if (selection.useTitleRow) titleRow = rect.r0 + selection.titleRowOffset;
    dataStart = rect.r0;
    lastRow = rect.r1;
  }

  // The name row.
  if (mode == 2) {
    nameRow = -1;
  } else if (!selection.useColumnRow) {
    int64_t row = candidate >= 0 ? candidate : rect.r0;
    if (row == titleRow) ++row;
    if (mode == 1) {
      nameRow = row;
    } else {
      bool holdsNumber = false;
      for (int64_t c = rect.c0; c <= rect.c1; ++c)
        if (GridKind(grid, GridSlot(grid, row, c)) == CellKind::Number) holdsNumber = true;
      if (!holdsNumber) {
        nameRow = row;
      } else {
        nameRow = -1;
        if (scan && candidate >= 0 && (dataStart < 0 || candidate < dataStart)) {
          dataStart = candidate;
          if (lastRow < candidate) lastRow = candidate;
        }
      }
    }
  }
  if (!scan && rect.r0 == rect.r1) nameRow = -1;  // a single row is data
  if (dataStart < 0) return 0;

  std::vector<int64_t> dataRows;
  for (int64_t r = dataStart; r <= lastRow; ++r) {
    if (r == nameRow || r == titleRow || r == typeRow) continue;
    if (r >= rect.r0 && r <= rect.r1 && leftOut[r - rect.r0]) continue;
    PushBack(dataRows, r);
  }
  if (dataRows.empty() || dataRows.size() > 0x7FFFFFFF) return 0;
  const int32_t rowCount = static_cast<int32_t>(dataRows.size());

  Dataset* dataset = CreateDataset();
  dataset->rowCount = rowCount;
  if (!CreateRows(dataset)) return 0;

  std::string labelsWarning;
  int32_t made = 0;
  std::vector<Column*> madeColumns;
  for (int64_t c = rect.c0; c <= rect.c1; ++c) {
    // Which data cells are there.
    int64_t nonEmpty = 0, textCells = 0;
    bool anyRealText = false;
    for (int64_t r : dataRows) {
      int64_t slot = GridSlot(grid, r, c);
      CellKind kind = GridKind(grid, slot);
      if (kind == CellKind::Empty) continue;
      ++nonEmpty;
      if (kind == CellKind::Text) {
        ++textCells;
        if (!IsMissingText(GridText(grid, slot))) anyRealText = true;
      }
    }
    if (nonEmpty == 0) continue;
    if (made >= state.columnLimit) {
      std::printf("Warning Columns above %li NOT transfered!\n", static_cast<long>(state.columnLimit));
      break;
    }

    std::string description;
    bool hasDescription = false;
    if (selection.useTitleRow && titleRow >= 0) {
      int64_t slot = GridSlot(grid, titleRow, c);
      CellKind kind = GridKind(grid, slot);
      if (kind == CellKind::Number)
        description = " " + PrintG(GridNumber(grid, slot), 20);
      else if (kind == CellKind::Text)
        description = " " + std::string(Utf8Prefix(GridText(grid, slot), 39));
      hasDescription = true;
    }

    std::string name;
    bool defaultName = true;
    if (nameRow >= 0) {
      int64_t slot = GridSlot(grid, nameRow, c);
      CellKind kind = GridKind(grid, slot);
      if (kind == CellKind::Text) {
        name = GridText(grid, slot);
        defaultName = false;
      } else if (kind == CellKind::Number) {
        name = "%" + PrintG(GridNumber(grid, slot), 12);
        defaultName = false;
      }
    }
    if (defaultName) name = MakeDefaultName(0);

    std::string factorNote;
    if (nameRow >= 0) {
      for (const CellNote& note : grid.notes) {
        if (note.row != nameRow || note.column != c || note.text.empty()) continue;
        std::size_t bang = note.text.find('!');
        if (bang != std::string::npos) factorNote = note.text.substr(bang);
        if (!selection.useTitleRow) {
          if (bang == std::string::npos) {
            description = note.text;
          } else {
            std::size_t eol = note.text.find_first_of("\r\n", bang);
            if (eol != std::string::npos) {
              std::size_t from = note.text.find_first_not_of("\r\n", eol);
              description = from == std::string::npos ? std::string() : note.text.substr(from);
            }
          }
          hasDescription = true;
        }
        break;
      }
    }

    // Suffixes after ":".
    int suffixFormat = 0, suffixDecimals = -1;
    if (std::size_t colon = name.find(':'); colon != std::string::npos && colon + 1 < name.size()) {
      char s = name[colon + 1];
      if (std::isdigit(static_cast<unsigned char>(s))) {
        suffixFormat = 3;
        suffixDecimals = s - '0';
      } else if (s == 'D' || s == 'd') {
        suffixFormat = 5;
      } else if (s == 'E' || s == 'e') {
        suffixFormat = 2;
      }
      if (suffixFormat) name.erase(colon, 2);
    }

    ColumnKind kind = anyRealText ? ColumnKind::Text : ColumnKind::Variate;
    bool factor = false;
    bool marker = false;
    if (!name.empty() && name.back() == '!') {
      name.pop_back();
      factor = true;
    }
    if (!name.empty() && (name.back() == '#' || name.back() == '$')) {
      kind = name.back() == '#' ? ColumnKind::Variate : ColumnKind::Text;
      name.pop_back();
      marker = true;
      factorNote.clear();
      if (!name.empty() && name.back() == '!') {
        name.pop_back();
        factor = true;
      }
    }
    if (!marker && !factor && selection.factorByTextShare) {
      if (textCells * 2 > nonEmpty) {
        factor = true;
        kind = ColumnKind::Text;
      } else {
        kind = ColumnKind::Variate;
      }
    }
    if (typeRow >= 0) {
      int64_t slot = GridSlot(grid, typeRow, c);
      if (GridKind(grid, slot) == CellKind::Text) {
        std::string_view type = GridText(grid, slot);
        if (EqualsIgnoringCase(type, "factor") || EqualsIgnoringCase(type, "treatment")) factor = true;
      }
    }

    LegalName(name);
    if (name.size() > static_cast<std::size_t>(kNameLength)) name.resize(kNameLength);
    Column* column = AddColumn(dataset, kind, name, kind == ColumnKind::Text ? 90 : 25);
    if (!column) {
      std::printf("Warning Columns above %li NOT transfered!\n", static_cast<long>(state.columnLimit));
      break;
    }
    ++made;
    if (hasDescription) CopyLimited(column->description, description, kNameLength);
    if (!AllocateValues(column, rowCount)) return 0;
    column->valueFormat = kind == ColumnKind::Text ? 4 : 1;
    column->decimals = -1;

    for (int32_t i = 0; i < rowCount; ++i) {
      int64_t r = dataRows[i];
      int64_t slot = GridSlot(grid, r, c);
      CellKind cell = GridKind(grid, slot);
      if (kind == ColumnKind::Variate) {
        double value = kMissingValue;
        if (cell == CellKind::Number) {
          value = std::min(GridNumber(grid, slot), kNumberCap);
        } else if (cell == CellKind::Text) {
          const char* text = GridText(grid, slot);
          if (!IsMissingText(text)) {
            bool doubtful = false;
            value = TextToNumber(text, kMissingValue, &doubtful);
            char position[48];
            std::snprintf(position, sizeof position, "R%" PRId64 "C%ld", r - grid.firstRow + 1, static_cast<long>(made + 1));
            if (labelsWarning.empty()) {
              labelsWarning = std::string("Warning: Labels in numeric column at: ") + position;
            } else if (labelsWarning.size() < 188) {
              labelsWarning += ", ";
              labelsWarning += position;
            } else if (labelsWarning.size() < 194) {
              labelsWarning += "...";
            }
            if (doubtful) {
              std::string cellRef = ColumnLetters(c) + std::to_string(r + 1);
              WriteConversionWarning(column->name, i + 1, cellRef.c_str(), text, value, !(value > kMissingValue));
            }
          }
        }
        SetNumber(column, i, value);
      } else {
        std::string text;
        if (cell == CellKind::Number) {
          text = NumberInText(GridNumber(grid, slot));
        } else if (cell == CellKind::Text) {
          text = GridText(grid, slot);
          if (factor && EqualsIgnoringCase(text, missingText)) text.clear();
        }
        SetText(column, i, text);
      }
    }

    if (suffixFormat && kind != ColumnKind::Text) {
      column->valueFormat = suffixFormat;
      if (suffixFormat == 3) column->decimals = suffixDecimals;
      if (suffixFormat == 5) column->dateRepresentation = 4;
    }
    if (factor) {
      if (kind == ColumnKind::Variate)
        VariateToFactor(column, true);
      else
        TextToFactor(column, options->caseInsensitiveLevels != 0, options->compressBlanks != 0);
      if (!factorNote.empty()) ApplyFactorNote(column, factorNote);
    }
    column->width = ComputeWidth(column);
    madeColumns.push_back(column);
  }
  if (made == 0) return 0;

  if (selection.useColumnRow) {
    int64_t classifiers = int64_t{selection.colLast} - selection.colFirst + 1;
    for (int64_t k = 0; k < classifiers && k < static_cast<int64_t>(madeColumns.size()); ++k) {
      Column* column = madeColumns[k];
      if (column->kind == ColumnKind::Variate)
        VariateToFactor(column, true);
      else if (column->kind == ColumnKind::Text)
        TextToFactor(column, options->caseInsensitiveLevels != 0, options->compressBlanks != 0);
    }
    if (classifiers > 0 && !madeColumns.empty()) {
      Column* first = madeColumns[0];
      if (first->kind == ColumnKind::Factor && first->levelCount == rowCount)
        ConvertColumn(first, ColumnKind::Factor, first->labelCount > 0 ? ColumnKind::TextUnits : ColumnKind::VariateUnits,
                      options->caseInsensitiveLevels != 0, options->compressBlanks != 0);
    }
    for (int64_t r = grid.firstRow; r < selection.rowFirst; ++r) {
      int64_t slot = GridSlot(grid, r, grid.firstColumn);
      if (GridKind(grid, slot) != CellKind::Text) continue;
      std::string key = GridText(grid, slot);
      int64_t next = GridSlot(grid, r, int64_t{grid.firstColumn} + 1);
      CellKind nextKind = GridKind(grid, next);
      std::string note = key + ":";
      if (nextKind == CellKind::Number)
        note += " " + NumberInText(GridNumber(grid, next));
      else if (nextKind == CellKind::Text)
        note += std::string(" ") + GridText(grid, next);
      AppendNote(dataset, note);
    }
  }

  // Where the data came from.
  std::string sheetName;
  if (selection.selected >= 0 && selection.selected < static_cast<int32_t>(selection.sheets.size()))
    sheetName = selection.sheets[selection.selected].name;
  char buffer[1024];
  std::string first = ColumnLetters(rect.c0), last = ColumnLetters(rect.c1);
  if (messageKind == kMessageExcel) {
    std::snprintf(buffer, sizeof buffer, "Data read from %.300s [%.64s]%s%ld:%s%ld", path ? path : "", sheetName.c_str(),
                  first.c_str(), static_cast<long>(rect.r0 + 1), last.c_str(), static_cast<long>(lastRow + 1));
  } else {
    std::string letter(1, static_cast<char>('A' + std::clamp(selection.selected, 0, 25)));
    std::snprintf(buffer, sizeof buffer, "Data read from %.300s - %s:%s%ld..%s%ld", path ? path : "", letter.c_str(),
                  first.c_str(), static_cast<long>(rect.r0 + 1), last.c_str(), static_cast<long>(lastRow + 1));
  }
  state.sourceDescription = std::string(buffer).substr(0, 500);
  std::printf("%s\n", state.sourceDescription.c_str());
  if (!labelsWarning.empty()) std::printf("%s\n", labelsWarning.c_str());
  return 1;
}

}  // namespace trovadex
