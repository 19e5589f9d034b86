// Gauss matrix files (".fmt") and data sets into the Dataset. Six header
// layouts, told apart by the first 16-bit field:
//   DDDD short matrix header, EEDD long matrix header (data follow, 8-byte
//   elements row by row); DADA short and EEDA long data-set header (".dht",
//   the data in the ".dat" file beside it); FFFF the marked header with its
//   byte-order mark; 0000 the zero-prefixed header. The last two hold data
//   sets or matrices and their data follow in the same file.
// Fields are little-endian unless the file says otherwise; the byte order
// found is left in the run state, so that a Gauss output of the same run
// is written in it.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/byteorder.h"
#include "core/dataset.h"
#include "core/names.h"
#include "readers/matrix_input.h"
#include "readers/readers.h"

namespace trovadex {

namespace {

constexpr int64_t kFixedHeaderBytes = 128;  // every layout's names (or dimensions) start here
constexpr std::size_t kMaxHeaderPath = 252;
constexpr int64_t kRowBlockBytes = int64_t{1} << 20;

struct GaussLayout {
  bool matrix = false;
  int64_t rows = 0;       // data sets with a ".dat" file: from its size
  int64_t columns = 0;
  int64_t elementSize = 8;
  bool byColumn = false;  // marked matrices stored column by column
  bool separateData = false;
  int64_t nameBytes = 0;  // 8 or 32 per variable; 0 for matrices
  bool typeBytes = false; // one byte per variable after the names: 0 = character
};

// Header fields in the file's byte order.
struct HeaderBytes {
  const unsigned char* b = nullptr;
  int64_t size = 0;
  bool swap = false;
  bool Has(int64_t at, int64_t n) const { return at >= 0 && at + n <= size; }
  int64_t I16(int64_t at) const { return swap ? LoadI16BE(b + at) : LoadI16LE(b + at); }
  int64_t I32(int64_t at) const { return swap ? LoadI32BE(b + at) : LoadI32LE(b + at); }
  uint32_t U32(int64_t at) const { return swap ? LoadU32BE(b + at) : LoadU32LE(b + at); }
};

int64_t ElementSize(int64_t stored) { return stored == 4 || stored == 2 ? stored : 8; }

// Dimensions of a marked or zero-prefixed matrix at offset 128.
bool MatrixDimensions(const HeaderBytes& h, int64_t dimensions, GaussLayout& g, int64_t& dataAt) {
  g.matrix = true;
  dataAt = kFixedHeaderBytes;
  if (dimensions == 0) {
    g.rows = g.columns = 1;
    return true;
  }
  if (!h.Has(kFixedHeaderBytes, 8)) return false;
  if (dimensions == 1) {  // rows, then a field not used
    g.columns = 1;
    g.rows = h.I32(kFixedHeaderBytes);
    dataAt += 8;
    return true;
  }
  if (dimensions != 2) return false;
  g.rows = h.I32(kFixedHeaderBytes);
  g.columns = h.I32(kFixedHeaderBytes + 4);
  dataAt += 8;
  return true;
}

// Decodes the header; `dataAt` is where the data start (in this file). The
// swap flag may change on the way.
bool ParseHeader(HeaderBytes& h, GaussLayout& g, int64_t& dataAt) {
  if (!h.Has(0, 16)) return false;
  switch (static_cast<uint16_t>(h.I16(0))) {
    case 0xDDDD:
      if (h.I16(8) != 134) return false;
      g.matrix = true;
      g.rows = h.I16(2);
      g.columns = h.I16(4);
      dataAt = 16;
      return true;
    case 0xEEDD:
      if (h.I16(2) != 134) return false;
      g.matrix = true;
      g.rows = h.I32(4);
      g.columns = h.I32(8);
      dataAt = 16;
      return true;
    case 0xDADA:
    case 0xEEDA: {
      if (!h.Has(0, kFixedHeaderBytes)) return false;
      const bool shortHeader = static_cast<uint16_t>(h.I16(0)) == 0xDADA;
      g.columns = shortHeader ? h.I16(6) : h.I32(8);
      g.elementSize = ElementSize(shortHeader ? h.I16(12) : h.I16(2));
      const int64_t flags = shortHeader ? h.I16(22) : h.I16(28);
      if (flags & 4) return false;
      g.separateData = true;
      g.nameBytes = 8;
      dataAt = kFixedHeaderBytes;
      return true;
    }
    case 0xFFFF: {
      if (!h.Has(0, kFixedHeaderBytes) || static_cast<uint16_t>(h.I16(2)) != 0xFFFF || h.I32(4) != 0) return false;
      const int64_t dataOrder = h.I32(20);
      const uint32_t mark = h.U32(28);
      bool dataSet;
      if (mark == 0xABCDEF01u || mark == 0xABCDEF02u) {
        dataSet = mark == 0xABCDEF02u;
      } else if (mark == 0x01EFCDABu || mark == 0x02EFCDABu) {
        dataSet = mark == 0x02EFCDABu;
        h.swap = !h.swap;  // the rest of the header is in the other byte order
      } else {
        return false;
      }
      g.elementSize = ElementSize(h.I32(48));
      if (h.I32(52) != 0) return false;
      const int64_t dimensions = h.I32(60);
      if (dataSet) {
        g.rows = h.I32(80);
        g.columns = h.I32(84);
        g.nameBytes = 32;
        g.typeBytes = true;
        dataAt = kFixedHeaderBytes;
      } else {
        g.byColumn = h.I32(64) == 2;
        if (!MatrixDimensions(h, dimensions, g, dataAt)) return false;
      }
      h.swap = dataOrder != 0;
      return true;
    }
    case 0x0000: {
      if (!h.Has(0, kFixedHeaderBytes)) return false;
      // The mark as written, or byte-reversed: then every field and element is.
      uint32_t mark = h.U32(4);
      if (mark != 0xEECACACAu && mark != 0xEECDCDCDu) {
        h.swap = !h.swap;
        mark = h.U32(4);
        if (mark != 0xEECACACAu && mark != 0xEECDCDCDu) return false;
      }
      if (mark == 0xEECACACAu) {
        if (h.I32(28) != 0) return false;
        g.rows = h.I32(20);
        g.columns = h.I32(24);
        g.elementSize = ElementSize(h.I32(32));
        g.nameBytes = 8;
        g.typeBytes = true;
        dataAt = kFixedHeaderBytes;
        return true;
      }
      if (h.I32(20) != 0) return false;
      return MatrixDimensions(h, h.I32(24), g, dataAt);
    }
    default:
      return false;
  }
}

// The data file beside a ".dht" header: its extension made ".dat".
std::string DataPath(const std::string& header, bool upper) {
  const std::size_t slash = header.find_last_of("\\/:");
  const std::size_t dot = header.rfind('.');
  std::string base = dot != std::string::npos && (slash == std::string::npos || dot > slash) ? header.substr(0, dot) : header;
  return base + (upper ? ".DAT" : ".dat");
}

struct ColumnState {
  Column* column = nullptr;  // null beyond the column limit
  bool text = false;
  int estimate = 0;
};

}  // namespace

int16_t ReadGauss(const char* path) {
  State().gaussByteOrder = 0;
  BlockInput header;
  if (!path || !header.Open(path)) return 0;
  std::vector<unsigned char> head(static_cast<std::size_t>(std::min<int64_t>(header.size, kFixedHeaderBytes + 8)));
  if (!header.Read(head.data(), head.size())) return 0;
  HeaderBytes h{head.data(), static_cast<int64_t>(head.size()), false};
  GaussLayout g;
  int64_t dataAt = 0;
  if (!ParseHeader(h, g, dataAt)) return 0;
  const bool swap = h.swap;
  State().gaussByteOrder = swap ? 1 : 0;
  // A data set without variables has no row length to divide by.
  if (g.columns <= 0) return 0;

  // Nothing is sized by a count before the file is known to hold that much:
  // the names of a data set, the elements of a matrix.
  if (g.matrix && g.rows <= 0) return 0;
  if (g.matrix ? g.rows > (header.size - dataAt) / (g.columns * g.elementSize)
               : g.columns > (header.size - dataAt) / g.nameBytes) {
    std::printf("Error: Gauss file %.100s holds less than its header announces.\n", path);
    return 0;
  }

  // Names and type bytes of the data-set layouts.
  std::vector<std::string> names(static_cast<std::size_t>(g.matrix ? 0 : g.columns));
  std::vector<bool> character(static_cast<std::size_t>(g.columns), false);
  if (!g.matrix) {
    if (!header.Seek(dataAt)) return 0;
    std::vector<char> bytes(static_cast<std::size_t>(g.nameBytes));
    for (int64_t v = 0; v < g.columns; ++v) {
      if (!header.Read(bytes.data(), bytes.size())) return 0;
      std::string& name = names[static_cast<std::size_t>(v)];
      name.assign(bytes.data(), static_cast<std::size_t>(std::find(bytes.begin(), bytes.end(), '\0') - bytes.begin()));
      // In the older layouts a name that starts in lower case marks a character variable.
      if (!g.typeBytes) character[static_cast<std::size_t>(v)] = !name.empty() && static_cast<unsigned char>(name[0]) >= 'a';
    }
    if (g.typeBytes) {
      const int64_t typeBlock = (g.columns - 1) / 8 * 8 + 8;
      std::vector<unsigned char> types(static_cast<std::size_t>(typeBlock));
      if (!header.Read(types.data(), types.size())) return 0;
      for (int64_t v = 0; v < g.columns; ++v) character[static_cast<std::size_t>(v)] = types[static_cast<std::size_t>(v)] == 0;
    }
    dataAt = header.position;
  }

  BlockInput separate;
  BlockInput& data = g.separateData ? separate : header;
  if (g.separateData) {
    if (std::strlen(path) > kMaxHeaderPath) return 0;
    if (!separate.Open(DataPath(path, false).c_str()) && !separate.Open(DataPath(path, true).c_str())) {
      std::printf("Error: The data file %.100s of the Gauss data set was not found.\n", DataPath(path, false).c_str());
      return 0;
    }
    dataAt = 0;
    g.rows = separate.size / (g.elementSize * g.columns);
  }
  if (g.rows <= 0 || g.rows > INT32_MAX || !data.Seek(dataAt)) return 0;
  const int64_t rowBytes = g.columns * g.elementSize;
  if (g.rows > data.Remaining() / rowBytes) {
    std::printf("Error: Gauss file %.100s holds less than its header announces.\n", path);
    return 0;
  }

  Dataset* dataset = CreateDataset();
  dataset->name = FileStem(path);
  LegalName(dataset->name);
  dataset->shape = g.matrix ? DatasetShape::Matrix : DatasetShape::Columns;
  dataset->sourceFormat = g.matrix ? 18 : 1;
  dataset->rowCount = static_cast<int32_t>(g.rows);
  if (!CreateRows(dataset)) return 0;
  const long limit = State().columnLimit;
  if (g.columns > limit) std::printf("Warning Columns above %li NOT transfered!\n", limit);

  std::vector<ColumnState> columns(static_cast<std::size_t>(g.columns));
  for (int64_t v = 0; v < std::min<int64_t>(g.columns, limit); ++v) {
    ColumnState& cs = columns[static_cast<std::size_t>(v)];
    cs.text = character[static_cast<std::size_t>(v)];
    std::string name;
    if (g.matrix) {
      name = std::to_string(v + 1);
    } else {
      name = names[static_cast<std::size_t>(v)];
      LegalName(name);
    }
    const ColumnKind kind = g.matrix ? ColumnKind::MatrixColumn : cs.text ? ColumnKind::Text : ColumnKind::Variate;
    cs.column = AddColumn(dataset, kind, name, cs.text ? kTextLength : 25);
    if (!cs.column || !AllocateValues(cs.column, dataset->rowCount)) return 0;
    cs.column->valueFormat = cs.text ? 4 : 1;
    cs.column->decimals = -1;
  }

  const int64_t size = g.elementSize;
  auto store = [&](ColumnState& cs, int64_t row, unsigned char* e) {
    if (!cs.column) return;
    if (cs.text) {
      if (swap) std::reverse(e, e + size);
      const auto* end = static_cast<const unsigned char*>(std::memchr(e, 0, static_cast<std::size_t>(size)));
      const std::size_t n = end ? static_cast<std::size_t>(end - e) : static_cast<std::size_t>(size);
      SetText(cs.column, row, std::string_view(reinterpret_cast<const char*>(e), n));
      cs.estimate = std::max(cs.estimate, static_cast<int>(n));
      return;
    }
    double x;
    if (size == 8) x = swap ? LoadF64BE(e) : LoadF64LE(e);
    else if (size == 4) x = swap ? LoadF32BE(e) : LoadF32LE(e);
    else x = swap ? LoadI16BE(e) : LoadI16LE(e);
    x = MatrixNumber(x);
    SetNumber(cs.column, row, x);
    cs.estimate = std::max(cs.estimate, MatrixDigits(x));
  };

  std::vector<unsigned char> block;
  if (!g.byColumn) {
    const int64_t blockRows = std::max<int64_t>(1, kRowBlockBytes / rowBytes);
    LargeResize(block, static_cast<std::size_t>(std::min(blockRows, g.rows) * rowBytes));
    for (int64_t r = 0; r < g.rows; r += blockRows) {
      const int64_t n = std::min(blockRows, g.rows - r);
      if (!data.Read(block.data(), static_cast<std::size_t>(n * rowBytes))) return 0;
      for (int64_t i = 0; i < n; ++i)
        for (int64_t v = 0; v < g.columns; ++v)
          store(columns[static_cast<std::size_t>(v)], r + i, &block[static_cast<std::size_t>(i * rowBytes + v * size)]);
    }
  } else {
    const int64_t blockRows = std::max<int64_t>(1, kRowBlockBytes / size);
    LargeResize(block, static_cast<std::size_t>(std::min(blockRows, g.rows) * size));
    for (int64_t v = 0; v < g.columns; ++v) {
      for (int64_t r = 0; r < g.rows; r += blockRows) {
        const int64_t n = std::min(blockRows, g.rows - r);
        if (!data.Read(block.data(), static_cast<std::size_t>(n * size))) return 0;
        for (int64_t i = 0; i < n; ++i)
          store(columns[static_cast<std::size_t>(v)], r + i, &block[static_cast<std::size_t>(i * size)]);
      }
    }
  }

  for (const ColumnState& cs : columns) {
    if (!cs.column) continue;
    if (cs.text) cs.column->levelCount = cs.estimate;
    SetMatrixWidth(cs.column, cs.estimate);
  }
  const bool closed = data.Close();
  return closed && (!g.separateData || header.Close()) ? 1 : 0;
}

}  // namespace trovadex
