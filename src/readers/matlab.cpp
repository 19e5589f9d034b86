// The first matrix of a level 4 MAT-file (".mat") into a Matrix-shaped
// Dataset. Only real, full, double-precision matrices stored little-endian
// are read: the type field must be 0.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "core/byteorder.h"
#include "core/dataset.h"
#include "core/names.h"
#include "readers/matrix_input.h"
#include "readers/readers.h"

namespace trovadex {

namespace {

constexpr std::size_t kHeaderBytes = 20;
// The name is kept to this many bytes; a longer one is read and stepped over.
constexpr int64_t kKeptNameBytes = kNameLength;
// Elements are converted this many at a time.
constexpr int64_t kChunkElements = 8192;

}  // namespace

int16_t ReadMatlab(const char* path) {
  BlockInput in;
  if (!in.Open(path)) return 0;
  unsigned char head[kHeaderBytes];
  if (!in.Read(head, sizeof head)) return 0;
  // type (MOPT), rows, columns, imaginary flag, name length with its NUL
  const int32_t type = LoadI32LE(head);
  const int64_t rows = LoadI32LE(head + 4);
  const int64_t columns = LoadI32LE(head + 8);
  const int32_t imaginary = LoadI32LE(head + 12);
  const int64_t nameLength = LoadI32LE(head + 16);
  if (type != 0 || imaginary != 0) {
    std::printf("Error: Only real double matrices stored little-endian can be read from Matlab files.\n");
    return 0;
  }
  if (rows <= 0 || columns <= 0 || nameLength < 0) return 0;
  // Every element of the matrix must be there before anything is sized by it.
  if (nameLength > in.Remaining() || rows * columns > (in.Remaining() - nameLength) / 8) {
    std::printf("Error: Matlab file %.100s ends inside its first matrix.\n", path);
    return 0;
  }
  std::string name(static_cast<std::size_t>(std::min(nameLength, kKeptNameBytes)), '\0');
  if (!in.Read(name.data(), name.size()) || !in.Skip(nameLength - static_cast<int64_t>(name.size())))
    return 0;
  name.resize(std::min(name.size(), name.find('\0')));
  LegalName(name);

  Dataset* dataset = CreateDataset();
  dataset->name = name;
  dataset->sourceFormat = 20;
  dataset->shape = DatasetShape::Matrix;
  dataset->rowCount = static_cast<int32_t>(rows);
  if (!CreateRows(dataset)) return 0;

  const int64_t limit = State().columnLimit;
  if (columns > limit) std::printf("Warning Columns above %li NOT transfered!\n", static_cast<long>(limit));
  const int64_t kept = std::min(columns, limit);
  std::vector<unsigned char> chunk(static_cast<std::size_t>(kChunkElements * 8));
  for (int64_t c = 0; c < kept; ++c) {
    Column* column = AddColumn(dataset, ColumnKind::MatrixColumn, std::to_string(c + 1), 25);
    if (!column || !AllocateValues(column, dataset->rowCount)) return 0;
    column->valueFormat = 1;
    column->decimals = -1;
    int digits = 0;
    for (int64_t r = 0; r < rows; r += kChunkElements) {
      const int64_t n = std::min(kChunkElements, rows - r);
      if (!in.Read(chunk.data(), static_cast<std::size_t>(n * 8))) {
        std::printf("Error: Matlab file %.100s ends inside its first matrix.\n", path);
        return 0;
      }
      for (int64_t i = 0; i < n; ++i) {
        const double x = MatrixNumber(LoadF64LE(&chunk[static_cast<std::size_t>(i * 8)]));
        SetNumber(column, r + i, x);
        digits = std::max(digits, MatrixDigits(x));
      }
    }
    SetMatrixWidth(column, digits);
  }
  return in.Close() ? 1 : 0;
}

}  // namespace trovadex
