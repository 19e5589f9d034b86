// Compound document reader: header, sector allocation table (with its
// extension sectors), directory, mini stream, stream selection, the search
// for a misplaced workbook stream, and the hand-off of embedded Quattro,
// Minitab and Statistica streams to their readers through a temporary file.
#include "readers/compound/compound.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/byteorder.h"
#include "core/dataset.h"
#include "readers/readers.h"
#include "readers/whole_file.h"

namespace trovadex {

namespace {

CfbState g_cfb;

constexpr uint8_t kSignature[6] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1};
constexpr uint8_t kExcel2Bof[8] = {0x09, 0x00, 0x04, 0x00, 0x07, 0x00, 0x10, 0x00};
constexpr uint8_t kExcel3Bof[8] = {0x09, 0x02, 0x06, 0x00, 0x00, 0x00, 0x10, 0x00};
constexpr uint8_t kExcel4Bof[8] = {0x09, 0x04, 0x06, 0x00, 0x00, 0x00, 0x10, 0x00};
constexpr uint8_t kExcel5Globals[8] = {0x09, 0x08, 0x08, 0x00, 0x00, 0x05, 0x05, 0x00};
constexpr uint8_t kExcel8Globals[8] = {0x09, 0x08, 0x10, 0x00, 0x00, 0x06, 0x05, 0x00};
constexpr int kHeaderTableEntries = 109;
constexpr uint32_t kDirectoryEntrySize = 128;

struct StreamName {
  const char* name;
  std::size_t compared;  // bytes of the UTF-16LE name compared
  CfbStreamKind kind;
};

constexpr StreamName kStreamNames[] = {
    {"Book", 10, CfbStreamKind::ExcelBook},
    {"Workbook", 18, CfbStreamKind::ExcelWorkbook},
    {"PerfectOffice_MAIN", 36, CfbStreamKind::QuattroNotebook},
    {"Worksheet", 20, CfbStreamKind::Minitab},
    {"NativeContent_MAIN", 36, CfbStreamKind::QuattroPro},
    {"Contents", 18, CfbStreamKind::Statistica},
};

void Append(std::vector<uint8_t>& target, const uint8_t* bytes, std::size_t n) {
  try {
    target.insert(target.end(), bytes, bytes + n);
  } catch (const std::bad_alloc&) {
    OutOfMemory();
  }
}

// Bytes of sector n present in the file (a partial last sector is shorter).
bool SectorBytes(const CfbState& s, uint32_t n, const uint8_t** bytes, std::size_t* length) {
  uint64_t offset = (uint64_t{n} + 1) * s.sectorSize;
  if (offset >= s.file.size()) return false;
  *bytes = s.file.data() + offset;
  *length = static_cast<std::size_t>(std::min<uint64_t>(s.sectorSize, s.file.size() - offset));
  return true;
}

uint32_t NextSector(const CfbState& s, uint32_t n) {
  if (n >= s.fatCount || n >= s.fat.size()) return kCfbEndOfChain;
  return s.fat[n];
}

bool NameMatches(const uint8_t* entry, const StreamName& candidate) {
  // The name field holds UTF-16LE characters; compare raw bytes.
  uint8_t expected[64] = {};
  std::size_t len = std::strlen(candidate.name);
  for (std::size_t i = 0; i < len && 2 * i + 1 < sizeof expected; ++i) expected[2 * i] = static_cast<uint8_t>(candidate.name[i]);
  return std::memcmp(entry, expected, candidate.compared) == 0;
}

// Bytes of the chain from `start`, at most `maxBytes`; walks at most as many
// sectors as the file holds. With `visited`, stops at a sector already seen.
std::vector<uint8_t> ReadChain(const CfbState& s, uint32_t start, uint64_t maxBytes,
                               std::vector<uint8_t>* visited, std::vector<uint32_t>* sectors) {
  std::vector<uint8_t> out;
  uint32_t n = start;
  for (uint64_t steps = 0; steps <= s.sectorCount && n < s.fatCount && out.size() < maxBytes; ++steps) {
    if (visited) {
      if (n >= visited->size() || (*visited)[n]) break;
      (*visited)[n] = 1;
    }
    const uint8_t* bytes;
    std::size_t length;
    if (!SectorBytes(s, n, &bytes, &length)) break;
    length = static_cast<std::size_t>(std::min<uint64_t>(length, maxBytes - out.size()));
    Append(out, bytes, length);
    if (sectors) sectors->push_back(n);
    n = NextSector(s, n);
  }
  return out;
}

bool MatchesAt(const std::vector<uint8_t>& data, std::size_t at, const uint8_t (&pattern)[8]) {
  return at + 8 <= data.size() && std::memcmp(data.data() + at, pattern, 8) == 0;
}

// Searches the chains of the allocation table for a workbook-globals record.
bool SearchChainHeads(CfbState& s) {
  std::vector<uint32_t> heads = CfbChainHeads(s.fat, s.fatCount);
  std::vector<uint8_t> visited;
  LargeResize(visited, s.fatCount);
  for (uint32_t head : heads) {
    std::vector<uint32_t> sectors;
    std::vector<uint8_t> chain = ReadChain(s, head, kCfbLargestStream, &visited, &sectors);
    for (const auto* pattern : {&kExcel5Globals, &kExcel8Globals}) {
      const uint8_t* found = std::search(chain.data(), chain.data() + chain.size(), *pattern, *pattern + 8);
      if (found == chain.data() + chain.size()) continue;
      std::size_t at = static_cast<std::size_t>(found - chain.data());
      std::size_t sectorIndex = at / s.sectorSize;
      if (sectorIndex >= sectors.size()) continue;
      s.streamStart = sectors[sectorIndex];
      std::size_t from = sectorIndex * s.sectorSize;
      s.stream.assign(chain.begin() + static_cast<std::ptrdiff_t>(from), chain.end());
      s.position = at - from;
      s.inMini = false;
      s.biff8 = pattern == &kExcel8Globals;
      return true;
    }
  }
  return false;
}

bool ReadMiniStream(CfbState& s, uint32_t rootStart, uint32_t firstMiniFatSector) {
  s.inMini = true;
  if (firstMiniFatSector == 0 || firstMiniFatSector >= s.fatCount) return false;
  std::vector<uint8_t> table = ReadChain(s, firstMiniFatSector, uint64_t{s.sectorCount} * s.sectorSize, nullptr, nullptr);
  s.miniFatCount = static_cast<uint32_t>(table.size() / 4);
  s.miniFat.resize(s.miniFatCount);
  for (uint32_t i = 0; i < s.miniFatCount; ++i) s.miniFat[i] = LoadU32LE(table.data() + 4 * i);

  std::vector<uint32_t> container{rootStart};
  for (uint32_t n = NextSector(s, rootStart); n < s.fatCount && container.size() <= s.sectorCount; n = NextSector(s, n))
    container.push_back(n);

  std::vector<uint8_t>& out = s.stream;
  out.clear();
  uint32_t m = s.streamStart;
  for (uint32_t steps = 0; m < s.miniFatCount && out.size() < s.streamSize; ++steps) {
    if (steps > s.miniFatCount) return false;  // a cycle
    uint64_t k = uint64_t{m} * s.miniSectorSize / s.sectorSize;
    if (k >= container.size() || out.size() >= s.miniCutoff) return false;
    uint64_t offset = (uint64_t{container[k]} + 1) * s.sectorSize + (uint64_t{m} * s.miniSectorSize) % s.sectorSize;
    if (offset + s.miniSectorSize > s.file.size()) return false;
    Append(out, s.file.data() + offset, s.miniSectorSize);
    m = s.miniFat[m];
  }
  if (out.size() > s.streamSize) out.resize(s.streamSize);
  return true;
}

int16_t HandOff(CfbState& s, const char* path) {
  const char* fileName = "temp.wb2";
  switch (s.streamKind) {
    case CfbStreamKind::QuattroNotebook: fileName = "temp.wb2"; break;
    case CfbStreamKind::Minitab: fileName = "temp.mtw"; break;
    case CfbStreamKind::QuattroPro: fileName = "temp.qpw"; break;
    case CfbStreamKind::Statistica: fileName = "temp.sta"; break;
    default: return 0;
  }
  // An embedded stream that the file does not hold in full is not handed on.
  if (s.stream.size() < s.streamSize) return 0;
  std::string temporary;
  std::FILE* f = CfbCreateTemporaryFile(fileName, &temporary);
  if (!f) return 0;
  State().temporaryFiles.push_back(temporary);
  auto forget = [&temporary]() {
    std::remove(temporary.c_str());
    auto& list = State().temporaryFiles;
    list.erase(std::remove(list.begin(), list.end(), temporary), list.end());
  };
  bool ok = std::fwrite(s.stream.data(), 1, s.streamSize, f) == s.streamSize;
  ok = (std::fclose(f) == 0) && ok;
  CfbStreamKind kind = s.streamKind;
  CfbReset();
  if (!ok) {
    forget();
    return 0;
  }
  State().inputFileName = path ? path : "";
  int16_t result = 0;
  try {
    switch (kind) {
      case CfbStreamKind::Minitab:
        State().minitabRecordStream = true;
        result = ReadMinitab(temporary.c_str());
        break;
      case CfbStreamKind::Statistica: result = ReadStatistica(temporary.c_str(), 36); break;
      default: result = ReadQuattro(temporary.c_str()); break;
    }
  } catch (...) {
    State().inputFileName.clear();
    State().minitabRecordStream = false;
    forget();
    throw;
  }
  State().inputFileName.clear();
  State().minitabRecordStream = false;
  forget();
  return result;
}

int OpenFromBytes(CfbState& s, const char* path, int16_t* handOffResult) {
  if (s.file.size() < 8) return 1;
  const uint8_t* b = s.file.data();
  if (std::memcmp(b, kSignature, 6) != 0) {
    bool excel2 = std::memcmp(b, kExcel2Bof, 4) == 0 && (b[4] == 0x07 || b[4] == 0x02) &&
                  std::memcmp(b + 5, kExcel2Bof + 5, 3) == 0;
    if (std::memcmp(b, kExcel3Bof, 8) != 0 && std::memcmp(b, kExcel4Bof, 8) != 0 && !excel2) return 1;
    s.plainFile = true;
    s.biff2 = excel2;
    s.sectorSize = 512;
    s.miniCutoff = 4096;
    s.miniSectorSize = 64;
    s.stream.swap(s.file);
    s.file.clear();
    s.position = 0;
    s.open = true;
    return 0;
  }
  if (s.file.size() < 512) return 1;
  uint16_t sectorShift = LoadU16LE(b + 30);
  uint16_t miniShift = LoadU16LE(b + 32);
  uint32_t declaredFatSectors = LoadU32LE(b + 44);
  uint32_t firstDirectorySector = LoadU32LE(b + 48);
  uint32_t miniCutoff = LoadU32LE(b + 56);
  uint32_t firstMiniFatSector = LoadU32LE(b + 60);
  uint32_t firstExtensionSector = LoadU32LE(b + 68);
  if ((sectorShift != 9 && sectorShift != 12) || miniShift != 6 || miniCutoff != 4096) return 1;
  s.sectorSize = 1u << sectorShift;
  s.miniSectorSize = 1u << miniShift;
  s.miniCutoff = miniCutoff;
  if (s.file.size() <= s.sectorSize) return 1;
  s.sectorCount = static_cast<uint32_t>((s.file.size() + s.sectorSize - 1) / s.sectorSize - 1);

  // The list of allocation-table sectors, no longer than the file can hold.
  uint32_t declared = std::min(declaredFatSectors, s.sectorCount);
  for (int i = 0; i < kHeaderTableEntries && s.difat.size() < declared; ++i) {
    uint32_t n = LoadU32LE(b + 76 + 4 * i);
    if (n == kCfbFreeSector) break;
    s.difat.push_back(n);
  }
  if (declared > kHeaderTableEntries && s.difat.size() == kHeaderTableEntries) {
    uint32_t ext = firstExtensionSector;
    uint32_t perSector = s.sectorSize / 4 - 1;
    bool done = false;
    for (uint32_t steps = 0; !done && steps < s.sectorCount && s.difat.size() < declared; ++steps) {
      const uint8_t* bytes;
      std::size_t length;
      if (ext >= s.sectorCount || !SectorBytes(s, ext, &bytes, &length) || length < s.sectorSize) break;
      for (uint32_t i = 0; i < perSector && s.difat.size() < declared; ++i) {
        uint32_t n = LoadU32LE(bytes + 4 * i);
        if (n == kCfbFreeSector) {
          done = true;
          break;
        }
        s.difat.push_back(n);
      }
      ext = LoadU32LE(bytes + 4 * perSector);
      if (ext == kCfbFreeSector) break;
    }
  }
  if (s.difat.empty()) return 1;

  // The allocation table, every listed sector in full.
  uint32_t perSector = s.sectorSize / 4;
  s.fatCount = static_cast<uint32_t>(s.difat.size()) * perSector;
  s.fat.resize(s.fatCount);
  for (std::size_t i = 0; i < s.difat.size(); ++i) {
    const uint8_t* bytes;
    std::size_t length;
    if (!SectorBytes(s, s.difat[i], &bytes, &length) || length < s.sectorSize) return 1;
    for (uint32_t j = 0; j < perSector; ++j) s.fat[i * perSector + j] = LoadU32LE(bytes + 4 * j);
  }

  // The directory: its first sectors, up to the mini cutoff in bytes.
  std::vector<uint8_t> directory;
  for (uint32_t n = firstDirectorySector, steps = 0; n < s.fatCount && directory.size() < s.miniCutoff && steps <= s.sectorCount;
       n = NextSector(s, n), ++steps) {
    const uint8_t* bytes;
    std::size_t length;
    if (!SectorBytes(s, n, &bytes, &length)) break;
    Append(directory, bytes, std::min<std::size_t>(length, s.miniCutoff - directory.size()));
  }
  if (directory.size() < kDirectoryEntrySize) return 1;
  static const uint8_t kRootName[20] = {'R', 0, 'o', 0, 'o', 0, 't', 0, ' ', 0, 'E', 0, 'n', 0, 't', 0, 'r', 0, 'y', 0};
  static const uint8_t kRootShortA[4] = {0x00, 0x52, 0x00, 0x00};
  static const uint8_t kRootShortB[4] = {0x52, 0x00, 0x00, 0x00};
  const uint8_t* root = directory.data();
  if (std::memcmp(root, kRootName, 20) != 0 && std::memcmp(root, kRootShortA, 4) != 0 &&
      std::memcmp(root, kRootShortB, 4) != 0)
    return 1;
  uint32_t rootStart = LoadU32LE(root + 116);

  const uint8_t* selected = nullptr;
  std::size_t entries = directory.size() / kDirectoryEntrySize;
  for (std::size_t i = 1; i < entries && !selected; ++i) {
    const uint8_t* entry = directory.data() + i * kDirectoryEntrySize;
    for (const StreamName& candidate : kStreamNames) {
      if (NameMatches(entry, candidate)) {
        selected = entry;
        s.streamKind = candidate.kind;
        break;
      }
    }
  }
  if (!selected) return 1;
  s.streamStart = LoadU32LE(selected + 116);
  s.streamSize = LoadU32LE(selected + 120);
  if (s.streamSize == 0 || s.streamSize == 0xFFFFFFFFu || s.streamSize > kCfbLargestStream) return 1;
  s.biff8 = s.streamKind == CfbStreamKind::ExcelWorkbook;

  if (s.streamSize >= s.miniCutoff && s.streamStart < s.fatCount) {
    s.inMini = false;
    s.stream = ReadChain(s, s.streamStart, s.streamSize, nullptr, nullptr);
  } else if (!ReadMiniStream(s, rootStart, firstMiniFatSector)) {
    return 1;
  }
  s.position = 0;

  if (s.streamKind == CfbStreamKind::ExcelBook || s.streamKind == CfbStreamKind::ExcelWorkbook) {
    const auto& pattern = s.biff8 ? kExcel8Globals : kExcel5Globals;
    if (!MatchesAt(s.stream, 0, pattern) && !SearchChainHeads(s)) return 1;
    s.open = true;
    return 0;
  }
  int16_t result = HandOff(s, path);
  if (handOffResult) *handOffResult = result;
  return 1;
}

}  // namespace

