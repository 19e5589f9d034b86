// Byte-order helpers: in-place reversal, explicit little/big-endian loads and
// stores, and the test that recognises a stored missing number.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace trovadex {

template <class T>
inline void SwapBytesN(T& value) {
  static_assert(sizeof(T) == 2 || sizeof(T) == 4 || sizeof(T) == 8);
  unsigned char b[sizeof(T)];
  std::memcpy(b, &value, sizeof(T));
  for (std::size_t i = 0; i < sizeof(T) / 2; ++i) {
    unsigned char t = b[i];
    b[i] = b[sizeof(T) - 1 - i];
    b[sizeof(T) - 1 - i] = t;
  }
  std::memcpy(&value, b, sizeof(T));
}

template <class T> inline void SwapBytes2(T& value) { static_assert(sizeof(T) == 2); SwapBytesN(value); }
template <class T> inline void SwapBytes4(T& value) { static_assert(sizeof(T) == 4); SwapBytesN(value); }
template <class T> inline void SwapBytes8(T& value) { static_assert(sizeof(T) == 8); SwapBytesN(value); }

// Loads from a byte pointer (no alignment needed).
inline uint16_t LoadU16LE(const void* p) {
  const unsigned char* b = static_cast<const unsigned char*>(p);
  return static_cast<uint16_t>(b[0] | (b[1] << 8));
}
inline uint16_t LoadU16BE(const void* p) {
  const unsigned char* b = static_cast<const unsigned char*>(p);
  return static_cast<uint16_t>((b[0] << 8) | b[1]);
}
inline uint32_t LoadU32LE(const void* p) {
  const unsigned char* b = static_cast<const unsigned char*>(p);
  return uint32_t{b[0]} | (uint32_t{b[1]} << 8) | (uint32_t{b[2]} << 16) | (uint32_t{b[3]} << 24);
}
inline uint32_t LoadU32BE(const void* p) {
  const unsigned char* b = static_cast<const unsigned char*>(p);
  return uint32_t{b[3]} | (uint32_t{b[2]} << 8) | (uint32_t{b[1]} << 16) | (uint32_t{b[0]} << 24);
}
inline uint64_t LoadU64LE(const void* p) {
  const unsigned char* b = static_cast<const unsigned char*>(p);
  return uint64_t{LoadU32LE(b)} | (uint64_t{LoadU32LE(b + 4)} << 32);
}
inline uint64_t LoadU64BE(const void* p) {
  const unsigned char* b = static_cast<const unsigned char*>(p);
  return uint64_t{LoadU32BE(b + 4)} | (uint64_t{LoadU32BE(b)} << 32);
}
inline int16_t LoadI16LE(const void* p) { return static_cast<int16_t>(LoadU16LE(p)); }
inline int16_t LoadI16BE(const void* p) { return static_cast<int16_t>(LoadU16BE(p)); }
inline int32_t LoadI32LE(const void* p) { return static_cast<int32_t>(LoadU32LE(p)); }
inline int32_t LoadI32BE(const void* p) { return static_cast<int32_t>(LoadU32BE(p)); }
inline double LoadF64LE(const void* p) { return std::bit_cast<double>(LoadU64LE(p)); }
inline double LoadF64BE(const void* p) { return std::bit_cast<double>(LoadU64BE(p)); }
inline float LoadF32LE(const void* p) { return std::bit_cast<float>(LoadU32LE(p)); }
inline float LoadF32BE(const void* p) { return std::bit_cast<float>(LoadU32BE(p)); }

inline void StoreU16LE(void* p, uint16_t v) {
  unsigned char* b = static_cast<unsigned char*>(p);
  b[0] = static_cast<unsigned char>(v);
  b[1] = static_cast<unsigned char>(v >> 8);
}
inline void StoreU16BE(void* p, uint16_t v) {
  unsigned char* b = static_cast<unsigned char*>(p);
  b[1] = static_cast<unsigned char>(v);
  b[0] = static_cast<unsigned char>(v >> 8);
}
inline void StoreU32LE(void* p, uint32_t v) {
  unsigned char* b = static_cast<unsigned char*>(p);
  for (int i = 0; i < 4; ++i) b[i] = static_cast<unsigned char>(v >> (8 * i));
}
inline void StoreU32BE(void* p, uint32_t v) {
  unsigned char* b = static_cast<unsigned char*>(p);
  for (int i = 0; i < 4; ++i) b[3 - i] = static_cast<unsigned char>(v >> (8 * i));
}
inline void StoreU64LE(void* p, uint64_t v) {
  unsigned char* b = static_cast<unsigned char*>(p);
  for (int i = 0; i < 8; ++i) b[i] = static_cast<unsigned char>(v >> (8 * i));
}
inline void StoreU64BE(void* p, uint64_t v) {
  unsigned char* b = static_cast<unsigned char*>(p);
  for (int i = 0; i < 8; ++i) b[7 - i] = static_cast<unsigned char>(v >> (8 * i));
}
inline void StoreF64LE(void* p, double v) { StoreU64LE(p, std::bit_cast<uint64_t>(v)); }
inline void StoreF64BE(void* p, double v) { StoreU64BE(p, std::bit_cast<uint64_t>(v)); }

// A stored missing number: -1e307 or below, or -1e307 with only its most
// significant byte changed on the way through another format.
inline bool IsMissingNumber(double x) {
  if (x != x) return true;  // NaN never enters a Dataset as a number
  if (x >= -1e36) return false;
  if (x <= -1e307) return true;
  uint64_t a = std::bit_cast<uint64_t>(x);
  uint64_t m = std::bit_cast<uint64_t>(-1e307);
  return (a & 0x00FFFFFFFFFFFFFFull) == (m & 0x00FFFFFFFFFFFFFFull);
}

}  // namespace trovadex
