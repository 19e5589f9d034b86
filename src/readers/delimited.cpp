// Delimited text: tab-separated, or separated by commas, semicolons or bars
// with quoted fields. The file is read in blocks and walked twice: a scan
// pass (separator style, names row, shape, column kinds) and,
// after the columns are made, a fill pass that stores the values.

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <sys/stat.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/byteorder.h"
#include "core/convert.h"
#include "core/dataset.h"
#include "core/names.h"
#include "core/progress.h"
#include "readers/readers.h"

namespace trovadex {

namespace {

// Character classes of the comma style: separators and quote characters.
enum : unsigned char { kPlain = 0, kSeparator = 1, kQuote = 2 };

struct CharTable {
  unsigned char cls[256] = {};
  constexpr CharTable() {
    cls[static_cast<unsigned char>(',')] = kSeparator;
    cls[static_cast<unsigned char>(';')] = kSeparator;
    cls[static_cast<unsigned char>('|')] = kSeparator;
    cls[static_cast<unsigned char>('"')] = kQuote;
    cls[static_cast<unsigned char>('\'')] = kQuote;
  }
};
constexpr CharTable kCommaClasses;

inline unsigned char CommaClass(char c) { return kCommaClasses.cls[static_cast<unsigned char>(c)]; }

struct TextSettings {
  bool commaStyle = false;
  bool compressBlanks = true;
  NamesRowMode namesMode = NamesRowMode::Automatic;
};

// Kind codes of the scan pass.
constexpr int kUndecided = 99;
constexpr int kNumberKind = 4;
constexpr int kTextKind = 3;

// ---------------------------------------------------------------- the lines

// UTF-16 text (the bytes after its byte-order mark) as UTF-8 in `out`,
// which has room for 3 bytes per input pair and 3 more (a character of one
// unit takes at most 3 bytes, a surrogate pair 4). An unpaired surrogate
// and a lone last byte become U+FFFD. Returns the bytes written.
std::size_t Utf16ToUtf8(const unsigned char* in, std::size_t n, bool bigEndian, char* out) {
  auto unit = [&](std::size_t at) -> uint32_t { return bigEndian ? LoadU16BE(in + at) : LoadU16LE(in + at); };
  char* o = out;
  auto put = [&o](uint32_t c) {
    if (c < 0x80) {
      *o++ = static_cast<char>(c);
    } else if (c < 0x800) {
      *o++ = static_cast<char>(0xC0 | (c >> 6));
      *o++ = static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      *o++ = static_cast<char>(0xE0 | (c >> 12));
      *o++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      *o++ = static_cast<char>(0x80 | (c & 0x3F));
    } else {
      *o++ = static_cast<char>(0xF0 | (c >> 18));
      *o++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      *o++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      *o++ = static_cast<char>(0x80 | (c & 0x3F));
    }
  };
  std::size_t i = 0;
  for (; i + 2 <= n; i += 2) {
    uint32_t c = unit(i);
    if (c >= 0xD800 && c <= 0xDBFF && i + 4 <= n && unit(i + 2) >= 0xDC00 && unit(i + 2) <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (unit(i + 2) - 0xDC00);
      i += 2;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    put(c);
  }
  if (i < n) put(0xFFFD);
  return static_cast<std::size_t>(o - out);
}

// The lines of the file with line ends normalised: CR LF loses its CR and a
// lone CR turns into a line feed. A final line feed ends the last line; one
// empty line at the very end (two final line feeds) is not a line.
//
// A UTF-8 byte-order mark is skipped; UTF-16 text (with its mark, either
// byte order, as editors save "Unicode text") is turned into UTF-8 first.
// NUL bytes are dropped: they neither end a field nor a line. The lines
// that lost one are counted, except NUL padding after the last line end.
//
// A regular file is read in blocks, so that only a block and the longest
// line are held, and can be read again from the start for a second pass;
// any other file (a pipe) and UTF-16 text are read whole once and walked
// in memory.
struct LineSource {
#if defined(TROVADEX_SMALL_BUFFERS)
  // Builds for small inputs (the fuzz targets): a block sized like them.
  static constexpr std::size_t kBlock = std::size_t{1} << 12;
#else
  static constexpr std::size_t kBlock = std::size_t{1} << 20;
#endif
  // Readable bytes kept after the text (for 16-byte loads at a line's end).
  static constexpr std::size_t kPadding = 64;

  std::FILE* file = nullptr;
  bool whole = false;        // the whole text is in `text`
  ByteBuffer text;           // normalised bytes; [at, filled) not handed out yet
  std::size_t at = 0;
  std::size_t filled = 0;
  bool eof = false;          // nothing more to read from the file
  bool failed = false;       // a read error
  bool afterCR = false;      // the last raw byte was a CR (a LF after it is dropped)
  int64_t before = 0;        // normalised bytes dropped from the front of `text`
  long textStart = 0;        // bytes of a byte-order mark before the text

  // NUL bytes of the pass under way: lines that lost one; lines that held
  // nothing but NULs, counted once a later byte shows they are rows; and
  // the state of the current line.
  long nulLines = 0;
  long nulOnlyLines = 0;
  bool lineHasNul = false;
  bool lineHasText = false;

  ~LineSource() {
    if (file) std::fclose(file);
  }

  bool Open(const char* path) {
    file = std::fopen(path, "rb");
    if (!file) return false;
    struct stat info {};
    whole = fstat(fileno(file), &info) != 0 || !S_ISREG(info.st_mode);
    unsigned char head[3];
    const std::size_t got = std::fread(head, 1, sizeof head, file);
    if (std::ferror(file)) return false;
    const bool utf8Mark = got == 3 && head[0] == 0xEF && head[1] == 0xBB && head[2] == 0xBF;
    const bool utf16 = got >= 2 && ((head[0] == 0xFF && head[1] == 0xFE) || (head[0] == 0xFE && head[1] == 0xFF));
    if (!whole && !utf16) {
      textStart = utf8Mark ? 3 : 0;
      if (std::fseek(file, textStart, SEEK_SET) != 0) return false;
      // Room for a block after the part line the previous block left, so that
      // the buffer is not moved when the first such line turns up.
      // (The buffer's bytes are left unset, so the larger size costs nothing
      // until it is used; shrinking keeps the room.)
      LargeResize(text, 2 * kBlock + kPadding);
      text.resize(kBlock + kPadding);
      return true;
    }
    whole = true;
    ByteBuffer raw;
    LargeResize(raw, kBlock);
    std::memcpy(raw.data(), head, got);
    std::size_t size = got;
    for (;;) {
      if (raw.size() - size < kBlock) LargeResize(raw, 2 * raw.size());
      const std::size_t n = std::fread(raw.data() + size, 1, raw.size() - size, file);
      size += n;
      if (n == 0) break;
    }
    failed = std::ferror(file) != 0;
    std::fclose(file);
    file = nullptr;
    if (utf16) {
      LargeResize(text, (size - 2) / 2 * 3 + 3 + kPadding);
      filled = Utf16ToUtf8(reinterpret_cast<const unsigned char*>(raw.data()) + 2, size - 2, head[0] == 0xFE,
                           text.data());
    } else {
      const std::size_t skip = utf8Mark ? 3 : 0;
      text.swap(raw);
      if (skip) std::memmove(text.data(), text.data() + skip, size - skip);
      filled = size - skip;
      if (text.size() < filled + kPadding) LargeResize(text, filled + kPadding);
    }
    filled = Normalise(text.data(), filled);
    EndOfText();
    std::memset(text.data() + filled, 0, kPadding);
    eof = true;
    return !failed;
  }

  // Back to the first line.
  bool Rewind() {
    at = 0;
    if (whole) return true;
    filled = 0;
    before = 0;
    eof = false;
    afterCR = false;
    nulLines = nulOnlyLines = 0;
    lineHasNul = lineHasText = false;
    return std::fseek(file, textStart, SEEK_SET) == 0;
  }

  // The last line of the text, when it lost a NUL and holds more (NUL
  // padding after the last line end is no line).
  void EndOfText() {
    if (lineHasNul && lineHasText) ++nulLines;
    lineHasNul = false;
    nulOnlyLines = 0;
  }

  // Normalises `n` raw bytes at `p` in place; returns the new length.
  std::size_t Normalise(char* p, std::size_t n) {
    std::size_t i = 0;
    if (afterCR && n > 0) {
      afterCR = false;
      if (p[0] == '\n') i = 1;
    }
    if (std::memchr(p + i, '\0', n - i)) return NormaliseWithNul(p, n, i);
    const std::size_t length = NormaliseLineEnds(p, n, i);
    if (length > 0) NoteBlock(p, length);
    return length;
  }

  // The state of the NUL count after a block without NULs.
  void NoteBlock(const char* p, std::size_t n) {
    nulLines += nulOnlyLines;
    nulOnlyLines = 0;
    if (lineHasNul) {
      if (const char* nl = static_cast<const char*>(std::memchr(p, '\n', n))) {
        if (lineHasText || nl > p || nl + 1 < p + n)
          ++nulLines;
        else
          ++nulOnlyLines;
        lineHasNul = false;
      }
    }
    lineHasText = p[n - 1] != '\n';
  }

  // Normalise for a block that holds NUL bytes, byte by byte.
  std::size_t NormaliseWithNul(char* p, std::size_t n, std::size_t i) {
    char* out = p;
    for (; i < n; ++i) {
      char c = p[i];
      if (c == '\0') {
        lineHasNul = true;
        continue;
      }
      if (c == '\r') {
        c = '\n';
        if (i + 1 == n)
          afterCR = true;
        else if (p[i + 1] == '\n')
          ++i;
      }
      // A byte follows the lines of NULs only: they were rows.
      nulLines += nulOnlyLines;
      nulOnlyLines = 0;
      if (c == '\n') {
        if (lineHasNul) {
          if (lineHasText)
            ++nulLines;
          else
            ++nulOnlyLines;
        }
        lineHasNul = lineHasText = false;
      } else {
        lineHasText = true;
      }
      *out++ = c;
    }
    return static_cast<std::size_t>(out - p);
  }

  // The line-end part of Normalise, from byte i on.
  std::size_t NormaliseLineEnds(char* p, std::size_t n, std::size_t i) {
    char* cr = static_cast<char*>(std::memchr(p + i, '\r', n - i));
    if (!cr) {
      if (i) std::memmove(p, p + i, n - i);
      return n - i;
    }
    char* out = p;
    if (i) {
      std::memmove(p, p + i, static_cast<std::size_t>(cr - (p + i)));
      out = p + (cr - (p + i));
    } else {
      out = cr;
    }
    const char* in = cr;
    const char* end = p + n;
    while (in < end) {
      char c = *in++;
      if (c == '\r') {
        *out++ = '\n';
        if (in == end) {
          afterCR = true;
        } else if (*in == '\n') {
          ++in;
        }
      } else {
        *out++ = c;
      }
    }
    return static_cast<std::size_t>(out - p);
  }

  // Reads one more block after the text not yet handed out.
  void Fill() {
    if (!whole && at > 0) {
      std::memmove(text.data(), text.data() + at, filled - at);
      before += static_cast<int64_t>(at);
      filled -= at;
      at = 0;
    }
    if (text.size() - filled < kBlock + kPadding) LargeResize(text, filled + kBlock + kPadding);
    std::size_t got = std::fread(text.data() + filled, 1, kBlock, file);
    if (got < kBlock) {
      eof = true;
      if (std::ferror(file)) failed = true;
    }
    filled += Normalise(text.data() + filled, got);
    if (eof) EndOfText();
    // The bytes after the text are loaded (and their bits dropped) by the
    // 16-byte scans: give them a value.
    std::memset(text.data() + filled, 0, kPadding);
  }

  bool Next(std::string_view& line) {
    for (;;) {
      const char* start = text.data() + at;
      const char* nl = static_cast<const char*>(std::memchr(start, '\n', filled - at));
      if (nl) {
        std::size_t end = static_cast<std::size_t>(nl - text.data()) + 1;
        // The empty line between two final line feeds is not a line.
        if (nl == start && end == filled && before + static_cast<int64_t>(at) > 0) {
          if (!eof) {
            Fill();  // is this the end of the file?
            continue;
          }
          at = filled;
          return false;
        }
        line = std::string_view(start, static_cast<std::size_t>(nl - start));
        at = end;
        return true;
      }
      if (eof) {
        if (at >= filled) return false;
        line = std::string_view(start, filled - at);
        at = filled;
        return true;
      }
      Fill();
    }
  }
};

// True when the file holds a comma anywhere; `empty` tells whether it holds
// no bytes at all. False also when it cannot be read.
bool HoldsComma(LineSource& source, bool& empty) {
  empty = true;
  for (;;) {
    if (source.filled > source.at) empty = false;
    if (std::memchr(source.text.data() + source.at, ',', source.filled - source.at)) return true;
    source.at = source.filled;
    if (source.eof) return false;
    source.Fill();
  }
}

// ---------------------------------------------------------------- fields

// In comma style, the end of a quoted part that opens at `open`: the
// matching quote after it (a doubled quote is text), or null when the line
// holds none.
const char* ClosingQuote(const char* open, const char* end) {
  char q = *open;
  const char* p = open + 1;
  while (p < end) {
    p = static_cast<const char*>(std::memchr(p, q, static_cast<std::size_t>(end - p)));
    if (!p) return nullptr;
    if (p + 1 < end && p[1] == q) {
      p += 2;
      continue;
    }
    return p;
  }
  return nullptr;
}

// The first separator or quote character of the comma style at or after p.
inline const char* FindCommaSpecial(const char* p, const char* end) {
#if defined(__SSE2__)
  const __m128i comma = _mm_set1_epi8(',');
  const __m128i semicolon = _mm_set1_epi8(';');
  const __m128i bar = _mm_set1_epi8('|');
  const __m128i dquote = _mm_set1_epi8('"');
  const __m128i apostrophe = _mm_set1_epi8('\'');
  // Lines come from a LineSource, which keeps kPadding readable bytes after
  // its text, so the last piece of a line is loaded whole too and the hits
  // past the line end are masked off.
  while (p < end) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, comma), _mm_cmpeq_epi8(v, semicolon)),
                               _mm_or_si128(_mm_cmpeq_epi8(v, bar),
                                            _mm_or_si128(_mm_cmpeq_epi8(v, dquote), _mm_cmpeq_epi8(v, apostrophe))));
    unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hit));
    if (end - p < 16) mask &= (1u << (end - p)) - 1;
    if (mask) return p + __builtin_ctz(mask);
    p += 16;
  }
  return end;
