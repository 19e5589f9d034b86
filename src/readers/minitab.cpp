// Minitab worksheets. Versions 10 and 11 write a file of an 80-byte
// "WORKSHEE" header and one record per column (type 3, column number,
// length in 4-byte words, data type, 8-byte name, data). Versions 12-14
// write a record stream (type, total length, header length) inside a
// compound document: type 1 the worksheet header, 3 a column, 5 the column
// capacity, 6 comments.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "core/byteorder.h"
#include "core/columns.h"
#include "core/convert.h"
#include "core/dataset.h"
#include "core/names.h"
#include "readers/readers.h"
#include "readers/whole_file.h"

namespace trovadex {

namespace {

constexpr uint32_t kMissing10 = 0x71795142u;              // 1.23456e30 as a single
constexpr uint64_t kMissing12 = 0x462F2A2831AE5ED5ull;    // 1.23456e30 as a double
constexpr int64_t kRecordHeader = 12;

struct ColumnRecord {
  int64_t number = 0;
  std::string name, description;
  bool text = false;
  int64_t width = 0;     // older layout: characters per text value
  int64_t rows = 0;
  int64_t data = 0;      // offset of the values
  int64_t dataBytes = 0;
};

bool Printable(std::string_view s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return c >= 32 && c <= 126; });
}

// Version 10 packs four characters per 32-bit word as base-100 digits
// (character = digit + 32, most significant first; 0 is four blanks).
// Version 11 keeps each four characters as a single widened to a double.
std::string Unpack(std::string_view raw, bool v11) {
  if (Printable(raw)) return std::string(raw);
  std::string out;
  const auto* b = reinterpret_cast<const unsigned char*>(raw.data());
  if (!v11) {
    for (std::size_t k = 0; k + 4 <= raw.size(); k += 4) {
      uint32_t w = LoadU32LE(b + k);
      if (w == 0) {
        out += "    ";
        continue;
      }
      char four[4];
      for (int d = 3; d >= 0; --d, w /= 100) four[d] = static_cast<char>(w % 100 + 32);
      out.append(four, 4);
    }
    return out;
  }
  for (std::size_t k = 0; k + 8 <= raw.size(); k += 8)
    if (b[k] || b[k + 1] || b[k + 2] || b[k + 4] < 4 || b[k + 5] < 4 || b[k + 6] < 4 || b[k + 7] < 0x38)
      return std::string(raw);
  for (std::size_t k = 0; k + 8 <= raw.size(); k += 8) {
    const uint32_t word = (LoadU32LE(b + k + 4) * 8u + 0x40000000u) | (LoadU32LE(b + k) >> 29);
    char four[4];
    StoreU32LE(four, word);
    out.append(four, 4);
  }
  return out;
}

std::string_view View(const std::vector<unsigned char>& f, int64_t at, int64_t n) {
  return {reinterpret_cast<const char*>(f.data() + at), static_cast<std::size_t>(n)};
}

// The older layout's column records; false for a damaged record.
bool ScanWorksheet(const std::vector<unsigned char>& f, bool v11, std::vector<ColumnRecord>& out) {
  const int64_t size = static_cast<int64_t>(f.size());
  for (int64_t at = 80; at + 24 <= size && LoadI32LE(&f[at]) == 3;) {
    ColumnRecord c;
    c.number = LoadI32LE(&f[at + 4]);
    const int64_t words = LoadI32LE(&f[at + 8]);
    const int64_t type = LoadI32LE(&f[at + 12]);
    c.name = Unpack(View(f, at + 16, 8), v11);
    at += 24;
    if (words < 0 || words > (size - at) / 4 || type < -65536) return false;
    c.data = at;
    c.dataBytes = 4 * words;
    if (type >= 0) {
      c.rows = v11 ? words / 2 : words;
    } else {
      c.text = true;
      c.width = -type;
      const int64_t bytes = ((c.width - 1) / 4 * 4 + 4) * (v11 ? 2 : 1);
      c.rows = c.dataBytes / bytes;
    }
    at += c.dataBytes;
    out.push_back(std::move(c));
  }
  return true;
}

