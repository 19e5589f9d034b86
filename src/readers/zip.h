// ZIP archives, the container of Office Open XML workbooks: the central
// directory, and the stored or deflated bytes of one entry handed out in
// pieces, so that a large entry is never held whole. Every size, offset and
// count of the archive is checked against the file and against what
// inflating really yields.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace trovadex {

enum class ZipStatus {
  Ok,
  NotZip,          // no end-of-central-directory record
  BadDirectory,    // the central directory or a local header lies outside the file or is inconsistent
  Unsupported,     // encrypted, a method other than stored or deflated, ZIP64 sizes
  NoZlib,          // a deflated entry in a build without zlib
  BadData,         // the bytes do not inflate to the size and checksum the directory gives
  TooLarge,        // inflating would pass the archive's limit (a ZIP bomb)
  ReadError,
  Stopped,         // the receiver of the pieces asked to stop
};

struct ZipEntry {
  std::string name;
  uint16_t method = 0;  // 0 stored, 8 deflated
  uint16_t flags = 0;
  uint32_t crc = 0;
  int64_t compressedSize = 0;
  int64_t size = 0;
  int64_t localOffset = 0;
};

struct ZipArchive {
  std::FILE* file = nullptr;
  int64_t fileSize = 0;
  std::vector<ZipEntry> entries;
  // Bytes all entries may inflate to together: 100 times the file size, at
  // most 4 GB.
  int64_t inflateLimit = 0;
  int64_t inflated = 0;

  ZipArchive() = default;
  ZipArchive(const ZipArchive&) = delete;
  ZipArchive& operator=(const ZipArchive&) = delete;
  ~ZipArchive() {
    if (file) std::fclose(file);
  }
};

// Opens the archive and reads its central directory.
ZipStatus OpenZip(const char* path, ZipArchive& zip);

// The entry of that exact name, or null. (Names are only looked up, never
// used as paths.)
const ZipEntry* FindZipEntry(const ZipArchive& zip, std::string_view name);

// Hands the entry's bytes to `sink` in pieces; a sink that returns false
// stops the reading (Stopped).
ZipStatus ReadZipEntry(ZipArchive& zip, const ZipEntry& entry,
                       const std::function<bool(const char* bytes, std::size_t size)>& sink);

// The whole entry (for the small parts of a workbook); at most `limit` bytes.
ZipStatus ReadZipEntryWhole(ZipArchive& zip, const ZipEntry& entry, std::string& out, int64_t limit);

}  // namespace trovadex