#endif
  while (p < end && CommaClass(*p) == kPlain) ++p;
  return p;
}

// The end of the field that starts at `p` (a separator position or the line end).
const char* FieldEnd(const char* p, const char* end, bool commaStyle) {
  if (!commaStyle) {
    const char* tab = static_cast<const char*>(std::memchr(p, '\t', static_cast<std::size_t>(end - p)));
    return tab ? tab : end;
  }
  while (p < end) {
    p = FindCommaSpecial(p, end);
    if (p >= end) return end;
    unsigned char cls = CommaClass(*p);
    if (cls == kSeparator) return p;
    // A quote: when it closes on this line, the field runs to the first
    // separator after the closing quote. A quote that never closes (O'Brien)
    // is an ordinary character.
    const char* close = ClosingQuote(p, end);
    if (!close) {
      ++p;
      continue;
    }
    for (p = close + 1; p < end; ++p)
      if (CommaClass(*p) == kSeparator) return p;
    return end;
  }
  return end;
}

inline bool IsFieldBlank(char c, bool commaStyle) { return c == ' ' || (commaStyle && c == '\t'); }

// Steps through the fields of one line.
//
// A line of up to kMapBytes bytes without quote characters (most lines) is
// mapped once: one bit per separator position, so that each field end is a
// count of trailing zeros. Other lines take FieldEnd.
struct FieldWalker {
  static constexpr int kMapWords = 8;
  static constexpr std::size_t kMapBytes = kMapWords * 64;

