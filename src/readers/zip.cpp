#include "readers/zip.h"

#include <algorithm>
#include <cstring>

#include <sys/types.h>

#if defined(TROVADEX_HAVE_ZLIB)
#include <zlib.h>
#endif

#include "core/byteorder.h"
#include "core/dataset.h"

namespace trovadex {

namespace {

constexpr uint32_t kEndSignature = 0x06054B50;
constexpr uint32_t kCentralSignature = 0x02014B50;
constexpr uint32_t kLocalSignature = 0x04034B50;
constexpr int64_t kEndSize = 22;
constexpr int64_t kCentralSize = 46;
constexpr int64_t kLocalSize = 30;
constexpr int64_t kMaxComment = 0xFFFF;
constexpr std::size_t kPiece = std::size_t{1} << 16;
constexpr int64_t kMaxInflated = int64_t{4} << 30;

bool ReadAt(std::FILE* file, int64_t offset, void* to, std::size_t n) {
  if (fseeko(file, static_cast<off_t>(offset), SEEK_SET) != 0) return false;
  return std::fread(to, 1, n, file) == n;
}

}  // namespace

ZipStatus OpenZip(const char* path, ZipArchive& zip) {
  zip.file = std::fopen(path, "rb");
  if (!zip.file) return ZipStatus::ReadError;
  if (fseeko(zip.file, 0, SEEK_END) != 0) return ZipStatus::ReadError;
  zip.fileSize = static_cast<int64_t>(ftello(zip.file));
  if (zip.fileSize < kEndSize) return ZipStatus::NotZip;
  zip.inflateLimit = std::min<int64_t>(zip.fileSize * 100, kMaxInflated);

  // The end record sits in the last 22 bytes plus at most a 64 KB comment.
  const int64_t tail = std::min(zip.fileSize, kEndSize + kMaxComment);
  std::vector<unsigned char> bytes(static_cast<std::size_t>(tail));
  if (!ReadAt(zip.file, zip.fileSize - tail, bytes.data(), bytes.size())) return ZipStatus::ReadError;
  int64_t end = -1;
  for (int64_t at = tail - kEndSize; at >= 0; --at) {
    const unsigned char* p = bytes.data() + at;
    if (LoadU32LE(p) == kEndSignature && at + kEndSize + LoadU16LE(p + 20) == tail) {
      end = at;
      break;
    }
  }
  if (end < 0) return ZipStatus::NotZip;
  const unsigned char* e = bytes.data() + end;
  const int64_t count = LoadU16LE(e + 10);
  const int64_t directorySize = LoadU32LE(e + 12);
  const int64_t directoryOffset = LoadU32LE(e + 16);
  if (count == 0xFFFF || directorySize == 0xFFFFFFFF || directoryOffset == 0xFFFFFFFF) return ZipStatus::Unsupported;
  if (LoadU16LE(e + 4) != 0 || LoadU16LE(e + 6) != 0 || LoadU16LE(e + 8) != count) return ZipStatus::Unsupported;
  const int64_t endOffset = zip.fileSize - tail + end;
  if (directoryOffset + directorySize > endOffset || count * kCentralSize > directorySize)
    return ZipStatus::BadDirectory;

  std::vector<unsigned char> directory(static_cast<std::size_t>(directorySize));
  if (directorySize > 0 && !ReadAt(zip.file, directoryOffset, directory.data(), directory.size()))
    return ZipStatus::ReadError;
  int64_t at = 0;
  zip.entries.reserve(static_cast<std::size_t>(count));
  for (int64_t i = 0; i < count; ++i) {
    if (at + kCentralSize > directorySize) return ZipStatus::BadDirectory;
    const unsigned char* c = directory.data() + at;
    if (LoadU32LE(c) != kCentralSignature) return ZipStatus::BadDirectory;
    const int64_t nameLength = LoadU16LE(c + 28);
    const int64_t extra = LoadU16LE(c + 30) + int64_t{LoadU16LE(c + 32)};
    if (at + kCentralSize + nameLength + extra > directorySize) return ZipStatus::BadDirectory;
    ZipEntry entry;
    entry.flags = LoadU16LE(c + 8);
    entry.method = LoadU16LE(c + 10);
    entry.crc = LoadU32LE(c + 16);
    entry.compressedSize = LoadU32LE(c + 20);
    entry.size = LoadU32LE(c + 24);
    entry.localOffset = LoadU32LE(c + 42);
    entry.name.assign(reinterpret_cast<const char*>(c + kCentralSize), static_cast<std::size_t>(nameLength));
    if (entry.localOffset + kLocalSize > directoryOffset) return ZipStatus::BadDirectory;
    zip.entries.push_back(std::move(entry));
    at += kCentralSize + nameLength + extra;
  }
  return ZipStatus::Ok;
}

const ZipEntry* FindZipEntry(const ZipArchive& zip, std::string_view name) {
  for (const ZipEntry& entry : zip.entries)
    if (entry.name == name) return &entry;
  return nullptr;
}

ZipStatus ReadZipEntry(ZipArchive& zip, const ZipEntry& entry,
                       const std::function<bool(const char* bytes, std::size_t size)>& sink) {
  if (entry.flags & 1) return ZipStatus::Unsupported;  // encrypted
  if (entry.method != 0 && entry.method != 8) return ZipStatus::Unsupported;
  if (entry.compressedSize == 0xFFFFFFFF || entry.size == 0xFFFFFFFF) return ZipStatus::Unsupported;
  unsigned char local[kLocalSize];
  if (!ReadAt(zip.file, entry.localOffset, local, sizeof local) || LoadU32LE(local) != kLocalSignature)
    return ZipStatus::BadDirectory;
  const int64_t dataOffset = entry.localOffset + kLocalSize + LoadU16LE(local + 26) + LoadU16LE(local + 28);
  if (dataOffset + entry.compressedSize > zip.fileSize) return ZipStatus::BadDirectory;
  if (entry.size > zip.inflateLimit - zip.inflated) return ZipStatus::TooLarge;
  zip.inflated += entry.size;
  if (fseeko(zip.file, static_cast<off_t>(dataOffset), SEEK_SET) != 0) return ZipStatus::ReadError;

  std::vector<char> in(kPiece);
  int64_t left = entry.compressedSize;
  if (entry.method == 0) {
    if (entry.compressedSize != entry.size) return ZipStatus::BadData;
#if defined(TROVADEX_HAVE_ZLIB)
    uLong crc = crc32(0, nullptr, 0);
#endif
    while (left > 0) {
      const std::size_t n = static_cast<std::size_t>(std::min<int64_t>(left, kPiece));
      if (std::fread(in.data(), 1, n, zip.file) != n) return ZipStatus::ReadError;
      left -= static_cast<int64_t>(n);
#if defined(TROVADEX_HAVE_ZLIB)
      crc = crc32(crc, reinterpret_cast<const Bytef*>(in.data()), static_cast<uInt>(n));
#endif
      if (!sink(in.data(), n)) return ZipStatus::Stopped;
    }
#if defined(TROVADEX_HAVE_ZLIB)
    if (crc != entry.crc) return ZipStatus::BadData;
#endif
    return ZipStatus::Ok;
  }
#if defined(TROVADEX_HAVE_ZLIB)
  z_stream z{};
  if (inflateInit2(&z, -MAX_WBITS) != Z_OK) OutOfMemory();
  struct Ender {
    z_stream& z;
    ~Ender() { inflateEnd(&z); }
  } ender{z};
  std::vector<char> out(kPiece);
  int64_t produced = 0;
  uLong crc = crc32(0, nullptr, 0);
  int result = Z_OK;
  while (result != Z_STREAM_END) {
    if (z.avail_in == 0 && left > 0) {
      const std::size_t n = static_cast<std::size_t>(std::min<int64_t>(left, kPiece));
      if (std::fread(in.data(), 1, n, zip.file) != n) return ZipStatus::ReadError;
      left -= static_cast<int64_t>(n);
      z.next_in = reinterpret_cast<Bytef*>(in.data());
      z.avail_in = static_cast<uInt>(n);
    }
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    result = inflate(&z, Z_NO_FLUSH);
    // (Z_BUF_ERROR: no progress with room to write, so the data end early.)
    if (result != Z_OK && result != Z_STREAM_END) return ZipStatus::BadData;
    const std::size_t n = out.size() - z.avail_out;
    produced += static_cast<int64_t>(n);
    // More than the directory declared: the size was a lie (or a bomb).
    if (produced > entry.size) return ZipStatus::BadData;
    crc = crc32(crc, reinterpret_cast<const Bytef*>(out.data()), static_cast<uInt>(n));
    if (n > 0 && !sink(out.data(), n)) return ZipStatus::Stopped;
  }
  if (produced != entry.size || crc != entry.crc) return ZipStatus::BadData;
  return ZipStatus::Ok;
#else
  return ZipStatus::NoZlib;
#endif
}

ZipStatus ReadZipEntryWhole(ZipArchive& zip, const ZipEntry& entry, std::string& out, int64_t limit) {
  out.clear();
  if (entry.size > limit) return ZipStatus::TooLarge;
  out.reserve(static_cast<std::size_t>(std::min<int64_t>(entry.size, limit)));
  return ReadZipEntry(zip, entry, [&](const char* bytes, std::size_t n) {
    out.append(bytes, n);
    return true;
  });
}

}  // namespace trovadex
