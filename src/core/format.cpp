// Number and date formatting, day counts, and decimal number parsing.
//
// Numbers are printed with std::to_chars, which produces exactly the text of
// the C library's printf conversions in the "C" locale ("%.*g", "%.*e",
// "%.*f"), without allocation and independent of the process locale.

#include "core/format.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>

#include "core/dataset.h"

namespace trovadex {

namespace {

// ---------------------------------------------------------------- parsing

inline bool IsDigit(char c) { return c >= '0' && c <= '9'; }
inline bool IsCSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Scans one decimal number starting at `p`. `limit` may be null for a
// NUL-terminated text (the NUL stops every scan loop by itself).
double ParseDecimalImpl(const char* text, const char* limit, const char** end, bool* rangeError) {
  if (rangeError) *rangeError = false;
  const char* p = text;
  auto more = [&](const char* q) { return limit ? q < limit : true; };

  while (more(p) && IsCSpace(*p)) ++p;
  bool negative = false;
  if (more(p) && (*p == '+' || *p == '-')) {
    negative = *p == '-';
    ++p;
  }
  const char* numberStart = p;
  // Decimal exponent of the leading significant digit, for the direction of
  // a range error (overflow or underflow).
  int64_t leadExponent = 0;
  bool seenNonZero = false;
  int64_t integerDigits = 0;
  while (more(p) && IsDigit(*p)) {
    if (*p != '0' || seenNonZero) {
      if (!seenNonZero) seenNonZero = true;
      ++integerDigits;
    }
    ++p;
  }
  int64_t fractionLeadingZeros = 0;
  bool anyDigits = p != numberStart;
  if (more(p) && *p == '.') {
    const char* q = p + 1;
    const char* fractionStart = q;
    while (more(q) && IsDigit(*q)) {
      if (!seenNonZero) {
        if (*q == '0') {
          ++fractionLeadingZeros;
        } else {
          seenNonZero = true;
        }
      }
      ++q;
    }
    if (q != fractionStart) anyDigits = true;
    if (anyDigits) p = q;  // "." alone is not a number
  }
  if (!anyDigits) {
    if (end) *end = text;
    return 0.0;
  }
  if (integerDigits > 0) {
    leadExponent = integerDigits - 1;
  } else {
    leadExponent = -(fractionLeadingZeros + 1);
  }
  int64_t exponent = 0;
  if (more(p) && (*p == 'e' || *p == 'E')) {
    const char* q = p + 1;
    bool expNegative = false;
    if (more(q) && (*q == '+' || *q == '-')) {
      expNegative = *q == '-';
      ++q;
    }
    if (more(q) && IsDigit(*q)) {
      while (more(q) && IsDigit(*q)) {
        if (exponent < 1000000000) exponent = exponent * 10 + (*q - '0');
        ++q;
      }
      if (expNegative) exponent = -exponent;
      p = q;
    }
  }
  if (end) *end = p;

  double value = 0.0;
  std::from_chars_result r = std::from_chars(numberStart, p, value, std::chars_format::general);
  if (r.ec == std::errc::result_out_of_range) {
    if (!seenNonZero) {
      value = 0.0;  // cannot happen for a zero mantissa, kept for safety
    } else if (leadExponent + exponent >= 0) {
      value = HUGE_VAL;
      if (rangeError) *rangeError = true;
    } else {
      value = 0.0;
      if (rangeError) *rangeError = true;
    }
  } else if (r.ec != std::errc() || r.ptr != p) {
    // The span was validated above; a disagreement means the number is not
    // one we accept. Treat it as nothing read.
    if (end) *end = text;
    return 0.0;
  }
  return negative ? -value : value;
}

// ---------------------------------------------------------------- printing

// The shortest round-trip form of a finite value: its significant digits
// (no trailing zeros) and decimal exponent.
struct ShortestForm {
  bool negative = false;
  char digits[24];
  int count = 0;
  int exponent = 0;
};

constexpr double kPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                   1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
constexpr int kFastDecimals = 12;

// The shortest form of a value with at most kFastDecimals decimals, found by
// scaling instead of a full shortest conversion. Take the largest d (at most
// kFastDecimals) for which |value| * 10^d stays below 2^50, and m, that
// product rounded to a whole number. When m / 10^d == |value| (a division of
// two exact doubles, so correctly rounded) the decimal m * 10^-d reads back
// as the value. Below 2^50 the rounding interval of the scaled value is
// narrower than 1/2, so no other whole number reads back at that scale; any
// shorter text that reads back, scaled to d decimals, is such a whole number,
// so it is m without its trailing zeros -- the shortest form, the one a
// shortest conversion gives. When the test fails, no text of d or fewer
// decimals reads back and the full conversion is needed.
// What the scaling finds: the value is m * 10^exponentOfLast, and m's
// digits (no trailing zeros) are the shortest form's.
struct ScaledDigits {
  uint64_t m = 0;
  int exponentOfLast = 0;
};

inline bool ScaleToWhole(double magnitude, ScaledDigits& out) {
  if (!(magnitude >= 1e-6 && magnitude < 0x1p50)) return false;
  // Round to the nearest whole number (ties to even) without a library
  // call: below 2^51 adding and taking away 2^52 leaves no fraction bits.
  int d = 0;
  double whole = (magnitude + 0x1p52) - 0x1p52;
  if (whole != magnitude) {
    // Not a whole number: scale as described above.
    d = kFastDecimals;
    double scaled = magnitude * kPowersOfTen[d];
    while (scaled >= 0x1p50) {
      --d;
      scaled = magnitude * kPowersOfTen[d];
    }
    whole = (scaled + 0x1p52) - 0x1p52;
    if (whole / kPowersOfTen[d] != magnitude) return false;
  }
  // Drop the trailing zeros (at most 15 below 2^50) before making digits.
  uint64_t m = static_cast<uint64_t>(whole);
  int zeros = 0;
  if (m % 100000000 == 0) m /= 100000000, zeros += 8;
  if (m % 10000 == 0) m /= 10000, zeros += 4;
  if (m % 100 == 0) m /= 100, zeros += 2;
  if (m % 10 == 0) m /= 10, zeros += 1;
  out.m = m;
  out.exponentOfLast = zeros - d;
  return true;
}

bool ShortestByScaling(double magnitude, ShortestForm& form) {
  ScaledDigits scaled;
  if (!ScaleToWhole(magnitude, scaled)) return false;
  char* end = std::to_chars(form.digits, form.digits + sizeof form.digits, scaled.m).ptr;
  form.count = static_cast<int>(end - form.digits);
  form.exponent = form.count - 1 + scaled.exponentOfLast;
  return true;
}

// `scale`: try the scaling step first (false when it is known to fail).
ShortestForm Shortest(double value, bool scale = true) {
  ShortestForm form;
  if (scale && value != 0 && ShortestByScaling(std::fabs(value), form)) {
    form.negative = value < 0;
    return form;
  }
  char buf[64];
  std::to_chars_result r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  const char* p = buf;
  if (*p == '-') {
    form.negative = true;
    ++p;
  }
  // "d.ddde+XX": the first digit, then the run after the point up to the "e".
  if (p < r.ptr && IsDigit(*p)) form.digits[form.count++] = *p++;
  if (p < r.ptr && *p == '.') {
    ++p;
    // The exponent has two or three digits: its "e" is 4 or 5 from the end.
    const char* e = r.ptr - p >= 4 && r.ptr[-4] == 'e'   ? r.ptr - 4
                    : r.ptr - p >= 5 && r.ptr[-5] == 'e' ? r.ptr - 5
                                                         : static_cast<const char*>(std::memchr(p, 'e', static_cast<std::size_t>(r.ptr - p)));
    const char* stop = e ? e : r.ptr;
    std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(stop - p), 19);
    std::memcpy(form.digits + 1, p, n);
    form.count += static_cast<int>(n);
    p = stop;
  }
  if (p < r.ptr && *p == 'e') {
    ++p;
    bool negativeExponent = *p == '-';
    ++p;
    int e = 0;
    for (; p < r.ptr; ++p) e = e * 10 + (*p - '0');
    form.exponent = negativeExponent ? -e : e;
  }
  if (form.count == 0) form.digits[form.count++] = '0';
  return form;
}


// Appends "e+XX" as printf writes exponents (sign, at least two digits).
char* PutExponent(char* out, int exponent) {
  *out++ = 'e';
  *out++ = exponent < 0 ? '-' : '+';
  unsigned e = static_cast<unsigned>(exponent < 0 ? -exponent : exponent);
  if (e >= 100) *out++ = static_cast<char>('0' + e / 100);
  *out++ = static_cast<char>('0' + e / 10 % 10);
  *out++ = static_cast<char>('0' + e % 10);
  return out;
}

// "%.<precision>g" of a value whose shortest form has at most `precision`
// digits, for precision <= 15. Within 15 digits the rounding of the exact
// binary value to `precision` digits gives the shortest digits padded with
// zeros, since they lie within half a unit in the last place of it.
int GFromShortest(char* out, const ShortestForm& form, int precision) {
  char* o = out;
  if (form.negative) *o++ = '-';
  const int x = form.exponent;
  const int n = form.count;
  if (x < -4 || x >= precision) {
    *o++ = form.digits[0];
    if (n > 1) {
      *o++ = '.';
      std::memcpy(o, form.digits + 1, static_cast<std::size_t>(n - 1));
      o += n - 1;
    }
    o = PutExponent(o, x);
  } else if (x >= 0) {
    // x + 1 integer digits: the leading digits, then zeros when they run out.
    if (n > x + 1) {
      std::memcpy(o, form.digits, static_cast<std::size_t>(x + 1));
      o += x + 1;
      *o++ = '.';
      std::memcpy(o, form.digits + x + 1, static_cast<std::size_t>(n - x - 1));
      o += n - x - 1;
    } else {
      std::memcpy(o, form.digits, static_cast<std::size_t>(n));
      o += n;
      for (int i = n; i <= x; ++i) *o++ = '0';
    }
  } else {
    *o++ = '0';
    *o++ = '.';
    for (int i = 0; i < -x - 1; ++i) *o++ = '0';
    std::memcpy(o, form.digits, static_cast<std::size_t>(n));
    o += n;
  }
  *o = '\0';
  return static_cast<int>(o - out);
}

// "%.<decimals>e" under the same condition (decimals + 1 <= 15).
int EFromShortest(char* out, const ShortestForm& form, int decimals) {
  char* o = out;
  if (form.negative) *o++ = '-';
  *o++ = form.digits[0];
  if (decimals > 0) {
    *o++ = '.';
    for (int i = 1; i <= decimals; ++i) *o++ = i < form.count ? form.digits[i] : '0';
  }
  o = PutExponent(o, form.exponent);
  *o = '\0';
  return static_cast<int>(o - out);
}

// Largest digit count for which the shortest digits are also printf's
// (normal numbers: half a unit in the last place is at most 2^-53 of the
// value; subnormal numbers have wider gaps and take the checked path).
constexpr int kExactShortcutDigits = 15;

bool IsSubnormal(double value) {
  return value != 0 && std::fabs(value) < std::numeric_limits<double>::min();
}

// True when printf with exactly as many digits as the shortest form has
// gives that form: the digits then are the correctly rounded ones, because
// a shortest conversion picks, among the shortest texts that read back, the
// one nearest to the value, and the nearest text of that length reads back
// whenever any does -- provided the rounding interval is symmetric, which
// fails only for the powers of two (all fraction bits zero), and the gaps
// are relative, which fails for subnormal numbers.
bool ShortestIsPrintfDigits(double value) {
  return !IsSubnormal(value) && (std::bit_cast<uint64_t>(value) & ((uint64_t{1} << 52) - 1)) != 0;
}

bool ReadsBack(const char* text, int length, double value) {
  double back = 0;
  const char* first = text;
  bool negative = false;
  if (length > 0 && *first == '-') {
    negative = true;
    ++first;
  }
  std::from_chars_result r = std::from_chars(first, text + length, back, std::chars_format::general);
  if (r.ec != std::errc()) return false;
  if (negative) back = -back;
  return back == value;
}

int Terminate(char* out, std::to_chars_result r) {
  *r.ptr = '\0';
  return static_cast<int>(r.ptr - out);
}

int CopyOut(char* out, const char* text) {
  std::size_t n = std::strlen(text);
  std::memcpy(out, text, n + 1);
  return static_cast<int>(n);
}

// Infinities and NaN print as printf prints them.
int NonFinite(char* out, double value) {
  if (std::isnan(value)) return CopyOut(out, std::signbit(value) ? "-nan" : "nan");
  return CopyOut(out, value < 0 ? "-inf" : "inf");
}

// "00" to "99".
constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// The decimal digits of m, written so that they end just before `end`.
inline void DigitsBefore(char* end, uint64_t m) {
  while (m >= 100) {
    const uint64_t q = m / 100;
    end -= 2;
    std::memcpy(end, kDigitPairs + 2 * (m - q * 100), 2);
    m = q;
  }
  if (m >= 10) {
    std::memcpy(end - 2, kDigitPairs + 2 * m, 2);
  } else {
    end[-1] = static_cast<char>('0' + m);
  }
}

constexpr uint64_t kWholePowersOfTen[] = {1,
                                          10,
                                          100,
                                          1000,
                                          10000,
                                          100000,
                                          1000000,
                                          10000000,
                                          100000000,
                                          1000000000,
                                          10000000000,
                                          100000000000,
                                          1000000000000,
                                          10000000000000,
                                          100000000000000,
                                          1000000000000000,
                                          10000000000000000};

// The n digits of m with a point before the last `decimals` of them
// (1 <= decimals < n), at o: n + 1 characters. Written from the right, two
// digits at a time, with constant divisors only.
inline void DigitsWithPoint(char* o, uint64_t m, int n, int decimals) {
  char* p = o + n + 1;
  int k = decimals;
  for (; k >= 2; k -= 2) {
    const uint64_t q = m / 100;
    p -= 2;
    std::memcpy(p, kDigitPairs + 2 * (m - q * 100), 2);
    m = q;
  }
  if (k == 1) {
    const uint64_t q = m / 10;
    *--p = static_cast<char>('0' + (m - q * 10));
    m = q;
  }
  *--p = '.';
  DigitsBefore(p, m);
}

// Number of decimal digits of m (1 <= m < 10^16).
inline int DigitCount(uint64_t m) {
  // 1233 / 4096 is just above log10(2).
  const int guess = (std::bit_width(m) * 1233) >> 12;
  return guess + (m >= kWholePowersOfTen[guess] ? 1 : 0);
}

// FormatShortestG for the common value: one scaling step finds the
// digits, and they are written straight into place (no copy of digits just
// written, which would stall on the stores). -1 when the value needs the
// general path: -2 when the scaling step finds no form (outside its range,
// or more decimals than it tries), -1 for more than 15 digits or a
// precision above 15.
int ScaledShortestG(char* out, double value, int minDigits) {
  ScaledDigits scaled;
  if (!ScaleToWhole(std::fabs(value), scaled)) return -2;
  const uint64_t m = scaled.m;
  const int n = DigitCount(m);
  const int precision = std::max(minDigits, n);
  if (precision > kExactShortcutDigits) return -1;
  const int x = n - 1 + scaled.exponentOfLast;

  char* o = out;
  if (value < 0) *o++ = '-';
  if (x < -4 || x >= precision) {
    // d.ddde+XX: the first digit, the point, the other n - 1.
    if (n > 1) {
      DigitsWithPoint(o, m, n, n - 1);
      o += n + 1;
    } else {
      *o++ = static_cast<char>('0' + m);
    }
    o = PutExponent(o, x);
  } else if (x >= 0) {
    if (n > x + 1) {
      // x + 1 integer digits, the point, n - x - 1 decimals.
      DigitsWithPoint(o, m, n, n - x - 1);
      o += n + 1;
    } else {
      DigitsBefore(o + n, m);
      o += n;
      for (int k = n; k <= x; ++k) *o++ = '0';
    }
  } else {
    *o++ = '0';
    *o++ = '.';
    for (int k = 0; k < -x - 1; ++k) *o++ = '0';
    DigitsBefore(o + n, m);
    o += n;
  }
  *o = '\0';
  return static_cast<int>(o - out);
}

}  // namespace

