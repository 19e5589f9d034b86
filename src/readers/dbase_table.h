// dBase table layout: header and field descriptors, and the decoding of one
// field's bytes into a value. Shared by the dBase reader and the attribute
// tables of shapefiles; each caller prints its own messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace trovadex {

struct DbaseField {
  std::string name;     // the descriptor's name bytes up to the first NUL (at most 11)
  char type = 0;        // type letter as stored
  int64_t offset = 0;   // first byte within the record (the deletion flag is byte 0)
  int64_t length = 0;   // bytes in the record
  int32_t decimals = 0;
};

struct DbaseHeader {
  uint8_t version = 0;
  bool dbase2 = false;           // 16-byte descriptors, fixed 521-byte header
  int64_t declaredRecords = 0;   // record count stored in the header
  int64_t recordCount = 0;       // records the file really holds (never above declaredRecords)
  int64_t headerLength = 0;      // as stored (unsigned 16 bits); 521 for dBase II
  int64_t recordLength = 0;      // as stored (unsigned 16 bits)
  int64_t dataStart = 0;         // offset of the first record
  bool unterminated = false;     // the descriptors fill the header without a 0x0D after them
  std::vector<DbaseField> fields;
};

enum class DbaseHeaderStatus {
  Ok,
  ShortHeader,       // fewer bytes than the fixed header
  BadDate,           // month above 12 or day above 31
  NoRecords,         // the header's record count is 0
  BadRecordLength,   // record length 0
  ShortDescriptors,  // the file ends inside the descriptors or before the terminator
  UnknownFieldType,  // a type letter other than C, N, F, D, L, B, G, M, P
  BadTerminator,     // the byte after the descriptors is not 0x0D (0x00 also for dBase II)
  NoData,            // not one whole record after the header
};

// Reads the header and descriptors from the whole file `data` (`size`
// bytes). dBase II (version byte 0x02) is accepted only with `allowDbase2`.
// Records start at the header length (or right after the terminator when
// the stored length is shorter than the descriptors); recordCount is capped
// at the whole records that follow.
DbaseHeaderStatus ParseDbaseHeader(const unsigned char* data, std::size_t size, bool allowDbase2,
                                   DbaseHeader& header);

// The same from the first `size` bytes of a file of `fileSize` bytes (size
// at most fileSize), so that the records need not be in memory: recordCount
// is capped at the whole records within fileSize. The header and
// descriptors are read only from `data`; kDbaseHeaderReach bytes (or the
// whole file when shorter) are always enough.
// With `acceptUnterminated`, a header whose descriptors run up to its
// stored length, with some other byte in the terminator's place, is taken
// as it stands (`unterminated` tells); some GIS tools write such tables.
DbaseHeaderStatus ParseDbaseHeader(const unsigned char* data, std::size_t size,
                                   std::size_t fileSize, bool allowDbase2, DbaseHeader& header,
                                   bool acceptUnterminated = false);

// Bytes from the start of a file beyond which the header and descriptors
// never reach: the stored header length is 16 bits and the descriptors end
// before it (the last one read starts below it).
constexpr std::size_t kDbaseHeaderReach = 65536 + 64;

// True for the field types that hold data the reader keeps (C, N, F, D, L).
bool IsDbaseDataField(char type);
// True for the field types whose bytes are stepped over (B, G, M, P).
bool IsDbaseSkippedField(char type);

// The bytes of `field` in a record of `recordLength` bytes; empty when the
// field does not lie wholly inside the record.
std::string_view DbaseFieldBytes(const unsigned char* record, int64_t recordLength,
                                 const DbaseField& field);

// C: at most 90 bytes, cut at the first NUL; with `compressBlanks` leading
// and trailing blanks go and inner runs become one blank, otherwise only
// trailing blanks go.
std::string DecodeDbaseText(std::string_view bytes, bool compressBlanks);

// N, F: a decimal number; `missing` for blanks, nothing readable or a range
// error. Numbers above 9.99999e307 are lowered to it.
double DecodeDbaseNumber(std::string_view bytes, double missing);

// D: YYYYMMDD to the day count; `missing` for an impossible date.
double DecodeDbaseDate(std::string_view bytes, double missing);

// L: 1 for T/t/Y/y, 0 for F/f/N/n, else `missing`.
double DecodeDbaseLogical(std::string_view bytes, double missing);

}  // namespace trovadex
