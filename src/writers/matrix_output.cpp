#include "writers/matrix_output.h"

#include <bit>
#include <cmath>

namespace trovadex {

namespace {

bool WrittenKind(ColumnKind kind) {
  return IsNumericKind(kind) && kind != ColumnKind::RowIndex && kind != ColumnKind::SymmetricMatrixColumn;
}

// The value of a column's `index`-th stored element; false when missing.
bool StoredValue(const Dataset* d, const Column* c, int64_t index, double& x) {
  if (index < 0 || index >= c->valueCount || index >= c->numbers.size()) return false;
  x = GetNumber(c, index);
  if (c->kind == ColumnKind::Factor) {
    if (!(x > 0) || IsMissing(d, x)) return false;
    if (c->factorDisplay == 1) {
      const double level = std::trunc(x);
      if (level < 1 || level > c->levelValueCount || level > static_cast<double>(c->levelValues.size()))
        return false;
      x = c->levelValues.Get(static_cast<int64_t>(level) - 1);
    }
  }
  return !IsMissing(d, x) && !std::isnan(x);
}

}  // namespace

OutputMatrix MakeOutputMatrix(const Dataset* dataset) {
  OutputMatrix m;
  m.dataset = dataset;
  m.rows = dataset->rowCount;
  m.mirrored = dataset->shape == DatasetShape::SymmetricMatrix;
  if (!dataset->firstColumn) return m;
  for (const Column* c = dataset->firstColumn->next; c; c = c->next) {
    if (m.mirrored ? c->kind == ColumnKind::SymmetricMatrixColumn : WrittenKind(c->kind))
      m.columns.push_back(c);
  }
  return m;
}

uint64_t OutputElementBits(const OutputMatrix& m, int64_t row, std::size_t column) {
  double x = 0;
  bool present;
  if (!m.mirrored) {
    present = StoredValue(m.dataset, m.columns[column], row, x);
  } else {
    // Triangle column j holds (j, j), (j + 1, j), ...: element (i, j) above
    // the diagonal is (j, i) of column i.
    const int64_t j = static_cast<int64_t>(column);
    if (row >= j)
      present = StoredValue(m.dataset, m.columns[column], row - j, x);
    else
      present = StoredValue(m.dataset, m.columns[static_cast<std::size_t>(row)], j - row, x);
  }
  if (!present) return kMatrixMissingBits;
  return std::bit_cast<uint64_t>(x > kNumberCap ? kNumberCap : x);
}

}  // namespace trovadex
