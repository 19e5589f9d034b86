// Instat worksheet numbers, shared by the worksheet reader and writer: five
// bytes, either a 32-bit integer (last byte 0) or a 32-bit mantissa with a
// one-byte exponent.
#pragma once

#include <cstdint>

namespace trovadex {

inline constexpr int kInstatNumberSize = 5;
// The largest magnitude a worksheet keeps; the reader takes anything below
// its negative as missing.
inline constexpr double kInstatLargest = 1e35;

// The value of the five bytes at `p`.
double DecodeInstatNumber(const unsigned char* p);
// Writes `value` (finite, within ±kInstatLargest) as five bytes at `p`:
// whole numbers in the integer form, others with their mantissa rounded to
// 32 bits; magnitudes below 2^-127, which the exponent byte cannot hold,
// as 0.
void EncodeInstatNumber(double value, unsigned char* p);

}  // namespace trovadex
