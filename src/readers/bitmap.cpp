// Uncompressed Windows bitmaps (".bmp") of 1, 4, 8, 16, 24 and 32 bits per
// pixel into the Dataset: one row per pixel with its column X, its row Y
// (numbered in file order) and its colour, as Red, Green and Blue or as one
// RGB number.
#include <algorithm>
#include <array>
#include <cstdio>
#include <limits>
#include <vector>

#include "core/byteorder.h"
#include "core/dataset.h"
#include "readers/readers.h"

namespace trovadex {

namespace {

constexpr int64_t kFileHeaderSize = 14;
constexpr int64_t kInfoHeaderSize = 40;  // the smallest header with these fields
constexpr int64_t kRowBlockBytes = int64_t{1} << 20;

struct BitmapFile {
  std::FILE* file = nullptr;
  int64_t size = 0;
  ~BitmapFile() {
    if (file) std::fclose(file);
  }
};

// Reads `count` bytes at `offset`; false when they are not all there.
bool ReadAt(BitmapFile& f, int64_t offset, unsigned char* out, int64_t count) {
  if (offset < 0 || count < 0 || offset > f.size || count > f.size - offset) return false;
  if (fseeko(f.file, static_cast<off_t>(offset), SEEK_SET) != 0) return false;
  return count == 0 || std::fread(out, 1, static_cast<std::size_t>(count), f.file) == static_cast<std::size_t>(count);
}

struct BitmapHeader {
  int64_t dataOffset = 0;
  int64_t headerSize = 0;
  int64_t width = 0;
  int64_t height = 0;  // rows stored; the sign (top-down) does not matter here
  int bitsPerPixel = 0;
  uint32_t compression = 0;
  int64_t coloursUsed = 0;
  int64_t rowBytes = 0;
};

struct Colour {
  unsigned char red = 0, green = 0, blue = 0;
};

// Colour of pixel j of a stored row.
Colour PixelColour(const unsigned char* row, int64_t j, int bits, const std::vector<Colour>& palette) {
  Colour c;
  int64_t index = -1;
  switch (bits) {
    case 1:
      index = (row[j >> 3] >> (7 - (j & 7))) & 1;
      break;
    case 4:
      index = (j & 1) ? (row[j >> 1] & 15) : (row[j >> 1] >> 4);
      break;
    case 8:
      index = row[j];
      break;
    case 16: {
      // 5 bits each, kept on their own 0..31 scale.
      const uint16_t v = LoadU16LE(row + 2 * j);
      c.blue = static_cast<unsigned char>(v & 31);
      c.green = static_cast<unsigned char>((v >> 5) & 31);
      c.red = static_cast<unsigned char>((v >> 10) & 31);
      return c;
    }
    default: {  // 24 and 32: blue, green, red (and an unused byte)
      const unsigned char* p = row + j * (bits / 8);
      c.blue = p[0];
      c.green = p[1];
      c.red = p[2];
      return c;
    }
  }
  // An index past the palette shows black.
  if (index >= 0 && index < static_cast<int64_t>(palette.size())) c = palette[static_cast<std::size_t>(index)];
  return c;
}

}  // namespace

int16_t ReadBitmap(const char* path, bool splitColour) {
  BitmapFile f;
  if (!path || !(f.file = std::fopen(path, "rb"))) return 0;
  if (fseeko(f.file, 0, SEEK_END) != 0) return 0;
  f.size = static_cast<int64_t>(ftello(f.file));
  if (f.size < 0) return 0;

  unsigned char head[kFileHeaderSize + kInfoHeaderSize];
  if (!ReadAt(f, 0, head, 2) || head[0] != 'B' || head[1] != 'M') {
    std::printf("Error: %.100s is NOT a bitmap file!\n", path);
    return 0;
  }
  if (!ReadAt(f, 0, head, sizeof head)) {
    std::printf("Error: Bitmap file %.100s ends inside its header.\n", path);
    return 0;
  }
  BitmapHeader h;
  h.dataOffset = LoadU32LE(head + 10);
  h.headerSize = LoadU32LE(head + 14);
  h.width = LoadI32LE(head + 18);
  h.height = LoadI32LE(head + 22);
  if (h.height < 0) h.height = -h.height;  // top-down rows; still numbered in file order
  h.bitsPerPixel = LoadU16LE(head + 28);
  h.compression = LoadU32LE(head + 30);
  h.coloursUsed = LoadU32LE(head + 46);

  // The older 12-byte header has none of the fields read here.
  if (h.headerSize < kInfoHeaderSize) {
    std::printf("Error: Bitmap header size is invalid (%lli)\n", static_cast<long long>(h.headerSize));
    return 0;
  }
  // RLE, and also bit-field masks (how 16-bit and newer 32-bit bitmaps are
  // often written), are compressions this reader does not decode.
  if (h.compression != 0) {
    std::printf("Sorry: RLE Compressed Bitmaps not yet supported!\n");
    return 0;
  }
  const int bits = h.bitsPerPixel;
  if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32) {
    std::printf("Error: Bitmaps of %i bits per pixel are not supported\n", bits);
    return 0;
  }
  if (h.width <= 0 || h.height <= 0) {
    std::printf("Error: Bitmap size is invalid (%lli x %lli)\n", static_cast<long long>(h.width),
                static_cast<long long>(h.height));
    return 0;
  }
  // Each row is padded to whole 4-byte words.
  h.rowBytes = (h.width * bits + 31) / 32 * 4;
  if (h.dataOffset > f.size || h.rowBytes > (f.size - h.dataOffset) / h.height) {
    std::printf("Error: Bitmap of %lli x %lli pixels is larger than the file holds\n",
                static_cast<long long>(h.width), static_cast<long long>(h.height));
    return 0;
  }
  const int64_t pixels = h.width * h.height;
  if (pixels > std::numeric_limits<int32_t>::max()) {
    std::printf("Error: Bitmap of %lli pixels has too many for one table\n", static_cast<long long>(pixels));
    return 0;
  }

