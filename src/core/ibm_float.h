// IBM System/370 hexadecimal floating point, the number format of SAS
// transport files: 8 big-endian bytes holding a sign bit, a base-16 exponent
// in excess 64 (7 bits) and a 56-bit fraction; value = ±0.F × 16^(E-64).
// A shorter stored number holds the leading bytes of the 8-byte form.
#pragma once

#include <cstdint>

namespace trovadex {

inline constexpr int kIbmBytes = 8;

struct IbmNumber {
  double value = 0;
  bool missing = false;   // a SAS missing value or a pattern read as one
  bool overflow = false;  // a pattern that marks a number outside the IBM range
};

// Reads 8 bytes. A non-zero first byte followed by seven zero bytes is a SAS
// missing value (".", "_", "A"-"Z"). Older writers marked numbers outside the
// IBM range with patterns that read as 0 (FF×8) or as missing (7F FF×7,
// 00 10 00×6, 80 10 00×6); those report an overflow. Fractions with more
// than 53 significant bits are truncated.
IbmNumber IbmToDouble(const unsigned char* bytes);

// Writes 8 bytes. Every double in the IBM range (about 5.4e-79 to 7.2e75 in
// magnitude) converts exactly. Zero, -0.0 and magnitudes below the range give
// eight zero bytes; magnitudes above it, infinities and NaNs give the SAS
// missing value "." followed by seven zero bytes.
void DoubleToIbm(double x, unsigned char* out);

// The SAS missing value "." followed by seven zero bytes.
void IbmMissing(unsigned char* out);

}  // namespace trovadex