// A 32-bit length and its characters inside [at, end); false past the end.
bool Counted(const std::vector<unsigned char>& f, int64_t& at, int64_t end, int64_t limit, std::string& out) {
  if (at + 4 > end) return false;
  const int64_t n = LoadI32LE(&f[at]);
  at += 4;
  if (n < 0 || n > end - at) return false;
  out = std::string(View(f, at, std::min(n, limit)));
  at += n;
  return true;
}

// The record stream of versions 12-14; false (after a message) for a
// damaged or foreign stream.
bool ScanStream(const std::vector<unsigned char>& f, const char* name, std::vector<ColumnRecord>& out,
                std::vector<std::string>& comments) {
  const int64_t size = static_cast<int64_t>(f.size());
  int64_t capacity = 256;
  bool header = false;
  for (int64_t at = 0; at + kRecordHeader <= size;) {
    const int64_t type = LoadI32LE(&f[at]);
    const int64_t total = LoadI32LE(&f[at + 4]);
    const int64_t headerLength = LoadI32LE(&f[at + 8]);
    // A record shorter than its own header would never move on.
    if (total < kRecordHeader || total > size - at) {
      std::printf("Minitab Worksheet: %.100s is corrupt.", name);
      return false;
    }
    const int64_t end = at + total;
    int64_t p = at + kRecordHeader;
    if (type == 1) {
      if (total - kRecordHeader > 250) {
        std::printf("Minitab 12 Worksheet header too long.\n");
        return false;
      }
      const std::string_view id = total - kRecordHeader >= 15 ? View(f, p + 4, 11) : std::string_view();
      if (id != "MTB14   WIN" && id != "MTB13   WIN" && id != "MTB12   WIN") {
        std::printf("Data file %.100s is not a Minitab Worksheet.\n", name);
        return false;
      }
      header = true;
    } else if (type == 5 && p + 4 <= end) {
      capacity = LoadI32LE(&f[p]);
      if (capacity < 0) {
        std::printf("Minitab Worksheet: %.100s is corrupt.", name);
        return false;
      }
    } else if (type == 6) {
      for (int k = 0; k < 4 && p + 4 <= end; ++k) {
        const int64_t n = LoadI32LE(&f[p]);
        if (n < 0 || n > 4096) {
          std::printf("Title string too long in Minitab file.\n");
          return false;
        }
        std::string text;
        if (!Counted(f, p, end, 4096, text)) break;
        comments.push_back(std::move(text));
      }
    } else if (type == 3 && static_cast<int64_t>(out.size()) < capacity) {
      ColumnRecord c;
      if (p + 48 > end) {
        std::printf("Minitab Worksheet: %.100s is corrupt.", name);
        return false;
      }
      c.number = LoadI32LE(&f[p]);
      c.text = LoadI32LE(&f[p + 4]) != 1;
      c.rows = LoadI32LE(&f[p + 12]);
      p += 48;
      if (p + 4 <= end && LoadI32LE(&f[p]) > 256) {
        std::printf("Minitab column name to long.");
        return false;
      }
      if (c.rows < 0 || headerLength < 0 || headerLength > total || !Counted(f, p, end, 256, c.name) ||
          !Counted(f, p, end, 40, c.description)) {
        std::printf("Minitab Worksheet: %.100s is corrupt.", name);
        return false;
      }
      c.data = at + headerLength;
      c.dataBytes = end - c.data;
      // Rows the values cannot hold (8 bytes a number, at least a 4-byte
      // length a text) are not there.
      c.rows = std::min(c.rows, c.dataBytes / (c.text ? 4 : 8));
      if (c.rows > 0) out.push_back(std::move(c));
    }
    at = end;
  }
  if (!header) {
    std::printf("Data file %.100s is not a Minitab Worksheet.\n", name);
    return false;
  }
  return true;
}

double Kept(double x, bool& capped) {
  if (!std::isfinite(x)) return kMissingValue;
  if (x > kNumberCap) {
    capped = true;
    return kNumberCap;
  }
  return x;
}

