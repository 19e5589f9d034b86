// SPSS system files (".sav") into the Dataset: the dictionary (variables,
// value labels; documents and extension records are stepped over), then the
// cases, plain or bytecode-compressed, in either byte order. Numeric
// variables become Variates, strings Texts, labelled variables Factors.
#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/byteorder.h"
#include "core/progress.h"
#include "core/convert.h"
#include "core/dataset.h"
#include "core/format.h"
#include "core/names.h"
#include "readers/readers.h"

#ifdef TROVADEX_HAVE_ZLIB
#include <zlib.h>
#endif

namespace trovadex {

namespace {

constexpr int64_t kHeaderBytes = 176;
// Case data are read this many bytes at a time (at least one whole case).
constexpr std::size_t kBlockBytes = std::size_t{1} << 20;
// What compression code 255 stands for: the most negative double.
constexpr double kSystemMissing = -std::numeric_limits<double>::max();
// Seconds from 14 October 1582, the origin of SPSS dates, to day 0 of the
// day count in 86400-second days.
constexpr double kDayCountOffset = 6347;

// The open file, the read position and the byte order of its numbers.
struct SavFile {
  std::FILE* file = nullptr;
  int64_t size = 0;
  int64_t position = 0;
  bool swap = false;  // numbers are big-endian