  const char* at;
  const char* end;
  const char* base;
  bool commaStyle;
  bool more;
  bool mapped = false;
  uint64_t separators[kMapWords];

  FieldWalker(std::string_view line, bool comma)
      : at(line.data()), end(line.data() + line.size()), base(line.data()), commaStyle(comma) {
    while (at < end && *at == ' ') ++at;  // leading spaces of the line
    more = at < end;
#if defined(__SSE2__)
    if (more && line.size() <= kMapBytes) mapped = Map(line);
#endif
  }

#if defined(__SSE2__)
  // Fills `separators`; false when the line holds a quote character (comma
  // style), whose fields need FieldEnd. Lines come from a LineSource, which
  // keeps readable bytes after its text, so whole 16-byte pieces are loaded
  // and the bits past the line end are cleared.
  bool Map(std::string_view line) {
    const std::size_t n = line.size();
    const int words = static_cast<int>((n + 63) / 64);
    for (int w = 0; w < words; ++w) {
      uint64_t bits = 0;
      uint64_t quotes = 0;
      for (int k = 0; k < 4; ++k) {
        const char* q = base + w * 64 + k * 16;
        if (q >= end) break;
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
        __m128i sep;
        if (commaStyle) {
          sep = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(',')), _mm_cmpeq_epi8(v, _mm_set1_epi8(';'))),
                             _mm_cmpeq_epi8(v, _mm_set1_epi8('|')));
          __m128i quote = _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('"')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\'')));
          quotes |= static_cast<uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(quote))) << (k * 16);
        } else {
          sep = _mm_cmpeq_epi8(v, _mm_set1_epi8('\t'));
        }
        bits |= static_cast<uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(sep))) << (k * 16);
      }
      const std::size_t left = n - static_cast<std::size_t>(w) * 64;
      if (left < 64) {
        const uint64_t inLine = (uint64_t{1} << left) - 1;
        bits &= inLine;
        quotes &= inLine;
      }
      if (quotes) return false;
      separators[w] = bits;
    }
    for (int w = words; w < kMapWords; ++w) separators[w] = 0;
    return true;
  }