CfbState& Cfb() { return g_cfb; }

std::vector<uint32_t> CfbChainHeads(const std::vector<uint32_t>& fat, uint32_t fatCount) {
  uint32_t n = static_cast<uint32_t>(std::min<std::size_t>(fat.size(), fatCount));
  std::vector<uint8_t> named(n, 0);
  for (uint32_t i = 0; i < n; ++i)
    if (fat[i] < n) named[fat[i]] = 1;
  std::vector<uint32_t> heads;
  for (uint32_t i = 0; i < n; ++i)
    if (fat[i] != kCfbFreeSector && fat[i] != kCfbTableSector && !named[i]) heads.push_back(i);
  return heads;
}

std::FILE* CfbCreateTemporaryFile(const char* fileName, std::string* path) {
  std::string directory;
  for (const char* variable : {"TMP", "TEMP"}) {
    const char* value = std::getenv(variable);
    if (value && *value && std::strlen(value) <= 256) {
      directory = value;
      break;
    }
  }
  if (!directory.empty() && directory.back() != '/') directory += '/';
  static unsigned counter = 0;
  for (int attempt = 0; attempt < 1000; ++attempt) {
    std::string candidate = directory + "Q17X" + std::to_string(static_cast<long>(getpid())) + "_" +
                            std::to_string(counter++) + "_" + fileName;
    int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return nullptr;
    }
    std::FILE* f = ::fdopen(fd, "wb");
    if (!f) {
      ::close(fd);
      std::remove(candidate.c_str());
      return nullptr;
    }
    *path = candidate;
    return f;
  }
  return nullptr;
}

