// The numbers of the Dataset as one level 4 MAT-file matrix (".mat"): real,
// full, double precision, little-endian, stored column by column.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "core/byteorder.h"
#include "core/dataset.h"
#include "writers/matrix_output.h"
#include "writers/writers.h"

namespace trovadex {

namespace {

constexpr std::size_t kBlockBytes = std::size_t{1} << 20;
constexpr std::size_t kNameBytes = 8;

// The matrix name: at most 8 characters of the Dataset's name, a leading
// "%" or "_" made "X" and every other "%" made "P"; "data" when empty.
std::string MatrixName(Dataset* dataset) {
  std::string& name = dataset->name;
  if (name.size() > kNameBytes) name.resize(kNameBytes);
  name.resize(std::min(name.size(), name.find('\0')));
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (i == 0 && (name[0] == '%' || name[0] == '_'))
      name[0] = 'X';
    else if (name[i] == '%')
      name[i] = 'P';
  }
  return name.empty() ? std::string("data") : name;
}

}  // namespace

int16_t WriteMatlab(Dataset* dataset, const char* path) {
  if (!dataset || !path || dataset->rowCount <= 0 || dataset->columnCount <= 0 || !dataset->firstColumn)
    return 0;
  const OutputMatrix matrix = MakeOutputMatrix(dataset);
  if (matrix.columns.empty()) {
    std::printf("Error: In Write Matlab File - no numeric columns to write.\n");
    return 0;
  }
  std::FILE* out = std::fopen(path, "wb");
  if (!out) {
    std::printf("Error: In Write Matlab File - could not open file: %.100s\n", path);
    return 0;
  }
  const std::string name = MatrixName(dataset);
  std::vector<unsigned char> block(20 + name.size() + 1, 0);
  StoreU32LE(&block[4], static_cast<uint32_t>(matrix.rows));
  StoreU32LE(&block[8], static_cast<uint32_t>(matrix.columns.size()));
  StoreU32LE(&block[16], static_cast<uint32_t>(name.size() + 1));
  std::copy(name.begin(), name.end(), block.begin() + 20);
  bool ok = std::fwrite(block.data(), 1, block.size(), out) == block.size();

  block.resize(kBlockBytes);
  std::size_t used = 0;
  for (std::size_t c = 0; ok && c < matrix.columns.size(); ++c) {
    for (int64_t r = 0; ok && r < matrix.rows; ++r) {
      StoreU64LE(&block[used], OutputElementBits(matrix, r, c));
      used += 8;
      if (used == block.size()) {
        ok = std::fwrite(block.data(), 1, used, out) == used;
        used = 0;
      }
    }
  }
  if (ok && used > 0) ok = std::fwrite(block.data(), 1, used, out) == used;
  if (std::fclose(out) != 0) ok = false;
  if (!ok) std::printf("Error: In Write Matlab File - could not write file: %.100s\n", path);
  return ok ? 1 : 0;
}

}  // namespace trovadex
