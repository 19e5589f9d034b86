// SAS data sets of the PC releases 6.03 to 6.12 into the Dataset. Releases
// 6.03 and 6.04 write a flat file: a header, one descriptor per variable and
// the observations back to back. Releases 6.07 to 6.12 write pages: the
// descriptors are subheaders reached through pointer lists at the start of
// the pages, and the observations follow on mixed and data pages. Numbers
// are little-endian doubles cut to their 3 to 8 most significant bytes.
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
#include "readers/readers.h"

namespace trovadex {

namespace {

constexpr int64_t kFlatDescriptors = 216;
constexpr int64_t kFlatDescriptorLength = 106;
constexpr int64_t kFirstPage = 256;
constexpr int64_t kPageHeader = 16;
constexpr int64_t kPointerLength = 12;
constexpr int64_t kLongestSubheader = 512;
constexpr int kDataPage = 256;
constexpr int kMixedPage = 512;

struct Variable {
  int type = 0;
  int64_t length = 0;
  int64_t position = 0;
  std::string name;   // the 8 name bytes
  std::string label;  // the 40 label bytes
  bool seen = false;
  Column* column = nullptr;
};

struct SasFile {
  std::vector<unsigned char> bytes;
  int64_t size() const { return static_cast<int64_t>(bytes.size()); }
  bool Has(int64_t at, int64_t n) const { return at >= 0 && n >= 0 && at <= size() && n <= size() - at; }
  const unsigned char* At(int64_t at) const { return bytes.data() + at; }
};

std::string Bytes(const unsigned char* p, std::size_t n) { return std::string(reinterpret_cast<const char*>(p), n); }

// The pages of the paged layout: page k starts at 256 + k × page size.
struct Pages {
  int64_t pageSize = 0;
  int64_t pageCount = 0;
  int64_t PageStart(int64_t k) const { return kFirstPage + k * pageSize; }
};

bool PageHeader(const SasFile& f, const Pages& pages, int64_t k, int& entries, int& type) {
  if (k >= pages.pageCount) return false;
  const int64_t start = pages.PageStart(k);
  if (!f.Has(start, kPageHeader)) return false;
  entries = LoadU16LE(f.At(start + 8));
  type = LoadU16LE(f.At(start + 10));
  // The pointers must fit on the page (a data page counts observations).
  return type == kDataPage || kPageHeader + kPointerLength * entries <= pages.pageSize;
}

// Reads the paged layout's counts and variables; the observations start on
// page `obsPage` at `obsOffset` from its start.
bool ReadPagedLayout(const SasFile& f, int64_t& varCount, int64_t& obsLength, int64_t& obsCount,
                     std::vector<Variable>& vars, Pages& pages, int64_t& obsPage, int64_t& obsOffset,
                     int64_t& obsOnPage) {
  if (!f.Has(0, kFirstPage)) return false;
  pages.pageSize = LoadU32LE(f.At(92));
  if (pages.pageSize < kPageHeader + kPointerLength || pages.pageSize > f.size()) return false;
  pages.pageCount = (f.size() - kFirstPage + pages.pageSize - 1) / pages.pageSize;
  int entries = 0, type = 0;
  if (!PageHeader(f, pages, 0, entries, type) || type == kDataPage || entries < 1) return false;

  int64_t previousOffset = -1;
  int64_t lowest = pages.pageSize;  // the lowest subheader offset on the page
  // The subheader of pointer `i` of page `k`; false when it is skipped.
  auto subheader = [&](int64_t k, int i, int64_t& at, int64_t& length, bool& bad) {
    bad = false;
    const int64_t pointer = pages.PageStart(k) + kPageHeader + kPointerLength * i;
    if (!f.Has(pointer, kPointerLength)) {
      bad = true;
      return false;
    }
    const int64_t offset = LoadU32LE(f.At(pointer));
    length = LoadU32LE(f.At(pointer + 4));
    const uint32_t marker = LoadU32LE(f.At(pointer + 8));
    if (offset == previousOffset || length == 0 || marker == 1) return false;
    previousOffset = offset;
    lowest = std::min(lowest, offset);
    at = pages.PageStart(k) + offset;
    if (length > kLongestSubheader || !f.Has(at, length)) {
      bad = true;
      return false;
    }
    return true;
  };

  int64_t at = 0, length = 0;
  bool bad = false;
  if (!subheader(0, 0, at, length, bad) || length < 28) return false;
  varCount = LoadU32LE(f.At(at + 8));
  obsLength = LoadU32LE(f.At(at + 20));
  obsCount = LoadU32LE(f.At(at + 24));
  if (length >= 115 && std::memcmp(f.At(at + 112), "CMP", 3) == 0) return false;  // compressed
  if (varCount <= 0 || obsLength <= 0 || obsCount <= 0) return false;
  // Every variable needs a subheader of its own on some page.
  if (varCount > f.size() / 72) return false;
  vars.assign(static_cast<std::size_t>(varCount), Variable());

  int first = 1;
  if (entries >= 2) {
    int64_t a = 0, n = 0;
    const int64_t saved = previousOffset;
    if (subheader(0, 1, a, n, bad) && !(n >= 4 && std::memcmp(f.At(a), "NAME", 4) == 0)) first = 2;
    if (bad) return false;
    previousOffset = saved;
  }

  int64_t page = 0;
  int i = first;
  for (;;) {
    for (; i < entries; ++i) {
      if (!subheader(page, i, at, length, bad)) {
        if (bad) return false;
        continue;
      }
      if (length < 72 || std::memcmp(f.At(at), "NAME", 4) != 0) continue;
      const int64_t number = LoadU16LE(f.At(at + 70));
      if (number < 1 || number > varCount) return false;
      Variable& v = vars[static_cast<std::size_t>(number - 1)];
      if (v.seen) return false;  // each variable once
      v.seen = true;
      v.name = Bytes(f.At(at + 4), 8);
      v.type = LoadI16LE(f.At(at + 12));
      v.label = Bytes(f.At(at + 20), 40);
      v.position = LoadU32LE(f.At(at + 64));
      v.length = LoadU16LE(f.At(at + 68));
    }
    if (type == kMixedPage) {
      // The observations follow the pointers, on an 8-byte boundary, up to
      // the subheaders, which fill the page from its end.
      obsPage = page;
      obsOffset = (kPageHeader + kPointerLength * entries + 7) / 8 * 8;
      obsOnPage = std::max<int64_t>(0, (std::min(lowest, pages.pageSize) - obsOffset) / obsLength);
      break;
    }
    ++page;
    lowest = pages.pageSize;
    if (!PageHeader(f, pages, page, entries, type)) return false;
    i = 0;
    if (type == kDataPage) {
      obsPage = page;
      obsOffset = kPageHeader;
      obsOnPage = entries;
      break;
    }
  }
  for (const Variable& v : vars)
    if (!v.seen) return false;
  return true;
}

}  // namespace

int16_t ReadSasPc(const char* path) {
  if (!path) return 0;
  SasFile f;
  {
    std::FILE* in = std::fopen(path, "rb");
    if (!in) return 0;
    unsigned char buffer[65536];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, in)) > 0) {
      const std::size_t at = f.bytes.size();
      LargeResize(f.bytes, at + n);
      std::memcpy(f.bytes.data() + at, buffer, n);
    }
    const bool failed = std::ferror(in) != 0;
    if (std::fclose(in) != 0 || failed) return 0;
  }
  if (!f.Has(0, kFlatDescriptors) || std::memcmp(f.At(0), "SAS", 3) != 0) return 0;
  const std::string release = Bytes(f.At(8), 4);
  const bool flat = release == "6.03" || release == "6.04";
  const bool paged = release == "6.07" || release == "6.08" || release == "6.09" || release == "6.10" ||
                     release == "6.11" || release == "6.12";
  if (!flat && !paged) return 0;

  int64_t varCount = 0, obsLength = 0, obsCount = 0;
  std::vector<Variable> vars;
  Pages pages;
  int64_t obsPage = 0, obsOffset = 0, obsOnPage = 0, flatData = 0;
  if (flat) {
    varCount = LoadU16LE(f.At(122));
    obsLength = LoadU16LE(f.At(124));
    obsCount = LoadU32LE(f.At(126));
    if (varCount <= 0 || obsLength <= 0 || obsCount <= 0) return 0;
    flatData = kFlatDescriptors + kFlatDescriptorLength * varCount;
    if (!f.Has(kFlatDescriptors, kFlatDescriptorLength * varCount)) return 0;
    vars.resize(static_cast<std::size_t>(varCount));
    int64_t position = 4;
    for (int64_t i = 0; i < varCount; ++i) {
      const unsigned char* d = f.At(kFlatDescriptors + kFlatDescriptorLength * i);
      Variable& v = vars[static_cast<std::size_t>(i)];
      v.type = LoadI16LE(d);
      v.length = LoadU16LE(d + 4);
      v.name = Bytes(d + 8, 8);
      v.label = Bytes(d + 16, 40);
      v.position = position;
      position += v.length;
    }
    if (position > obsLength) return 0;  // the variables overrun the observation
    // Every observation must be there.
    if (obsCount > (f.size() - flatData) / obsLength) return 0;
  } else {
    if (!ReadPagedLayout(f, varCount, obsLength, obsCount, vars, pages, obsPage, obsOffset, obsOnPage)) return 0;
    if (obsCount > f.size() / obsLength) return 0;
  }
  for (const Variable& v : vars) {
    if (v.type == 1 && (v.length < 3 || v.length > 8)) return 0;
    if (v.type == 2 && (v.length < 1 || v.length > 200)) return 0;
    if ((v.type == 1 || v.type == 2) && v.position + v.length > obsLength) return 0;
  }

  Dataset* dataset = CreateDataset();
  dataset->rowCount = static_cast<int32_t>(std::min<int64_t>(obsCount, 2147483647));
  if (!CreateRows(dataset)) return 0;
  const double missing = dataset->missingValue;
  const long limit = State().columnLimit;
  if (varCount > limit) std::printf("Warning Columns above %li NOT transfered!\n", limit);

  for (int64_t i = 0; i < varCount && i < limit; ++i) {
    Variable& v = vars[static_cast<std::size_t>(i)];
    if (v.type != 1 && v.type != 2) continue;
    std::string name = TrimText(v.name, 8);
    if (name.empty() || name == " ") name = "C" + std::to_string(i);
    LegalName(name);
    const bool numeric = v.type == 1;
    Column* c = AddColumn(dataset, numeric ? ColumnKind::Variate : ColumnKind::Text, name, numeric ? 25 : kTextLength);
    if (!c) break;
    AllocateValues(c, dataset->rowCount);
    CopyLimited(c->description, TrimText(v.label, kLabelLength), kLabelLength);
    if (numeric) {
      c->decimals = -1;
      c->width = 8;
    } else {
      c->decimals = 0;
      c->levelCount = static_cast<int32_t>(std::min<int64_t>(v.length, kTextLength));
      c->width = static_cast<int32_t>(std::max<int64_t>(v.length, static_cast<int64_t>(c->name.size()) + 1));
    }
    c->valueCount = dataset->rowCount;
    v.column = c;
  }

  int64_t page = obsPage, onPage = 0;
  for (int64_t row = 0; row < dataset->rowCount; ++row) {
    int64_t at = 0;
    if (flat) {
      at = flatData + row * obsLength;
    } else {
      while (onPage >= obsOnPage) {
        // The next page: its observations follow its header.
        int entries = 0, type = 0;
        ++page;
        if (!PageHeader(f, pages, page, entries, type)) return 0;
        obsOffset = kPageHeader;
        obsOnPage = std::min<int64_t>(entries, (pages.pageSize - kPageHeader) / obsLength);
        onPage = 0;
      }
      at = pages.PageStart(page) + obsOffset + onPage * obsLength;
      ++onPage;
    }
    if (!f.Has(at, obsLength)) return 0;
    const unsigned char* obs = f.At(at);
    for (const Variable& v : vars) {
      Column* c = v.column;
      if (!c) continue;
      const unsigned char* value = obs + v.position;
      if (v.type == 2) {
        c->texts.SetNew(row, TrimText(std::string_view(reinterpret_cast<const char*>(value),
                                                       static_cast<std::size_t>(v.length)),
                                      kTextLength));
        continue;
      }
      unsigned char b[8] = {};
      std::memcpy(b + 8 - v.length, value, static_cast<std::size_t>(v.length));
      double x = LoadF64LE(b);
      if (std::isnan(x) || x < missing) x = missing;
      if (x > kNumberCap) x = kNumberCap;
      c->numbers.Set(row, x);
    }
  }
  return 1;
}

}  // namespace trovadex
