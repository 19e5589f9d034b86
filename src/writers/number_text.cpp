#include "writers/number_text.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>

#include "core/format.h"

namespace trovadex {

namespace {

// The "%g" form with 6 to 17 significant digits that reads back exactly
// (the free number format), built from a single shortest conversion. Gives
// the same text as FormatNumber; returns -1 for the rare values it leaves
// to FormatNumber (non-finite and subnormal values, and powers of two whose
// shortest form has more than 6 digits, where the rounding interval is
// lopsided). For the others, rounding the value to max(6, n) digits, n the
// digit count of its shortest form, gives that shortest form itself.
int FastShortestG(char* out, double value) {
  // Whole numbers below a million print as themselves.
  if (std::fabs(value) < 1e6 && value == std::trunc(value)) {
    if (value == 0) {
      if (std::signbit(value)) *out++ = '-';
      out[0] = '0';
      out[1] = '\0';
      return std::signbit(value) ? 2 : 1;
    }
    char* e = std::to_chars(out, out + 16, static_cast<int32_t>(value)).ptr;
    *e = '\0';
    return static_cast<int>(e - out);
  }
  // Subnormal numbers carry too few bits for the argument below.
  if (!std::isfinite(value) || (value != 0 && std::fabs(value) < 2.2250738585072014e-308)) return -1;
  char sci[48];
  std::to_chars_result r = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific);
  if (r.ec != std::errc()) return -1;
  const char* p = sci;
  const char* end = r.ptr;
  char* o = out;
  if (*p == '-') *o++ = *p++;
  char digits[24];
  int n = 0;
  digits[n++] = *p++;
  if (p < end && *p == '.') {
    for (++p; p < end && *p != 'e' && n < 24; ++p) digits[n++] = *p;
  }
  if (p >= end || *p != 'e') return -1;
  ++p;
  bool negativeExponent = p < end && *p == '-';
  if (p < end && (*p == '-' || *p == '+')) ++p;
  int exponent = 0;
  for (; p < end; ++p) exponent = exponent * 10 + (*p - '0');
  if (negativeExponent) exponent = -exponent;
  if (n > 6 && (std::bit_cast<uint64_t>(value) & ((uint64_t{1} << 52) - 1)) == 0) return -1;
  const int precision = std::max(6, n);
  if (exponent < -4 || exponent >= precision) {
    *o++ = digits[0];
    if (n > 1) {
      *o++ = '.';
      for (int i = 1; i < n; ++i) *o++ = digits[i];
    }
    *o++ = 'e';
    *o++ = negativeExponent ? '-' : '+';
    if (exponent < 0) exponent = -exponent;
    if (exponent < 10) *o++ = '0';
    o = std::to_chars(o, o + 8, exponent).ptr;
  } else if (exponent >= 0) {
    for (int i = 0; i <= exponent; ++i) *o++ = i < n ? digits[i] : '0';
    if (n > exponent + 1) {
      *o++ = '.';
      for (int i = exponent + 1; i < n; ++i) *o++ = digits[i];
    }
  } else {
    *o++ = '0';
    *o++ = '.';
    for (int i = 0; i < -exponent - 1; ++i) *o++ = '0';
    for (int i = 0; i < n; ++i) *o++ = digits[i];
  }
  *o = '\0';
  return static_cast<int>(o - out);
}

}  // namespace

int FastFormatNumber(char* out, double value, int valueFormat, int decimals, double missing) {
  if ((valueFormat == 1 && decimals <= 0) || valueFormat == 4) {
    if (!(value > missing)) {
      out[0] = '*';
      out[1] = '\0';
      return 1;
    }
    int n = FastShortestG(out, value);
    if (n >= 0) return n;
  }
  return FormatNumber(out, value, valueFormat, decimals, missing);
}

}  // namespace trovadex
