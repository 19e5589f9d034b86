#include "core/corvist_text.h"

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
  out.reserve(pending.size() + pending.size() / 32 + 16);
  for (char c : pending) {
    if (c == '\n') out.push_back('\r');
    out.push_back(c);
  }
  if (!out.empty() && std::fwrite(out.data(), 1, out.size(), file) != out.size()) ok = false;
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
  if (pending.empty()) {
    // After an early write-out the line simply goes on; otherwise the new
    // pending text starts a fresh line.
    if (!state.lineFlushedEarly) col = 0;
  }
  bool continuation = false;
  if (col + n >= kCorvistLineWidth || statementMode) {
    if (!pending.empty() && pending.back() == '\n') col = 0;
    std::size_t firstEnd = text.find('\n');
    long s = firstEnd == std::string_view::npos ? n + 1 : static_cast<long>(firstEnd) + 1;
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
  std::size_t lastEnd = text.rfind('\n');
  if (lastEnd == std::string_view::npos) {
    col += n;
  } else {
    col = static_cast<long>(text.size() - lastEnd - 1);
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

std::string QuoteCorvistText(std::string_view source, std::size_t limit) {
  std::string out;
  out.reserve(source.size() < limit ? source.size() + 8 : limit + 1);
  for (char c : source) {
    if (out.size() >= limit) break;
    unsigned char u = static_cast<unsigned char>(c);
    if (u < 32 || u >= 128) {
      out.push_back(' ');
      continue;
    }
    out.push_back(c);
    if (c == '"' || c == '\'' || c == '\\' || c == '`') out.push_back(c);
  }
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

std::string FormatCorvistNumber(double value, double missing, bool convertDate) {
  if (convertDate) SpreadsheetToDayCount(value, missing);
  if (!(value > missing)) return "*";
  if (value > kNumberCap) return "9.99999E+307";
  if (std::fabs(value) > 1e9) return FormatExactE(value, 12);
  return FormatExactG(value, 12);
}

}  // namespace trovadex
