// Writing a finished Excel 5 record stream as the "Book" stream of a
// compound document (512-byte sectors, 64-byte mini sectors, mini-stream
// cutoff 4096), beside the fixed "CompObj" and "SummaryInformation" streams.
// The stream may carry another name ("Worksheet", "Contents") to give the
// layout that other producers' documents share.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string_view>

namespace trovadex {

inline constexpr uint32_t kCompoundSectorSize = 512;
inline constexpr uint32_t kCompoundMiniSectorSize = 64;
inline constexpr uint32_t kCompoundMiniCutoff = 4096;

// Where everything goes for a "Book" stream of `streamLength` bytes.
struct CompoundLayout {
  bool small = false;           // "Book" lives in the mini stream
  uint32_t bookMiniSectors = 0; // small case: mini sectors of "Book" (b)
  uint32_t dataSectors = 0;     // small: sectors of the mini-stream container;
                                // large: sectors of "Book" (a)
  uint32_t fatSectors = 0;      // f
  uint32_t extensionSectors = 0;  // sectors continuing the sector-table list
  uint32_t bookStart = 0;       // first (mini) sector of "Book"
  uint64_t fileSize = 0;        // bytes of the whole file
};

// The layout for a stream of `streamLength` (> 0) bytes. The sector-table
// size grows until the table covers every sector of the file, its own
// sectors and the extension sectors included.
CompoundLayout PlanCompoundDocument(uint32_t streamLength);

// Writes the whole document to `file` (open for binary writing, positioned at
// its start). Returns false when a write fails (the bytes already written
// stay), the stream is empty or its name does not fit a directory entry
// (1 to 31 characters).
bool WriteCompoundDocument(std::FILE* file, const uint8_t* stream, uint32_t streamLength,
                           std::string_view streamName = "Book");

}  // namespace trovadex