int FormatShortestE(char* out, double value, int minDecimals) {
  if (!std::isfinite(value)) return NonFinite(out, value);
  minDecimals = std::clamp(minDecimals, 0, 16);
  ShortestForm form = Shortest(value);
  int decimals = std::max(minDecimals, form.count - 1);
  if ((decimals + 1 <= kExactShortcutDigits && !IsSubnormal(value)) ||
      (decimals + 1 == form.count && ShortestIsPrintfDigits(value))) {
    return EFromShortest(out, form, decimals);
  }
  for (;; ++decimals) {
    std::to_chars_result r =
        std::to_chars(out, out + 40, value, std::chars_format::scientific, decimals);
    int n = Terminate(out, r);
    if (decimals >= 16 || ReadsBack(out, n, value)) return n;
  }
}

namespace {

// Largest precision asked of to_chars so that every result fits the
// caller's kNumberTextSize buffer ("%.*f" of 1e308 has 309 integer digits).
constexpr int kMaxFixedDecimals = 150;
constexpr int kMaxSignificantDigits = 400;

}  // namespace

double ParseDecimal(const char* text, const char* limit, const char** end, bool* rangeError) {
  if (text == nullptr || (limit != nullptr && limit <= text)) {
    if (end) *end = text;
    if (rangeError) *rangeError = false;
    return 0.0;
  }
  return ParseDecimalImpl(text, limit, end, rangeError);
}

