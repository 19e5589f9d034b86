// MStat data sets: a header file (the input: record length, record count,
// column count, version text, title, then 71 bytes per column) and a data
// file beside it with the extension ".dat" holding the records. A record is
// a flag byte ("*" = valid) and the fields in column order: numbers as
// 4-byte Microsoft Binary Format singles, texts blank-padded.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "core/byteorder.h"
#include "core/dataset.h"
#include "core/names.h"
#include "readers/matrix_input.h"
#include "readers/readers.h"

namespace trovadex {

namespace {

constexpr int64_t kTextBytes = 65;
constexpr int64_t kFixedHeader = 6 + 2 * kTextBytes + 6;
constexpr int64_t kColumnBytes = kTextBytes + 6;
constexpr std::size_t kStoredTextWidth = 90;
constexpr const char* kVersions[] = {"3.00/EM", "3.00/EV", "4.00/EM", "4.00/EV"};

struct Field {
  Column* column = nullptr;
  bool text = false;
  int64_t offset = 0;  // in the record, after the flag byte
  int64_t width = 4;
  std::size_t longest = 0;
  int32_t printWidth = 0;
};

// A Microsoft Binary Format single: exponent byte 3 (bias 129 with the
// leading 1 implied, 0 meaning zero), the sign in the top bit of byte 2,
// then 23 bits of mantissa. Taken straight to a double.
double MbfSingle(const unsigned char* b) {
  if (b[3] == 0) return 0.0;
  const uint32_t mantissa = (uint32_t{b[2]} & 0x7F) << 16 | uint32_t{b[1]} << 8 | b[0];
  const double x = std::ldexp(1.0 + mantissa / 8388608.0, static_cast<int>(b[3]) - 129);
  return b[2] & 0x80 ? -x : x;
}

// The data file: the header path with its extension made ".dat".
std::string DataPath(const std::string& header) {
  const std::size_t slash = header.find_last_of("\\/:");
  const std::size_t dot = header.rfind('.');
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) return header.substr(0, dot) + ".dat";
  return header + ".dat";
}

}  // namespace

int16_t ReadMstat(const char* path) {
  BlockInput header;
  if (!header.Open(path)) return 0;
  std::vector<unsigned char> head(static_cast<std::size_t>(kFixedHeader));
  if (!header.Read(head.data(), head.size())) return 0;
  const int64_t recordLength = LoadU16LE(&head[0]);
  const int64_t records = LoadU16LE(&head[2]);
  const int64_t columns = LoadU16LE(&head[4]);
  if (recordLength == 0 || records == 0 || columns == 0) return 0;
  const std::string_view version(reinterpret_cast<const char*>(&head[6]), kTextBytes);
  if (std::none_of(std::begin(kVersions), std::end(kVersions), [&](const char* v) { return version.starts_with(v); }))
    return 0;
  if (columns > header.Remaining() / kColumnBytes) {
    std::printf("Error: MStat header %.100s ends inside its column list.\n", path);
    return 0;
  }
  const long limit = State().columnLimit;
  if (columns > limit) std::printf("Warning Columns above %li NOT transfered!\n", limit);

  Dataset* dataset = CreateDataset();
  dataset->rowCount = static_cast<int32_t>(records);
  if (!CreateRows(dataset)) return 0;
  std::string title(reinterpret_cast<const char*>(&head[6 + kTextBytes]), kTextBytes);
  AppendNote(dataset, TrimText(title.substr(0, std::min(title.size(), title.find('\0'))), kTextBytes));

  std::vector<Field> fields;
  int64_t offset = 0;
  std::vector<unsigned char> entry(static_cast<std::size_t>(kColumnBytes));
  for (int64_t k = 0; k < std::min<int64_t>(columns, limit); ++k) {
    if (!header.Read(entry.data(), entry.size())) return 0;
    std::string name(reinterpret_cast<const char*>(entry.data()), kTextBytes);
    name.resize(std::min(name.size(), name.find('\0')));
    LegalName(name);
    const int64_t type = LoadI16LE(&entry[kTextBytes]);
    const int32_t display = std::clamp<int32_t>(LoadI16LE(&entry[kTextBytes + 2]), 3, 25);
    int32_t decimals = std::min<int32_t>(LoadI16LE(&entry[kTextBytes + 4]), 12);
    if (decimals < 0) decimals = -1;
    if (type != 4 && type >= 0) return 0;
    Field f;
    f.text = type < 0;
    f.width = f.text ? -type : 4;
    f.offset = offset;
    offset += f.width;
    f.printWidth = std::max<int32_t>(std::max(decimals, 0) + 2 + display, static_cast<int32_t>(name.size()) + 1);
    Column* c = AddColumn(dataset, f.text ? ColumnKind::Text : ColumnKind::Variate, name, f.text ? kTextLength : 25);
    if (!c) break;
    if (!AllocateValues(c, dataset->rowCount)) return 0;
    if (f.text) {
      c->decimals = -1;
      c->valueFormat = 4;
    } else if (decimals >= 0) {
      c->decimals = decimals + 1;
      c->valueFormat = 3;
    } else {
      // No decimals stored: the numbers print in full.
      c->decimals = -1;
      c->valueFormat = 1;
    }
    f.column = c;
    fields.push_back(f);
  }
  header.Close();

  BlockInput data;
  if (!data.Open(DataPath(path).c_str())) {
    std::printf("Error: The data file %.100s of the MStat data set was not found.\n", DataPath(path).c_str());
    return 0;
  }
  const bool compress = State().options.compressBlanks != 0;
  std::vector<unsigned char> record(static_cast<std::size_t>(recordLength + 1));
  int64_t row = 0;
  for (int64_t r = 0; r < records; ++r) {
    // A data file shorter than announced gives the records it holds.
    if (!data.Read(record.data(), record.size())) break;
    if (record[0] != '*') continue;
    for (Field& f : fields) {
      // A field past the end of the record has nothing to read.
      const int64_t from = 1 + f.offset;
      const int64_t width = std::max<int64_t>(0, std::min(f.width, recordLength + 1 - from));
      const unsigned char* p = record.data() + std::min<int64_t>(from, recordLength + 1);
      if (f.text) {
        std::string_view raw(reinterpret_cast<const char*>(p), static_cast<std::size_t>(width));
        raw = raw.substr(0, std::min(kStoredTextWidth, raw.size()));
        std::string text;
        if (compress) {
          text = TrimText(raw, kStoredTextWidth);
        } else {
          text.assign(raw);
          text.erase(text.find_last_not_of(' ') + 1);
        }
        f.longest = std::max(f.longest, text.size());
        SetText(f.column, row, text);
        continue;
      }
      double x = kMissingValue;
      if (width == 4 && std::memcmp(p, "    ", 4) != 0) x = MbfSingle(p);
      SetNumber(f.column, row, x);
    }
    ++row;
  }
  data.Close();
  const int32_t kept = static_cast<int32_t>(row);
  ShortenRows(dataset, kept);
  for (Field& f : fields) {
    Column* c = f.column;
    if (f.text) {
      c->levelCount = std::max<int32_t>(f.printWidth, static_cast<int32_t>(f.longest));
      c->width = std::clamp(c->levelCount, 3, 90);
    } else {
      c->width = std::clamp(f.printWidth, 3, 18);
    }
  }
  if (kept == 0) {
    std::printf("Error: MStat data file %.100s holds no valid records.\n", DataPath(path).c_str());
    return 0;
  }
  return 1;
}

}  // namespace trovadex
