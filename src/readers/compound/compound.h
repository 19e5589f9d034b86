// Reader for compound documents (the sector-allocated container that holds
// Excel 5 and later workbooks) and for plain Excel 2/3/4 worksheet files.
// The whole input is loaded into memory; the selected stream is assembled
// from its sector chain and read through CfbRead / CfbSeek.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace trovadex {

inline constexpr uint32_t kCfbFreeSector = 0xFFFFFFFFu;
inline constexpr uint32_t kCfbEndOfChain = 0xFFFFFFFEu;
inline constexpr uint32_t kCfbTableSector = 0xFFFFFFFDu;
inline constexpr uint32_t kCfbLargestStream = 70963200u;

// What kind of embedded stream a directory entry names.
enum class CfbStreamKind {
  None = 0,
  ExcelBook = 1,      // "Book": Excel 5/95
  ExcelWorkbook = 2,  // "Workbook": Excel 97 and later
  QuattroNotebook = 3,
  Minitab = 4,
  QuattroPro = 5,
  Statistica = 6,
};

struct CfbState {
  std::vector<uint8_t> file;    // the whole input file
  std::vector<uint8_t> stream;  // the selected stream, assembled from its chain
  std::size_t position = 0;     // read position within `stream`

  uint32_t sectorSize = 512;
  uint32_t miniSectorSize = 64;
  uint32_t miniCutoff = 4096;
  uint32_t sectorCount = 0;  // whole or partial sectors present after the header

  std::vector<uint32_t> fat;
  uint32_t fatCount = 0;
  std::vector<uint32_t> difat;
  std::vector<uint32_t> miniFat;
  uint32_t miniFatCount = 0;

  uint32_t streamStart = 0;
  uint32_t streamSize = 0;
  CfbStreamKind streamKind = CfbStreamKind::None;

  bool inMini = false;
  bool plainFile = false;
  bool biff2 = false;
  bool biff8 = false;
  bool open = false;
};

// The one container state of the run.
CfbState& Cfb();

// Opens `path` and positions the stream at the first byte of an Excel record
// stream (returns 0), or returns 1 when there is nothing for the Excel reader
// to read: the file could not be understood, or its embedded stream was handed
// to another reader. In the latter case *handOffResult receives that reader's
// result (it is -1 when no hand-off happened). Prints nothing itself.
int CfbOpenWorkbook(const char* path, int16_t* handOffResult = nullptr);

// Same, from bytes already in memory (`name` is used for nothing but the
// hand-off messages).
int CfbOpenWorkbookBytes(std::vector<uint8_t> bytes, const char* name, int16_t* handOffResult);

// Copies `length` bytes of the stream into `dest` (null: skips them). Returns
// 0; when the stream ends first, copies what is there, sets *errorFlag to 1
// and returns 1. A length of 0 or less does nothing.
int CfbRead(void* dest, int64_t length, int16_t* errorFlag);

// Positions the stream at byte `offset` from its start; 1 when beyond its end.
int CfbSeek(int64_t offset);

// Current read position within the stream.
int64_t CfbTell();

// Frees the buffers and tables and zeroes all counts.
void CfbReset();

// ---- pieces exposed for tests

// The chain heads of the allocation table: sectors that are in use and that
// no entry names as its successor, in table order.
std::vector<uint32_t> CfbChainHeads(const std::vector<uint32_t>& fat, uint32_t fatCount);

// Creates a new temporary file for an embedded stream, open for binary
// writing: in TMP or TEMP (or the working directory), after a separator, a
// unique name that contains "Q17X" and ends in `fileName` (for example
// "temp.qpw"). The file is created exclusively (never an existing file or
// link). Returns null on failure; *path receives the name. The caller
// registers and removes it.
std::FILE* CfbCreateTemporaryFile(const char* fileName, std::string* path);

}  // namespace trovadex
