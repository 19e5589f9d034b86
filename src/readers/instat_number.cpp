#include "readers/instat_number.h"

#include <cmath>

#include "core/byteorder.h"

namespace trovadex {

double DecodeInstatNumber(const unsigned char* p) {
  if (p[4] == 0) return LoadI32LE(p);
  // m = 0.b3b2b1b0 with the top bit always set (it carries the sign).
  const uint32_t mantissa = LoadU32LE(p) | 0x80000000u;
  const double value = std::ldexp(static_cast<double>(mantissa), static_cast<int>(p[4]) - 127 - 32);
  return (p[3] & 0x80) ? -value : value;
}

void EncodeInstatNumber(double value, unsigned char* p) {
  if (value > -2147483648.0 && value < 2147483647.0 && value == std::trunc(value)) {
    StoreU32LE(p, static_cast<uint32_t>(static_cast<int32_t>(value)));
    p[4] = 0;
    return;
  }
  int e = 0;
  double m = std::frexp(std::fabs(value), &e);  // 0.5 <= m < 1
  uint64_t bits = static_cast<uint64_t>(std::llround(std::ldexp(m, 32)));
  if (bits >> 32) {  // rounded up to 1.0
    bits >>= 1;
    ++e;
  }
  if (e + 127 < 1 || value == 0) {
    StoreU32LE(p, 0);
    p[4] = 0;
    return;
  }
  if (value > 0) bits &= 0x7FFFFFFFu;
  StoreU32LE(p, static_cast<uint32_t>(bits));
  p[4] = static_cast<unsigned char>(e + 127);
}

}  // namespace trovadex
