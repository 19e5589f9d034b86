#include "core/corvist_text.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <system_error>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/dataset.h"
#include "core/format.h"

namespace trovadex {

namespace {

// Writes the pending text with its line ends as CR LF, through a fixed
// buffer on the stack (no allocation per write-out). Sixteen bytes are
// copied at a time and searched for a line feed with one comparison.
bool WritePending(std::FILE* file) {
  LineBuffer& pending = State().lineBuffer;
  bool ok = true;
  constexpr std::size_t kChunk = std::size_t{1} << 16;
  // Room for a whole piece of sixteen bytes plus a CR past the flush mark.
  char out[kChunk + 32];
  std::size_t used = 0;
  const char* p = pending.data();
  const char* const end = p + pending.size();
  auto flush = [&] {
    if (used > 0 && std::fwrite(out, 1, used, file) != used) ok = false;
    used = 0;
  };
  while (p < end) {
    if (used >= kChunk) flush();
    const std::size_t left = static_cast<std::size_t>(end - p);
#if defined(__SSE2__)
    if (left >= 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + used), v);
      const unsigned feeds = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8('\n'))));
      if (feeds == 0) {
        p += 16;
        used += 16;
        continue;
      }
      // The bytes before the first line feed are in place; then CR LF.
      const unsigned k = static_cast<unsigned>(__builtin_ctz(feeds));
      used += k;
      out[used++] = '\r';
      out[used++] = '\n';
      p += k + 1;
      continue;
    }
#endif
    (void)left;
    const char c = *p++;
    if (c == '\n') out[used++] = '\r';
    out[used++] = c;
  }
  flush();
  pending.clear();
  return ok;
}

bool ReadsBack(const char* text, std::size_t length, double value) {
  double back = 0;
  auto result = std::from_chars(text, text + length, back);
  return result.ec == std::errc() && result.ptr == text + length && back == value;
}

std::string FormatExact(double value, std::chars_format style, int precision, int maxPrecision) {
  char buffer[64];
  if (!std::isfinite(value)) {
    auto r = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, r.ptr);
  }
  for (int p = precision;; ++p) {
    auto r = std::to_chars(buffer, buffer + sizeof buffer, value, style, p);
    std::size_t length = static_cast<std::size_t>(r.ptr - buffer);
    if (p >= maxPrecision || ReadsBack(buffer, length, value)) return std::string(buffer, length);
  }
}

}  // namespace

bool FlushWrapped(std::FILE* file) {
  if (file == nullptr) return true;
  State().lineFlushedEarly = false;
  return WritePending(file);
}

namespace {

// WriteWrapped for a text whose first and last line ends are at `firstEnd`
// and `lastEnd` (-1: none).
inline bool AppendWrapped(std::string_view text, bool statementMode, bool writeOut, std::FILE* file,
                          long firstEnd, long lastEnd) {
  RunState& state = State();
  LineBuffer& pending = state.lineBuffer;
  long& col = state.lineColumn;
  const long n = static_cast<long>(text.size());
  if (pending.empty()) {
    // After an early write-out the line simply goes on; otherwise the new
    // pending text starts a fresh line.
    if (!state.lineFlushedEarly) col = 0;
  }
  bool continuation = false;
  if (col + n >= kCorvistLineWidth || statementMode) {
    if (!pending.empty() && pending.back() == '\n') col = 0;
    long s = firstEnd < 0 ? n + 1 : firstEnd + 1;
    if (col + s >= kCorvistLineWidth) {
      if (statementMode) {
        pending += "\\\n";
        continuation = true;
        col = 0;
      } else if (n != 1 && text.front() != ':') {
        pending += '\n';
        col = 0;
      }
    }
  }
  pending.append(text);
  if (lastEnd < 0) {
    col += n;
  } else {
    col = n - lastEnd - 1;
  }
  if (file == nullptr) return true;
  if (writeOut) {
    state.lineFlushedEarly = false;
    return WritePending(file);
  }
  // Early write-out of a large pending text. The line breaks stay exactly
  // where the rules above put them: no line end is added, and the current
  // column carries over to the next piece.
  if (pending.size() + 100 > kCorvistBufferSize && (!statementMode || continuation)) {
    state.lineFlushedEarly = true;
    return WritePending(file);
  }
  return true;
}

}  // namespace

bool WriteWrapped(std::string_view text, bool statementMode, bool writeOut, std::FILE* file) {
  if (text.empty()) return true;
  // Where the text's line ends are (most texts, values, have none).
  long firstEnd = -1;
  long lastEnd = -1;
  if (const void* first = std::memchr(text.data(), '\n', text.size())) {
    firstEnd = static_cast<const char*>(first) - text.data();
    lastEnd = static_cast<long>(text.rfind('\n'));
  }
  return AppendWrapped(text, statementMode, writeOut, file, firstEnd, lastEnd);
}

bool WriteWrappedValue(std::string_view text, std::FILE* file) {
  if (text.empty()) return true;
  RunState& state = State();
  LineBuffer& pending = state.lineBuffer;
  long& col = state.lineColumn;
  const long n = static_cast<long>(text.size());
  // The common case: the value fits on the current line of the pending text.
  if (!pending.empty() && col + n < kCorvistLineWidth) {
    pending.append(text);
    col += n;
    if (file != nullptr && pending.size() + 100 > kCorvistBufferSize) {
      state.lineFlushedEarly = true;
      return WritePending(file);
    }
    return true;
  }
  return AppendWrapped(text, false, false, file, -1, -1);
}

char* WrappedValueRoom(std::size_t room) {
  // One more byte, for a line end put in front of the value.
  return State().lineBuffer.Room(room + 1);
}