#endif

  // The first separator at or after p in a mapped line, or the line end.
  const char* MappedEnd(const char* p) const {
    std::size_t position = static_cast<std::size_t>(p - base);
    int w = static_cast<int>(position / 64);
    if (w >= kMapWords) return end;
    uint64_t bits = separators[w] & (~uint64_t{0} << (position % 64));
    while (!bits) {
      if (++w >= kMapWords) return end;
      bits = separators[w];
    }
    return base + w * 64 + __builtin_ctzll(bits);
  }

  // The next field without its leading blanks.
  bool Next(std::string_view& field) {
    if (!more) return false;
    // (Tab and blank are both below '!': most fields skip the loop.)
    if (at < end && static_cast<unsigned char>(*at) <= ' ')
      while (at < end && IsFieldBlank(*at, commaStyle)) ++at;
    const char* stop = mapped ? MappedEnd(at) : FieldEnd(at, end, commaStyle);
    field = std::string_view(at, static_cast<std::size_t>(stop - at));
    if (stop < end) {
      at = stop + 1;
    } else {
      at = end;
      more = false;
    }
    return true;
  }
};

inline std::string_view DropTrailing(std::string_view s, bool tabsToo) {
  while (!s.empty() && (s.back() == ' ' || (tabsToo && s.back() == '\t'))) s.remove_suffix(1);
  return s;
}

// True when the text holds two blanks in a row. Eight bytes are tested at a
// time (words overlapping by one byte, so that every pair lies in one word).
inline bool HasDoubleBlank(std::string_view text) {
  constexpr uint64_t kOnes = 0x0101010101010101u;
  constexpr uint64_t kLow7 = kOnes * 0x7F;
  const std::size_t n = text.size();
  auto pairAt = [&](std::size_t at) {
    uint64_t x;
    std::memcpy(&x, text.data() + at, 8);
    x ^= kOnes * ' ';
    // The top bit of each byte that was a blank, exactly (no borrows).
    uint64_t blank = ~(((x & kLow7) + kLow7) | x | kLow7);
    return (blank & (blank << 8)) != 0;
  };
  if (n < 8) {
    for (std::size_t k = 1; k < n; ++k)
      if (text[k] == ' ' && text[k - 1] == ' ') return true;
    return false;
  }
  for (std::size_t i = 0; i + 8 <= n; i += 7)
    if (pairAt(i)) return true;
  return pairAt(n - 8);  // the pairs after the last whole step
}

// The text of a field: a quoted comma-style field loses its quotes and has
// its doubled quotes collapsed; with compressBlanks the blanks are trimmed.
// The result may point into `scratch`.
std::string_view FieldTextSlow(std::string_view field, const TextSettings& settings, std::string& scratch);

// The common field, unquoted with nothing to trim, is its own text. (The
// text is not cut here: the column store cuts it and counts the cut.)
inline std::string_view FieldText(std::string_view field, const TextSettings& settings, std::string& scratch) {
  if (!field.empty() && !(settings.commaStyle && CommaClass(field[0]) == kQuote) &&
      !(settings.compressBlanks && (field.front() == ' ' || field.back() == ' ' || HasDoubleBlank(field))))
    return field;
  return FieldTextSlow(field, settings, scratch);
}

