// Column list maintenance, empty-row and empty-column marking, print widths.

#include "core/columns.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "core/format.h"

namespace trovadex {

namespace {

bool IsUnitsKind(ColumnKind kind) {
  return kind == ColumnKind::TextUnits || kind == ColumnKind::VariateUnits;
}

// Columns counted in unitsColumnCount: "Row", the units column, and the
// classifying factors of a table.
bool CountsAsUnits(const Dataset* dataset, const Column* column) {
  if (column->kind == ColumnKind::RowIndex || IsUnitsKind(column->kind)) return true;
  return column->kind == ColumnKind::Factor && dataset->shape == DatasetShape::Table;
}

void ResetColumnCache(Dataset* dataset) {
  dataset->cachedColumnIndex = -1;
  dataset->cachedColumn = nullptr;
}

bool IsLinked(const Dataset* dataset, const Column* column) {
  return column->prev != nullptr || dataset->firstColumn == column;
}

// Row j and the j-th non-units column are empty only as a pair.
long PairRowsWithColumns(Dataset* dataset) {
  std::vector<Column*> columns;
  for (Column* c = dataset->firstColumn; c; c = c->next) {
    if (c->kind != ColumnKind::RowIndex && !IsUnitsKind(c->kind)) columns.push_back(c);
  }
  const std::size_t rows = std::min<std::size_t>(dataset->rows.size(),
                                                 static_cast<std::size_t>(std::max(0, dataset->rowCount)));
  long pairs = 0;
  const std::size_t n = std::max(rows, columns.size());
  for (std::size_t j = 0; j < n; ++j) {
    bool rowEmpty = j < rows && dataset->rows[j].empty != 0;
    bool columnEmpty = j < columns.size() && columns[j]->empty != 0;
    bool both = rowEmpty && columnEmpty;
    if (j < rows) dataset->rows[j].empty = both ? 1 : 0;
    if (j < columns.size()) columns[j]->empty = both ? 1 : 0;
    if (both) ++pairs;
  }
  return pairs;
}

long MarkRows(Dataset* dataset) {
  const std::size_t rows = std::min<std::size_t>(dataset->rows.size(),
                                                 static_cast<std::size_t>(std::max(0, dataset->rowCount)));
  std::vector<char> hasValue(rows, 0);
  // A symmetric matrix column i (counted from 0 after the units columns)
  // holds values only in rows i and later; a row's scan ends at the first
  // such column beyond it, so every later column starts at that row too.
  int64_t firstRow = 0;
  int64_t dataIndex = 0;
  const double missing = dataset->missingValue;
  for (Column* c = dataset->firstColumn; c; c = c->next) {
    if (c->kind == ColumnKind::RowIndex || IsUnitsKind(c->kind)) continue;
    if (c->kind == ColumnKind::SymmetricMatrixColumn) firstRow = std::max(firstRow, dataIndex);
    ++dataIndex;
    if (IsTextKind(c->kind)) {
      const int64_t n = std::min<int64_t>(static_cast<int64_t>(rows), c->texts.size());
      for (int64_t r = firstRow; r < n; ++r) {
        if (!hasValue[r] && !c->texts.Get(r).empty()) hasValue[r] = 1;
      }
    } else if (IsNumericKind(c->kind)) {
      const int64_t n = std::min<int64_t>(static_cast<int64_t>(rows), c->numbers.size());
      for (int64_t r = firstRow; r < n; ++r) {
        if (!hasValue[r] && c->numbers.Get(r) > missing) hasValue[r] = 1;
      }
    }
  }
  long empty = 0;
  for (std::size_t r = 0; r < rows; ++r) {
    dataset->rows[r].empty = hasValue[r] ? 0 : 1;
    if (!hasValue[r]) ++empty;
  }
  return empty;
}

long MarkColumns(Dataset* dataset) {
  long empty = 0;
  const double missing = dataset->missingValue;
  for (Column* c = dataset->firstColumn; c; c = c->next) {
    if (c->kind == ColumnKind::RowIndex) continue;
    bool isEmpty = true;
    if (IsTextKind(c->kind)) {
      const int64_t n = std::min<int64_t>(c->valueCount, c->texts.size());
      for (int64_t i = 0; i < n && isEmpty; ++i) isEmpty = c->texts.Get(i).empty();
    } else if (IsNumericKind(c->kind)) {
      const int64_t n = std::min<int64_t>(c->valueCount, c->numbers.size());
      for (int64_t i = 0; i < n && isEmpty; ++i) isEmpty = !(c->numbers.Get(i) > missing);
    }
    c->empty = isEmpty ? 1 : 0;
    if (isEmpty) ++empty;
  }
  return empty;
}

int32_t Longer(int32_t current, int length) { return std::max(current, static_cast<int32_t>(length)); }

}  // namespace

void RenumberPositions(Dataset* dataset) {
  if (dataset == nullptr) return;
  int32_t position = 0;
  for (Column* c = dataset->firstColumn; c; c = c->next) c->position = position++;
}

bool UnlinkColumn(Column* column) {
  if (column == nullptr || column->dataset == nullptr) return false;
  Dataset* dataset = column->dataset;
  if (!IsLinked(dataset, column)) return false;
  if (column->prev) {
    column->prev->next = column->next;
  } else {
    dataset->firstColumn = column->next;
  }
  if (column->next) {
    column->next->prev = column->prev;
  } else {
    dataset->lastColumn = column->prev;
  }
  column->next = nullptr;
  column->prev = nullptr;
  if (column->kind != ColumnKind::RowIndex) --dataset->columnCount;
  if (CountsAsUnits(dataset, column)) --dataset->unitsColumnCount;
  ResetColumnCache(dataset);
  RenumberPositions(dataset);
  return true;
}

bool InsertColumn(Dataset* dataset, Column* column, int32_t place) {
  if (dataset == nullptr || column == nullptr) return false;
  // A column still linked into a list would corrupt both lists.
  if (column->prev != nullptr || column->next != nullptr) return false;
  if (dataset->firstColumn == column) return false;
  if (column->dataset != nullptr && column->dataset != dataset &&
      column->dataset->firstColumn == column) {
    return false;
  }
  if (place <= 0 || dataset->firstColumn == nullptr) {
    column->next = dataset->firstColumn;
    if (dataset->firstColumn) {
      dataset->firstColumn->prev = column;
    } else {
      dataset->lastColumn = column;
    }
    dataset->firstColumn = column;
  } else if (place > dataset->columnCount) {
    column->prev = dataset->lastColumn;
    if (dataset->lastColumn) dataset->lastColumn->next = column;
    dataset->lastColumn = column;
  } else {
    Column* before = ColumnAt(dataset, place);
    if (before == nullptr) return false;
    column->prev = before->prev;
    column->next = before;
    if (before->prev) {
      before->prev->next = column;
    } else {
      dataset->firstColumn = column;
    }
    before->prev = column;
  }
  column->dataset = dataset;
  if (column->kind != ColumnKind::RowIndex) ++dataset->columnCount;
  if (CountsAsUnits(dataset, column)) ++dataset->unitsColumnCount;
  ResetColumnCache(dataset);
  RenumberPositions(dataset);
  return true;
}

bool MoveColumn(Dataset* dataset, int32_t from, int32_t to) {
  if (dataset == nullptr || dataset->locked || from < 1 || to < 1) return false;
  Column* column = ColumnAt(dataset, from);
  if (column == nullptr || column->kind == ColumnKind::RowIndex) return false;
  if (to > dataset->columnCount) return false;
  if (IsUnitsKind(column->kind)) {
    if (to != 1) return false;
  } else if (from == to) {
    return true;
  }
  if (dataset->shape == DatasetShape::Table && (from == 1 || to == 1)) return false;
  // The columns that shift must not be "Row" or a units column.
  const int32_t low = to < from ? to : from + 1;
  const int32_t high = to < from ? from - 1 : to;
  for (int32_t p = low; p <= high; ++p) {
    Column* c = ColumnAt(dataset, p);
    if (c == nullptr || c->kind == ColumnKind::RowIndex || IsUnitsKind(c->kind)) return false;
  }
  if (!UnlinkColumn(column)) return false;
  if (!InsertColumn(dataset, column, to)) {
    // Cannot happen for a position checked above; put it back at the end.
    InsertColumn(dataset, column, dataset->columnCount + 1);
    return false;
  }
  const bool numbered = dataset->shape == DatasetShape::Matrix ||
                        dataset->shape == DatasetShape::SymmetricMatrix ||
                        (dataset->shape == DatasetShape::Table && dataset->classifierCount == 2);
  if (numbered && dataset->labelStyle == 0) NumberColumns(dataset);
  ResetColumnCache(dataset);
  return true;
}

void NumberColumns(Dataset* dataset) {
  if (dataset == nullptr) return;
  Column* c = ColumnAt(dataset, dataset->unitsColumnCount);
  long k = 1;
  for (; c; c = c->next) {
    if (c->kind == ColumnKind::RowIndex) continue;
    char buf[32];
    std::snprintf(buf, sizeof buf, "%ld", k++);
    c->name = buf;
  }
}

long MarkEmptyRows(Dataset* dataset, bool pairWithColumns) {
  if (dataset == nullptr) return 0;
  long empty = MarkRows(dataset);
  if (pairWithColumns && dataset->shape == DatasetShape::SymmetricMatrix && empty > 0) {
    MarkColumns(dataset);
    return PairRowsWithColumns(dataset);
  }
  return empty;
}

long MarkEmptyColumns(Dataset* dataset, bool pairWithRows) {
  if (dataset == nullptr) return 0;
  long empty = MarkColumns(dataset);
  if (pairWithRows && dataset->shape == DatasetShape::SymmetricMatrix && empty > 0) {
    MarkRows(dataset);
    return PairRowsWithColumns(dataset);
  }
  return empty;
}

int32_t ComputeWidth(Column* column) {
  if (column == nullptr) return 0;
  if (column->valueFormat == 5) {
    SetCurrentDateBase(column->dateBase);
    SetCurrentDateRepresentation(column->dateRepresentation);
  }
  const double missing = column->dataset ? column->dataset->missingValue : kMissingValue;
  char buf[kNumberTextSize];
  int32_t b = 0;
  if (column->kind == ColumnKind::Factor) {
    switch (column->factorDisplay) {
      case 0:
        b = static_cast<int32_t>(
                std::ceil(std::log10(static_cast<double>(std::max(0, column->levelCount)) + 1))) +
            1;
        break;
      case 1:
        if (column->levelValueCount > 0) {
          const int64_t n = std::min<int64_t>(column->levelValueCount, column->levelValues.size());
          for (int64_t i = 0; i < n; ++i) {
            b = Longer(b, FormatNumber(buf, column->levelValues.Get(i), column->valueFormat,
                                       column->decimals, missing));
          }
        } else if (column->levelCount > 0) {
          // Levels without values show their numbers 1..levelCount.
          b = Longer(b, FormatNumber(buf, column->levelCount, column->valueFormat, column->decimals,
                                     missing));
        }
        break;
      case 2: {
        int32_t longest = 0;
        const int64_t n = std::min<int64_t>(column->labelCount, column->labels.size());
        for (int64_t i = 0; i < n; ++i) {
          longest = Longer(longest, static_cast<int>(column->labels.Get(i).size()));
        }
        column->longestLabel = longest;
        b = longest;
        break;
      }
      default:
        b = 2;
        break;
    }
  } else if (IsTextKind(column->kind)) {
    int32_t longest = 0;
    const int64_t n = std::min<int64_t>(column->valueCount, column->texts.size());
    for (int64_t i = 0; i < n; ++i) {
      longest = Longer(longest, static_cast<int>(column->texts.Get(i).size()));
    }
    column->levelCount = longest;
    b = longest;
  } else if (IsNumericKind(column->kind)) {
    const int64_t n = std::min<int64_t>(column->valueCount, column->numbers.size());
    for (int64_t i = 0; i < n; ++i) {
      b = Longer(b, FormatNumber(buf, column->numbers.Get(i), column->valueFormat,
                                 column->decimals, missing));
    }
  }
  b = std::max(b, 2);
  b = std::max(b, static_cast<int32_t>(std::min<std::size_t>(column->name.size(), 11)));
  column->width = b + 1;
  return column->width;
}

int EstimateDigits(double value, int /*decimals*/) {
  const double magnitude = std::fabs(value);
  if (magnitude > 1e-12 && magnitude < 1e12) {
    // The range check keeps the truncated logarithm within -12..11.
    return std::abs(static_cast<int>(std::log10(magnitude))) + 3;
  }
  return value == 0 ? 3 : 15;
}

}  // namespace trovadex
