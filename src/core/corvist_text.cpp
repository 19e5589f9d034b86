#include "core/corvist_text.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <system_error>

#include "core/dataset.h"
#include "core/format.h"

namespace trovadex {

namespace {

bool WritePending(std::FILE* file) {
  std::string& pending = State().lineBuffer;
  bool ok = true;
  std::string out;
  out.resize(pending.size() + pending.size() / 16 + 16);
  char* o = out.data();
  const char* p = pending.data();
  const char* end = p + pending.size();
  while (p < end) {
    const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
    const char* stop = nl ? nl : end;
    std::size_t need = static_cast<std::size_t>(o - out.data()) + static_cast<std::size_t>(stop - p) + 2;
    if (need > out.size()) {
      std::size_t used = static_cast<std::size_t>(o - out.data());
      out.resize(need + static_cast<std::size_t>(end - stop) + (static_cast<std::size_t>(end - stop) >> 2));
      o = out.data() + used;
    }
    std::memcpy(o, p, static_cast<std::size_t>(stop - p));
    o += stop - p;
    if (!nl) break;
    *o++ = '\r';
    *o++ = '\n';
    p = nl + 1;
  }
  std::size_t size = static_cast<std::size_t>(o - out.data());
  if (size > 0 && std::fwrite(out.data(), 1, size, file) != size) ok = false;
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

bool WriteWrapped(std::string_view text, bool statementMode, bool writeOut, std::FILE* file) {
  RunState& state = State();
  std::string& pending = state.lineBuffer;
  long& col = state.lineColumn;
  const long n = static_cast<long>(text.size());
  if (n == 0) return true;
  // Where the text's line ends are (most texts, values, have none).
  long firstEnd = -1;
  long lastEnd = -1;
  for (long i = 0; i < n; ++i) {
    if (text[static_cast<std::size_t>(i)] == '\n') {
      if (firstEnd < 0) firstEnd = i;
      lastEnd = i;
    }
  }
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

std::size_t QuoteCorvistText(char* out, std::string_view source, std::size_t limit) {
  std::size_t used = 0;
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
