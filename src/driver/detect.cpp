// Input format detection: the first 100 bytes of the file decide, and where
// they cannot, the ending of the path. The tests run in a fixed order because
// several of them (dBase header, plain text, path endings) are loose.
#include "driver/detect.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "core/byteorder.h"
#include "readers/zip.h"

namespace trovadex {

namespace {

constexpr std::size_t kHeadBytes = 100;
constexpr std::size_t kBufferBytes = 112;  // zero-filled beyond what was read

bool EndsWithIgnoreCase(std::string_view path, std::string_view ending) {
  if (path.size() < ending.size()) return false;
  std::string_view tail = path.substr(path.size() - ending.size());
  for (std::size_t i = 0; i < ending.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(tail[i])) !=
        std::tolower(static_cast<unsigned char>(ending[i])))
      return false;
  }
  return true;
}

bool Matches(const unsigned char* b, std::size_t at, std::initializer_list<int> bytes) {
  std::size_t i = at;
  for (int v : bytes) {
    if (b[i++] != static_cast<unsigned char>(v)) return false;
  }
  return true;
}

bool MatchesText(const unsigned char* b, std::size_t at, std::string_view text) {
  return std::memcmp(b + at, text.data(), text.size()) == 0;
}

bool MatchesTextIgnoreCase(const unsigned char* b, std::string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (std::toupper(b[i]) != std::toupper(static_cast<unsigned char>(text[i]))) return false;
  }
  return true;
}

bool AllZero(const unsigned char* b, std::size_t from, std::size_t to) {
  for (std::size_t i = from; i <= to; ++i) {
    if (b[i] != 0) return false;
  }
  return true;
}

// Plain text: printable bytes (those above 127 too: accented letters in
// UTF-8 or a windows code page), tabs and form feeds; NUL is accepted only
// as the end of a short file after at least one line end.
int TextTest(const unsigned char* b, std::size_t count = 55) {
  bool lineEnd = false;
  for (std::size_t i = 0; i < count; ++i) {
    unsigned char c = b[i];
    if (c == '\n' || c == '\r') {
      lineEnd = true;
    } else if (c == 0) {
      return lineEnd ? 25 : 0;
    } else if (c < 32 && c != 9 && c != 12) {
      return 0;
    }
  }
  return 25;
}

// Text with a byte-order mark: UTF-8's is looked past; UTF-16 text (FF FE
// little-endian, FE FF big-endian) passes the same test on its characters,
// each non-ASCII one standing as a printable byte. -1: no mark.
int MarkedTextTest(const unsigned char* b) {
  if (b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF) return TextTest(b + 3);
  const bool little = b[0] == 0xFF && b[1] == 0xFE;
  if (!little && !(b[0] == 0xFE && b[1] == 0xFF)) return -1;
  constexpr std::size_t kUnits = (kHeadBytes - 2) / 2;  // the characters read
  unsigned char units[kUnits];
  for (std::size_t i = 0; i < kUnits; ++i) {
    const uint16_t c = little ? LoadU16LE(b + 2 + 2 * i) : LoadU16BE(b + 2 + 2 * i);
    units[i] = c < 128 ? static_cast<unsigned char>(c) : 0x80;
  }
  return TextTest(units, kUnits);
}

}  // namespace