  ~SavFile() {
    if (file) std::fclose(file);
  }
  int64_t Left() const { return size - position; }
  bool Read(void* out, int64_t n) {
    if (n < 0 || n > Left()) return false;
    if (n == 0) return true;
    if (std::fread(out, 1, static_cast<std::size_t>(n), file) != static_cast<std::size_t>(n)) return false;
    position += n;
    return true;
  }
  bool Skip(int64_t n) {
    if (n < 0 || n > Left()) return false;
    if (fseeko(file, static_cast<off_t>(position + n), SEEK_SET) != 0) return false;
    position += n;
    return true;
  }
  int32_t Int(const unsigned char* b) const { return swap ? LoadI32BE(b) : LoadI32LE(b); }
  int64_t Int64(const unsigned char* b) const {
    return static_cast<int64_t>(swap ? LoadU64BE(b) : LoadU64LE(b));
  }
  double Number(const unsigned char* b) const { return swap ? LoadF64BE(b) : LoadF64LE(b); }
  void StoreNumber(unsigned char* b, double v) const { swap ? StoreF64BE(b, v) : StoreF64LE(b, v); }
  bool Int(int32_t& v) {
    unsigned char b[4];
    if (!Read(b, 4)) return false;
    v = Int(b);
    return true;
  }
};

bool OpenSav(const char* path, SavFile& sav) {
  sav.file = std::fopen(path, "rb");
  if (!sav.file) return false;
  if (fseeko(sav.file, 0, SEEK_END) != 0) return false;
  const long long size = static_cast<long long>(ftello(sav.file));
  if (size < 0 || fseeko(sav.file, 0, SEEK_SET) != 0) return false;
  sav.size = size;
  return true;
}

// One type-2 record, continuation records included.
struct SavVariable {
  int32_t width = 0;         // 0 numeric, 1..255 string bytes, -1 continuation of a string
  int32_t missingCount = 0;  // 0..3 values, -2 a range, -3 a range and a value
  std::array<double, 3> missing{};
  uint32_t writeFormat = 0;  // byte 0 decimals, 1 width, 2 format type
  char name[8] = {};
  bool hasLabel = false;
  std::string label;  // the first 40 bytes
  int32_t labelSet = -1;
};

struct LabelSet {
  std::vector<std::array<unsigned char, 8>> values;  // as stored (a number or 8 string bytes)
  std::vector<std::string> labels;                   // the first 40 bytes
};

enum class DateKind { None, Date, Duration };

// The date representation of a write-format type, 0 for other types.
int DateRepresentation(int type) {
  switch (type) {
    case 20: return 3;    // DATE
    case 21: return 31;   // TIME: a duration, shown in total hours
    case 22: return 26;   // DATETIME
    case 23: return 24;   // ADATE
    case 24: return 28;   // JDATE
    case 25: return 31;   // DTIME: a duration
    case 38: return 4;    // EDATE
    case 39: return 20;   // SDATE
    default: return 0;
  }
}

// Labels of one long string variable (an extension record), values without
// their trailing blanks.
struct LongLabels {
  std::string name;
  std::vector<std::string> values, labels;
  std::unordered_map<std::string_view, int32_t> first;  // value -> its first label
};

struct Dictionary {
  int32_t caseSize = 0;
  bool compressed = false;
  int32_t cases = 0;  // negative: unknown
  double bias = 100;
  std::vector<SavVariable> variables;
  std::vector<LabelSet> sets;
  // Extension records kept: long names, very long string widths, long
  // string value labels.
  std::string longNames, veryLongStrings, longLabels, longMissing;
};

// Reads the records from the header's end through type 999; false for a
// short read, an unknown record type or a count the file cannot hold.
bool ReadDictionary(SavFile& sav, Dictionary& dict) {
  for (;;) {
    int32_t type;
    if (!sav.Int(type)) return false;
    switch (type) {
      case 2: {
        unsigned char r[28];
        if (!sav.Read(r, 28)) return false;
        // One record per 8-byte element of a case, plus the slack some
        // writers leave: more cannot belong to the case.
        if (static_cast<int64_t>(dict.variables.size()) >= int64_t{dict.caseSize} + 1) return false;
        SavVariable v;
        v.width = sav.Int(r);
        if (v.width < -1 || v.width > 255) return false;
        const int32_t hasLabel = sav.Int(r + 4);
        const int64_t count = sav.Int(r + 8);
        v.writeFormat = static_cast<uint32_t>(sav.Int(r + 16));
        std::memcpy(v.name, r + 20, 8);
        if (hasLabel != 0) {
          int32_t length;
          if (!sav.Int(length) || length < 0) return false;
          const int64_t padded = (int64_t{length} + 3) / 4 * 4;
          if (padded > sav.Left()) return false;
          const int64_t kept = std::min<int64_t>(length, kLabelLength);
          char text[kLabelLength];
          if (!sav.Read(text, kept) || !sav.Skip(padded - kept)) return false;
          v.hasLabel = true;
          v.label.assign(text, static_cast<std::size_t>(kept));
        }
        if (count == -2 || count == -3 || (count >= 0 && count <= 3))
          v.missingCount = static_cast<int32_t>(count);
        else
          v.missingCount = count == -1 ? 1 : 3;
        const int64_t values = count < 0 ? -count : count;
        if (values * 8 > sav.Left()) return false;
        for (int64_t k = 0; k < values; ++k) {
          unsigned char b[8];
          if (!sav.Read(b, 8)) return false;
          if (k < 3) v.missing[k] = sav.Number(b);
        }
        dict.variables.push_back(v);
        break;
      }
      case 3: {
        int32_t count;
        if (!sav.Int(count) || count < 0) return false;
        // Each label takes at least 16 bytes.
        if (int64_t{count} * 16 > sav.Left()) return false;
        LabelSet set;
        set.values.resize(static_cast<std::size_t>(count));
        set.labels.resize(static_cast<std::size_t>(count));
        for (int32_t k = 0; k < count; ++k) {
          unsigned char head[9];
          if (!sav.Read(head, 9)) return false;
          std::memcpy(set.values[k].data(), head, 8);
          const int64_t n = head[8];
          const int64_t rest = n / 8 * 8 + 7;
          const int64_t kept = std::min<int64_t>(n, kLabelLength);
          char text[kLabelLength];
          if (!sav.Read(text, kept) || !sav.Skip(rest - kept)) return false;
          set.labels[k].assign(text, static_cast<std::size_t>(kept));
        }
        dict.sets.push_back(std::move(set));
        break;
      }
      case 4: {
        int32_t count;
        if (!sav.Int(count) || count < 0 || int64_t{count} * 4 > sav.Left()) return false;
        for (int32_t k = 0; k < count; ++k) {
          int32_t index;
          if (!sav.Int(index)) return false;
          // Indices outside the records read so far, and a type 4 without
          // a label set before it, attach nothing.
          if (dict.sets.empty() || index < 1 || index > static_cast<int64_t>(dict.variables.size()))
            continue;
          dict.variables[index - 1].labelSet = static_cast<int32_t>(dict.sets.size()) - 1;
        }
        break;
      }
      case 6: {  // documents: lines of 80 bytes
        int32_t lines;
        if (!sav.Int(lines) || lines < 0 || !sav.Skip(int64_t{lines} * 80)) return false;
        break;
      }
      case 7: {  // extension records, whatever their subtype
        unsigned char r[12];
        if (!sav.Read(r, 12)) return false;
        const int32_t subtype = sav.Int(r);
        const int64_t size = sav.Int(r + 4), count = sav.Int(r + 8);
        if (size < 0 || count < 0 || size * count > sav.Left()) return false;
        std::string* kept = subtype == 13 ? &dict.longNames
                            : subtype == 14 ? &dict.veryLongStrings
                            : subtype == 21 ? &dict.longLabels
                            : subtype == 22 ? &dict.longMissing
                                            : nullptr;
        if (kept && size == 1) {
          const std::size_t at = kept->size();
          kept->resize(at + static_cast<std::size_t>(count));
          if (!sav.Read(kept->data() + at, count)) return false;
          // Records of the same subtype continue each other's text.
          if (subtype == 13 || subtype == 14) kept->push_back('\t');
        } else if (!sav.Skip(size * count)) {
          return false;
        }
        break;
      }
      case 999: {
        int32_t filler;
        return sav.Int(filler);
      }
      default:
        return false;
    }
  }
}

// zlib-compressed files ("$FL3"): the bytecode stream of the cases cut into
// blocks that are deflated one by one, listed in a trailer at the file's end.
struct ZlibBlock {
  int64_t offset = 0;          // of the compressed bytes
  int64_t compressedSize = 0;
  int64_t size = 0;            // inflated
};

// Reads and checks the block list: the header right after the dictionary
// points at the trailer; the blocks follow each other from the header to the
// trailer without gaps. False for anything else.
bool ReadZlibBlocks(SavFile& sav, std::vector<ZlibBlock>& blocks, int64_t& inflated) {
  const int64_t at = sav.position;
  unsigned char head[24];
  if (!sav.Read(head, 24)) return false;
  const int64_t headerOffset = sav.Int64(head), trailerOffset = sav.Int64(head + 8),
                trailerLength = sav.Int64(head + 16);
  if (headerOffset != at || trailerOffset < at + 24 || trailerOffset > sav.size || trailerLength < 24 ||
      trailerLength > sav.size - trailerOffset || trailerLength % 24 != 0)
    return false;
  ByteBuffer trailer;
  LargeResize(trailer, static_cast<std::size_t>(trailerLength));
  if (!sav.Skip(trailerOffset - sav.position) || !sav.Read(trailer.data(), trailerLength)) return false;
  const unsigned char* t = reinterpret_cast<const unsigned char*>(trailer.data());
  const int64_t count = sav.Int(t + 20);
  if (count != trailerLength / 24 - 1) return false;
  int64_t expectCompressed = at + 24, expectInflated = at;
  inflated = 0;
  blocks.clear();
  for (int64_t k = 0; k < count; ++k) {
    const unsigned char* d = t + 24 + 24 * k;
    ZlibBlock b;
    const int64_t inflatedOffset = sav.Int64(d);
    b.offset = sav.Int64(d + 8);
    b.size = sav.Int(d + 16);
    b.compressedSize = sav.Int(d + 20);
    // Deflate cannot expand data more than about 1032 times.
    if (inflatedOffset != expectInflated || b.offset != expectCompressed || b.compressedSize <= 0 || b.size < 0 ||
        b.compressedSize > trailerOffset - b.offset || b.size > b.compressedSize * 1032 + 64)
      return false;
    expectCompressed += b.compressedSize;
    expectInflated += b.size;
    inflated += b.size;
    blocks.push_back(b);
  }
  if (expectCompressed != trailerOffset) return false;
  if (fseeko(sav.file, static_cast<off_t>(at + 24), SEEK_SET) != 0) return false;
  sav.position = at + 24;
  return true;
}

// Inflates the blocks in turn into whatever room the caller has.
struct ZlibSource {
  std::vector<ZlibBlock> blocks;
  std::size_t next = 0;
  std::vector<unsigned char> input;
  bool damaged = false;
#ifdef TROVADEX_HAVE_ZLIB
  z_stream zs{};
  bool active = false;