double ParseDecimal(const char* text, const char** end, bool* rangeError) {
  if (text == nullptr) {
    if (end) *end = text;
    if (rangeError) *rangeError = false;
    return 0.0;
  }
  return ParseDecimalImpl(text, nullptr, end, rangeError);
}

int FormatShortestG(char* out, double value, int minDigits) {
  minDigits = std::clamp(minDigits, 1, 17);
  // A whole number of at most min(minDigits, 15) digits (counts, codes,
  // row numbers): printf prints its digits as they are.
  const double magnitude = std::fabs(value);
  if (magnitude >= 1 && magnitude < kPowersOfTen[std::min(minDigits, kExactShortcutDigits)] &&
      (magnitude + 0x1p52) - 0x1p52 == magnitude) {
    const uint64_t m = static_cast<uint64_t>(magnitude);
    char* o = out;
    *o = '-';
    o += value < 0;
    const int n = DigitCount(m);
    DigitsBefore(o + n, m);
    o[n] = '\0';
    return static_cast<int>(o + n - out);
  }
  if (!std::isfinite(value)) return NonFinite(out, value);
  const int scaled = ScaledShortestG(out, value, minDigits);
  if (scaled >= 0) return scaled;
  ShortestForm form = Shortest(value, scaled != -2);
  int digits = std::max(minDigits, form.count);
  if ((digits <= kExactShortcutDigits && !IsSubnormal(value)) ||
      (digits == form.count && ShortestIsPrintfDigits(value)))
    return GFromShortest(out, form, digits);
  for (;; ++digits) {
    std::to_chars_result r = std::to_chars(out, out + 40, value, std::chars_format::general, digits);
    int n = Terminate(out, r);
    if (digits >= 17 || ReadsBack(out, n, value)) return n;
  }
}

