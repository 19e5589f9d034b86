#include "core/ibm_float.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>

#include "core/byteorder.h"

namespace trovadex {
namespace {

uint64_t ToIbm(double x) {
  unsigned char b[8];
  DoubleToIbm(x, b);
  return LoadU64BE(b);
}

IbmNumber FromIbm(uint64_t word) {
  unsigned char b[8];
  StoreU64BE(b, word);
  return IbmToDouble(b);
}

TEST(IbmFloat, KnownNumbersBothWays) {
  struct Case {
    double value;
    uint64_t ibm;
  };
  // 1.0 = 0.1 (hex) × 16^1; -118.625 = -0.76A (hex) × 16^2; 0.1 =
  // 0.1999999999999A (hex) × 16^0, its 53 bits in the 56-bit fraction.
  const Case cases[] = {{1.0, 0x4110000000000000ull},   {-118.625, 0xC276A00000000000ull},
                        {0.5, 0x4080000000000000ull},   {16.0, 0x4210000000000000ull},
                        {0.1, 0x401999999999999Aull},   {0.0, 0}};
  for (const Case& c : cases) {
    EXPECT_EQ(ToIbm(c.value), c.ibm) << c.value;
    IbmNumber back = FromIbm(c.ibm);
    EXPECT_FALSE(back.missing || back.overflow);
    EXPECT_EQ(back.value, c.value);
  }
}

TEST(IbmFloat, EveryDoubleInTheRangeSurvivesBitForBit) {
  std::mt19937_64 random(7);
  for (int i = 0; i < 200000; ++i) {
    // Exponents 763..1274: the whole IBM range.
    uint64_t bits = (random() & 0x800FFFFFFFFFFFFFull) | (static_cast<uint64_t>(763 + random() % 512) << 52);
    double x = std::bit_cast<double>(bits);
    IbmNumber back = FromIbm(ToIbm(x));
    ASSERT_EQ(std::bit_cast<uint64_t>(back.value), bits) << x;
  }
  // The smallest magnitude, 16^-65, is written as it is (other readers take
  // it so), but its bytes are those an older writer used for a missing
  // value, and they read back as missing.
  EXPECT_EQ(ToIbm(std::ldexp(1.0, -260)), 0x0010000000000000ull);
  EXPECT_TRUE(FromIbm(0x0010000000000000ull).missing);
  const double edges[] = {std::ldexp(1.0, -259), std::nextafter(std::ldexp(1.0, 252), 0.0), 7.2e75, 5.4e-79 * 1.0001, 4.5e74};
  for (double x : edges) EXPECT_EQ(FromIbm(ToIbm(x)).value, x) << x;
}

TEST(IbmFloat, OutsideTheRangeZeroAndMissing) {
  EXPECT_EQ(ToIbm(1e-80), 0u);                       // underflow: zero
  EXPECT_EQ(ToIbm(-0.0), 0u);
  EXPECT_EQ(ToIbm(std::ldexp(1.0, -261)), 0u);       // just below 16^-65
  EXPECT_EQ(ToIbm(5e-324), 0u);                      // subnormal
  const uint64_t dot = 0x2E00000000000000ull;        // "." and seven zero bytes
  EXPECT_EQ(ToIbm(1e80), dot);
  EXPECT_EQ(ToIbm(-std::ldexp(1.0, 252)), dot);      // 16^63: one above the largest
  EXPECT_EQ(ToIbm(std::numeric_limits<double>::infinity()), dot);
  EXPECT_EQ(ToIbm(std::numeric_limits<double>::quiet_NaN()), dot);
  EXPECT_EQ(ToIbm(7.2e75) >> 56, 0x7Fu);             // the largest exponent, still a number
}

TEST(IbmFloat, SpecialPatternsOnReading) {
  for (uint64_t missing : {0x2E00000000000000ull, 0x5F00000000000000ull, 0x4100000000000000ull,
                           0x5A00000000000000ull}) {
    IbmNumber x = FromIbm(missing);
    EXPECT_TRUE(x.missing);
    EXPECT_FALSE(x.overflow);
  }
  IbmNumber ff = FromIbm(~uint64_t{0});
  EXPECT_TRUE(ff.overflow);
  EXPECT_FALSE(ff.missing);
  EXPECT_EQ(ff.value, 0.0);
  for (uint64_t old : {0x7FFFFFFFFFFFFFFFull, 0x0010000000000000ull, 0x8010000000000000ull}) {
    IbmNumber x = FromIbm(old);
    EXPECT_TRUE(x.overflow && x.missing) << std::hex << old;
  }
  // A fraction whose first hexadecimal digit is 0 (not normalised) still
  // reads as its value; more than 53 significant bits are cut off.
  EXPECT_EQ(FromIbm(0x4201000000000000ull).value, 1.0);
  EXPECT_EQ(FromIbm(0x41FFFFFFFFFFFFFFull).value, std::nextafter(16.0, 0.0));
}

}  // namespace
}  // namespace trovadex
