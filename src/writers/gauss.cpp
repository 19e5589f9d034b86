// The numbers of the Dataset as a Gauss matrix file (".fmt", loaded with
// LOADM): a short header (eight 16-bit fields) when the data take at most
// 65534 bytes, else a long one (four 32-bit fields), then the doubles row by
// row. Little-endian, or all byte-reversed when the Gauss file read in this
// run was.
#include <cstdio>
#include <vector>

#include "core/byteorder.h"
#include "core/dataset.h"
#include "writers/matrix_output.h"
#include "writers/writers.h"

namespace trovadex {

namespace {

constexpr std::size_t kBlockBytes = std::size_t{1} << 20;
constexpr int64_t kShortHeaderLimit = 65534;
constexpr int64_t kLongHeaderLimit = 2147483647;  // the size field holds bytes
constexpr uint32_t kLongMarker = 8842973;          // bytes DD EE 86 00

}  // namespace

int16_t WriteGauss(Dataset* dataset, const char* path) {
  if (!dataset || !path || dataset->shape == DatasetShape::SymmetricMatrix || dataset->rowCount <= 0 ||
      dataset->columnCount <= 0 || !dataset->firstColumn)
    return 0;
  const OutputMatrix matrix = MakeOutputMatrix(dataset);
  if (matrix.columns.empty()) {
    std::printf("Error: In Writing Gauss File - no numeric columns to write.\n");
    return 0;
  }
  const int64_t rows = matrix.rows;
  const int64_t columns = static_cast<int64_t>(matrix.columns.size());
  const int64_t bytes = rows * columns * 8;
  if (bytes > kLongHeaderLimit) {
    std::printf("Error: In Writing Gauss File - more than 2147483647 bytes of data.\n");
    return 0;
  }
  const bool swap = State().gaussByteOrder != 0;
  std::vector<unsigned char> block(16, 0);
  if (bytes <= kShortHeaderLimit) {
    const uint16_t fields[8] = {0xDDDD, static_cast<uint16_t>(rows), static_cast<uint16_t>(columns),
                                static_cast<uint16_t>(bytes), 134, 0, 0, 0};
    for (int i = 0; i < 8; ++i) swap ? StoreU16BE(&block[2 * i], fields[i]) : StoreU16LE(&block[2 * i], fields[i]);
  } else {
    const uint32_t fields[4] = {kLongMarker, static_cast<uint32_t>(rows), static_cast<uint32_t>(columns),
                                static_cast<uint32_t>(bytes)};
    for (int i = 0; i < 4; ++i) swap ? StoreU32BE(&block[4 * i], fields[i]) : StoreU32LE(&block[4 * i], fields[i]);
  }
  std::FILE* out = std::fopen(path, "wb");
  if (!out) {
    std::printf("Error: In Writing Gauss File - could not open file: %.100s\n", path);
    return 0;
  }
  bool ok = std::fwrite(block.data(), 1, block.size(), out) == block.size();
  block.resize(kBlockBytes);
  std::size_t used = 0;
  for (int64_t r = 0; ok && r < rows; ++r) {
    for (std::size_t c = 0; c < matrix.columns.size(); ++c) {
      const uint64_t bits = OutputElementBits(matrix, r, c);
      swap ? StoreU64BE(&block[used], bits) : StoreU64LE(&block[used], bits);
      used += 8;
      if (used == block.size()) {
        ok = ok && std::fwrite(block.data(), 1, used, out) == used;
        used = 0;
      }
    }
  }
  if (ok && used > 0) ok = std::fwrite(block.data(), 1, used, out) == used;
  if (std::fclose(out) != 0) ok = false;
  if (!ok) std::printf("Error: In Writing Gauss File - could not write file: %.100s\n", path);
  return ok ? 1 : 0;
}

}  // namespace trovadex
