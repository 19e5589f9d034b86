// Systat data files (".sys", ".syd"): length-framed records, as unformatted
// Fortran writes them. A record is one or more segments: a length byte, the
// bytes, and the length byte again; a record longer than 128 bytes is split
// into 128-byte segments marked 81 hex (one length byte each) that end with
// an ordinary segment of 1 to 128 bytes. After the fixed first record come
// 72-byte comment records (which may carry the property block with the
// variable descriptions), the variable count, one 12-byte name record per
// variable ("$" in the name marks a text variable) and one record per case:
// the numbers (singles, or doubles when the record is that long), then the
// 12-byte texts.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/byteorder.h"
#include "core/columns.h"
#include "core/dataset.h"
#include "core/names.h"
#include "readers/matrix_input.h"
#include "readers/readers.h"

namespace trovadex {

namespace {

constexpr unsigned char kStart[9] = {0x4B, 0x06, 0x1E, 0x00, 0x00, 0x00, 0x00, 0x00, 0x06};
constexpr int kFullSegment = 0x81;
constexpr int64_t kCommentBytes = 72;
constexpr int64_t kNameBytes = 12;
constexpr int64_t kTextBytes = 12;
constexpr double kSystatMissing = -9.9999e35;

enum class RecordStatus { Ok, End, BadMarker };

// Reads one record into `out` (cleared first); `stored` receives its bytes
// in the file, framing included. A length byte of 0 or above 81 hex, or a
// closing byte that differs from the opening one, is a bad marker.
RecordStatus ReadRecord(BlockInput& in, std::vector<unsigned char>& out, int64_t& stored, int64_t limit) {
  out.clear();
  stored = 0;
  for (;;) {
    unsigned char length = 0;
    if (!in.Read(&length, 1)) return out.empty() && stored == 0 ? RecordStatus::End : RecordStatus::BadMarker;
    if (length == 0 || length > kFullSegment) return RecordStatus::BadMarker;
    const std::size_t n = length == kFullSegment ? 128 : length;
    if (static_cast<int64_t>(out.size() + n) > limit) return RecordStatus::BadMarker;
    const std::size_t at = out.size();
    out.resize(at + n);
    if (!in.Read(out.data() + at, n)) return RecordStatus::BadMarker;
    stored += 1 + static_cast<int64_t>(n);
    if (length == kFullSegment) continue;
    unsigned char closing = 0;
    if (!in.Read(&closing, 1) || closing != length) return RecordStatus::BadMarker;
    stored += 1;
    return RecordStatus::Ok;
  }
}

struct Variable {
  std::string name;
  bool text = false;
  Column* column = nullptr;
  int64_t offset = 0;  // in the case record
};

// The descriptions of the property block: entries of type, length, column
// position and length - 4 bytes of text, from offset 8. An entry that does
// not fit the block, or is shorter than its position field, ends the list.
void ApplyDescriptions(const std::vector<unsigned char>& block, const std::vector<Variable>& vars) {
  int64_t at = 8;
  const int64_t size = static_cast<int64_t>(block.size());
  while (at + 12 <= size) {
    const int32_t type = LoadI32LE(&block[static_cast<std::size_t>(at)]);
    const int64_t length = LoadI32LE(&block[static_cast<std::size_t>(at + 4)]);
    const int64_t position = LoadI32LE(&block[static_cast<std::size_t>(at + 8)]);
    if (length < 4 || length > size - at - 8) break;
    if (type == 4 && position >= 1 && position <= static_cast<int64_t>(vars.size())) {
      Column* c = vars[static_cast<std::size_t>(position - 1)].column;
      if (c) {
        std::string text(reinterpret_cast<const char*>(&block[static_cast<std::size_t>(at + 12)]),
                         static_cast<std::size_t>(std::min<int64_t>(length - 4, kNameLength)));
        text.resize(std::min(text.size(), text.find('\0')));
        for (char& ch : text)
          if (static_cast<unsigned char>(ch) < 0x20) ch = ' ';
        CopyLimited(c->description, text, kNameLength);
      }
    }
    at += 8 + length;
  }
}

}  // namespace

int16_t ReadSystat(const char* path) {
  BlockInput in;
  if (!in.Open(path)) {
    std::printf("Systat data file %.100s not found.\n", path ? path : "");
    return 0;
  }
  unsigned char start[sizeof kStart];
  if (!in.Read(start, sizeof start) || !std::equal(start, start + sizeof start, kStart)) return 0;

  // Comment records (and the property block they may carry), then the
  // variable count.
  std::vector<unsigned char> record, properties;
  int64_t reserved = -1;  // bytes of the property block; -1: none
  int64_t stored = 0;
  int64_t count = -1;
  bool first = true;
  while (count < 0) {
    if (ReadRecord(in, record, stored, kCommentBytes) != RecordStatus::Ok ||
        (record.size() != kCommentBytes && record.size() != 6)) {
      std::printf("Systat record size mismatch.\n");
      return 0;
    }
    if (record.size() == 6) {
      count = LoadU16LE(record.data());
      break;
    }
    if (first && LoadU32LE(record.data()) == 0) {
      const int64_t n = LoadI32LE(record.data() + 4);
      if (n > 0 && n < 64000) reserved = n + 256;
    }
    first = false;
    if (reserved >= 0) {
      if (static_cast<int64_t>(properties.size() + record.size()) > reserved)
        std::printf("Property overflow in Systat header.\n");
      else
        properties.insert(properties.end(), record.begin(), record.end());
    }
  }

  std::vector<Variable> vars;
  int64_t numbers = 0, texts = 0;
  for (int64_t v = 0; v < count; ++v) {
    if (ReadRecord(in, record, stored, kNameBytes) != RecordStatus::Ok || record.size() != kNameBytes) {
      std::printf("Systat record size mismatch.\n");
      return 0;
    }
    std::string raw(reinterpret_cast<const char*>(record.data()), kNameBytes);
    Variable var;
    const std::size_t dollar = raw.find('$');
    var.text = dollar != std::string::npos;
    var.name = TrimText(raw.substr(0, var.text ? dollar : raw.size()), kNameBytes);
    (var.text ? texts : numbers) += 1;
    vars.push_back(std::move(var));
  }

  if (count == 0) {
    std::printf("Error reading Systat file: No valid data found.\n");
    return 0;
  }
  // The first case record tells singles from doubles.
  const int64_t firstCase = in.position;
  int64_t caseSize = numbers * 4 + texts * kTextBytes;
  int64_t recordStored = 0;
  const RecordStatus firstStatus = ReadRecord(in, record, recordStored, numbers * 8 + texts * kTextBytes);
  if (firstStatus == RecordStatus::Ok) {
    if (static_cast<int64_t>(record.size()) > caseSize) caseSize = numbers * 8 + texts * kTextBytes;
    if (static_cast<int64_t>(record.size()) != caseSize) {
      std::printf("Systat record size mismatch.\n");
      return 0;
    }
  } else if (firstStatus == RecordStatus::BadMarker && in.Remaining() > 0) {
    std::printf("Systat record size mismatch.\n");
    return 0;
  }
  const bool doubles = caseSize > numbers * 4 + texts * kTextBytes;
  const int64_t cases = recordStored > 0 ? (in.size - firstCase) / recordStored : 0;
  if (cases == 0 || cases > INT32_MAX) {
    std::printf("Error reading Systat file: No valid data found.\n");
    return 0;
  }

  Dataset* dataset = CreateDataset();
  dataset->rowCount = static_cast<int32_t>(cases);
  if (!CreateRows(dataset)) return 0;
  const long limit = State().columnLimit;
  if (count > limit) std::printf("Maximum number of columns (%i) exceeded.\nIgnoring extra columns.\n", static_cast<int>(limit));
  int64_t numberAt = 0, textAt = numbers * (doubles ? 8 : 4);
  for (Variable& var : vars) {
    var.offset = var.text ? textAt : numberAt;
    (var.text ? textAt : numberAt) += var.text ? kTextBytes : (doubles ? 8 : 4);
  }
  for (Variable& var : vars) {
    std::string name = var.name;
    LegalName(name);
    Column* c = AddColumn(dataset, var.text ? ColumnKind::Text : ColumnKind::Variate, name, 25);
    if (!c) break;
    if (!AllocateValues(c, dataset->rowCount)) return 0;
    c->valueFormat = var.text ? 4 : 1;
    c->decimals = -1;
    var.column = c;
  }
  ApplyDescriptions(properties, vars);

  if (!in.Seek(firstCase)) return 0;
  bool clamped = false;
  for (int64_t r = 0; r < cases; ++r) {
    if (ReadRecord(in, record, stored, caseSize) != RecordStatus::Ok || static_cast<int64_t>(record.size()) != caseSize) {
      std::printf("Error in reading Systat File: Invalid record marker.\n");
      return 0;
    }
    for (const Variable& var : vars) {
      if (!var.column) continue;
      const unsigned char* p = record.data() + var.offset;
      if (var.text) {
        std::string_view t(reinterpret_cast<const char*>(p), kTextBytes);
        t = t.substr(0, std::min(t.size(), t.find('\0')));
        while (!t.empty() && t.back() == ' ') t.remove_suffix(1);
        SetText(var.column, r, t);
        continue;
      }
      const double x = doubles ? LoadF64LE(p) : LoadF32LE(p);
      double v = kMissingValue;
      if (std::isfinite(x) && x > kSystatMissing) {
        v = x;
        if (v > kNumberCap) {
          v = kNumberCap;
          clamped = true;
        }
      }
      SetNumber(var.column, r, v);
    }
  }
  if (clamped) std::printf("Numbers in %.100s greater than %s have been set to this value!\n", path, "9.99999E+307");
  for (const Variable& var : vars)
    if (var.column) ComputeWidth(var.column);
  return 1;
}

}  // namespace trovadex
