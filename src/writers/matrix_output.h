// The numeric matrix that the Gauss and Matlab writers make of a Dataset:
// which columns it holds and the element at one row and column.
#pragma once

#include <cstdint>
#include <vector>

#include "core/dataset.h"

namespace trovadex {

// The missing element of both formats: a NaN whose bytes, stored
// little-endian, are 00 00 00 00 FF FF FF 7F.
inline constexpr uint64_t kMatrixMissingBits = 0x7FFFFFFF00000000ull;

struct OutputMatrix {
  const Dataset* dataset = nullptr;
  std::vector<const Column*> columns;
  int64_t rows = 0;
  bool mirrored = false;  // a symmetric matrix's lower triangle, written in full
};

// The data columns that hold numbers (factors included; texts and units
// texts left out). A SymmetricMatrix gives its triangle columns, mirrored.
OutputMatrix MakeOutputMatrix(const Dataset* dataset);

// The bits of the element at (row, column): the number, or kMatrixMissingBits
// for a missing value, a factor level without a value, a row past the end of
// a short column, or an element above the stored triangle.
uint64_t OutputElementBits(const OutputMatrix& matrix, int64_t row, std::size_t column);

}  // namespace trovadex
