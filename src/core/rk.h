// The RK number form of spreadsheet cells: a 30-bit integer or the high 30
// bits of a double, optionally divided by 100. Read by the Excel reader and
// checked by the Excel writer before it writes an RK cell.
#pragma once

#include <bit>
#include <cstdint>

namespace trovadex {

inline double DecodeRk(uint32_t rk) {
  double value;
  if (rk & 2) {
    value = static_cast<double>(static_cast<int32_t>(rk) >> 2);
  } else {
    value = std::bit_cast<double>(static_cast<uint64_t>(rk & 0xFFFFFFFCu) << 32);
  }
  if (rk & 1) value /= 100;  // dividing keeps 10260 -> 102.6 exact
  return value;
}

}  // namespace trovadex