std::string_view FieldTextSlow(std::string_view field, const TextSettings& settings, std::string& scratch) {
  if (settings.commaStyle && !field.empty() && CommaClass(field[0]) == kQuote) {
    char q = field[0];
    field.remove_prefix(1);
    field = DropTrailing(field, true);
    if (!field.empty() && field.back() == q) field.remove_suffix(1);
    if (field.find(q) != std::string_view::npos) {
      scratch.clear();
      for (std::size_t i = 0; i < field.size(); ++i) {
        char c = field[i];
        scratch.push_back(c);
        if (CommaClass(c) == kQuote && i + 1 < field.size() && field[i + 1] == c) ++i;
      }
      field = scratch;
    }
  }
  if (settings.compressBlanks && !field.empty()) {
    bool needsTrim = field.front() == ' ' || field.back() == ' ' || HasDoubleBlank(field);
    if (needsTrim) {
      std::string trimmed = TrimText(field, field.size());
      scratch.swap(trimmed);
      field = scratch;
    }
  }
  return field;
}

// ---------------------------------------------------------------- numbers

// Length of the decimal number at the start of s, read the way strtod reads
// one (leading white space, sign, digits with one point, exponent) but
// without its "inf", "nan" and hexadecimal forms; 0 when there is none.
std::size_t NumberPrefixLength(std::string_view s) {
  std::size_t i = 0, n = s.size();
  while (i < n && (s[i] == ' ' || s[i] == '\t')) ++i;
  if (i < n && (s[i] == '+' || s[i] == '-')) ++i;
  std::size_t digits = 0;
  while (i < n && static_cast<unsigned>(s[i] - '0') < 10) ++i, ++digits;
  if (i < n && s[i] == '.') {
    ++i;
    while (i < n && static_cast<unsigned>(s[i] - '0') < 10) ++i, ++digits;
  }
  if (digits == 0) return 0;
  if (i < n && (s[i] == 'e' || s[i] == 'E')) {
    std::size_t j = i + 1;
    if (j < n && (s[j] == '+' || s[j] == '-')) ++j;
    if (j < n && static_cast<unsigned>(s[j] - '0') < 10) {
      while (j < n && static_cast<unsigned>(s[j] - '0') < 10) ++j;
      i = j;
    }
  }
  return i;
}

// Scan-pass test: the field reads as a number, alone or followed by a
// single "*", or it is a lone "*" (a missing number).
bool LooksNumeric(std::string_view field) {
  std::size_t len = NumberPrefixLength(field);
  std::string_view rest = field.substr(len);
  return rest.empty() || rest == "*";
}

constexpr double kExactPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                        1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// True when all eight bytes of x are decimal digits.
inline bool EightDigits(uint64_t x) {
  return ((x & 0xF0F0F0F0F0F0F0F0u) | (((x + 0x0606060606060606u) & 0xF0F0F0F0F0F0F0F0u) >> 4)) ==
         0x3333333333333333u;
}

// The value of eight digit bytes (the first byte the most significant).
inline uint64_t EightDigitValue(uint64_t x) {
  x -= 0x3030303030303030u;
  x = (x * 10 + (x >> 8)) & 0x00FF00FF00FF00FFu;
  x = (x * 100 + (x >> 16)) & 0x0000FFFF0000FFFFu;
  return (x * 10000 + (x >> 32)) & 0xFFFFFFFFu;
}

// Reads the run of digits at p (before e) into m; returns its end. Eight
// digits at a time while eight bytes of the field are left.
inline const char* DigitRun(const char* p, const char* e, uint64_t& m) {
  while (e - p >= 8) {
    uint64_t x;
    std::memcpy(&x, p, 8);
    if (!EightDigits(x)) break;
    m = m * 100000000 + EightDigitValue(x);
    p += 8;
  }
  while (p < e && static_cast<unsigned>(*p - '0') < 10) m = m * 10 + static_cast<unsigned>(*p++ - '0');
  return p;
}

// The common short decimal read without the general conversion: at most 19
// digits making a whole number m up to 2^53, and a decimal scale s within
// 22 of zero. Then m and 10^|s| are exact doubles and one multiplication or
// division gives the correctly rounded value, the same as from_chars. False
// when the text needs the general conversion; `stop` is then where a
// well-formed number (digits, point, exponent) ends, or null when none starts.
inline bool ShortDecimal(const char* p, const char* e, double& value, const char** stop = nullptr) {
  if (stop) *stop = nullptr;
  bool negative = p < e && *p == '-';
  if (negative) ++p;
  uint64_t m = 0;
  int scale = 0;
  const char* start = p;
  p = DigitRun(p, e, m);
  std::ptrdiff_t digits = p - start;
  if (p < e && *p == '.') {
    const char* fraction = ++p;
    p = DigitRun(p, e, m);
    scale = -static_cast<int>(p - fraction);
    digits += p - fraction;
  }
  if (digits == 0) return false;
  if (p < e && (*p == 'e' || *p == 'E')) {
    const char* q = p + 1;
    bool negativeExponent = false;
    if (q < e && (*q == '+' || *q == '-')) negativeExponent = *q++ == '-';
    if (q < e && static_cast<unsigned>(*q - '0') < 10) {
      int x = 0;
      while (q < e && static_cast<unsigned>(*q - '0') < 10) {
        if (x < 100000) x = x * 10 + (*q - '0');
        ++q;
      }
      scale += negativeExponent ? -x : x;
      p = q;
    }
  }
  if (stop) *stop = p;
  if (digits > 19 || m > (uint64_t{1} << 53) || scale < -22 || scale > 22) return false;
  double v = static_cast<double>(m);
  v = scale < 0 ? v / kExactPowersOfTen[-scale] : v * kExactPowersOfTen[scale];
  value = negative ? -v : v;
  return true;
}

