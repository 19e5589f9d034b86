// Paradox tables (".db") into the Dataset: the header with its field
// descriptions, then the records, held in a chain of fixed-size data blocks.
// Alpha fields become Text columns; date, short, long, currency, number,
// logical, time and autoincrement fields Variate columns; memo, binary and
// similar fields (whose data live in a side file) are stepped over.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "core/byteorder.h"
#include "core/columns.h"
#include "core/dataset.h"
#include "core/names.h"
#include "readers/readers.h"

namespace trovadex {

namespace {

constexpr std::size_t kHeaderFixed = 34;  // bytes up to the field count
// Paradox counts days from 1 January of year 1; this takes them to the
// spreadsheet day numbers.
constexpr double kSpreadsheetDayOffset = 693594;

enum class FieldUse { Text, Number, Skip };

struct Field {
  int type = 0;
  int size = 0;
  int offset = 0;  // in the record
  std::string name;
  FieldUse use = FieldUse::Skip;
  Column* column = nullptr;
  int widest = 0;
};

// The data of types whose values live elsewhere (memo, binary, formatted
// memo, OLE, graphic), time stamps, BCD and byte fields: no column.
bool IsSteppedOver(int type) { return (type >= 12 && type <= 16) || type == 21 || type == 23 || type == 24; }
bool IsNumberType(int type) {
  return type == 2 || type == 3 || type == 4 || type == 5 || type == 6 || type == 9 || type == 20 || type == 22;
}

// The size the older header layout requires of a type (0: any).
int RequiredSize(int type) {
  switch (type) {
    case 2: case 4: case 20: case 22: return 4;
    case 3: return 2;
    case 5: case 6: return 8;
    case 9: return 1;
    default: return 0;
  }
}

// Reads the field entries at `entries` and the NUL-terminated names from
// `names`; false when the layout does not fit (`older`: the stricter test
// of the older layout).
bool ReadFields(const std::vector<unsigned char>& file, std::size_t headerSize, int count, std::size_t entries,
                std::size_t names, bool older, std::vector<Field>& fields) {
  fields.assign(static_cast<std::size_t>(count), Field());
  if (entries + 2 * static_cast<std::size_t>(count) > headerSize) return false;
  for (int i = 0; i < count; ++i) {
    Field& f = fields[static_cast<std::size_t>(i)];
    f.type = file[entries + 2 * i];
    f.size = file[entries + 2 * i + 1];
    if (older) {
      if (f.type == 4 || f.type == 9 || (f.type >= 14 && f.type <= 17) || (f.type >= 20 && f.type <= 24))
        return false;
      if (RequiredSize(f.type) != 0 && f.size != RequiredSize(f.type)) return false;
      // Newer tables hold other bytes there: a type no table uses.
      if (f.type != 1 && !IsNumberType(f.type) && !IsSteppedOver(f.type)) return false;
    } else if (f.type == 23) {
      f.size = 17;
    }
  }
  std::size_t at = names;
  for (Field& f : fields) {
    // A name ends at its NUL, inside the header; at most 50 bytes are read.
    std::size_t end = at;
    while (end < headerSize && end < file.size() && file[end] != 0) ++end;
    if (end >= headerSize || end >= file.size()) return false;
    std::string_view name(reinterpret_cast<const char*>(file.data() + at), std::min<std::size_t>(end - at, 50));
    CopyLimited(f.name, name, kNameLength);
    at = end + 1;
  }
  return true;
}

// A big-endian integer of `n` bytes whose sign bit is stored flipped; 0 bytes
// are missing.
bool FlippedInteger(const unsigned char* b, int n, double& x) {
  uint64_t v = 0;
  for (int i = 0; i < n; ++i) v = (v << 8) | b[i];
  const uint64_t top = uint64_t{1} << (8 * n - 1);
  if (v & top) {
    x = static_cast<double>(v & ~top);
    return true;
  }
  if (v == 0) return false;
  // A negative number: its two's complement with the top bit cleared.
  x = static_cast<double>(static_cast<int64_t>(v | top) - static_cast<int64_t>(top) * 2);
  return true;
}

bool FlippedDouble(const unsigned char* b, double& x) {
  unsigned char d[8];
  std::memcpy(d, b, 8);
  if (d[0] & 0x80) {
    d[0] &= 0x7F;
  } else {
    bool zero = true;
    for (unsigned char c : d) zero = zero && c == 0;
    if (zero) return false;
    for (unsigned char& c : d) c = static_cast<unsigned char>(~c);
  }
  x = LoadF64BE(d);
  return !std::isnan(x);
}

// The value of a number field, or false when it is missing.
bool DecodeNumber(const Field& f, const unsigned char* b, double& x) {
  // The newer layout accepts any size: a field too short for its type holds
  // no value.
  if (f.size < RequiredSize(f.type)) return false;
  switch (f.type) {
    case 2: {
      const uint32_t v = LoadU32BE(b);
      if (!(v & 0x80000000u)) return false;
      x = static_cast<double>(v & 0x7FFFFFFFu) - kSpreadsheetDayOffset;
      return true;
    }
    case 3: return FlippedInteger(b, 2, x);
    case 4:
    case 22: return FlippedInteger(b, 4, x);
    case 20:
      if (!FlippedInteger(b, 4, x)) return false;
      x *= 0.001;
      return true;
    case 5:
    case 6: return FlippedDouble(b, x);
    case 9:
      if (b[0] != 0x80 && b[0] != 0x81) return false;
      x = b[0] == 0x81 ? 1 : 0;
      return true;
    default: return false;
  }
}

}  // namespace

int16_t ReadParadox(const char* path) {
  if (!path) return 0;
  std::FILE* in = std::fopen(path, "rb");
  if (!in) return 1;  // nothing read: the run reports that no data was found
  std::vector<unsigned char> file;
  bool readOk = true;
  {
    unsigned char buffer[65536];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, in)) > 0) {
      const std::size_t at = file.size();
      LargeResize(file, at + n);
      std::memcpy(file.data() + at, buffer, n);
    }
    if (std::ferror(in)) readOk = false;
  }
  if (std::fclose(in) != 0 || !readOk) return 0;
  if (file.size() < kHeaderFixed) return 0;

  const int64_t recordSize = LoadU16LE(&file[0]);
  const std::size_t headerSize = LoadU16LE(&file[2]);
  const int64_t blockSize = int64_t{file[5]} * 1024;
  const int64_t recordCount = LoadU32LE(&file[6]);
  const int64_t blockCount = LoadU16LE(&file[12]);
  const int64_t firstBlock = LoadU16LE(&file[14]);
  const int fieldCount = file[33];
  if (recordCount == 0 || blockCount == 0 || fieldCount == 0) return 1;
  // A record or block size of 0 cannot hold data (and would divide by zero
  // or never advance).
  if (recordSize == 0 || blockSize <= 6 || headerSize > file.size()) return 0;

  // Tables of version 4 and later (the version byte at 57 is 5 or more) have
  // the newer layout; its bytes at 88 can pass for field entries. From
  // version 7 (byte 12) the table name before the field names takes 261
  // bytes instead of 79.
  const int version = headerSize > 57 ? file[57] : 0;
  const bool newer = version >= 5;
  std::vector<Field> fields;
  if ((newer ||
       !ReadFields(file, headerSize, fieldCount, 88, 171 + 6 * static_cast<std::size_t>(fieldCount), true, fields)) &&
      !ReadFields(file, headerSize, fieldCount, 120, (version >= 12 ? 385 : 203) + 6 * static_cast<std::size_t>(fieldCount),
                  false, fields))
    return 0;
  int offset = 0;
  for (Field& f : fields) {
    if (f.type == 1)
      f.use = FieldUse::Text;
    else if (IsNumberType(f.type))
      f.use = FieldUse::Number;
    else if (!IsSteppedOver(f.type))
      return 0;  // an unknown type: its bytes cannot be placed
    f.offset = offset;
    offset += f.size;
  }
  // Every field lies inside the record.
  if (offset > recordSize) return 0;

  const long limit = State().columnLimit;
  if (fieldCount > limit) std::printf("Warning Columns above %li NOT transfered!\n", limit);

  // No more rows than the data blocks can hold.
  const int64_t perBlock = (blockSize - 6) / recordSize;
  const int64_t blocksThere = std::min<int64_t>(blockCount, (static_cast<int64_t>(file.size()) - static_cast<int64_t>(headerSize)) / blockSize + 1);
  const int64_t rows = std::min<int64_t>({recordCount, blocksThere * perBlock, int64_t{2147483647}});
  if (rows <= 0) {
    std::printf("Warning: the Paradox table holds none of its %li records.\n", static_cast<long>(recordCount));
    return 0;
  }
  Dataset* dataset = CreateDataset();
  dataset->rowCount = static_cast<int32_t>(rows);
  if (!CreateRows(dataset)) return 0;
  const double missing = dataset->missingValue;

  int fieldIndex = 0;
  for (Field& f : fields) {
    if (fieldIndex++ >= limit) break;
    if (f.use == FieldUse::Skip) continue;
    std::string name = f.name;
    LegalName(name);
    const bool text = f.use == FieldUse::Text;
    Column* c = AddColumn(dataset, text ? ColumnKind::Text : ColumnKind::Variate, name, text ? kTextLength : 25);
    if (!c) break;
    AllocateValues(c, dataset->rowCount);
    c->decimals = -1;
    c->valueFormat = text ? 4 : 1;
    f.column = c;
  }

  // The block chain: each block at most once, numbers inside 1..blockCount.
  const bool compress = State().options.compressBlanks != 0;
  std::vector<bool> visited(static_cast<std::size_t>(blockCount) + 1, false);
  int64_t row = 0;
  bool cut = false;
  for (int64_t block = firstBlock; row < dataset->rowCount && block >= 1 && block <= blockCount &&
                                   !visited[static_cast<std::size_t>(block)];) {
    visited[static_cast<std::size_t>(block)] = true;
    const int64_t start = static_cast<int64_t>(headerSize) + (block - 1) * blockSize;
    if (start + 6 > static_cast<int64_t>(file.size())) {
      cut = true;
      break;
    }
    const unsigned char* head = file.data() + start;
    const int64_t next = LoadU16LE(head);
    const int64_t lastOffset = LoadI16LE(head + 4);  // -recordSize: an empty block
    const int64_t records = lastOffset < 0 ? 0 : std::min(lastOffset / recordSize + 1, perBlock);
    for (int64_t k = 0; k < records && row < dataset->rowCount; ++k) {
      const int64_t at = start + 6 + k * recordSize;
      if (at + recordSize > static_cast<int64_t>(file.size())) {
        cut = true;
        break;
      }
      const unsigned char* record = file.data() + at;
      for (Field& f : fields) {
        Column* c = f.column;
        if (!c) continue;
        const unsigned char* b = record + f.offset;
        if (f.use == FieldUse::Text) {
          std::string_view raw(reinterpret_cast<const char*>(b), f.size);
          raw = raw.substr(0, raw.find('\0'));
          std::string text = compress ? TrimText(raw, kTextLength) : std::string(raw.substr(0, kTextLength));
          f.widest = std::max(f.widest, static_cast<int>(text.size()));
          c->texts.SetNew(row, text);
        } else {
          double x = 0;
          if (!DecodeNumber(f, b, x) || !(x > missing)) {
            x = missing;
            f.widest = std::max(f.widest, 1);
          } else {
            if (x > kNumberCap) x = kNumberCap;
            f.widest = std::max(f.widest, EstimateDigits(x));
          }
          c->numbers.Set(row, x);
        }
      }
      ++row;
    }
    if (cut) break;
    if (next == 0) break;
    block = next;
  }

  if (row < dataset->rowCount) {
    if (cut || row < recordCount)
      std::printf("Warning: the Paradox table holds %li of its %li records.\n", static_cast<long>(row),
                  static_cast<long>(recordCount));
    if (row == 0) {
      SetCurrentDataset(nullptr);  // no data: the run says so
      return 1;
    }
    ShortenRows(dataset, static_cast<int32_t>(row));
  }

  for (Field& f : fields) {
    Column* c = f.column;
    if (!c) continue;
    int figure = f.widest;
    if (f.use == FieldUse::Text) {
      c->levelCount = f.widest;
    } else {
      if (f.type == 5) {
        c->decimals = 2;
        c->valueFormat = 3;
      } else if (f.type != 6 && f.type != 20) {
        c->decimals = 0;
        c->valueFormat = 3;
      }
      figure += c->decimals >= 0 ? c->decimals + 1 : 3;
    }
    c->width = std::clamp(std::max(figure, static_cast<int>(c->name.size()) + 1), 3, 90);
    c->valueCount = dataset->rowCount;
  }
  return 1;
}

}  // namespace trovadex