  ~ZlibSource() { Reset(); }
  void Reset() {
    if (active) inflateEnd(&zs);
    active = false;
    next = 0;
  }
  // Bytes written at `out` (at most `room`); 0 at the end or at a damaged
  // block (then `damaged` is set).
  std::size_t Fill(SavFile& sav, unsigned char* out, std::size_t room) {
    std::size_t done = 0;
    while (done < room && !damaged) {
      if (!active) {
        if (next == blocks.size()) break;
        const ZlibBlock& b = blocks[next];
        input.resize(static_cast<std::size_t>(b.compressedSize));
        zs = z_stream{};
        if (fseeko(sav.file, static_cast<off_t>(b.offset), SEEK_SET) != 0 ||
            std::fread(input.data(), 1, input.size(), sav.file) != input.size() || inflateInit(&zs) != Z_OK) {
          damaged = true;
          break;
        }
        active = true;
        zs.next_in = input.data();
        zs.avail_in = static_cast<uInt>(input.size());
      }
      zs.next_out = out + done;
      zs.avail_out = static_cast<uInt>(std::min<std::size_t>(room - done, 1u << 30));
      const int r = inflate(&zs, Z_NO_FLUSH);
      done = static_cast<std::size_t>(zs.next_out - out);
      const int64_t size = blocks[next].size;
      if (static_cast<int64_t>(zs.total_out) > size) {
        damaged = true;
      } else if (r == Z_STREAM_END) {
        // A block inflates to exactly its listed size from all its bytes.
        if (static_cast<int64_t>(zs.total_out) != size || zs.avail_in != 0) damaged = true;
        inflateEnd(&zs);
        active = false;
        ++next;
      } else if (r != Z_OK || (zs.avail_out != 0 && zs.avail_in == 0)) {
        damaged = true;
      }
    }
    return damaged ? 0 : done;
  }
#else
  void Reset() { next = 0; }
  std::size_t Fill(SavFile&, unsigned char*, std::size_t) { return 0; }
#endif
};

// The case data after the dictionary, refilled in blocks.
struct CaseStream {
  SavFile* sav = nullptr;
  ZlibSource* zlib = nullptr;  // set for "$FL3" files
  ByteBuffer buffer;
  std::size_t begin = 0, end = 0;
  bool ended = false;

  // At least n bytes at Data(); false when the file ends first.
  bool Need(std::size_t n) {
    if (end - begin >= n) return true;
    if (ended) return false;
    std::memmove(buffer.data(), buffer.data() + begin, end - begin);
    end -= begin;
    begin = 0;
    while (end < n && !ended && zlib) {
      const std::size_t got =
          zlib->Fill(*sav, reinterpret_cast<unsigned char*>(buffer.data()) + end, buffer.size() - end);
      end += got;
      if (got == 0) ended = true;
    }
    while (end < n && !ended) {
      const std::size_t want =
          static_cast<std::size_t>(std::min<int64_t>(static_cast<int64_t>(buffer.size() - end), sav->Left()));
      const std::size_t got = want ? std::fread(buffer.data() + end, 1, want, sav->file) : 0;
      sav->position += static_cast<int64_t>(got);
      end += got;
      if (got < want || sav->Left() == 0) ended = true;
    }
    return end - begin >= n;
  }
  const unsigned char* Take(std::size_t n) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(buffer.data()) + begin;
    begin += n;
    return p;
  }
};

// Bytecode decompression. The command block and the place in it carry over
// from one case to the next.
struct Decompressor {
  CaseStream* in = nullptr;
  const SavFile* sav = nullptr;
  double bias = 100;
  unsigned char command[8] = {};
  int next = 8;
  bool over = false;  // code 252 or the end of the file was met