int DetectFormat(const char* path) {
  if (path == nullptr || *path == '\0') return 0;
  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr) return 24;
  unsigned char b[kBufferBytes] = {};
  std::size_t got = std::fread(b, 1, kHeadBytes, file);
  std::fclose(file);
  if (got < 1) return 24;
  std::string_view name(path);

  // Corvist spreadsheet: the version magic in either byte order.
  uint32_t little = LoadU32LE(b);
  uint32_t big = LoadU32BE(b);
  for (uint32_t magic : {53315331u, 53325332u, 54415441u}) {
    if (little == magic || big == magic) return 1;
  }
  if (Matches(b, 0, {0x00, 'S', ' ', 'd', 'a', 't', 'a', 0x01})) return 13;
  if (Matches(b, 0, {0x4B, 0x06, 0x1E, 0x00, 0x00, 0x00, 0x00, 0x00})) return 21;

  // Gauss data sets and matrices (several generations, both byte orders).
  if (Matches(b, 0, {0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00})) return 18;
  if (b[0] == 0xDA && b[1] == 0xDA && EndsWithIgnoreCase(name, ".dht")) return 18;
  if (b[0] == 0xDD && b[1] == 0xDD && b[8] == 0x86 && b[9] == 0x00) return 18;
  if (b[0] == 0xDA && b[1] == 0xEE && AllZero(b, 3, 7)) return 18;
  if (Matches(b, 0, {0xDD, 0xEE, 0x86, 0x00})) return 18;
  if (Matches(b, 0, {0x00, 0x00, 0x00, 0x00, 0xCA, 0xCA, 0xCA, 0xEE})) return 18;

  if (b[5] == 0 && (MatchesText(b, 6, "3.00/EM") || MatchesText(b, 6, "3.00/EV") ||
                    MatchesText(b, 6, "4.00/EM") || MatchesText(b, 6, "4.00/EV")))
    return 16;
  if (AllZero(b, 0, 3) && AllZero(b, 11, 14)) return 20;
  // Level 4 MAT-files of other element types (single, integer, text, sparse;
  // little-endian, type below 100): the Matlab reader refuses them with a
  // message, where the text reader would take their bytes for lines.
  if (EndsWithIgnoreCase(name, ".mat") && got >= 20 && AllZero(b, 1, 3) && b[0] < 100 &&
      LoadU32LE(b + 12) <= 1)
    return 20;

  // A ZIP archive is a workbook when it holds the content-types list and a
  // workbook part; other ZIP files stay unknown.
  if (Matches(b, 0, {'P', 'K', 0x03, 0x04})) {
    ZipArchive zip;
    if (OpenZip(path, zip) == ZipStatus::Ok && FindZipEntry(zip, "[Content_Types].xml") != nullptr &&
        FindZipEntry(zip, "xl/workbook.xml") != nullptr)
      return 38;
    return 0;
  }

  switch (b[0]) {
    case 0x00:
      if (b[1] == 0 && b[2] == 2 && b[3] == 0) {
        if ((b[4] == 0x20 && b[5] == 0x51) || (b[4] == 0x01 && b[5] == 0x10) ||
            (b[4] == 0x02 && b[5] == 0x10))
          return 8;
        return 2;
      }
      break;
    case 0x09: {
      // BIFF2: 09 00 04 00 <version, 2 bytes> 10 00; BIFF3/4: 09 02|04 06 00 00 00 10 00.
      bool head = false;
      if (b[1] == 0) head = b[2] == 0x04 && b[3] == 0x00;
      if (b[1] == 0x02 || b[1] == 0x04) head = Matches(b, 2, {0x06, 0x00, 0x00, 0x00});
      if (head && b[6] == 0x10 && b[7] == 0x00) return 5;
      break;
    }
    case 0xD0:
      if (Matches(b, 1, {0xCF, 0x11, 0xE0, 0xA1, 0xB1})) return 5;
      break;
    default:
      // Stata releases 102 to 115 (0x71-0x73: 113-115).
      if (b[0] >= 0x66 && b[0] <= 0x73 && (b[1] == 1 || b[1] == 2) && (b[2] == 1 || b[2] == 2))
        return 23;
      break;
  }

  // Stata releases 117 and later open with a tag: printable, but not text.
  if (MatchesText(b, 0, "<stata_dta>")) return 23;

  if (Matches(b, 0, {0x00, 0x00, 0x27, 0x0A}) && AllZero(b, 4, 23)) return 26;
  if (MatchesText(b, 0, "$FL2") || MatchesText(b, 0, "$FL3")) return 22;
  if (b[0] == 0x40 && b[1] == 0x0D) return 15;
  if (MatchesText(b, 0, "WORKSHEE")) return 7;
  if (MatchesText(b, 0, "CSS ") && b[6] == 0xFF && b[7] == 0xFF) return 35;
  if (Matches(b, 0, {0x00, 0x04, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00}))
    return 36;
  if (MatchesText(b, 0, "SAS")) return 10;
  if (AllZero(b, 0, 7) && MatchesText(b, 84, "SAS")) return 37;
  if (MatchesTextIgnoreCase(b, "HEADER RECORD*******LIBRARY HEADER RECORD!!!!!!!00")) return 28;

  // Text behind a byte-order mark goes first: big-endian UTF-16 of a
  // letter from U+0100 to U+0C1F (Cyrillic, Latin Extended) would pass the
  // loose dBase test below.
  if (MarkedTextTest(b) == 25) return 25;

  // dBase: version byte then year since 1900, month, day; or the older
  // month, day, year layout of dBase II.
  if ((b[0] & 7) != 0 && b[1] > 60 && b[2] > 0 && b[2] < 13 && b[3] > 0 && b[3] < 32) return 3;
  if (b[0] == 2 && b[3] > 0 && b[3] < 13 && b[4] > 0 && b[4] < 32 && b[5] > 60) return 3;

  if (EndsWithIgnoreCase(name, ".dbf")) return 3;
  if (EndsWithIgnoreCase(name, ".mif") && MatchesTextIgnoreCase(b, "VERSION")) return 27;
  if (EndsWithIgnoreCase(name, ".db")) return 9;
  if (EndsWithIgnoreCase(name, ".sdd")) return 14;
  if (EndsWithIgnoreCase(name, ".rec")) return 17;
  if (b[0] == 'B' && b[1] == 'M') return 32;
  if (MatchesText(b, 0, "RIFF")) return 33;
  return TextTest(b);
}

}  // namespace trovadex