// The number stored for a field of a number column: empty text, text
// starting with "*" or without a number, and numbers out of range are
// missing; characters after the number are ignored.
double FieldNumber(std::string_view field, bool tryShort = true) {
  const char* p = field.data();
  const char* e = p + field.size();
  while (p < e && (*p == ' ' || *p == '\t')) ++p;
  bool plus = p < e && *p == '+';
  if (plus) ++p;
  // Only decimal digits or a point may start the number (no "inf", "nan").
  const char* first = (!plus && p < e && *p == '-') ? p + 1 : p;
  if (first >= e || !(static_cast<unsigned>(*first - '0') < 10 || *first == '.')) return kMissingValue;
  double value = 0;
  if (!tryShort || !ShortDecimal(p, e, value)) {
    auto [ptr, ec] = std::from_chars(p, e, value, std::chars_format::general);
    if (ec != std::errc() || ptr == p) return kMissingValue;
  }
  if (value > kNumberCap) value = kNumberCap;
  if (!(value > kMissingValue)) value = kMissingValue;
  return value;
}

// The number stored for a field of a number column (quoted comma-style
// fields lose their quotes first).
inline double ColumnNumber(std::string_view field, const TextSettings& settings, std::string& scratch) {
  if (settings.commaStyle && !field.empty() && CommaClass(field[0]) == kQuote)
    field = FieldText(field, settings, scratch);
  return FieldNumber(field);
}

// Scan-pass test and value together for a field of a column not yet
// decided: true when the field looks numeric (LooksNumeric of the field
// without its trailing blanks), with `value` then what FieldNumber gives.
inline bool NumericField(std::string_view field, double& value) {
  const char* e = field.data() + field.size();
  const char* stop = nullptr;
  const bool done = ShortDecimal(field.data(), e, value, &stop);
  if (stop) {
    const char* end = stop;
    while (stop < e && *stop == ' ') ++stop;
    if (stop == e) {
      // The whole field is one number: when the short reading was not
      // enough, the general conversion of the same text gives the value.
      if (!done) {
        auto [ptr, ec] = std::from_chars(field.data(), end, value, std::chars_format::general);
        if (ptr != end || (ec != std::errc() && ec != std::errc::result_out_of_range)) {
          value = FieldNumber(field, false);
          return true;
        }
        if (ec == std::errc::result_out_of_range) value = FieldNumber(field, false);
      }
      if (value > kNumberCap) value = kNumberCap;
      if (!(value > kMissingValue)) value = kMissingValue;
      return true;
    }
  }
  if (!LooksNumeric(DropTrailing(field, false))) return false;
  // ShortDecimal, when it read the number at all, was not enough: the
  // general conversion gives the value.
  value = FieldNumber(field, false);
  return true;
}

// ---------------------------------------------------------------- scan pass

struct ScanResult {
  int64_t rows = 0;
  int64_t columns = 0;  // widest line, before the column limit
  bool hasNames = false;
  std::vector<int> kinds;      // per kept position
  std::vector<char> factor;    // per kept position: marked "!"
  int64_t skippedLines = 0;  // title lines before the first line
};

// The values of one column kept while the scan pass walks the file, so that
// the common file (no number column that later meets a text) is read once.
struct ColumnStore {
  bool isText = false;
  bool anyValue = false;   // a non-empty field was stored
  bool named = false;
  int32_t longest = 0;     // longest stored text
  std::string name;
  NumberList numbers;
  TextList texts;
};

// Values stored during the scan pass. `active` drops to false (and the
// values are freed) when a column that already holds values turns out to
// be text, or the rows run past the largest count: then the values are
// read in a second pass instead.
struct ScanStore {
  bool active = true;
  std::vector<ColumnStore> columns;

  void Drop() {
    active = false;
    std::vector<ColumnStore>().swap(columns);
  }
};

// The length of text `t` as stored at row r (a long one was cut).
inline int32_t StoredLength(const TextList& texts, int64_t r, std::string_view t) {
  return static_cast<int32_t>(t.size() <= static_cast<std::size_t>(kTextLength) ? t.size() : texts.Get(r).size());
}

// The lists grow in small steps, so that little more than the values is touched.
constexpr int64_t kGrowStep = 256;

inline void GrowNumbers(NumberList& list, int64_t r) {
  if (r >= list.count) list.Resize(std::max(list.count, r) + kGrowStep, kMissingValue);
}

inline void GrowTexts(TextList& list, int64_t r) {
  if (r >= list.count) list.Resize(std::max(list.count, r) + kGrowStep);
}

// Names-row decision from the first line: a field that starts with a sign
// or a digit means data.
bool FirstLineHoldsNames(std::string_view line, bool commaStyle) {
  bool fieldStart = true;
  for (char c : line) {
    if (fieldStart && (c == '+' || c == '-' || static_cast<unsigned>(c - '0') < 10)) return false;
    if (commaStyle) {
      if (CommaClass(c) == kSeparator)
        fieldStart = true;
      else if (c != ' ' && c != '\t')
        fieldStart = false;
    } else {
      fieldStart = (c == '\t' || c == ' ');
    }
  }
  return true;
}