  // Produces up to `elements` 8-byte elements at `out`; returns how many:
  // fewer when the data end inside the case, 0 when they end before it.
  // Numbers made from codes go in the file's byte order, so that every
  // element is read back the same way.
  int64_t Case(unsigned char* out, int64_t elements) {
    int64_t k = 0;
    while (k < elements) {
      if (next == 8) {
        if (over || !in->Need(8)) {
          over = true;
          return k;
        }
        std::memcpy(command, in->Take(8), 8);
        next = 0;
      }
      const unsigned code = command[next++];
      unsigned char* e = out + k * 8;
      switch (code) {
        case 0:
          continue;
        case 252:
          over = true;
          return k;
        case 253:
          if (!in->Need(8)) {
            over = true;
            return k;
          }
          std::memcpy(e, in->Take(8), 8);
          break;
        case 254:
          std::memset(e, ' ', 8);
          break;
        case 255:
          sav->StoreNumber(e, kSystemMissing);
          break;
        default:
          sav->StoreNumber(e, static_cast<double>(code) - bias);
          break;
      }
      ++k;
    }
    return k;
  }
};

// One variable that has a Column: where its bytes lie in a case and how
// they become a value.
struct Slot {
  Column* column = nullptr;
  const SavVariable* variable = nullptr;
  int64_t offset = 0;
  int32_t width = 0;  // string bytes; 0 numeric
  DateKind date = DateKind::None;
  // A very long string: its segments (offset, bytes) and its whole width.
  std::vector<std::pair<int64_t, int32_t>> segments;
  int32_t joinedWidth = 0;
  const LongLabels* longLabels = nullptr;
  std::vector<int32_t> rowLabels;  // per row: the long label its value has, or -1
  std::vector<std::string> missingTexts;  // long string user-missing values
};

// The long string missing values record: per variable its name, a count
// byte, the value length and the values; `apply` gets each name and value
// without trailing blanks. A record that runs past its end stops there.
template <class Apply>
void ParseLongMissing(const SavFile& sav, std::string_view b, Apply apply) {
  std::size_t at = 0;
  while (b.size() - at >= 4) {
    const int64_t n = sav.Int(reinterpret_cast<const unsigned char*>(b.data() + at));
    at += 4;
    if (n < 0 || n > static_cast<int64_t>(b.size() - at) || b.size() - at - n < 5) return;
    const std::string_view name = b.substr(at, static_cast<std::size_t>(n));
    at += static_cast<std::size_t>(n);
    const int64_t count = static_cast<unsigned char>(b[at]);
    const int64_t length = sav.Int(reinterpret_cast<const unsigned char*>(b.data() + at + 1));
    at += 5;
    if (length < 0 || count * length > static_cast<int64_t>(b.size() - at)) return;
    for (int64_t k = 0; k < count; ++k, at += static_cast<std::size_t>(length)) {
      std::string_view value = b.substr(at, static_cast<std::size_t>(length));
      while (!value.empty() && (value.back() == ' ' || value.back() == '\0')) value.remove_suffix(1);
      apply(name, value);
    }
  }
}

std::string ShortName(const SavVariable& v) {
  std::size_t n = 8;
  while (n > 0 && (v.name[n - 1] == ' ' || v.name[n - 1] == '\0')) --n;
  return std::string(v.name, n);
}

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

// "KEY=VALUE" entries separated by tabs (and NULs in the very long string
// record).
std::vector<std::pair<std::string, std::string>> NamePairs(std::string_view text) {
  std::vector<std::pair<std::string, std::string>> pairs;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find_first_of(std::string_view("\t\0", 2), at);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view entry = text.substr(at, end - at);
    const std::size_t eq = entry.find('=');
    if (eq != std::string_view::npos && eq > 0)
      pairs.emplace_back(std::string(entry.substr(0, eq)), std::string(entry.substr(eq + 1)));
    at = end + 1;
  }
  return pairs;
}

// The long string value label record: per variable its name, width and
// (value, label) pairs, each text after its 32-bit length. A record that
// runs past its end stops the list there.
std::vector<LongLabels> ParseLongLabels(const SavFile& sav, std::string_view b) {
  std::vector<LongLabels> sets;
  std::size_t at = 0;
  auto text = [&](std::string& out) {
    if (b.size() - at < 4) return false;
    const int64_t n = sav.Int(reinterpret_cast<const unsigned char*>(b.data() + at));
    at += 4;
    if (n < 0 || n > static_cast<int64_t>(b.size() - at)) return false;
    out.assign(b.substr(at, static_cast<std::size_t>(n)));
    at += static_cast<std::size_t>(n);
    return true;
  };
  while (at < b.size()) {
    LongLabels set;
    std::string width;
    if (!text(set.name) || b.size() - at < 8) break;
    const int64_t count = sav.Int(reinterpret_cast<const unsigned char*>(b.data() + at + 4));
    at += 8;
    bool whole = true;
    for (int64_t k = 0; k < count && whole; ++k) {
      std::string value, label;
      whole = text(value) && text(label);
      if (!whole) break;
      while (!value.empty() && (value.back() == ' ' || value.back() == '\0')) value.pop_back();
      set.values.push_back(std::move(value));
      if (label.size() > kLabelLength) label.resize(kLabelLength);
      set.labels.push_back(std::move(label));
    }
    sets.push_back(std::move(set));
    if (!whole) break;
  }
  for (LongLabels& set : sets)
    for (std::size_t k = 0; k < set.values.size(); ++k)
      set.first.emplace(set.values[k], static_cast<int32_t>(k));
  return sets;
}

