// Small builders for the reader tests: Excel record streams and compound
// documents laid out by hand, so that each test controls every byte.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/byteorder.h"

namespace trovadex::test {

using Bytes = std::vector<uint8_t>;

inline void Put16(Bytes& b, uint16_t v) { b.push_back(v & 0xFF), b.push_back(v >> 8); }
inline void Put32(Bytes& b, uint32_t v) { Put16(b, v & 0xFFFF), Put16(b, v >> 16); }
inline void PutF64(Bytes& b, double v) {
  uint8_t t[8];
  StoreF64LE(t, v);
  b.insert(b.end(), t, t + 8);
}
inline void PutText(Bytes& b, const std::string& s) { b.insert(b.end(), s.begin(), s.end()); }

// One record: code, length, body.
inline void Rec(Bytes& out, uint16_t code, const Bytes& body) {
  Put16(out, code);
  Put16(out, static_cast<uint16_t>(body.size()));
  out.insert(out.end(), body.begin(), body.end());
}

inline Bytes Body(std::initializer_list<uint8_t> bytes) { return Bytes(bytes); }

// Cell records of Excel 5 and later.
inline Bytes NumberCell(uint16_t row, uint16_t col, double v) {
  Bytes b;
  Put16(b, row), Put16(b, col), Put16(b, 15), PutF64(b, v);
  return b;
}
inline Bytes LabelCell5(uint16_t row, uint16_t col, const std::string& s) {
  Bytes b;
  Put16(b, row), Put16(b, col), Put16(b, 15), Put16(b, static_cast<uint16_t>(s.size())), PutText(b, s);
  return b;
}
// Excel 8 label with 16-bit characters.
inline Bytes LabelCell8Wide(uint16_t row, uint16_t col, const std::u16string& s) {
  Bytes b;
  Put16(b, row), Put16(b, col), Put16(b, 15), Put16(b, static_cast<uint16_t>(s.size()));
  b.push_back(1);
  for (char16_t c : s) Put16(b, c);
  return b;
}
inline Bytes Dimensions8(uint32_t r0, uint32_t r1, uint16_t c0, uint16_t c1) {
  Bytes b;
  Put32(b, r0), Put32(b, r1), Put16(b, c0), Put16(b, c1), Put16(b, 0);
  return b;
}
inline Bytes Dimensions5(uint16_t r0, uint16_t r1, uint16_t c0, uint16_t c1) {
  Bytes b;
  Put16(b, r0), Put16(b, r1), Put16(b, c0), Put16(b, c1), Put16(b, 0);
  return b;
}

inline Bytes Bof8(uint16_t type) {
  Bytes b;
  Put16(b, 0x0600), Put16(b, type), Put16(b, 0x0DBB), Put16(b, 0x07CC), Put32(b, 0), Put32(b, 0x06);
  return b;
}
inline Bytes Bof5(uint16_t type) {
  Bytes b;
  Put16(b, 0x0500), Put16(b, type), Put16(b, 0x0D64), Put16(b, 0x07CA);
  return b;
}

struct SheetSpec {
  std::string name;
  Bytes records;  // the sheet's records between its BOF and EOF
  uint8_t type = 0;
};

// A workbook stream: globals (BOF, `globals`, one BOUNDSHEET per sheet, EOF),
// then each sheet. Sheet offsets are filled in.
inline Bytes Workbook(bool biff8, const Bytes& globals, const std::vector<SheetSpec>& sheets, const Bytes& afterSheets = {}) {
  Bytes out;
  Rec(out, 0x0809, biff8 ? Bof8(5) : Bof5(5));
  out.insert(out.end(), globals.begin(), globals.end());
  std::vector<std::size_t> patch;
  for (const SheetSpec& s : sheets) {
    Bytes b;
    Put32(b, 0);
    b.push_back(0), b.push_back(s.type), b.push_back(static_cast<uint8_t>(s.name.size()));
    if (biff8) b.push_back(0);
    PutText(b, s.name);
    patch.push_back(out.size() + 4);
    Rec(out, 0x0085, b);
  }
  out.insert(out.end(), afterSheets.begin(), afterSheets.end());
  Rec(out, 0x000A, {});
  for (std::size_t i = 0; i < sheets.size(); ++i) {
    StoreU32LE(out.data() + patch[i], static_cast<uint32_t>(out.size()));
    Rec(out, 0x0809, biff8 ? Bof8(0x10) : Bof5(0x10));
    out.insert(out.end(), sheets[i].records.begin(), sheets[i].records.end());
    Rec(out, 0x000A, {});
  }
  return out;
}

struct CfbOptions {
  std::u16string streamName = u"Workbook";
  int entriesBefore = 0;         // empty-named stream entries before the stream's entry
  bool wrongStart = false;       // directory names a wrong start sector
  uint16_t sectorShift = 9;
  bool forceRegular = false;     // keep a small stream out of the mini stream
};

// A compound document holding one stream.
inline Bytes CompoundDocument(const Bytes& stream, const CfbOptions& o = {}) {
  const uint32_t sector = 512;
  const bool mini = stream.size() < 4096 && !o.forceRegular;
  int entries = 2 + o.entriesBefore;
  uint32_t directorySectors = (entries * 128 + sector - 1) / sector;
  std::vector<uint32_t> fat;
  auto chain = [&fat](uint32_t count) {
    uint32_t start = static_cast<uint32_t>(fat.size());
    for (uint32_t i = 0; i < count; ++i) fat.push_back(i + 1 < count ? start + i + 1 : 0xFFFFFFFEu);
    return start;
  };
  fat.push_back(0xFFFFFFFDu);  // sector 0 holds the table
  uint32_t directoryStart = chain(directorySectors);
  uint32_t miniFatStart = 0xFFFFFFFEu, containerStart = 0xFFFFFFFEu, streamStart;
  Bytes miniFat, container;
  if (mini) {
    uint32_t miniSectors = static_cast<uint32_t>((stream.size() + 63) / 64);
    for (uint32_t i = 0; i < miniSectors; ++i) Put32(miniFat, i + 1 < miniSectors ? i + 1 : 0xFFFFFFFEu);
    miniFat.resize(((miniFat.size() + sector - 1) / sector) * sector, 0xFF);
    miniFatStart = chain(static_cast<uint32_t>(miniFat.size() / sector));
    container = stream;
    container.resize(miniSectors * 64, 0);
    container.resize(((container.size() + sector - 1) / sector) * sector, 0);
    containerStart = chain(static_cast<uint32_t>(container.size() / sector));
    streamStart = 0;
  } else {
    // A stray sector before the stream, so that a wrong start lands on it.
    fat.push_back(0xFFFFFFFEu);
    streamStart = chain(static_cast<uint32_t>((stream.size() + sector - 1) / sector));
  }
  uint32_t totalSectors = static_cast<uint32_t>(fat.size());
  Bytes file(sector, 0);
  const uint8_t sig[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
  std::copy(sig, sig + 8, file.begin());
  StoreU16LE(&file[24], 0x3E), StoreU16LE(&file[26], 3), StoreU16LE(&file[28], 0xFFFE);
  StoreU16LE(&file[30], o.sectorShift), StoreU16LE(&file[32], 6);
  StoreU32LE(&file[44], 1), StoreU32LE(&file[48], directoryStart), StoreU32LE(&file[56], 4096);
  StoreU32LE(&file[60], miniFatStart), StoreU32LE(&file[64], mini ? 1 : 0), StoreU32LE(&file[68], 0xFFFFFFFEu);
  for (int i = 0; i < 109; ++i) StoreU32LE(&file[76 + 4 * i], i == 0 ? 0 : 0xFFFFFFFFu);
  // Sector 0: the table.
  Bytes table(sector, 0xFF);
  for (std::size_t i = 0; i < fat.size(); ++i) StoreU32LE(&table[4 * i], fat[i]);
  file.insert(file.end(), table.begin(), table.end());
  // Directory.
  Bytes dir(directorySectors * sector, 0);
  auto entry = [&dir](int i, const std::u16string& name, uint8_t type, uint32_t start, uint32_t size) {
    uint8_t* e = &dir[i * 128];
    for (std::size_t k = 0; k < name.size(); ++k) StoreU16LE(e + 2 * k, name[k]);
    StoreU16LE(e + 64, static_cast<uint16_t>((name.size() + 1) * 2));
    e[66] = type;
    StoreU32LE(e + 68, 0xFFFFFFFFu), StoreU32LE(e + 72, 0xFFFFFFFFu), StoreU32LE(e + 76, 0xFFFFFFFFu);
    StoreU32LE(e + 116, start), StoreU32LE(e + 120, size);
  };
  entry(0, u"Root Entry", 5, containerStart, mini ? static_cast<uint32_t>(((stream.size() + 63) / 64) * 64) : 0);
  for (int i = 0; i < o.entriesBefore; ++i) entry(1 + i, u"Other" + std::u16string(1, char16_t(u'A' + i % 26)), 2, 0xFFFFFFFEu, 0);
  entry(1 + o.entriesBefore, o.streamName, 2, o.wrongStart ? streamStart - 1 : streamStart, static_cast<uint32_t>(stream.size()));
  file.insert(file.end(), dir.begin(), dir.end());
  if (mini) {
    file.insert(file.end(), miniFat.begin(), miniFat.end());
    file.insert(file.end(), container.begin(), container.end());
  } else {
    Bytes stray(sector, 0x55);
    file.insert(file.end(), stray.begin(), stray.end());
    Bytes padded = stream;
    padded.resize(((padded.size() + sector - 1) / sector) * sector, 0);
    file.insert(file.end(), padded.begin(), padded.end());
  }
  (void)totalSectors;
  return file;
}

}  // namespace trovadex::test