// `shown` is what messages call the file: the document a stream came from.
int16_t Read(const char* path, const char* shown, bool stream) {
  std::vector<unsigned char> f;
  if (!ReadWholeFile(path, f)) return 0;
  std::vector<ColumnRecord> records;
  std::vector<std::string> comments;
  bool v11 = false;
  if (stream) {
    if (!ScanStream(f, shown, records, comments)) return 0;
  } else {
    if (f.size() < 80 || std::memcmp(f.data(), "WORKSHEE", 8) != 0) {
      std::printf("Data file %.100s is not a Mintab Worksheet!\n", shown);
      return 0;
    }
    v11 = f[79] > '0';
    if (!ScanWorksheet(f, v11, records)) {
      std::printf("Minitab Worksheet: %.100s is corrupt.", shown);
      return 0;
    }
  }
  int64_t rows = 0;
  for (const ColumnRecord& c : records) rows = std::max(rows, c.rows);
  if (rows == 0 || records.empty() || rows > INT32_MAX) {
    std::printf("Minitab Worksheet is empty.");
    return 0;
  }
  Dataset* dataset = CreateDataset();
  dataset->rowCount = static_cast<int32_t>(rows);
  if (!CreateRows(dataset)) return 0;
  for (const std::string& c : comments) {
    const std::string note = TrimText(c, c.size());
    if (!note.empty()) AppendNote(dataset, note);
  }
  bool capped = false;
  const Options& options = State().options;
  for (const ColumnRecord& r : records) {
    if (r.rows == 0) continue;
    std::string name = TrimText(r.name, stream ? 40 : 8);
    if (name.empty() || name == " ") name = "C" + std::to_string(r.number);
    const bool factor = name.size() > 1 && name.back() == '!';
    if (factor) name.pop_back();
    LegalName(name);
    Column* c = AddColumn(dataset, r.text ? ColumnKind::Text : ColumnKind::Variate, name, r.text ? kTextLength : 25);
    if (!c) break;
    if (!AllocateValues(c, dataset->rowCount)) return 0;
    CopyLimited(c->description, TrimText(r.description, r.description.size()));
    if (!r.text) {
      c->decimals = -1;
      for (int64_t i = 0; i < rows; ++i) SetNumber(c, i, kMissingValue);
      for (int64_t i = 0; i < r.rows; ++i) {
        double x;
        if (stream || v11) {
          const unsigned char* p = &f[r.data + 8 * i];
          if (LoadU64LE(p) == kMissing12) continue;
          x = LoadF64LE(p);
        } else {
          const unsigned char* p = &f[r.data + 4 * i];
          if (LoadU32LE(p) == kMissing10) continue;
          x = LoadF32LE(p);
        }
        SetNumber(c, i, Kept(x, capped));
      }
    } else {
      c->decimals = 0;
      if (!stream) c->levelCount = static_cast<int32_t>(std::min<int64_t>(r.width, kTextLength));
      int64_t at = r.data;
      const int64_t end = r.data + r.dataBytes;
      const int64_t bytes = stream ? 0 : ((r.width - 1) / 4 * 4 + 4) * (v11 ? 2 : 1);
      for (int64_t i = 0; i < r.rows; ++i) {
        std::string value;
        if (stream) {
          if (!Counted(f, at, end, kTextLength, value)) {
            std::printf("Minitab Worksheet: %.100s is corrupt.", shown);
            return 0;
          }
        } else {
          value = Unpack(View(f, at, bytes), v11);
          at += bytes;
          value.resize(std::min<std::size_t>(value.size(), static_cast<std::size_t>(r.width)));
        }
        SetText(c, i, TrimText(value, value.size()));
      }
    }
    if (factor) {
      if (r.text)
        TextToFactor(c, options.caseInsensitiveLevels != 0, options.compressBlanks != 0);
      else
        VariateToFactor(c, true);
    }
    ComputeWidth(c);
  }
  if (capped) std::printf("Numbers in %.100s greater than %s have been set to this value!\n", shown, "9.99999E+307");
  return 1;
}

}  // namespace

int16_t ReadMinitab(const char* path) {
  const bool stream = State().minitabRecordStream;
  const std::string shown = State().inputFileName.empty() ? std::string(path ? path : "") : State().inputFileName;
  int16_t result = 0;
  try {
    result = Read(path, shown.c_str(), stream);
  } catch (...) {
    State().minitabRecordStream = false;
    throw;
  }
  State().minitabRecordStream = false;
  return result;
}

}  // namespace trovadex