int CfbOpenWorkbookBytes(std::vector<uint8_t> bytes, const char* name, int16_t* handOffResult) {
  if (handOffResult) *handOffResult = -1;
  CfbReset();
  g_cfb.file = std::move(bytes);
  return OpenFromBytes(g_cfb, name, handOffResult);
}

int CfbOpenWorkbook(const char* path, int16_t* handOffResult) {
  if (handOffResult) *handOffResult = -1;
  CfbReset();
  if (!ReadWholeFile(path, g_cfb.file) || g_cfb.file.empty()) {
    CfbReset();
    return 1;
  }
  return OpenFromBytes(g_cfb, path, handOffResult);
}

int CfbRead(void* dest, int64_t length, int16_t* errorFlag) {
  if (length <= 0) return 0;
  CfbState& s = g_cfb;
  std::size_t left = s.position <= s.stream.size() ? s.stream.size() - s.position : 0;
  std::size_t n = static_cast<std::size_t>(std::min<uint64_t>(left, static_cast<uint64_t>(length)));
  if (dest && n > 0) std::memcpy(dest, s.stream.data() + s.position, n);
  s.position += n;
  if (n < static_cast<uint64_t>(length)) {
    if (dest) std::memset(static_cast<uint8_t*>(dest) + n, 0, static_cast<std::size_t>(length) - n);
    if (errorFlag) *errorFlag = 1;
    return 1;
  }
  return 0;
}

int CfbSeek(int64_t offset) {
  if (offset < 0 || static_cast<uint64_t>(offset) > g_cfb.stream.size()) return 1;
  g_cfb.position = static_cast<std::size_t>(offset);
  return 0;
}

int64_t CfbTell() { return static_cast<int64_t>(g_cfb.position); }

void CfbReset() { g_cfb = CfbState{}; }

}  // namespace trovadex
