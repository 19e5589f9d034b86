// Test helpers for Corvist spreadsheet files: a field-by-field byte builder
// (either byte order) and a walker that byte-reverses every int32 and double
// of a little-endian file, leaving the string bytes alone.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace trovadex::test {

static_assert(std::endian::native == std::endian::little, "the reverser reads host order");

struct CrsBytes {
  bool bigEndian = false;
  std::string bytes;

  CrsBytes& I32(int32_t v) {
    uint32_t u = static_cast<uint32_t>(v);
    for (int i = 0; i < 4; ++i) {
      int shift = bigEndian ? 8 * (3 - i) : 8 * i;
      bytes.push_back(static_cast<char>((u >> shift) & 0xFF));
    }
    return *this;
  }
  CrsBytes& F64(double v) {
    uint64_t u = std::bit_cast<uint64_t>(v);
    for (int i = 0; i < 8; ++i) {
      int shift = bigEndian ? 8 * (7 - i) : 8 * i;
      bytes.push_back(static_cast<char>((u >> shift) & 0xFF));
    }
    return *this;
  }
  CrsBytes& Str(std::string_view s) {
    I32(static_cast<int32_t>(s.size()));
    bytes.append(s);
    return *this;
  }
};

// Walks a little-endian spreadsheet file and reverses the byte order of every
// number in it. Returns an empty string when the file cannot be walked.
class CrsReverser {
 public:
  explicit CrsReverser(std::string bytes) : b_(std::move(bytes)) {}

  std::string Run() {
    int32_t magic = I32();
    int version = magic == 53315331 ? 1 : magic == 53325332 ? 2 : magic == 54415441 ? 3 : 0;
    if (version == 0) return {};
    int32_t shape = I32();
    int32_t records = I32();
    I32();  // rows
    F64();
    if (version >= 2) I32();
    int32_t contents = 0;
    if (version >= 3) {
      I32();
      contents = I32();
      I32();
      I32();
    }
    int32_t classifiers = 0, labelStyle = 0;
    if (shape == 2 || shape == 3) {
      Str();
      labelStyle = I32();
    } else if (shape == 5) {
      classifiers = I32();
      if (version >= 3) I32();
      if (version < 3 || classifiers >= 2) {
        if (version >= 3) I32();
        Str();
        labelStyle = I32();
        Str();
      }
    }
    for (int32_t r = 0; r < records && ok_; ++r) {
      int32_t kind = I32();
      int32_t n = I32();
      if (kind == 21) {
        for (int32_t i = 0; i < n; ++i) I32();
        continue;
      }
      Str();
      if (version >= 3) Str();
      I32();
      I32();
      if (version >= 2) I32();
      if (version >= 3) {
        I32();
        I32();
        Str();
      }
      if (kind == 2) {
        I32();
        int32_t v = I32();
        int32_t b = I32();
        if (version >= 2) I32();
        if (v > 0) I32();
        if (b > 0) I32();
        for (int32_t i = 0; i < v; ++i) F64();
        for (int32_t i = 0; i < b; ++i) Str();
        for (int32_t i = 0; i < n; ++i) F64();
      } else if (kind == 3 || kind == -3) {
        I32();
        for (int32_t i = 0; i < n; ++i) Str();
      } else {
        if (kind == 8 && shape == 5 && classifiers >= 2 && labelStyle == 3) F64();
        I32();
        for (int32_t i = 0; i < n; ++i) F64();
      }
    }
    if (contents & 8) {
      if (I32() >= 1) {
        int32_t count = I32();
        for (int32_t i = 0; i < count && ok_; ++i) Str();
      }
    }
    if (contents & 1024) {
      int32_t count = I32();
      for (int32_t i = 0; i < count && ok_; ++i) {
        I32();
        F64();
        F64();
      }
    }
    if (!ok_ || pos_ != b_.size()) return {};
    return b_;
  }

 private:
  int32_t I32() {
    if (pos_ + 4 > b_.size()) {
      ok_ = false;
      pos_ = b_.size();
      return 0;
    }
    uint32_t u;
    std::memcpy(&u, b_.data() + pos_, 4);
    std::swap(b_[pos_], b_[pos_ + 3]);
    std::swap(b_[pos_ + 1], b_[pos_ + 2]);
    pos_ += 4;
    return static_cast<int32_t>(u);  // the value as it was (little-endian host)
  }
  void F64() {
    if (pos_ + 8 > b_.size()) {
      ok_ = false;
      pos_ = b_.size();
      return;
    }
    for (int i = 0; i < 4; ++i) std::swap(b_[pos_ + i], b_[pos_ + 7 - i]);
    pos_ += 8;
  }
  void Str() {
    int32_t n = I32();
    if (n < 0 || pos_ + static_cast<std::size_t>(n) > b_.size()) {
      ok_ = false;
      pos_ = b_.size();
      return;
    }
    pos_ += static_cast<std::size_t>(n);
  }

  std::string b_;
  std::size_t pos_ = 0;
  bool ok_ = true;
};

inline std::string ReverseCrs(const std::string& bytes) { return CrsReverser(bytes).Run(); }

}  // namespace trovadex::test
