// Compound document writer: a fixed three-stream layout around one Excel 5
// "Book" stream.
//
// Sectors (sector n starts at byte 512 * (n + 1)):
//   0        first sector of the sector allocation table (FAT)
//   1        directory (four entries)
//   2        mini allocation table
//   3...     mini-stream container ("CompObj", "SummaryInformation" and,
//            for a small "Book", the "Book" stream itself)
//   large "Book" only: the extension sectors of the sector-table list, the
//   further FAT sectors, then "Book".

#include "writers/compound_writer.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <string_view>
#include <vector>

#include "core/byteorder.h"

namespace trovadex {
namespace {

constexpr uint32_t kFreeSector = 0xFFFFFFFF;
constexpr uint32_t kEndOfChain = 0xFFFFFFFE;
constexpr uint32_t kFatSector = 0xFFFFFFFD;
constexpr uint32_t kExtensionSector = 0xFFFFFFFC;
constexpr uint32_t kNoEntry = 0xFFFFFFFF;
constexpr uint32_t kHeaderListEntries = 109;
constexpr uint32_t kEntriesPerSector = kCompoundSectorSize / 4;  // 128

constexpr uint8_t kExcelClassId[16] = {0x10, 0x08, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                       0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
constexpr uint8_t kSummaryFormatId[16] = {0xE0, 0x85, 0x9F, 0xF2, 0xF9, 0x4F, 0x68, 0x10,
                                          0xAB, 0x91, 0x08, 0x00, 0x2B, 0x27, 0xB3, 0xD9};
constexpr uint8_t kRootModified[8] = {0xB0, 0x5E, 0x49, 0xA2, 0xAD, 0x63, 0xBB, 0x01};

constexpr uint32_t kCompObjSize = 106;
constexpr uint32_t kSummarySize = 56;

uint32_t ExtensionCount(uint32_t fatSectors) {
  if (fatSectors - 1 < kHeaderListEntries) return 0;
  return (fatSectors - 1 - kHeaderListEntries) / (kEntriesPerSector - 1) + 1;
}

void PutLengthText(std::vector<uint8_t>& out, std::size_t& pos, std::string_view text) {
  StoreU32LE(&out[pos], static_cast<uint32_t>(text.size() + 1));
  pos += 4;
  std::memcpy(&out[pos], text.data(), text.size());
  pos += text.size() + 1;  // the terminating zero is already there
}

std::vector<uint8_t> CompObjBytes() {
  std::vector<uint8_t> out(kCompObjSize, 0);
  const uint8_t head[12] = {0x01, 0x00, 0xFE, 0xFF, 0x03, 0x0A, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF};
  std::memcpy(&out[0], head, sizeof head);
  std::memcpy(&out[12], kExcelClassId, 16);
  std::size_t pos = 28;
  PutLengthText(out, pos, "Microsoft Excel 5.0 Worksheet");
  PutLengthText(out, pos, "Biff5");
  PutLengthText(out, pos, "Excel.Sheet.5");
  const uint8_t tail[4] = {0xF4, 0x39, 0xB2, 0x71};
  std::memcpy(&out[pos], tail, 4);
  return out;
}

std::vector<uint8_t> SummaryBytes() {
  std::vector<uint8_t> out(kSummarySize, 0);
  const uint8_t head[8] = {0xFE, 0xFF, 0x00, 0x00, 0x03, 0x33, 0x02, 0x00};
  std::memcpy(&out[0], head, 8);
  std::memcpy(&out[8], kSummaryFormatId, 16);
  StoreU32LE(&out[24], 1);
  std::memcpy(&out[28], kSummaryFormatId, 16);
  StoreU32LE(&out[44], 48);
  StoreU32LE(&out[48], 8);  // section size
  StoreU32LE(&out[52], 0);  // property count
  return out;
}

void PutEntry(uint8_t* entry, std::string_view name, uint8_t type, uint8_t colour, uint32_t left,
              uint32_t right, uint32_t child, uint32_t start, uint32_t size) {
  for (std::size_t i = 0; i < name.size(); ++i) StoreU16LE(entry + 2 * i, static_cast<uint8_t>(name[i]));
  StoreU16LE(entry + 64, static_cast<uint16_t>(2 * (name.size() + 1)));
  entry[66] = type;
  entry[67] = colour;
  StoreU32LE(entry + 68, left);
  StoreU32LE(entry + 72, right);
  StoreU32LE(entry + 76, child);
  StoreU32LE(entry + 116, start);
  StoreU32LE(entry + 120, size);
}

bool Put(std::FILE* file, const void* data, std::size_t length) {
  return length == 0 || std::fwrite(data, 1, length, file) == length;
}

bool PutZeros(std::FILE* file, uint64_t length) {
  static const uint8_t zeros[kCompoundSectorSize] = {};
  while (length > 0) {
    std::size_t n = static_cast<std::size_t>(std::min<uint64_t>(length, sizeof zeros));
    if (!Put(file, zeros, n)) return false;
    length -= n;
  }
  return true;
}

bool PutSectorNumbers(std::FILE* file, const std::vector<uint32_t>& numbers, std::size_t first,
                      std::size_t count) {
  std::vector<uint8_t> bytes(count * 4);
  for (std::size_t i = 0; i < count; ++i) StoreU32LE(&bytes[4 * i], numbers[first + i]);
  return Put(file, bytes.data(), bytes.size());
}

}  // namespace

CompoundLayout PlanCompoundDocument(uint32_t streamLength) {
  CompoundLayout layout;
  if (streamLength == 0) return layout;
  layout.small = streamLength < kCompoundMiniCutoff;
  if (layout.small) {
    layout.bookMiniSectors = (streamLength - 1) / kCompoundMiniSectorSize + 1;
    layout.dataSectors =
        (kCompoundMiniSectorSize * (layout.bookMiniSectors + 3) - 1) / kCompoundSectorSize + 1;
  } else {
    layout.dataSectors = (streamLength - 1) / kCompoundSectorSize + 1;
  }
  const uint64_t a = layout.dataSectors;
  uint32_t f = static_cast<uint32_t>((a + 3) / (kEntriesPerSector - 1) + 1);
  // Every sector of the file needs its entry: header sectors 0..2, the
  // container, the extension sectors, the FAT sectors beyond the first and
  // the data. 128 * f >= 3 + 1 + extension + (f - 1) + a (large case).
  while (uint64_t{kEntriesPerSector - 1} * f < a + 3 + ExtensionCount(f)) ++f;
  layout.fatSectors = f;
  layout.extensionSectors = ExtensionCount(f);
  uint64_t sectors;
  if (layout.small) {
    layout.bookStart = 3;  // mini sector
    sectors = 3 + a;
  } else {
    layout.bookStart = f + layout.extensionSectors + 3;
    sectors = uint64_t{layout.bookStart} + a;
  }
  layout.fileSize = (sectors + 1) * kCompoundSectorSize;
  return layout;
}

bool WriteCompoundDocument(std::FILE* file, const uint8_t* stream, uint32_t streamLength,
                           std::string_view streamName) {
  if (file == nullptr || streamLength == 0 || streamName.empty() || streamName.size() > 31) return false;
  const CompoundLayout layout = PlanCompoundDocument(streamLength);
  // The small layout always fits one FAT sector (at most 12 sectors in all).
  if (layout.small && layout.fatSectors != 1) return false;
  const uint32_t f = layout.fatSectors;
  const uint32_t ext = layout.extensionSectors;

  // Header.
  uint8_t header[kCompoundSectorSize];
  std::memset(header, 0, 76);
  std::memset(header + 76, 0xFF, sizeof header - 76);
  const uint8_t signature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
  std::memcpy(header, signature, 8);
  StoreU16LE(header + 24, 0x003E);
  StoreU16LE(header + 26, 3);
  StoreU16LE(header + 28, 0xFFFE);
  StoreU16LE(header + 30, 9);
  StoreU16LE(header + 32, 6);
  StoreU32LE(header + 44, f);
  StoreU32LE(header + 48, 1);
  StoreU32LE(header + 56, kCompoundMiniCutoff);
  StoreU32LE(header + 60, 2);
  StoreU32LE(header + 64, 1);
  StoreU32LE(header + 68, ext > 0 ? 4 : kEndOfChain);
  StoreU32LE(header + 72, ext);
  // FAT sector k (k >= 1) is sector ext + k + 3.
  auto fatSectorNumber = [&](uint32_t k) { return k == 0 ? 0u : ext + k + 3; };
  for (uint32_t k = 0; k < f && k < kHeaderListEntries; ++k)
    StoreU32LE(header + 76 + 4 * k, fatSectorNumber(k));

  // Sector allocation table.
  std::vector<uint32_t> fat(std::size_t{f} * kEntriesPerSector, kFreeSector);
  fat[0] = kFatSector;
  fat[1] = fat[2] = fat[3] = kEndOfChain;
  for (uint32_t j = 0; j < ext; ++j) fat[4 + j] = kExtensionSector;
  for (uint32_t k = 1; k < f; ++k) fat[fatSectorNumber(k)] = kFatSector;
  const uint32_t chainStart = layout.small ? 3 : layout.bookStart;
  for (uint32_t s = 0; s < layout.dataSectors; ++s)
    fat[chainStart + s] = s + 1 < layout.dataSectors ? chainStart + s + 1 : kEndOfChain;

  // Mini allocation table.
  std::vector<uint32_t> miniFat(kEntriesPerSector, kFreeSector);
  miniFat[0] = 1;
  miniFat[1] = kEndOfChain;
  miniFat[2] = kEndOfChain;
  for (uint32_t m = 0; m < layout.bookMiniSectors; ++m)
    miniFat[3 + m] = m + 1 < layout.bookMiniSectors ? 3 + m + 1 : kEndOfChain;

  // Directory.
  uint8_t directory[kCompoundSectorSize] = {};
  // The three streams are siblings under the root, kept as a search tree
  // ordered by name length and then by upper-cased name: the middle one is
  // the root's child (black), the other two its red children.
  const std::string_view compObjName("\x01" "CompObj", 8);
  const std::string_view summaryName("\x05" "SummaryInformation", 19);
  struct Sibling {
    std::string_view name;
    uint32_t id;
  };
  std::array<Sibling, 3> siblings{{{streamName, 1}, {compObjName, 2}, {summaryName, 3}}};
  std::sort(siblings.begin(), siblings.end(), [](const Sibling& a, const Sibling& b) {
    if (a.name.size() != b.name.size()) return a.name.size() < b.name.size();
    for (std::size_t i = 0; i < a.name.size(); ++i) {
      const int x = std::toupper(static_cast<unsigned char>(a.name[i]));
      const int y = std::toupper(static_cast<unsigned char>(b.name[i]));
      if (x != y) return x < y;
    }
    return false;
  });
  uint32_t left[4] = {kNoEntry, kNoEntry, kNoEntry, kNoEntry};
  uint32_t right[4] = {kNoEntry, kNoEntry, kNoEntry, kNoEntry};
  uint8_t colour[4] = {0, 0, 0, 0};
  left[siblings[1].id] = siblings[0].id;
  right[siblings[1].id] = siblings[2].id;
  colour[siblings[1].id] = 1;

  PutEntry(directory, "Root Entry", 5, 0, kNoEntry, kNoEntry, siblings[1].id, 3,
           kCompoundMiniSectorSize * (3 + layout.bookMiniSectors));
  std::memcpy(directory + 80, kExcelClassId, 16);
  std::memcpy(directory + 108, kRootModified, 8);
  PutEntry(directory + 128, streamName, 2, colour[1], left[1], right[1], kNoEntry, layout.bookStart,
           streamLength);
  PutEntry(directory + 256, compObjName, 2, colour[2], left[2], right[2], kNoEntry, 0, kCompObjSize);
  PutEntry(directory + 384, summaryName, 2, colour[3], left[3], right[3], kNoEntry, 2, kSummarySize);

  // The two small streams in mini sectors 0..2.
  std::vector<uint8_t> smallStreams(3 * kCompoundMiniSectorSize, 0);
  const std::vector<uint8_t> compObj = CompObjBytes();
  const std::vector<uint8_t> summary = SummaryBytes();
  std::memcpy(&smallStreams[0], compObj.data(), compObj.size());
  std::memcpy(&smallStreams[2 * kCompoundMiniSectorSize], summary.data(), summary.size());

  if (!Put(file, header, sizeof header)) return false;
  if (!PutSectorNumbers(file, fat, 0, kEntriesPerSector)) return false;
  if (!Put(file, directory, sizeof directory)) return false;
  if (!PutSectorNumbers(file, miniFat, 0, kEntriesPerSector)) return false;

  if (layout.small) {
    if (!Put(file, smallStreams.data(), smallStreams.size())) return false;
    if (!Put(file, stream, streamLength)) return false;
    const uint64_t used = smallStreams.size() + uint64_t{streamLength};
    return PutZeros(file, uint64_t{layout.dataSectors} * kCompoundSectorSize - used);
  }

  if (!Put(file, smallStreams.data(), smallStreams.size())) return false;
  if (!PutZeros(file, kCompoundSectorSize - smallStreams.size())) return false;
  // Extension sectors: 127 FAT sector numbers each, then the next one's number.
  for (uint32_t j = 0; j < ext; ++j) {
    std::vector<uint32_t> numbers(kEntriesPerSector, kFreeSector);
    for (uint32_t i = 0; i < kEntriesPerSector - 1; ++i) {
      const uint64_t k = kHeaderListEntries + uint64_t{j} * (kEntriesPerSector - 1) + i;
      if (k < f) numbers[i] = fatSectorNumber(static_cast<uint32_t>(k));
    }
    numbers[kEntriesPerSector - 1] = j + 1 < ext ? 4 + j + 1 : kEndOfChain;
    if (!PutSectorNumbers(file, numbers, 0, kEntriesPerSector)) return false;
  }
  for (uint32_t k = 1; k < f; ++k)
    if (!PutSectorNumbers(file, fat, std::size_t{k} * kEntriesPerSector, kEntriesPerSector))
      return false;
  if (!Put(file, stream, streamLength)) return false;
  return PutZeros(file, uint64_t{layout.dataSectors} * kCompoundSectorSize - streamLength);
}

}  // namespace trovadex
