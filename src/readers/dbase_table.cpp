// dBase header, descriptors and field decoding.
#include "readers/dbase_table.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/byteorder.h"
#include "core/dataset.h"
#include "core/format.h"
#include "core/names.h"

namespace trovadex {

namespace {

constexpr int64_t kDbase2DescriptorStart = 8;
constexpr int64_t kDbase2DescriptorSize = 16;
constexpr int64_t kDbase2DescriptorSlots = 32;
constexpr int64_t kDbase2Terminator = 520;
constexpr int64_t kDescriptorSize = 32;
constexpr std::size_t kTextKeep = kKeptTextLength;  // the store cuts (and counts) at 90

std::string NameBytes(const unsigned char* p) {
  std::size_t n = 0;
  while (n < 11 && p[n] != 0) ++n;
  return std::string(reinterpret_cast<const char*>(p), n);
}

// Checks the type letter and stores the field; false for an unknown type.
bool AddField(DbaseHeader& header, const unsigned char* p, char type, int64_t length,
              int32_t decimals, int64_t& offset) {
  if (!IsDbaseDataField(type) && !IsDbaseSkippedField(type)) return false;
  DbaseField f;
  f.name = NameBytes(p);
  f.type = type;
  f.offset = offset;
  f.length = length;
  f.decimals = decimals;
  offset += length;
  header.fields.push_back(std::move(f));
  return true;
}

void CapRecords(DbaseHeader& header, std::size_t size) {
  int64_t available = 0;
  if (static_cast<int64_t>(size) > header.dataStart)
    available = (static_cast<int64_t>(size) - header.dataStart) / header.recordLength;
  header.recordCount = std::min(header.declaredRecords, available);
}

DbaseHeaderStatus ParseDbase2(const unsigned char* data, std::size_t size, std::size_t fileSize,
                              DbaseHeader& header) {
  if (size < static_cast<std::size_t>(kDbase2DescriptorStart)) return DbaseHeaderStatus::ShortHeader;
  header.dbase2 = true;
  header.declaredRecords = LoadU16LE(data + 1);
  header.recordLength = LoadU16LE(data + 6);
  header.headerLength = kDbase2Terminator + 1;
  if (header.declaredRecords == 0) return DbaseHeaderStatus::NoRecords;
  if (header.recordLength == 0) return DbaseHeaderStatus::BadRecordLength;
  int64_t offset = 1;
  for (int64_t slot = 0; slot < kDbase2DescriptorSlots; ++slot) {
    int64_t at = kDbase2DescriptorStart + slot * kDbase2DescriptorSize;
    if (at + kDbase2DescriptorSize > static_cast<int64_t>(size))
      return DbaseHeaderStatus::ShortDescriptors;
    const unsigned char* p = data + at;
    if (p[0] == 0x0D) break;
    if (!AddField(header, p, static_cast<char>(p[11]), p[12], p[15], offset))
      return DbaseHeaderStatus::UnknownFieldType;
  }
  if (kDbase2Terminator >= static_cast<int64_t>(size)) return DbaseHeaderStatus::ShortDescriptors;
  unsigned char end = data[kDbase2Terminator];
  if (end != 0x0D && end != 0x00) return DbaseHeaderStatus::BadTerminator;
  header.dataStart = kDbase2Terminator + 1;
  CapRecords(header, fileSize);
  return header.recordCount > 0 ? DbaseHeaderStatus::Ok : DbaseHeaderStatus::NoData;
}

}  // namespace

bool IsDbaseDataField(char type) {
  return type == 'C' || type == 'N' || type == 'F' || type == 'D' || type == 'L';
}

bool IsDbaseSkippedField(char type) {
  return type == 'B' || type == 'G' || type == 'M' || type == 'P';
}

DbaseHeaderStatus ParseDbaseHeader(const unsigned char* data, std::size_t size, bool allowDbase2,
                                   DbaseHeader& header) {
  return ParseDbaseHeader(data, size, size, allowDbase2, header);
}

DbaseHeaderStatus ParseDbaseHeader(const unsigned char* data, std::size_t size,
                                   std::size_t fileSize, bool allowDbase2, DbaseHeader& header,
                                   bool acceptUnterminated) {
  header = DbaseHeader{};
  if (fileSize < size) fileSize = size;
  if (size < 1) return DbaseHeaderStatus::ShortHeader;
  header.version = data[0];
  if (header.version == 0x02 && allowDbase2) return ParseDbase2(data, size, fileSize, header);

  if (size < static_cast<std::size_t>(kDescriptorSize)) return DbaseHeaderStatus::ShortHeader;
  // The year byte is not checked: writers store years since 1900, so every
  // table from 2011 on has a value above 110.
  if (data[2] > 12 || data[3] > 31) return DbaseHeaderStatus::BadDate;
  header.declaredRecords = LoadU32LE(data + 4);
  header.headerLength = LoadU16LE(data + 8);
  header.recordLength = LoadU16LE(data + 10);
  if (header.declaredRecords == 0) return DbaseHeaderStatus::NoRecords;
  if (header.recordLength == 0) return DbaseHeaderStatus::BadRecordLength;

  // Descriptors run up to the 0x0D byte; the header may be padded after it.
  int64_t at = kDescriptorSize;
  int64_t offset = 1;
  const int64_t total = static_cast<int64_t>(size);
  for (;;) {
    if (at >= total) return DbaseHeaderStatus::ShortDescriptors;
    if (data[at] == 0x0D) break;
    if (at >= header.headerLength - 1) {
      if (!acceptUnterminated || at != header.headerLength - 1 || header.fields.empty())
        return DbaseHeaderStatus::BadTerminator;
      header.unterminated = true;
      break;
    }
    if (at + kDescriptorSize > total) return DbaseHeaderStatus::ShortDescriptors;
    const unsigned char* p = data + at;
    if (!AddField(header, p, static_cast<char>(p[11]), p[16], p[17], offset))
      return DbaseHeaderStatus::UnknownFieldType;
    at += kDescriptorSize;
  }
  header.dataStart = std::max(header.headerLength, at + 1);
  CapRecords(header, fileSize);
  return header.recordCount > 0 ? DbaseHeaderStatus::Ok : DbaseHeaderStatus::NoData;
}

std::string_view DbaseFieldBytes(const unsigned char* record, int64_t recordLength,
                                 const DbaseField& field) {
  if (field.offset < 0 || field.length <= 0 || field.offset + field.length > recordLength)
    return {};
  return std::string_view(reinterpret_cast<const char*>(record + field.offset),
                          static_cast<std::size_t>(field.length));
}

std::string DecodeDbaseText(std::string_view bytes, bool compressBlanks) {
  std::string_view s = bytes.substr(0, std::min(bytes.size(), kTextKeep));
  std::size_t nul = s.find('\0');
  if (nul != std::string_view::npos) s = s.substr(0, nul);
  if (compressBlanks) return TrimText(s, kTextKeep);
  std::size_t end = s.find_last_not_of(' ');
  return std::string(end == std::string_view::npos ? std::string_view() : s.substr(0, end + 1));
}

double DecodeDbaseNumber(std::string_view bytes, double missing) {
  if (bytes.find_first_not_of(' ') == std::string_view::npos) return missing;
  const char* begin = bytes.data();
  const char* limit = begin + bytes.size();
  const char* end = begin;
  bool rangeError = false;
  double x = ParseDecimal(begin, limit, &end, &rangeError);
  if (end == begin || rangeError || !std::isfinite(x)) return missing;
  if (x > kNumberCap) x = kNumberCap;
  if (!(x > missing)) return missing;
  return x;
}

namespace {

// Base-10 integer like strtol: leading blanks, optional sign, digits up to
// the first non-digit; nothing readable gives 0.
long DatePart(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  long v = 0;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) v = v * 10 + (s[i] - '0');
  return negative ? -v : v;
}

std::string_view Part(std::string_view s, std::size_t from, std::size_t count) {
  if (from >= s.size()) return {};
  return s.substr(from, count);
}

}  // namespace

double DecodeDbaseDate(std::string_view bytes, double missing) {
  long year = DatePart(Part(bytes, 0, 4));
  long month = DatePart(Part(bytes, 4, 2));
  long day = DatePart(Part(bytes, 6, 2));
  if (month > 12 || day > 31 || year > 9000) return missing;
  double v = DayCountFromDate(day, month, year);
  if (!(v > missing)) return missing;
  return v;
}

double DecodeDbaseLogical(std::string_view bytes, double missing) {
  if (bytes.empty()) return missing;
  switch (bytes[0]) {
    case 'F': case 'f': case 'N': case 'n':
      return 0;
    case 'T': case 't': case 'Y': case 'y':
      return 1;
    default:
      return missing;
  }
}

}  // namespace trovadex
