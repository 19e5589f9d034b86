// The shortest-form printers against the C library: "%.*g" / "%.*e" with the
// fewest digits (from a minimum up) that strtod reads back as the same double.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "core/corvist_text.h"
#include "core/dataset.h"
#include "core/format.h"

namespace trovadex {
namespace {

std::string ReferenceG(double value, int minDigits) {
  char buf[64];
  for (int p = minDigits;; ++p) {
    std::snprintf(buf, sizeof buf, "%.*g", p, value);
    if (p >= 17 || std::strtod(buf, nullptr) == value) return buf;
  }
}

std::string ReferenceE(double value, int minDecimals) {
  char buf[64];
  for (int p = minDecimals;; ++p) {
    std::snprintf(buf, sizeof buf, "%.*e", p, value);
    if (p >= 16 || std::strtod(buf, nullptr) == value) return buf;
  }
}

// Values of every shape the printers meet: decimals of 1 to 17 significant
// digits over a wide range of magnitudes, whole numbers, powers of two and
// their neighbours, subnormal numbers and random bit patterns.
std::vector<double> SampleValues() {
  std::mt19937_64 rng(20240611);
  std::vector<double> values = {0.0, -0.0, 1.0, -1.0, 0.1, 0.5, 1e9, 1.5e9, -1e9, 123456789012.0,
                                1e-300, 5e-324, 2.2250738585072014e-308, 1.7976931348623157e308,
                                9007199254740993.0, 1125899906842624.0, 0.30000000000000004};
  char text[64];
  for (int i = 0; i < 60000; ++i) {
    int digits = 1 + i % 17;
    int exponent = static_cast<int>(rng() % 40) - 20;
    double x = std::ldexp(static_cast<double>(rng() >> 11), -53) * std::pow(10.0, exponent);
    std::snprintf(text, sizeof text, "%.*g", digits, x);
    double v = std::strtod(text, nullptr);
    values.push_back((rng() & 1) ? -v : v);
  }
  for (int e = -1074; e <= 1023; e += 7) {
    double p = std::ldexp(1.0, e);
    values.push_back(p);
    values.push_back(std::nextafter(p, 0.0));
    values.push_back(std::nextafter(p, 1e308));
  }
  for (int i = 0; i < 20000; ++i) {
    double v = std::bit_cast<double>(rng());
    if (std::isfinite(v)) values.push_back(v);
  }
  for (int i = 0; i < 5000; ++i) values.push_back(static_cast<double>(static_cast<int64_t>(rng() % 100000000) - 50000000));
  return values;
}

TEST(FormatShortestTest, GMatchesTheCLibrary) {
  char out[kNumberTextSize];
  for (double v : SampleValues()) {
    for (int minDigits : {1, 6, 12, 15, 16, 17}) {
      int n = FormatShortestG(out, v, minDigits);
      ASSERT_EQ(std::string(out, n), ReferenceG(v, minDigits)) << "value bits " << std::bit_cast<uint64_t>(v)
                                                                 << " min " << minDigits;
    }
  }
}

TEST(FormatShortestTest, EMatchesTheCLibrary) {
  char out[kNumberTextSize];
  for (double v : SampleValues()) {
    for (int minDecimals : {0, 6, 12, 16}) {
      int n = FormatShortestE(out, v, minDecimals);
      ASSERT_EQ(std::string(out, n), ReferenceE(v, minDecimals)) << "value bits " << std::bit_cast<uint64_t>(v)
                                                                   << " min " << minDecimals;
    }
  }
}

TEST(FormatShortestTest, FreeNumberFormatMatchesTheCLibrary) {
  char out[kNumberTextSize];
  for (double v : SampleValues()) {
    int n = FormatNumber(out, v, 1, -1, kMissingValue);
    std::string expected = v > kMissingValue ? ReferenceG(v, 6) : "*";
    ASSERT_EQ(std::string(out, n), expected) << "value bits " << std::bit_cast<uint64_t>(v);
  }
}

TEST(FormatShortestTest, CorvistNumberMatchesTheCLibrary) {
  char out[kCorvistNumberSize];
  for (double v : SampleValues()) {
    int n = FormatCorvistNumber(out, v, kMissingValue, false);
    std::string expected = !(v > kMissingValue)  ? "*"
                           : v > kNumberCap      ? "9.99999E+307"
                           : std::fabs(v) > 1e9  ? ReferenceE(v, 12)
                                                 : ReferenceG(v, 12);
    ASSERT_EQ(std::string(out, n), expected) << "value bits " << std::bit_cast<uint64_t>(v);
    ASSERT_EQ(FormatCorvistNumber(v, kMissingValue, false), expected);
  }
}

}  // namespace
}  // namespace trovadex
