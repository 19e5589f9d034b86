#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>

#include "core/dataset.h"
#include "core/format.h"
#include "writers/number_text.h"

namespace trovadex {
namespace {

void ExpectSameText(double value, int valueFormat, int decimals) {
  char fast[kNumberTextSize];
  char slow[kNumberTextSize];
  int a = FastFormatNumber(fast, value, valueFormat, decimals, kMissingValue);
  int b = FormatNumber(slow, value, valueFormat, decimals, kMissingValue);
  ASSERT_EQ(std::string(fast, a), std::string(slow, b))
      << "value bits " << std::bit_cast<uint64_t>(value) << " format " << valueFormat << " decimals " << decimals;
}

TEST(FastFormatNumberTest, SameTextAsFormatNumber) {
  const double fixed[] = {0.0, -0.0, 1, -1, 0.1, 0.30000000000000004, 1.0 / 3, 123456, 1234567, 1e-4, 1e-5,
                          0.0001234, 99999.95, 999999.5, 1e15, 1e16, 1e17, 123456789012345678.0, 5e-324,
                          2.2250738585072014e-308, 1.7976931348623157e308, 9.99999e307, -1e307, -2e307,
                          1024, 0.5, 0.125, 1099511627776.0, std::ldexp(1.0, -30), std::ldexp(1.0, 70),
                          std::nan(""), HUGE_VAL, -HUGE_VAL, 100, 1e5, 1e6, 123.456, -0.000012345678901};
  for (double v : fixed) {
    for (int format : {1, 4, 3, 2}) {
      for (int decimals : {-1, 0, 2}) ExpectSameText(v, format, decimals);
    }
  }
  std::mt19937_64 rng(12345);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  for (int i = 0; i < 300000; ++i) {
    double v;
    switch (i % 5) {
      case 0: v = std::bit_cast<double>(rng()); break;                              // any bits
      case 1: v = unit(rng) * 1000; break;                                          // 17 digits
      case 2: v = std::round(unit(rng) * 1e6) / 100; break;                          // two decimals
      case 3: v = std::ldexp(1.0, static_cast<int>(rng() % 2000) - 1000); break;     // powers of two
      default: v = static_cast<double>(static_cast<int64_t>(rng() % 2000000) - 1000000); break;
    }
    ExpectSameText(v, 1, -1);
    if (::testing::Test::HasFatalFailure()) return;
  }
}

}  // namespace
}  // namespace trovadex