std::string FormatShortestG(double value, int minDigits) {
  char buf[64];
  int n = FormatShortestG(buf, value, minDigits);
  return std::string(buf, n);
}

int FormatNumber(char* out, double value, int valueFormat, int decimals, double missing) {
  if (!(value > missing)) return CopyOut(out, "*");
  switch (valueFormat) {
    case 1: {
      double magnitude = std::fabs(value);
      if (magnitude > 1e-12 && magnitude < 1e12 && decimals > 0) {
        // The range check above keeps the cast inside 32 bits.
        long integerPart = static_cast<long>(std::log10(magnitude) + 1);
        if (std::labs(integerPart) < decimals) {
          int digits = std::min(decimals, kMaxSignificantDigits);
          return Terminate(out, std::to_chars(out, out + kNumberTextSize - 1, value,
                                              std::chars_format::general, digits));
        }
      }
      return FormatShortestG(out, value, 6);
    }
    case 2:
      if (!std::isfinite(value)) return NonFinite(out, value);
      if (decimals > 0) {
        int digits = std::min(decimals, kMaxSignificantDigits);
        return Terminate(out, std::to_chars(out, out + kNumberTextSize - 1, value,
                                            std::chars_format::scientific, digits));
      }
      return FormatShortestE(out, value, 6);
    case 3: {
      if (!std::isfinite(value)) return NonFinite(out, value);
      int digits = decimals < 0 ? 6 : std::min(decimals, kMaxFixedDecimals);
      return Terminate(out, std::to_chars(out, out + kNumberTextSize - 1, value,
                                          std::chars_format::fixed, digits));
    }
    case 5: {
      int n = FormatDate(out, value, State().currentDateBase, State().currentDateRepresentation,
                         missing);
      return n;
    }
    case 4:
    default:
      return FormatShortestG(out, value, 6);
  }
}

