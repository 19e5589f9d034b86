#include "core/ibm_float.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "core/byteorder.h"

namespace trovadex {

IbmNumber IbmToDouble(const unsigned char* bytes) {
  IbmNumber result;
  const uint64_t word = LoadU64BE(bytes);
  if (word == 0) return result;
  if (word == ~uint64_t{0}) {
    result.overflow = true;
    return result;
  }
  if (word == 0x7FFFFFFFFFFFFFFFull || word == 0x0010000000000000ull || word == 0x8010000000000000ull) {
    result.overflow = true;
    result.missing = true;
    result.value = std::numeric_limits<double>::quiet_NaN();
    return result;
  }
  uint64_t fraction = word & 0x00FFFFFFFFFFFFFFull;
  if (fraction == 0) {
    // Only the first byte set: a missing value of SAS.
    result.missing = true;
    result.value = std::numeric_limits<double>::quiet_NaN();
    return result;
  }
  const int exponent = static_cast<int>((word >> 56) & 0x7F);
  // value = fraction × 2^(4 × (E - 64) - 56); keep the 53 leading bits of
  // the fraction (dropping the rest), so that the product below is exact.
  int scale = 4 * (exponent - 64) - 56;
  const int width = std::bit_width(fraction);
  if (width > 53) {
    fraction >>= width - 53;
    scale += width - 53;
  }
  double value = std::ldexp(static_cast<double>(fraction), scale);
  result.value = (word >> 63) ? -value : value;
  return result;
}

void DoubleToIbm(double x, unsigned char* out) {
  const uint64_t bits = std::bit_cast<uint64_t>(x);
  const int e = static_cast<int>((bits >> 52) & 0x7FF);
  // x = 1.m × 2^(e - 1023) = 0.F × 16^(q + 1) with q = floor((e - 1023) / 4),
  // the IBM exponent q + 65 lying in 0..127 exactly for e in 763..1274.
  if (e < 763) {  // zero, -0.0, subnormals and magnitudes below the range
    std::memset(out, 0, kIbmBytes);
    return;
  }
  if (e > 1274) {  // above the range, infinities and NaNs
    IbmMissing(out);
    return;
  }
  const int unbiased = e - 1023;
  const int shift = unbiased & 3;
  const int q = (unbiased - shift) / 4;  // exact: rounds toward minus infinity
  // The 53-bit significand with its leading 1, moved so that it fills the
  // fraction from its top hexadecimal digit: 56 bits hold 53 + shift.
  const uint64_t significand = (bits & 0x000FFFFFFFFFFFFFull) | 0x0010000000000000ull;
  const uint64_t fraction = significand << shift;
  const uint64_t word = (bits & 0x8000000000000000ull) | (static_cast<uint64_t>(q + 65) << 56) | fraction;
  StoreU64BE(out, word);
}

void IbmMissing(unsigned char* out) {
  std::memset(out, 0, kIbmBytes);
  out[0] = '.';
}

}  // namespace trovadex