// The stored number of a numeric element: missing for NaN, infinities,
// system-missing and (unless ignored) the variable's user-missing values;
// dates turn from seconds into day counts after the missing test, since
// user-missing values are given in seconds.
inline double NumberValue(double x, const Slot& s, double missing, bool ignoreUser) {
  if (!std::isfinite(x) || !(x > missing)) return missing;
  const SavVariable& v = *s.variable;
  if (!ignoreUser && v.missingCount != 0) {
    const auto& m = v.missing;
    switch (v.missingCount) {
      case 3:
        if (x == m[2]) return missing;
        [[fallthrough]];
      case 2:
        if (x == m[1]) return missing;
        [[fallthrough]];
      case 1:
        if (x == m[0]) return missing;
        break;
      case -3:
        if (x == m[2]) return missing;
        [[fallthrough]];
      case -2:
        if (m[0] <= x && x <= m[1]) return missing;
        break;
    }
  }
  if (x > kNumberCap) x = kNumberCap;
  if (s.date == DateKind::Date) return x / 86400 - kDayCountOffset;
  if (s.date == DateKind::Duration) return x / 86400;
  return x;
}

// A string's bytes without trailing blanks (and the NULs some writers pad
// with); with `compress` also without leading blanks and with inner runs of
// blanks made one.
inline void StoreText(Column* c, int64_t row, const unsigned char* p, int32_t width, bool compress) {
  const char* b = reinterpret_cast<const char*>(p);
  std::size_t n = static_cast<std::size_t>(width);
  while (n > 0 && (b[n - 1] == ' ' || b[n - 1] == '\0')) --n;
  std::size_t s = 0;
  if (compress) {
    while (s < n && b[s] == ' ') ++s;
    const std::string_view v(b + s, n - s);
    if (v.find("  ") != std::string_view::npos) {
      SetText(c, row, TrimText(v, TextList::kMaxStoredLength));
      return;
    }
  }
  SetText(c, row, std::string_view(b + s, n - s));
}

// True when every value of the column prints exactly with `decimals` digits
// after the point.
bool ValuesFitDecimals(const Column* c, int decimals, double missing) {
  const double scale = std::pow(10.0, decimals);
  for (int64_t i = 0; i < c->valueCount; ++i) {
    const double x = c->numbers.Get(i);
    if (!(x > missing)) continue;
    const double scaled = x * scale;
    if (!(std::fabs(scaled) < 9e15) || std::nearbyint(scaled) / scale != x) return false;
  }
  return true;
}

// A label set's numeric value as the column holds it.
double LabelNumber(const SavFile& sav, const std::array<unsigned char, 8>& raw, DateKind date) {
  const double x = sav.Number(raw.data());
  if (date == DateKind::Date) return x / 86400 - kDayCountOffset;
  if (date == DateKind::Duration) return x / 86400;
  return x;
}

void SetFactorWidth(Column* c) {
  int32_t longest = 0;
  for (int64_t k = 0; k < c->labels.count; ++k)
    longest = std::max<int32_t>(longest, static_cast<int32_t>(c->labels.Get(k).size()));
  c->longestLabel = longest;
  c->factorDisplay = 2;
  c->valueFormat = 4;
  c->width = std::max(c->width, longest + 2);
}

// Numeric labels: every level takes the label of its value, or the shortest
// text of the value when the set has none.
bool ApplyNumericLabels(const SavFile& sav, Column* c, const LabelSet& set, DateKind date) {
  if (!VariateToFactor(c, true)) return false;
  // The set sorted by value, so that a level finds its first label among
  // the values within 1e-12 of its own without a walk over the whole set.
  std::vector<std::pair<double, std::size_t>> sorted;
  for (std::size_t j = 0; j < set.values.size(); ++j) {
    const double x = LabelNumber(sav, set.values[j], date);
    if (!std::isnan(x)) sorted.emplace_back(x, j);
  }
  std::sort(sorted.begin(), sorted.end());
  std::vector<std::string> labels(static_cast<std::size_t>(c->levelCount));
  for (int32_t k = 1; k <= c->levelCount; ++k) {
    const double v = k <= c->levelValueCount ? c->levelValues.Get(k - 1) : k;
    std::size_t first = set.values.size();
    auto it = std::lower_bound(sorted.begin(), sorted.end(), std::make_pair(v - 1e-12, std::size_t{0}));
    for (; it != sorted.end() && it->first < v + 1e-12; ++it)
      if (std::fabs(it->first - v) < 1e-12) first = std::min(first, it->second);
    labels[k - 1] = first < set.values.size() ? set.labels[first] : FormatShortestG(v, 12);
  }
  SetLabelList(c, labels);
  SetFactorWidth(c);
  return true;
}

// String labels: a level whose text equals a label's value (its 8 bytes
// without trailing blanks, at least one kept; pspp pads with NULs instead)
// shows that label.
bool ApplyTextLabels(Column* c, const LabelSet& set, const Options& options) {
  if (!TextToFactor(c, options.caseInsensitiveLevels != 0, options.compressBlanks != 0)) return false;
  std::unordered_map<std::string_view, std::size_t> first;
  for (std::size_t j = 0; j < set.values.size(); ++j) {
    std::size_t n = 8;
    while (n > 1 && (set.values[j][n - 1] == ' ' || set.values[j][n - 1] == '\0')) --n;
    first.emplace(std::string_view(reinterpret_cast<const char*>(set.values[j].data()), n), j);
  }
  std::vector<std::string> labels;
  for (int64_t k = 0; k < c->labels.count && k < c->labelCount; ++k) {
    std::string level(c->labels.Get(k));
    if (auto it = first.find(level); it != first.end()) level = set.labels[it->second];
    labels.push_back(std::move(level));
  }
  SetLabelList(c, labels);
  SetFactorWidth(c);
  return true;
}