std::string FormatNumber(double value, int valueFormat, int decimals, double missing) {
  char buf[kNumberTextSize];
  int n = FormatNumber(buf, value, valueFormat, decimals, missing);
  return std::string(buf, n);
}

// ---------------------------------------------------------------- dates

namespace {

const char* const kMonthNames[14] = {"***",     "January",  "February", "March",  "April",
                                     "May",     "June",     "July",     "August", "September",
                                     "October", "November", "December", "***"};
const char* const kMonthAbbreviations[14] = {"***", "Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                             "Jul", "Aug", "Sep", "Oct", "Nov", "Dec", "***"};
const int kDaysInMonth[13] = {0, 31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

// Day count of 1 March 1900 in the package's own count; the spreadsheet
// serial of that day is 61.
constexpr int64_t kFirstMarch1900 = 109573;
constexpr int64_t kHundredthsPerDay = 8640000;
// Day counts beyond this are not calendar dates; they print as numbers.
constexpr double kLargestDayCount = 1e9;

struct CalendarDate {
  long day = 1;
  long month = 1;
  long century = 19;
  long year = 0;  // within the century
};

// The package's day count back to a calendar date.
CalendarDate DateFromDayCount(int64_t dayCount) {
  double d = static_cast<double>(dayCount);
  double c = std::floor((d + 0.1) / 36524.25);
  double d1 = d - std::floor(c * 36524.25 + 0.1);
  double y = std::floor((d1 + 0.1) / 365.25);
  double d2 = d1 - std::floor(y * 365.25 + 0.1);
  double m = std::trunc((d2 - 0.5) / 30.6);
  double day = std::trunc(d2 - std::floor(m * 30.6 + 0.5));
  CalendarDate date;
  date.day = static_cast<long>(day);
  date.month = static_cast<long>(m) + 3;
  date.century = static_cast<long>(c) + 16;
  date.year = static_cast<long>(y);
  if (date.month > 12) {
    date.month -= 12;
    date.year += 1;
  }
  if (date.year > 99) {
    date.year -= 100;
    date.century += 1;
  }
  if (date.day < 1) {
    // Only the day after 28 February of a leap year gets here.
    date.day += 29;
    date.month -= 1;
  }
  return date;
}

double PackageDayCount(long day, long month, long fullYear) {
  long year = month >= 3 ? fullYear : fullYear - 1;
  long m = month >= 3 ? month - 3 : month + 9;
  double c = static_cast<double>(year / 100 - 16);
  double y = static_cast<double>(year % 100);
  return std::floor(c * 36524.25 + 0.1) + std::floor(m * 30.6 + 0.5) +
         std::floor(y * 365.25 + 0.1) + static_cast<double>(day);
}

}  // namespace

int FormatDate(char* out, double value, int dateBase, int dateRepresentation, double missing) {
  if (!(value > missing)) return CopyOut(out, "*");
  if (!std::isfinite(value) || std::fabs(value) > kLargestDayCount) {
    return FormatShortestG(out, value, 6);
  }
  double wholeDays = std::floor(value);
  int64_t hundredths = std::llround((value - wholeDays) * static_cast<double>(kHundredthsPerDay));
  if (hundredths >= kHundredthsPerDay) {
    wholeDays += 1;
    hundredths -= kHundredthsPerDay;
  }
  const long hours = static_cast<long>(hundredths / 360000);
  const long minutes = static_cast<long>(hundredths / 6000 % 60);
  const long seconds = static_cast<long>(hundredths / 100 % 60);
  const long fraction = static_cast<long>(hundredths % 100);

  const int64_t serial = static_cast<int64_t>(wholeDays);
  CalendarDate date;
  if (dateBase == 0 && serial == 60) {
    // The spreadsheets' 29 February 1900.
    date.day = 29;
    date.month = 2;
    date.century = 19;
    date.year = 0;
  } else {
    int64_t dayCount = serial;
    if (dateBase == 0) dayCount += serial < 60 ? kFirstMarch1900 - 60 : kFirstMarch1900 - 61;
    date = DateFromDayCount(dayCount);
  }
  const long d = date.day;
  const long m = date.month >= 0 && date.month <= 13 ? date.month : 0;
  const long y = date.century == 19 ? date.year : date.century * 100 + date.year;
  const long Y = date.century == 19 ? 1900 + date.year : y;
  const char* mon = kMonthAbbreviations[m];
  const char* monthName = kMonthNames[m];
  const long hours12 = hours % 12 == 0 ? 12 : hours % 12;
  const char* ampm = hours >= 12 ? "pm" : "am";

  const std::size_t n = kNumberTextSize;
  int length = 0;
  switch (dateRepresentation) {
    case 2: length = std::snprintf(out, n, "%02ld%02ld%02ld", d, m, Y); break;
    case 3: length = std::snprintf(out, n, "%02ld/%02ld/%02ld", d, m, y); break;
    case 4: length = std::snprintf(out, n, "%02ld/%02ld/%02ld", d, m, Y); break;
    case 5: length = std::snprintf(out, n, "%ld/%ld/%02ld", d, m, y); break;
    case 6: length = std::snprintf(out, n, "%ld/%ld/%02ld", d, m, Y); break;
    case 7: length = std::snprintf(out, n, "%02ld%s%02ld", d, mon, y); break;
    case 8: length = std::snprintf(out, n, "%02ld%s%02ld", d, mon, Y); break;
    case 9: length = std::snprintf(out, n, "%02ld-%3s-%02ld", d, mon, y); break;
    case 10: length = std::snprintf(out, n, "%02ld-%3s-%02ld", d, mon, Y); break;
    case 11: length = std::snprintf(out, n, "%ld%3s%02ld", d, mon, y); break;
    case 12: length = std::snprintf(out, n, "%ld%3s%02ld", d, mon, Y); break;
    case 13: length = std::snprintf(out, n, "%ld-%3s-%02ld", d, mon, y); break;
    case 14: length = std::snprintf(out, n, "%ld-%3s-%02ld", d, mon, Y); break;
    case 15: length = std::snprintf(out, n, "%ld-%s-%02ld", d, monthName, y); break;
    case 16: length = std::snprintf(out, n, "%ld-%s-%02ld", d, monthName, Y); break;
    case 17: length = std::snprintf(out, n, "%02ld%02ld%02ld", y, m, d); break;
    case 18: length = std::snprintf(out, n, "%02ld%02ld%02ld", Y, m, d); break;
    case 19: length = std::snprintf(out, n, "%02ld/%02ld/%02ld", y, m, d); break;
    case 20: length = std::snprintf(out, n, "%02ld/%02ld/%02ld", Y, m, d); break;
    case 21: length = std::snprintf(out, n, "%02ld%02ld%02ld", m, d, y); break;
    case 22: length = std::snprintf(out, n, "%02ld%02ld%02ld", m, d, Y); break;
    case 23: length = std::snprintf(out, n, "%02ld/%02ld/%02ld", m, d, y); break;
    case 24: length = std::snprintf(out, n, "%02ld/%02ld/%02ld", m, d, Y); break;
    case 25: length = std::snprintf(out, n, "%04ld-%02ld-%02ld", Y, m, d); break;
    case 26:
      length = std::snprintf(out, n, "%02ld/%02ld/%02ld %02ld:%02ld:%02ld.%02ld", d, m, y, hours,
                             minutes, seconds, fraction);
      break;
    case 27:
      length = std::snprintf(out, n, "%04ld-%02ld-%02ld %02ld:%02ld:%02ld", Y, m, d, hours, minutes,
                             seconds);
      break;
    case 28:
      length = std::snprintf(out, n, "%ld-%s-%ld %ld:%02ld:%02ld %s", d, mon, Y, hours12, minutes,
                             seconds, ampm);
      break;
    case 29: length = std::snprintf(out, n, "%2ld:%02ld:%02ld", hours, minutes, seconds); break;
    case 30:
      length = std::snprintf(out, n, "%2ld:%02ld:%02ld %s", hours12, minutes, seconds, ampm);
      break;
    case 31: {
      long long totalHours = static_cast<long long>(wholeDays) * 24 + hours;
      length = std::snprintf(out, n, "%2lld:%02ld:%02ld", totalHours, minutes, seconds);
      break;
    }
    case 32:
      return Terminate(out, std::to_chars(out, out + n - 1, value * 86400.0,
                                          std::chars_format::fixed, 3));
    case 33: return FormatShortestG(out, value, 6);
    default: length = std::snprintf(out, n, "%02ld%02ld%02ld", d, m, y); break;
  }
  if (length < 0) return CopyOut(out, "*");
  return std::min(length, static_cast<int>(n) - 1);
}

std::string FormatDate(double value, int dateBase, int dateRepresentation, double missing) {
  char buf[kNumberTextSize];
  int n = FormatDate(buf, value, dateBase, dateRepresentation, missing);
  return std::string(buf, n);
}

double DayCountFromDate(long day, long month, long year) {
  if (month < 1 || month > 12) return kMissingValue;
  if (day < 1 || day > kDaysInMonth[month]) return kMissingValue;
  if (year > 99) {
    if (year < 1600) return kMissingValue;
  } else if (year >= 0) {
    year += 1900;
  } else {
    return kMissingValue;
  }
  if (month == 2 && day == 29 && year % 4 != 0) return kMissingValue;
  double dayCount = PackageDayCount(day, month, year);
  if (State().currentDateBase != 0) return dayCount;
  // Spreadsheet serial numbers count a 29 February 1900 (serial 60) that the
  // calendar does not have: serial 61 is 1 March 1900, serial 59 is 28 February.
  if (year == 1900 && month == 2 && day == 29) return 60;
  if (dayCount >= static_cast<double>(kFirstMarch1900)) return dayCount - (kFirstMarch1900 - 61);
  return dayCount - (kFirstMarch1900 - 60);
}

void SpreadsheetToDayCount(double& value, double missing) {
  if (!(value >= 0)) {
    value = missing;
    return;
  }
  // Serials below 60 lie before the spreadsheets' extra 29 February 1900;
  // that day itself (60) becomes 28 February.
  if (value < 60) value += 1;
  value += static_cast<double>(kFirstMarch1900 - 61);
}

void SetCurrentDateBase(int value) { State().currentDateBase = value; }
void SetCurrentDateRepresentation(int value) { State().currentDateRepresentation = value; }
int CurrentDateBase() { return State().currentDateBase; }
int CurrentDateRepresentation() { return State().currentDateRepresentation; }

}  // namespace trovadex
