// Test-side readers for the files the Excel writer makes: a small compound
// document stream extractor, a BIFF record splitter and a runner for the
// independent Python readers.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/byteorder.h"
#include "test_support.h"

namespace trovadex::test {

struct CfbEntry {
  std::string name;
  int type = 0;
  uint32_t start = 0;
  uint32_t size = 0;
  uint32_t left = 0, right = 0, child = 0;
};

struct CfbFile {
  std::vector<uint8_t> bytes;
  std::vector<uint32_t> fat;
  std::vector<uint32_t> miniFat;
  std::vector<CfbEntry> entries;
  std::vector<uint8_t> miniStream;
  std::string error;
};

inline const uint8_t* CfbSector(const CfbFile& f, uint32_t n) {
  const uint64_t at = (uint64_t{n} + 1) * 512;
  if (at + 512 > f.bytes.size()) return nullptr;
  return f.bytes.data() + at;
}

// Follows a chain of the sector table; empty on a broken chain.
inline std::optional<std::vector<uint8_t>> CfbChain(const CfbFile& f, uint32_t start, uint64_t size) {
  std::vector<uint8_t> out;
  uint32_t s = start;
  uint64_t guard = 0;
  while (out.size() < size) {
    const uint8_t* p = s < f.fat.size() ? CfbSector(f, s) : nullptr;
    if (!p || ++guard > f.fat.size()) return std::nullopt;
    out.insert(out.end(), p, p + 512);
    s = f.fat[s];
  }
  out.resize(size);
  return out;
}

inline CfbFile ParseCfb(std::vector<uint8_t> bytes) {
  CfbFile f;
  f.bytes = std::move(bytes);
  if (f.bytes.size() < 512 || LoadU32LE(f.bytes.data()) != 0xE011CFD0u) {
    f.error = "no signature";
    return f;
  }
  const uint8_t* h = f.bytes.data();
  const uint32_t fatCount = LoadU32LE(h + 44);
  std::vector<uint32_t> fatSectors;
  for (uint32_t k = 0; k < 109 && k < fatCount; ++k) fatSectors.push_back(LoadU32LE(h + 76 + 4 * k));
  uint32_t ext = LoadU32LE(h + 68);
  uint32_t extCount = LoadU32LE(h + 72);
  for (uint32_t j = 0; j < extCount && fatSectors.size() < fatCount; ++j) {
    const uint8_t* p = CfbSector(f, ext);
    if (!p) {
      f.error = "bad extension sector";
      return f;
    }
    for (int i = 0; i < 127 && fatSectors.size() < fatCount; ++i) fatSectors.push_back(LoadU32LE(p + 4 * i));
    ext = LoadU32LE(p + 508);
  }
  if (fatSectors.size() != fatCount) {
    f.error = "sector table list short";
    return f;
  }
  for (uint32_t s : fatSectors) {
    const uint8_t* p = CfbSector(f, s);
    if (!p) {
      f.error = "bad FAT sector";
      return f;
    }
    for (int i = 0; i < 128; ++i) f.fat.push_back(LoadU32LE(p + 4 * i));
  }
  // Directory: one chain from the first directory sector.
  std::vector<uint8_t> dir;
  for (uint32_t s = LoadU32LE(h + 48), guard = 0; s < f.fat.size() && guard < 1000; s = f.fat[s], ++guard) {
    const uint8_t* p = CfbSector(f, s);
    if (!p) break;
    dir.insert(dir.end(), p, p + 512);
  }
  for (std::size_t at = 0; at + 128 <= dir.size(); at += 128) {
    CfbEntry e;
    const uint8_t* p = dir.data() + at;
    const int nameBytes = LoadU16LE(p + 64);
    for (int i = 0; i + 2 < nameBytes && i < 62; i += 2) e.name += static_cast<char>(LoadU16LE(p + i));
    e.type = p[66];
    e.left = LoadU32LE(p + 68);
    e.right = LoadU32LE(p + 72);
    e.child = LoadU32LE(p + 76);
    e.start = LoadU32LE(p + 116);
    e.size = LoadU32LE(p + 120);
    f.entries.push_back(e);
  }
  for (uint32_t s = LoadU32LE(h + 60), guard = 0; s < f.fat.size() && guard < 1000; s = f.fat[s], ++guard) {
    const uint8_t* p = CfbSector(f, s);
    if (!p) break;
    for (int i = 0; i < 128; ++i) f.miniFat.push_back(LoadU32LE(p + 4 * i));
  }
  if (!f.entries.empty()) {
    auto container = CfbChain(f, f.entries[0].start, f.entries[0].size);
    if (container) f.miniStream = *container;
  }
  return f;
}

// The bytes of the named stream; nullopt when absent or broken.
inline std::optional<std::vector<uint8_t>> CfbStream(const CfbFile& f, const std::string& name) {
  for (std::size_t i = 1; i < f.entries.size(); ++i) {
    const CfbEntry& e = f.entries[i];
    if (e.type != 2 || e.name != name) continue;
    if (e.size >= 4096) return CfbChain(f, e.start, e.size);
    std::vector<uint8_t> out;
    uint32_t m = e.start;
    uint64_t guard = 0;
    while (out.size() < e.size) {
      const uint64_t at = uint64_t{m} * 64;
      if (m >= f.miniFat.size() || at + 64 > f.miniStream.size() || ++guard > f.miniFat.size())
        return std::nullopt;
      out.insert(out.end(), f.miniStream.begin() + at, f.miniStream.begin() + at + 64);
      m = f.miniFat[m];
    }
    out.resize(e.size);
    return out;
  }
  return std::nullopt;
}

struct BiffRecord {
  uint16_t code = 0;
  std::size_t pos = 0;  // stream offset of the record header
  std::vector<uint8_t> body;
};

inline std::vector<BiffRecord> SplitBiff(const std::vector<uint8_t>& s) {
  std::vector<BiffRecord> out;
  std::size_t at = 0;
  while (at + 4 <= s.size()) {
    BiffRecord r;
    r.code = LoadU16LE(&s[at]);
    const uint16_t length = LoadU16LE(&s[at + 2]);
    r.pos = at;
    if (at + 4 + length > s.size()) break;
    r.body.assign(s.begin() + at + 4, s.begin() + at + 4 + length);
    out.push_back(std::move(r));
    at += 4 + length;
  }
  return out;
}

inline bool PythonModuleAvailable(const std::string& module) {
  std::string out;
  return RunCommand("/usr/bin/python3 -c 'import " + module + "' 2>/dev/null", &out) == 0;
}

}  // namespace trovadex::test
