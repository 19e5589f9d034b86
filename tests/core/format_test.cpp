#include "core/format.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core/dataset.h"
#include "test_support.h"

namespace trovadex {
namespace {

using test::StateTest;

class FormatNumberTest : public StateTest {};
class ParseDecimalTest : public StateTest {};

std::string Printf(const char* format, double value) {
  char buf[600];
  std::snprintf(buf, sizeof buf, format, value);
  return buf;
}

TEST_F(FormatNumberTest, PlainNumberExamples) {
  EXPECT_EQ(FormatNumber(12.3456, 1, 4, kMissingValue), "12.35");
  EXPECT_EQ(FormatNumber(12345.6, 1, 4, kMissingValue), "12345.6");
  EXPECT_EQ(FormatNumber(kMissingValue, 1, 4, kMissingValue), "*");
  EXPECT_EQ(FormatNumber(-1e308, 1, -1, kMissingValue), "*");
  EXPECT_EQ(FormatNumber(std::nan(""), 1, -1, kMissingValue), "*");
  EXPECT_EQ(FormatNumber(-9.9e306, 1, -1, kMissingValue), "-9.9e+306");
  EXPECT_EQ(FormatNumber(0.0, 1, -1, kMissingValue), "0");
  EXPECT_EQ(FormatNumber(1.5, 1, -1, kMissingValue), "1.5");
  EXPECT_EQ(FormatNumber(100, 1, -1, kMissingValue), "100");
  EXPECT_EQ(FormatNumber(1e12, 1, 20, kMissingValue), "1e+12");  // outside the range: "%g"
}

TEST_F(FormatNumberTest, FreeFormatKeepsEveryDigit) {
  // "%g" alone merges these two.
  EXPECT_EQ(FormatNumber(1234567, 1, -1, kMissingValue), "1234567");
  EXPECT_EQ(FormatNumber(1234568, 1, -1, kMissingValue), "1234568");
  EXPECT_EQ(FormatNumber(1234567, 4, 0, kMissingValue), "1234567");
  EXPECT_EQ(FormatNumber(0.1, 4, 0, kMissingValue), "0.1");
  EXPECT_EQ(FormatNumber(0.1 + 0.2, 4, 0, kMissingValue), "0.30000000000000004");
  EXPECT_EQ(FormatNumber(123456789012.0, 1, -1, kMissingValue), "123456789012");
  EXPECT_EQ(FormatNumber(1e22, 1, -1, kMissingValue), "1e+22");
  EXPECT_EQ(FormatNumber(9.99999e307, 1, -1, kMissingValue), "9.99999e+307");
}

TEST_F(FormatNumberTest, ValuesThatPercentGPrintsExactlyAreUnchanged) {
  const double values[] = {1,      -1,    0.5,      1e-5,     123456,  1e100, 2.5e-300,
                           3.14159, 1e6,  -0.00125, 999999,   1e-7,    42,    6.02214e23};
  for (double v : values) {
    std::string g = Printf("%g", v);
    ASSERT_EQ(std::strtod(g.c_str(), nullptr), v) << g;
    EXPECT_EQ(FormatNumber(v, 1, -1, kMissingValue), g);
    EXPECT_EQ(FormatNumber(v, 4, 0, kMissingValue), g);
    EXPECT_EQ(FormatShortestG(v), g);
    std::string e = Printf("%e", v);
    EXPECT_EQ(FormatNumber(v, 2, 0, kMissingValue), e);
  }
}

TEST_F(FormatNumberTest, ScientificAndFixedMatchPrintf) {
  const double values[] = {0, 1, -2.5, 1234.5678, 1e-9, 9.87654321e12, 1e300, -7.125};
  for (double v : values) {
    EXPECT_EQ(FormatNumber(v, 2, 3, kMissingValue), Printf("%.3e", v));
    EXPECT_EQ(FormatNumber(v, 3, -1, kMissingValue), Printf("%f", v));
    EXPECT_EQ(FormatNumber(v, 3, 0, kMissingValue), Printf("%.0f", v));
    EXPECT_EQ(FormatNumber(v, 3, 4, kMissingValue), Printf("%.4f", v));
    EXPECT_EQ(FormatNumber(v, 1, 3, kMissingValue),
              (std::fabs(v) > 1e-12 && std::fabs(v) < 1e12 &&
               std::labs(static_cast<long>(std::log10(std::fabs(v)) + 1)) < 3)
                  ? Printf("%.3g", v)
                  : FormatShortestG(v));
  }
  // Scientific without decimals keeps every digit too.
  EXPECT_EQ(FormatNumber(1.23456789, 2, 0, kMissingValue), "1.23456789e+00");
  EXPECT_EQ(FormatNumber(1e308, 3, -1, kMissingValue), Printf("%f", 1e308));
  EXPECT_EQ(FormatNumber(-1e306, 3, 2, kMissingValue), Printf("%.2f", -1e306));
}

TEST_F(FormatNumberTest, DateFormatUsesCurrentSettings) {
  SetCurrentDateBase(0);
  SetCurrentDateRepresentation(25);
  EXPECT_EQ(FormatNumber(36892, 5, -1, kMissingValue), "2001-01-01");
  SetCurrentDateRepresentation(3);
  EXPECT_EQ(FormatNumber(36892, 5, -1, kMissingValue), "01/01/2001");
  EXPECT_EQ(FormatNumber(kMissingValue, 5, -1, kMissingValue), "*");
}

TEST_F(FormatNumberTest, ShortestGRoundTripsRandomDoubles) {
  std::mt19937_64 rng(20240611);
  char buf[kNumberTextSize];
  int checked = 0;
  while (checked < 100000) {
    uint64_t bits = rng();
    double v;
    std::memcpy(&v, &bits, sizeof v);
    if (!std::isfinite(v) || v <= kMissingValue) continue;
    // Half of the draws from ordinary magnitudes, half over every exponent.
    if (checked % 2 == 0) v = std::ldexp(static_cast<double>(bits >> 11), -53) * std::pow(10.0, (checked / 2) % 30 - 15);
    int n = FormatNumber(buf, v, 1, -1, kMissingValue);
    ASSERT_EQ(static_cast<std::size_t>(n), std::strlen(buf));
    ASSERT_EQ(std::strtod(buf, nullptr), v) << buf;
    n = FormatNumber(buf, v, 4, 0, kMissingValue);
    ASSERT_EQ(std::strtod(buf, nullptr), v) << buf;
    n = FormatNumber(buf, v, 2, -1, kMissingValue);
    ASSERT_EQ(std::strtod(buf, nullptr), v) << buf;
    ++checked;
  }
}

TEST_F(FormatNumberTest, ShortestGIsTheFirstExactPrecision) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> mantissa(-1000, 1000);
  for (int i = 0; i < 5000; ++i) {
    double v = mantissa(rng) * std::pow(10.0, i % 40 - 20);
    std::string expected;
    for (int p = 6; p <= 17; ++p) {
      char buf[64];
      std::snprintf(buf, sizeof buf, "%.*g", p, v);
      expected = buf;
      if (std::strtod(buf, nullptr) == v) break;
    }
    ASSERT_EQ(FormatShortestG(v), expected);
  }
  // Every magnitude and bit pattern, in both the plain and the scientific form.
  std::mt19937_64 bitsRng(11);
  for (int i = 0; i < 30000; ++i) {
    uint64_t bits = bitsRng();
    if (i % 3 == 0) bits &= ~((uint64_t{1} << (i % 52)) - 1);  // short mantissas too
    double v;
    std::memcpy(&v, &bits, sizeof v);
    if (!std::isfinite(v)) continue;
    char expected[64];
    for (int p = 6; p <= 17; ++p) {
      std::snprintf(expected, sizeof expected, "%.*g", p, v);
      if (std::strtod(expected, nullptr) == v) break;
    }
    ASSERT_EQ(FormatShortestG(v), expected);
    for (int p = 6; p <= 16; ++p) {
      std::snprintf(expected, sizeof expected, "%.*e", p, v);
      if (std::strtod(expected, nullptr) == v) break;
    }
    if (v > kMissingValue) {
      ASSERT_EQ(FormatNumber(v, 2, -1, kMissingValue), expected);
    }
    for (int minDigits : {1, 3, 15, 16}) {
      for (int p = minDigits; p <= 17; ++p) {
        std::snprintf(expected, sizeof expected, "%.*g", p, v);
        if (std::strtod(expected, nullptr) == v) break;
      }
      ASSERT_EQ(FormatShortestG(v, minDigits), expected);
    }
  }
  // Short decimals (the common data value) in every position of the point,
  // at the minimum digit counts the writers use.
  std::mt19937_64 decimalRng(13);
  for (int i = 0; i < 60000; ++i) {
    const int digits = 1 + static_cast<int>(decimalRng() % 15);
    const uint64_t m = decimalRng() % static_cast<uint64_t>(std::pow(10.0, digits));
    double v = static_cast<double>(m) * std::pow(10.0, static_cast<int>(decimalRng() % 30) - 18);
    if (i % 2) v = -v;
    for (int minDigits : {6, 12}) {
      char expected[64];
      for (int p = minDigits; p <= 17; ++p) {
        std::snprintf(expected, sizeof expected, "%.*g", p, v);
        if (std::strtod(expected, nullptr) == v) break;
      }
      ASSERT_EQ(FormatShortestG(v, minDigits), expected) << v;
    }
  }
  // Whole numbers of every length, either sign, around each power of ten.
  for (int digits = 1; digits <= 17; ++digits) {
    const double power = std::pow(10.0, digits - 1);
    for (double v : {power, power - 1, power + 1, 3 * power + 7, 10 * power - 2}) {
      for (double signed_v : {v, -v}) {
        for (int minDigits : {1, 3, 6, 12, 15, 16, 17}) {
          char expected[64];
          for (int p = minDigits; p <= 17; ++p) {
            std::snprintf(expected, sizeof expected, "%.*g", p, signed_v);
            if (std::strtod(expected, nullptr) == signed_v) break;
          }
          ASSERT_EQ(FormatShortestG(signed_v, minDigits), expected) << signed_v << " " << minDigits;
        }
      }
    }
  }
  EXPECT_EQ(FormatShortestG(-0.0), "-0");
  EXPECT_EQ(FormatShortestG(0.0001), "0.0001");
  EXPECT_EQ(FormatShortestG(0.00001), "1e-05");
  EXPECT_EQ(FormatShortestG(123456.0), "123456");
  EXPECT_EQ(FormatShortestG(1e-300), "1e-300");
  EXPECT_EQ(FormatShortestG(0.1, 1), "0.1");
  EXPECT_EQ(FormatShortestG(1234567.0, 3), "1234567");
  EXPECT_EQ(FormatShortestG(100.0, 1), "1e+02");  // "%.1g"
}

// ---------------------------------------------------------------- ParseDecimal

TEST_F(ParseDecimalTest, AgreesWithStrtodOnDecimalForms) {
  const char* inputs[] = {
      "0",        "-0",         "+1",          "  12.5",      "\t\n-3e2",     "1e",
      "1e+",      "1e-x",       ".5",          "5.",          ".",            "-.",
      "+.e1",     "1.2.3",      "12abc",       "1E5",         "  +0.000001e6", "00012",
      "1e400",    "-1e400",     "1e-400",      "1e-310",      "0e99999",       "123456789012345678901234567890",
      "4.9e-324", "2.4e-324",   "1.7976931348623158e308",     "1.7976931348623159e308",
      "0.1e-320", "000.000e5",  "9.99999e307", "-", "", "   ", "e5", "1 2",
      "0.30000000000000004", "2.2250738585072014e-308", "1e99999999999999999999",
      "-0.0000000000000000000000000000000000000000000000000000000001e-300"};
  for (const char* in : inputs) {
    char* strtodEnd = nullptr;
    errno = 0;
    double expected = std::strtod(in, &strtodEnd);
    bool expectedRange = errno == ERANGE;
    const char* end = nullptr;
    bool range = false;
    double got = ParseDecimal(in, &end, &range);
    EXPECT_EQ(end, strtodEnd) << in;
    EXPECT_EQ(std::signbit(got), std::signbit(expected)) << in;
    EXPECT_EQ(got, expected) << in;
    // The C library also reports results in the subnormal range; we report
    // only overflow and underflow to zero.
    bool subnormal = expected != 0 && std::fabs(expected) < 2.2250738585072014e-308;
    if (!subnormal) {
      EXPECT_EQ(range, expectedRange) << in;
    }
    // The bounded form agrees.
    const char* end2 = nullptr;
    bool range2 = false;
    double got2 = ParseDecimal(in, in + std::strlen(in), &end2, &range2);
    EXPECT_EQ(end2, end) << in;
    EXPECT_EQ(got2, got) << in;
    EXPECT_EQ(range2, range) << in;
  }
}

TEST_F(ParseDecimalTest, RejectsInfinityNanAndHex) {
  const char* inputs[] = {"inf", "-inf", "INF", "infinity", "Infected", "nan", "NaN(1)", " nan"};
  for (const char* in : inputs) {
    const char* end = nullptr;
    bool range = true;
    double v = ParseDecimal(in, &end, &range);
    EXPECT_EQ(end, in) << in;
    EXPECT_EQ(v, 0.0) << in;
    EXPECT_FALSE(range);
  }
  // Hexadecimal: only the leading "0" is a decimal number.
  const char* hex = "0x1p3";
  const char* end = nullptr;
  EXPECT_EQ(ParseDecimal(hex, &end, nullptr), 0.0);
  EXPECT_EQ(end, hex + 1);
  EXPECT_EQ(ParseDecimal("-0X10", &end, nullptr), 0.0);
}

TEST_F(ParseDecimalTest, BoundedFormStopsAtTheLimit) {
  const char* text = "123.456e7xyz";
  const char* end = nullptr;
  EXPECT_EQ(ParseDecimal(text, text + 3, &end, nullptr), 123.0);
  EXPECT_EQ(end, text + 3);
  EXPECT_EQ(ParseDecimal(text, text + 5, &end, nullptr), 123.4);
  EXPECT_EQ(ParseDecimal(text, text + 8, &end, nullptr), 123.456);  // "e" without digits
  EXPECT_EQ(end, text + 7);
  EXPECT_EQ(ParseDecimal(text, text + 9, &end, nullptr), 123.456e7);
  EXPECT_EQ(ParseDecimal(text, text, &end, nullptr), 0.0);
  EXPECT_EQ(end, text);
  EXPECT_EQ(ParseDecimal(nullptr, &end, nullptr), 0.0);
}

TEST_F(ParseDecimalTest, RandomTextsAgreeWithStrtod) {
  std::mt19937 rng(99);
  const char alphabet[] = "0123456789.eE+- y";
  for (int i = 0; i < 200000; ++i) {
    char text[24];
    int n = static_cast<int>(rng() % 20);
    for (int k = 0; k < n; ++k) text[k] = alphabet[rng() % (sizeof alphabet - 1)];
    text[n] = '\0';
    char* strtodEnd = nullptr;
    double expected = std::strtod(text, &strtodEnd);
    const char* end = nullptr;
    double got = ParseDecimal(text, &end, nullptr);
    ASSERT_EQ(end, strtodEnd) << text;
    ASSERT_EQ(got, expected) << text;
  }
}

TEST_F(ParseDecimalTest, RoundTripsPrintedDoubles) {
  std::mt19937_64 rng(5);
  for (int i = 0; i < 100000; ++i) {
    uint64_t bits = rng();
    double v;
    std::memcpy(&v, &bits, sizeof v);
    if (!std::isfinite(v)) continue;
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    const char* end = nullptr;
    ASSERT_EQ(ParseDecimal(buf, &end, nullptr), v) << buf;
    ASSERT_EQ(*end, '\0');
  }
}

}  // namespace
}  // namespace trovadex