bool ScanText(LineSource& lines, const TextSettings& settings, int32_t columnLimit, ScanResult& result,
              ScanStore& store) {
  std::string_view line;
  bool have = lines.Next(line);
  // Tab style: title lines (starting with a double quote) at the very start are skipped.
  if (!settings.commaStyle) {
    while (have && !line.empty() && line[0] == '"') {
      ++result.skippedLines;
      have = lines.Next(line);
    }
  }
  if (!have) {
    store.Drop();
    return false;
  }

  std::size_t limit = static_cast<std::size_t>(std::max<int32_t>(columnLimit, 0));
  std::vector<int>& kinds = result.kinds;
  std::vector<char>& factor = result.factor;
  std::string scratch;
  std::string name;
  bool first = true;
  int64_t r = 0;  // data row of the line
  do {
    if (first) {
      switch (settings.namesMode) {
        case NamesRowMode::Present: result.hasNames = true; break;
        case NamesRowMode::Absent: result.hasNames = false; break;
        default: result.hasNames = FirstLineHoldsNames(line, settings.commaStyle); break;
      }
    }
    bool namesLine = first && result.hasNames;
    first = false;
    ReportProgress(lines.before + static_cast<int64_t>(lines.at), r);
    ++result.rows;
    if (store.active && !namesLine && r >= INT32_MAX) store.Drop();

    FieldWalker fields(line, settings.commaStyle);
    std::string_view field;
    int64_t count = 0;
    while (fields.Next(field)) {
      std::size_t position = static_cast<std::size_t>(count++);
      if (position >= limit) continue;  // only the count matters beyond the limit
      if (position >= kinds.size()) {
        kinds.push_back(kUndecided);
        factor.push_back(0);
        if (store.active) store.columns.emplace_back();
      }
      if (namesLine) {
        if (store.active) {
          std::string_view t = FieldText(field, settings, scratch);
          if (!t.empty()) {
            ColumnStore& column = store.columns[position];
            column.name.assign(t);
            LegalName(column.name);
            column.named = true;
          }
        }
        if (kinds[position] != kUndecided) continue;
        std::string_view marked = DropTrailing(FieldText(field, settings, scratch), false);
        if (marked.empty()) continue;
        char last = marked.back();
        if (last == '!') factor[position] = 1;
        if (last == '$') {
          kinds[position] = kTextKind;
          if (store.active) store.columns[position].isText = true;
        }
        if (last == '#') kinds[position] = kNumberKind;
        continue;
      }
      const int kind = kinds[position];
      if (kind == kUndecided) {
        std::string_view trimmed = DropTrailing(field, false);
        if (trimmed.empty()) continue;  // nothing to store either
        double value = 0;
        if (NumericField(field, value)) {
          if (store.active) {
            ColumnStore& column = store.columns[position];
            column.anyValue = true;
            GrowNumbers(column.numbers, r);
            column.numbers.Set(r, value);
          }
          continue;
        }
        {
          kinds[position] = kTextKind;
          if (store.active) {
            ColumnStore& column = store.columns[position];
            if (column.anyValue) {
              store.Drop();  // its earlier values are needed as texts
            } else {
              column.isText = true;
              column.numbers.Clear();
            }
          }
        }
      }
      if (!store.active) continue;
      ColumnStore& column = store.columns[position];
      if (column.isText) {
        std::string_view t = FieldText(field, settings, scratch);
        if (t.empty()) continue;
        GrowTexts(column.texts, r);
        column.texts.SetNew(r, t);
        const int32_t length = StoredLength(column.texts, r, t);
        if (length > column.longest) column.longest = length;
      } else {
        if (field.empty()) continue;
        column.anyValue = true;
        GrowNumbers(column.numbers, r);
        column.numbers.Set(r, ColumnNumber(field, settings, scratch));
      }
    }
    result.columns = std::max(result.columns, count);
    if (!namesLine) ++r;
  } while (lines.Next(line));
  if (result.hasNames) --result.rows;
  for (std::size_t i = 0; i < kinds.size(); ++i) {
    if (kinds[i] == kUndecided) kinds[i] = kNumberKind;
    if (factor[i]) kinds[i] = -kinds[i];
  }
  return true;
}

// ---------------------------------------------------------------- creation and fill

bool CreateTextDataset(const ScanResult& scan, ScanStore& store, std::vector<Column*>& columns) {
  Dataset* dataset = CreateDataset();
  dataset->labelStyle = 0;
  dataset->rowCount = static_cast<int32_t>(scan.rows);
  if (!CreateRows(dataset)) return false;
  for (int kind : scan.kinds) {
    std::string name = MakeDefaultName(0);
    bool number = (kind == kNumberKind || kind == -kNumberKind);
    Column* column = AddColumn(dataset, number ? ColumnKind::Variate : ColumnKind::Text, name,
                               number ? 25 : kTextLength);
    if (!column) break;
    if (store.active) {
      // The values kept by the scan pass, cut to the row count.
      ColumnStore& kept = store.columns[columns.size()];
      if (number) {
        kept.numbers.Resize(dataset->rowCount, kMissingValue);
        column->numbers = std::move(kept.numbers);
      } else {
        kept.texts.Resize(dataset->rowCount);
        column->texts = std::move(kept.texts);
        column->texts.maxLength = kTextLength;
        if (kept.longest > column->levelCount) column->levelCount = kept.longest;
      }
      if (kept.named) CopyLimited(column->name, kept.name, kNameLength);
    } else if (!AllocateValues(column, dataset->rowCount)) {
      return false;
    }
    column->decimals = number ? -1 : 0;
    column->valueFormat = number ? 1 : 4;
    column->valueCount = dataset->rowCount;
    column->width = 6;
    columns.push_back(column);
  }
  return !columns.empty();
}