// Long string labels: each level takes the label that the whole value of
// its first labelled row has.
bool ApplyLongLabels(Column* c, const LongLabels& set, const std::vector<int32_t>& rowLabels,
                     const Options& options) {
  if (!TextToFactor(c, options.caseInsensitiveLevels != 0, options.compressBlanks != 0)) return false;
  std::vector<int32_t> levelLabel(static_cast<std::size_t>(std::max<int64_t>(c->labels.count, 0)), -1);
  for (std::size_t r = 0; r < rowLabels.size() && static_cast<int64_t>(r) < c->valueCount; ++r) {
    const double v = c->numbers.Get(static_cast<int64_t>(r));
    if (rowLabels[r] < 0 || !(v >= 1 && v <= static_cast<double>(levelLabel.size()))) continue;
    int32_t& l = levelLabel[static_cast<std::size_t>(v) - 1];
    if (l < 0) l = rowLabels[r];
  }
  std::vector<std::string> labels;
  for (std::size_t k = 0; k < levelLabel.size(); ++k)
    labels.push_back(levelLabel[k] >= 0 ? set.labels[static_cast<std::size_t>(levelLabel[k])]
                                        : std::string(c->labels.Get(static_cast<int64_t>(k))));
  SetLabelList(c, labels);
  SetFactorWidth(c);
  return true;
}

}  // namespace