bool CommitWrappedValue(std::size_t length, std::FILE* file) {
  if (length == 0) return true;
  RunState& state = State();
  LineBuffer& pending = state.lineBuffer;
  long& col = state.lineColumn;
  const long n = static_cast<long>(length);
  char* text = pending.bytes.get() + pending.used;
  // WriteWrapped's data-mode rules for a text without line ends.
  if (pending.empty() || col + n >= kCorvistLineWidth) {
    if (pending.empty() && !state.lineFlushedEarly) col = 0;
    if (col + n >= kCorvistLineWidth) {
      if (!pending.empty() && pending.back() == '\n') col = 0;
      if (col + n + 1 >= kCorvistLineWidth && n != 1 && text[0] != ':') {
        std::memmove(text + 1, text, length);
        text[0] = '\n';
        ++pending.used;
        col = 0;
      }
    }
  }
  pending.used += length;
  col += n;
  if (file != nullptr && pending.size() + 100 > kCorvistBufferSize) {
    state.lineFlushedEarly = true;
    return WritePending(file);
  }
  return true;
}

namespace {

// How a byte goes inside Corvist quotes: 0 as it is, 1 as a blank (control
// bytes and bytes 128..255), 2 doubled.
struct QuoteClasses {
  unsigned char cls[256] = {};
  constexpr QuoteClasses() {
    for (int i = 0; i < 256; ++i) cls[i] = (i < 32 || i >= 128) ? 1 : 0;
    cls[static_cast<unsigned char>('"')] = 2;
    cls[static_cast<unsigned char>('\'')] = 2;
    cls[static_cast<unsigned char>('\\')] = 2;
    cls[static_cast<unsigned char>('`')] = 2;
  }
};
constexpr QuoteClasses kQuoteClasses;

}  // namespace

// True when none of the eight bytes of `x` needs more than a copy: each is
// within 32..127 and none is a double quote, apostrophe, backslash or
// backquote (byte 127 is plain too).
inline bool PlainWord(uint64_t x) {
  constexpr uint64_t kOnes = 0x0101010101010101u;
  constexpr uint64_t kHigh = kOnes * 128;
  auto hasZero = [](uint64_t v) { return (v - kOnes) & ~v & kHigh; };
  if (x & kHigh) return false;                               // 128..255
  if ((x - kOnes * 32) & ~x & kHigh) return false;           // below 32
  return !hasZero(x ^ (kOnes * '"')) && !hasZero(x ^ (kOnes * '\'')) && !hasZero(x ^ (kOnes * '\\')) &&
         !hasZero(x ^ (kOnes * '`'));
}

std::size_t QuoteCorvistText(char* out, std::string_view source, std::size_t limit) {
  std::size_t used = 0;
  // Plain words are copied whole while the limit cannot be reached in them.
  std::size_t i = 0;
  while (i + 8 <= source.size() && used + 8 <= limit) {
    uint64_t x;
    std::memcpy(&x, source.data() + i, 8);
    if (!PlainWord(x)) break;
    std::memcpy(out + used, &x, 8);
    used += 8;
    i += 8;
  }
  source.remove_prefix(i);
  for (char c : source) {
    if (used >= limit) break;
    switch (kQuoteClasses.cls[static_cast<unsigned char>(c)]) {
      case 0: out[used++] = c; break;
      case 1: out[used++] = ' '; break;
      default:
        out[used++] = c;
        out[used++] = c;
        break;
    }
  }
  return used;
}


std::string QuoteCorvistText(std::string_view source, std::size_t limit) {
  std::string out;
  out.resize(2 * std::min(source.size(), limit));
  out.resize(QuoteCorvistText(out.data(), source, limit));
  return out;
}

std::string QuoteCorvistTextFit(std::string_view source, std::size_t limit, std::size_t maxLength) {
  std::string out = QuoteCorvistText(source, limit);
  if (out.size() <= maxLength) return out;
  // Cut back to maxLength without splitting a doubled character: count the
  // output characters of each source character from the start.
  std::size_t used = 0;
  for (char c : source) {
    unsigned char u = static_cast<unsigned char>(c);
    std::size_t width = (u >= 32 && u < 128 && (c == '"' || c == '\'' || c == '\\' || c == '`')) ? 2 : 1;
    if (used + width > maxLength) break;
    used += width;
  }
  out.resize(used);
  return out;
}

std::string FormatExactG(double value, int digits) {
  return FormatExact(value, std::chars_format::general, digits, 17);
}

std::string FormatExactE(double value, int decimals) {
  return FormatExact(value, std::chars_format::scientific, decimals, 16);
}

int FormatCorvistNumber(char* out, double value, double missing, bool convertDate) {
  if (convertDate) SpreadsheetToDayCount(value, missing);
  if (!(value > missing)) {
    std::memcpy(out, "*", 2);
    return 1;
  }
  if (value > kNumberCap) {
    std::memcpy(out, "9.99999E+307", 13);
    return 12;
  }
  // Every value left is finite: "%.12e" / "%.12g" with more digits when
  // needed to read back are the shortest forms with at least 12 decimals /
  // 12 significant digits.
  if (std::fabs(value) > 1e9) return FormatShortestE(out, value, 12);
  return FormatShortestG(out, value, 12);
}

std::string FormatCorvistNumber(double value, double missing, bool convertDate) {
  char buffer[kCorvistNumberSize];
  int n = FormatCorvistNumber(buffer, value, missing, convertDate);
  return std::string(buffer, static_cast<std::size_t>(n));
}

}  // namespace trovadex