  // The palette follows the header, whatever its size; it holds the
  // colours-used count of entries, or all 2^bits when that is 0.
  std::vector<Colour> palette;
  if (bits <= 8) {
    const int64_t full = int64_t{1} << bits;
    int64_t entries = h.coloursUsed == 0 ? full : std::min(h.coloursUsed, full);
    const int64_t start = kFileHeaderSize + h.headerSize;
    entries = std::clamp<int64_t>((f.size - start) / 4, 0, entries);
    std::array<unsigned char, 4 * 256> bytes{};
    if (entries > 0 && !ReadAt(f, start, bytes.data(), 4 * entries)) return 0;
    for (int64_t i = 0; i < entries; ++i) palette.push_back({bytes[4 * i + 2], bytes[4 * i + 1], bytes[4 * i]});
  }

  Dataset* dataset = CreateDataset();
  dataset->rowCount = static_cast<int32_t>(pixels);
  if (!CreateRows(dataset)) return 0;
  const int32_t n = static_cast<int32_t>(pixels);
  Column* xs = AddColumnWithValues(dataset, ColumnKind::Variate, "X", n);
  Column* ys = AddColumnWithValues(dataset, ColumnKind::Variate, "Y", n);
  Column *reds = nullptr, *greens = nullptr, *blues = nullptr, *rgbs = nullptr;
  if (splitColour) {
    reds = AddColumnWithValues(dataset, ColumnKind::Variate, "Red", n);
    greens = AddColumnWithValues(dataset, ColumnKind::Variate, "Green", n);
    blues = AddColumnWithValues(dataset, ColumnKind::Variate, "Blue", n);
  } else {
    rgbs = AddColumnWithValues(dataset, ColumnKind::Variate, "RGB", n);
  }
  if (!xs || !ys || (splitColour ? !reds || !greens || !blues : !rgbs)) return 0;

  // Whole rows are read a block at a time.
  const int64_t blockRows = std::max<int64_t>(1, kRowBlockBytes / h.rowBytes);
  std::vector<unsigned char> block;
  LargeResize(block, static_cast<std::size_t>(std::min(blockRows, h.height) * h.rowBytes));
  int64_t at = 0;
  for (int64_t y = 0; y < h.height; y += blockRows) {
    const int64_t rows = std::min(blockRows, h.height - y);
    if (!ReadAt(f, h.dataOffset + y * h.rowBytes, block.data(), rows * h.rowBytes)) {
      std::printf("Error: Bitmap file %.100s ends inside its pixel rows.\n", path);
      return 0;
    }
    for (int64_t i = 0; i < rows; ++i) {
      const unsigned char* row = block.data() + i * h.rowBytes;
      for (int64_t j = 0; j < h.width; ++j, ++at) {
        const Colour c = PixelColour(row, j, bits, palette);
        SetNumber(xs, at, static_cast<double>(j));
        SetNumber(ys, at, static_cast<double>(y + i));
        if (splitColour) {
          SetNumber(reds, at, c.red);
          SetNumber(greens, at, c.green);
          SetNumber(blues, at, c.blue);
        } else {
          SetNumber(rgbs, at, c.red * 65536.0 + c.green * 256.0 + c.blue);
        }
      }
    }
  }
  return 1;
}

}  // namespace trovadex