int16_t ReadSpss(const char* path) {
  SavFile sav;
  if (!path || !OpenSav(path, sav)) return 0;
  unsigned char h[kHeaderBytes];
  if (!sav.Read(h, kHeaderBytes)) return 0;
  // "$FL3": the cases are zlib-compressed bytecode.
  const bool zlibFile = std::memcmp(h, "$FL3", 4) == 0;
  if (!zlibFile && std::memcmp(h, "$FL2", 4) != 0) return 0;
#ifndef TROVADEX_HAVE_ZLIB
  if (zlibFile) {
    std::printf("Error: %s is a zlib-compressed SPSS file, which this build cannot read.\n", path);
    return 0;
  }
#endif
  if (std::memcmp(h + 4, "@(#) SPSS DATA FILE", 19) != 0)
    std::printf("Warning: %s may not be in standard SPSS windows format!\n", path);
  // The layout code tells the byte order; a few writers store 3 instead of 2.
  const int32_t layout = LoadI32LE(h + 64);
  if (layout != 2 && layout != 3) {
    const int32_t reversed = LoadI32BE(h + 64);
    if (reversed != 2 && reversed != 3) return 0;
    sav.swap = true;
  }
  Dictionary dict;
  dict.caseSize = sav.Int(h + 68);
  dict.compressed = sav.Int(h + 72) != 0;
  dict.cases = sav.Int(h + 80);
  dict.bias = sav.Number(h + 84);
  if (dict.cases == 0 || dict.caseSize <= 0) return 0;
  if (zlibFile && sav.Int(h + 72) != 2) return 0;
  if (!ReadDictionary(sav, dict)) return 0;

  // Every variable's bytes must lie inside the case.
  const int64_t caseBytes = int64_t{dict.caseSize} * 8;
  const std::size_t records = dict.variables.size();
  std::vector<int64_t> offsets(records, -1);
  {
    int64_t offset = 0;
    for (std::size_t i = 0; i < records; ++i) {
      const SavVariable& v = dict.variables[i];
      if (v.width < 0) continue;
      offsets[i] = offset;
      offset += v.width == 0 ? 8 : (int64_t{v.width} - 1) / 8 * 8 + 8;
      if (offset > caseBytes) return 0;
    }
  }

  // A very long string is stored as segment variables of 255 bytes, one per
  // 252 bytes of its width, that follow its first one: they become one
  // column. An entry that does not fit the variables is not applied.
  std::vector<int32_t> joinedWidth(records, 0);
  std::vector<bool> absorbed(records, false);
  for (const auto& [shortName, widthText] : NamePairs(dict.veryLongStrings)) {
    const long width = std::strtol(widthText.c_str(), nullptr, 10);
    if (width < 256 || width > 32767) continue;
    std::size_t i = 0;
    while (i < records && !(dict.variables[i].width == 255 && !absorbed[i] && joinedWidth[i] == 0 &&
                            SameName(ShortName(dict.variables[i]), shortName)))
      ++i;
    if (i == records) continue;
    std::vector<std::size_t> segments;
    for (std::size_t j = i + 1; j < records && static_cast<long>(segments.size()) < (width + 251) / 252 - 1; ++j) {
      if (dict.variables[j].width < 0) continue;
      if (dict.variables[j].width == 0 || absorbed[j] || joinedWidth[j] != 0) break;
      segments.push_back(j);
    }
    if (static_cast<long>(segments.size()) != (width + 251) / 252 - 1) continue;
    joinedWidth[i] = static_cast<int32_t>(width);
    for (std::size_t j : segments) absorbed[j] = true;
  }

  // The columns: the first `limit` variables that are not continuations.
  const long limit = State().columnLimit;
  std::size_t used = records;
  {
    long columns = 0;
    for (std::size_t i = 0; i < records; ++i) {
      if (dict.variables[i].width < 0 || absorbed[i]) continue;
      if (columns == limit) {
        std::printf("Warning Columns above %li NOT transfered!\n", limit);
        used = i;
        break;
      }
      ++columns;
    }
  }

  // Rows: never more than the rest of the file can hold (uncompressed a
  // whole case each, compressed at least one command byte per element).
  ZlibSource zlib;
  int64_t inflated = 0;
  if (zlibFile && !ReadZlibBlocks(sav, zlib.blocks, inflated)) return 0;
  const int64_t dataStart = sav.position;
  const int64_t left = zlibFile ? inflated : sav.Left();
  int64_t room = dict.compressed ? left / dict.caseSize : left / caseBytes;
  CaseStream stream;
  stream.sav = &sav;
  if (zlibFile) stream.zlib = &zlib;
  // A block, or less for a small file (at least what one element needs).
  const std::size_t block = static_cast<std::size_t>(std::clamp<int64_t>(left, 8, kBlockBytes));
  LargeResize(stream.buffer, std::max<std::size_t>(block, static_cast<std::size_t>(
                                                              dict.compressed ? 8 : std::min(caseBytes, left))));
  std::vector<unsigned char> caseBuffer;
  Decompressor decompressor;
  decompressor.in = &stream;
  decompressor.sav = &sav;
  decompressor.bias = dict.bias;
  if (dict.compressed && room > 0) LargeResize(caseBuffer, static_cast<std::size_t>(caseBytes));
  if (dict.cases < 0 && dict.compressed && room > 0) {
    // Unknown count: count the cases, then read them again.
    int64_t counted = 0;
    while (counted < room && decompressor.Case(caseBuffer.data(), dict.caseSize) > 0) ++counted;
    room = counted;
    zlib.Reset();
    if (fseeko(sav.file, static_cast<off_t>(dataStart), SEEK_SET) != 0) return 0;
    sav.position = dataStart;
    stream.begin = stream.end = 0;
    stream.ended = false;
    decompressor = Decompressor{&stream, &sav, dict.bias};
  }
  const int64_t announced = dict.cases;
  int64_t rows = announced > 0 ? std::min(announced, room) : room;
  rows = std::min<int64_t>(rows, std::numeric_limits<int32_t>::max());
  if (rows <= 0) return 0;

  // The sizes of zlib blocks promise up to a thousand times the file's
  // bytes: room for their rows is made as they arrive.
  int64_t capacity = zlibFile ? std::min<int64_t>(rows, 65536) : rows;
  Dataset* dataset = CreateDataset();
  dataset->rowCount = static_cast<int32_t>(capacity);
  if (!CreateRows(dataset)) return 0;
  const double missing = dataset->missingValue;

  const auto longNames = NamePairs(dict.longNames);
  const std::vector<LongLabels> longLabels = ParseLongLabels(sav, dict.longLabels);
  std::vector<Slot> slots;
  {
    bool adding = true;
    for (std::size_t i = 0; i < used; ++i) {
      const SavVariable& v = dict.variables[i];
      if (v.width < 0 || absorbed[i]) continue;
      const int64_t offset = offsets[i];
      const std::string shortName = ShortName(v);
      Column* c = nullptr;
      if (adding) {
        // The long name when the file gives one, else the 8-byte name.
        std::string name(v.name, 8);
        const std::string* longName = nullptr;
        for (const auto& [key, value] : longNames)
          if (SameName(key, shortName) && !value.empty()) longName = &value;
        if (longName) name = *longName;
        LegalName(name);
        if (!longName && name.size() > 8) name.resize(8);
        c = AddColumnWithValues(dataset, v.width == 0 ? ColumnKind::Variate : ColumnKind::Text, name,
                                dataset->rowCount);
        if (!c) adding = false;
      }
      if (c) {
        if (v.hasLabel) CopyLimited(c->description, v.label, kLabelLength);
        const int type = static_cast<int>((v.writeFormat >> 16) & 0xFF);
        int w = static_cast<int>((v.writeFormat >> 8) & 0xFF);
        if (w >= 90) w = 90;
        const int nameWidth = static_cast<int>(c->name.size()) + 2;
        c->width = nameWidth < w ? w : nameWidth;
        Slot s;
        s.column = c;
        s.variable = &v;
        s.offset = offset;
        s.width = v.width;
        if (v.width == 0) {
          c->decimals = std::min<int32_t>(static_cast<int32_t>(v.writeFormat & 0xFF), 16);
          if (int rep = DateRepresentation(type)) {
            c->valueFormat = 5;
            c->dateBase = 1;
            c->dateRepresentation = rep;
            s.date = rep == 31 ? DateKind::Duration : DateKind::Date;
          }
        } else {
          c->valueFormat = 4;
          c->decimals = -1;
        }
        if (joinedWidth[i] > 0) {
          s.joinedWidth = joinedWidth[i];
          for (std::size_t j = i; j < records && static_cast<int32_t>(s.segments.size()) * 252 < s.joinedWidth; ++j)
            if (j == i || absorbed[j]) s.segments.emplace_back(offsets[j], dict.variables[j].width);
        }
        if (v.width > 0) {
          const std::string longName = [&] {
            for (const auto& [key, value] : longNames)
              if (SameName(key, shortName)) return value;
            return shortName;
          }();
          for (const LongLabels& set : longLabels)
            if (SameName(set.name, longName) || SameName(set.name, shortName)) s.longLabels = &set;
          ParseLongMissing(sav, dict.longMissing, [&](std::string_view name, std::string_view value) {
            if (SameName(name, longName) || SameName(name, shortName)) s.missingTexts.emplace_back(value);
          });
        }
        slots.push_back(std::move(s));
      }
    }
  }

  const bool compress = dataset->options.compressBlanks != 0;
  const bool ignoreUser = dataset->options.ignoreUserMissing != 0;
  std::vector<unsigned char> joined;
  // Compressed cases have no fixed place in the file: progress is counted
  // in cases, spread over the input size.
  const double progressPerCase = rows > 0 ? static_cast<double>(progressLine.total) / static_cast<double>(rows) : 0;
  int64_t row = 0;
  for (; row < rows; ++row) {
    ReportProgress(static_cast<int64_t>(progressPerCase * static_cast<double>(row)), row);
    if (row == capacity) {
      capacity = std::min(rows, capacity * 2);
      for (Column* c = dataset->firstColumn->next; c; c = c->next) {
        if (IsTextKind(c->kind))
          c->texts.Resize(capacity);
        else
          c->numbers.Resize(capacity, missing);
        c->valueCount = static_cast<int32_t>(capacity);
      }
    }
    const unsigned char* bytes;
    int64_t produced = dict.caseSize;
    if (dict.compressed) {
      produced = decompressor.Case(caseBuffer.data(), dict.caseSize);
      if (produced == 0) break;
      // The data ended inside this case: its other strings are blank and
      // its other numbers missing.
      if (produced < dict.caseSize)
        std::memset(caseBuffer.data() + produced * 8, ' ', static_cast<std::size_t>(caseBytes - produced * 8));
      bytes = caseBuffer.data();
    } else {
      if (!stream.Need(static_cast<std::size_t>(caseBytes))) break;
      bytes = stream.Take(static_cast<std::size_t>(caseBytes));
    }
    const int64_t producedBytes = produced * 8;
    for (Slot& s : slots) {
      const unsigned char* p = bytes + s.offset;
      if (s.width > 0) {
        int32_t width = s.width;
        if (!s.segments.empty()) {
          joined.clear();
          for (const auto& [at, bytesOf] : s.segments) joined.insert(joined.end(), bytes + at, bytes + at + bytesOf);
          joined.resize(std::min<std::size_t>(joined.size(), static_cast<std::size_t>(s.joinedWidth)));
          p = joined.data();
          width = static_cast<int32_t>(joined.size());
        }
        if (!s.missingTexts.empty() && !ignoreUser) {
          std::size_t n = static_cast<std::size_t>(width);
          while (n > 0 && (p[n - 1] == ' ' || p[n - 1] == '\0')) --n;
          const std::string_view value(reinterpret_cast<const char*>(p), n);
          if (std::find(s.missingTexts.begin(), s.missingTexts.end(), value) != s.missingTexts.end()) width = 0;
        }
        StoreText(s.column, row, p, width, compress);
        if (s.longLabels) {
          // Long labels match the whole value, before any cut.
          std::size_t n = static_cast<std::size_t>(width);
          while (n > 0 && (p[n - 1] == ' ' || p[n - 1] == '\0')) --n;
          const std::string_view value(reinterpret_cast<const char*>(p), n);
          const auto it = s.longLabels->first.find(value);
          s.rowLabels.push_back(it == s.longLabels->first.end() ? -1 : it->second);
        }
      } else {
        const double x = s.offset < producedBytes ? sav.Number(p) : missing;
        s.column->numbers.At(row) = NumberValue(x, s, missing, ignoreUser);
      }
    }
  }
  if (std::ferror(sav.file)) return 0;
  // A damaged block shows only at its end (deflate's checksum), after cases
  // made from its bytes: none of them can be trusted.
  if (zlib.damaged) {
    std::printf("Error: %s has a damaged compressed block.\n", path);
    return 0;
  }
  if (row == 0) return 0;
  if (announced > 0 && row < announced)
    std::printf("Warning: %s holds %li cases, its header announces %li.\n", path, static_cast<long>(row),
                static_cast<long>(announced));

  if (row != dataset->rowCount || row != capacity) {
    const int32_t kept = static_cast<int32_t>(row);
    dataset->rowCount = kept;
    CreateRows(dataset);
    for (Column* c = dataset->firstColumn->next; c; c = c->next) {
      if (IsTextKind(c->kind))
        c->texts.Resize(kept);
      else
        c->numbers.Resize(kept, missing);
      c->valueCount = kept;
    }
  }

  // A number printed with the write format's decimals as significant digits
  // would lose digits: fixed decimals when every value has no more digits
  // after the point, otherwise in full.
  for (const Slot& s : slots) {
    Column* c = s.column;
    if (c->kind == ColumnKind::Variate && s.date == DateKind::None && c->decimals > 0) {
      if (ValuesFitDecimals(c, c->decimals, missing))
        c->valueFormat = 3;
      else
        c->decimals = -1;
    }
  }

  for (std::size_t k = 0; k < slots.size(); ++k) {
    const Slot& s = slots[k];
    const SavVariable& v = *s.variable;
    if (s.longLabels) {
      if (!ApplyLongLabels(s.column, *s.longLabels, s.rowLabels, dataset->options))
        std::printf("Warning: %s has too many distinct values to become a factor.\n", s.column->name.c_str());
      continue;
    }
    if (v.labelSet < 0) continue;
    const LabelSet& set = dict.sets[static_cast<std::size_t>(v.labelSet)];
    const bool made = s.width == 0 ? ApplyNumericLabels(sav, s.column, set, s.date)
                                   : ApplyTextLabels(s.column, set, dataset->options);
    if (!made)
      std::printf("Warning: %s has too many distinct values to become a factor.\n", s.column->name.c_str());
  }
  return 1;
}

}  // namespace trovadex