void FillText(LineSource& lines, const ScanResult& scan, const TextSettings& settings,
              const std::vector<Column*>& columns) {
  const int64_t rowCount = scan.rows;
  const std::size_t columnCount = columns.size();
  std::vector<char> isText(columnCount);
  for (std::size_t i = 0; i < columnCount; ++i) isText[i] = IsTextKind(columns[i]->kind);
  std::string scratch;
  std::string name;
  std::string_view line;
  for (int64_t i = 0; i < scan.skippedLines; ++i) lines.Next(line);
  bool namesLine = scan.hasNames;
  int64_t r = 0;
  while (r < rowCount && lines.Next(line)) {
    ReportProgress(lines.before + static_cast<int64_t>(lines.at), r);
    FieldWalker fields(line, settings.commaStyle);
    std::string_view field;
    for (std::size_t c = 0; c < columnCount && fields.Next(field); ++c) {
      Column* column = columns[c];
      if (namesLine) {
        std::string_view t = FieldText(field, settings, scratch);
        if (t.empty()) continue;
        name.assign(t);
        LegalName(name);
        CopyLimited(column->name, name, kNameLength);
        continue;
      }
      if (isText[c]) {
        std::string_view t = FieldText(field, settings, scratch);
        column->texts.SetNew(r, t);
        const int32_t length = StoredLength(column->texts, r, t);
        if (length > column->levelCount) column->levelCount = length;
      } else {
        column->numbers.Set(r, ColumnNumber(field, settings, scratch));
      }
    }
    if (namesLine)
      namesLine = false;
    else
      ++r;
  }
}

void FinishFactors(Dataset* dataset, const ScanResult& scan, const std::vector<Column*>& columns) {
  for (std::size_t i = 0; i < columns.size(); ++i) {
    if (scan.kinds[i] >= 0) continue;
    Column* column = columns[i];
    if (column->kind == ColumnKind::Variate)
      VariateToFactor(column, true);
    else if (column->kind == ColumnKind::Text)
      TextToFactor(column, true, dataset->options.compressBlanks != 0);
    if (column->name.empty()) column->name = MakeDefaultName(0);
    char last = column->name.back();
    if (last == '!' || last == '#' || last == '$') column->name.pop_back();
  }
}

}  // namespace

int16_t ReadDelimitedText(const char* path) {
  LineSource lines;
  if (!path || !lines.Open(path)) return 0;
  bool empty = true;
  TextSettings settings;
  settings.commaStyle = HoldsComma(lines, empty);
  if (lines.failed || empty || !lines.Rewind()) return 0;
  if (settings.commaStyle) {
    // A tab-separated file whose first line has tabs and no comma stays tab
    // separated even when some value holds a comma.
    std::string_view first;
    if (lines.Next(first) && first.find('\t') != std::string_view::npos &&
        first.find(',') == std::string_view::npos)
      settings.commaStyle = false;
    if (!lines.Rewind()) return 0;
  }
  settings.compressBlanks = State().options.compressBlanks != 0;
  settings.namesMode = State().namesRowMode;

  ScanResult scan;
  const int32_t columnLimit = State().columnLimit;
  ScanStore store;
  // Cuts counted while the scan pass stores values are counted again when
  // a second pass has to store them.
  const std::array<long, 3> cutsBefore = State().cuts;
  if (!ScanText(lines, settings, columnLimit, scan, store) || lines.failed) return 0;
  // The scan pass read every line: its count of lines that lost NUL bytes
  // is the file's.
  const long nulLines = lines.nulLines;
  if (scan.rows < 1 || scan.columns < 1 || scan.kinds.empty()) return 0;
  if (scan.rows > INT32_MAX) {
    std::printf("Error: Too many records in %.100s!\n", path);
    return 0;
  }
  if (scan.columns > columnLimit) std::printf("Warning Columns above %li NOT transfered!\n", static_cast<long>(columnLimit));

  Dataset* previous = CurrentDataset();
  SetCurrentDataset(nullptr);
  std::vector<Column*> columns;
  if (!CreateTextDataset(scan, store, columns)) {
    SetCurrentDataset(previous);
    return 0;
  }
  Dataset* dataset = CurrentDataset();
  if (!store.active) {
    // Some values were not kept: read them in a second pass.
    if (!lines.Rewind()) {
      SetCurrentDataset(previous);
      return 0;
    }
    State().cuts = cutsBefore;
    FillText(lines, scan, settings, columns);
    if (lines.failed) {
      SetCurrentDataset(previous);
      return 0;
    }
  }
  store.Drop();
  // The block is no longer needed: give its memory back before the conversions.
  ByteBuffer().swap(lines.text);
  FinishFactors(dataset, scan, columns);
  MakeNamesUnique(dataset);
  if (nulLines > 0) std::printf("Warning: NUL bytes were dropped from %li lines.\n", nulLines);
  return 1;
}

}  // namespace trovadex
