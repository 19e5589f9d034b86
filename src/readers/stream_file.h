// Sequential reading of a file through one growing buffer, for readers that
// walk records or lines of unknown length front to back: a window of the
// next bytes is made available on request and stays valid until the next
// request.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace trovadex {

struct StreamFile {
  std::FILE* file = nullptr;
  int64_t size = 0;      // bytes in the file when it was opened
  int64_t offset = 0;    // file offset of the next byte handed out
  bool failed = false;   // a read error (not the end of the file)
  std::vector<unsigned char> buffer;
  std::size_t begin = 0;  // next byte of `buffer` to hand out
  std::size_t end = 0;    // bytes of `buffer` filled

  StreamFile() = default;
  StreamFile(const StreamFile&) = delete;
  StreamFile& operator=(const StreamFile&) = delete;
  ~StreamFile();

  // Opens the file for binary reading and takes its size; false when it
  // cannot be opened.
  bool Open(const char* path);
  // Moves to `at` (at most the size) and drops what the buffer held.
  bool Seek(int64_t at);
  // Bytes from the current offset to the end of the file.
  int64_t Left() const { return size > offset ? size - offset : 0; }
  // Makes the next `count` bytes available at Data(); false when the file
  // ends (or fails) before them. The buffer never grows beyond what the
  // file still holds.
  bool Need(std::size_t count);
  // At most `count` more bytes made available; returns how many are.
  std::size_t Fill(std::size_t count);
  std::size_t Available() const { return end - begin; }
  const unsigned char* Data() const { return buffer.data() + begin; }
  void Skip(std::size_t count) {
    begin += count;
    offset += static_cast<int64_t>(count);
  }
};

// A companion file beside the input (an attribute table, a data file):
// `stem` is the input's name up to and including its last ".", `given` the
// input's ending (its case is followed), `upper` the companion's ending in
// capitals and `after` whatever followed the input's ending. Tries `upper`,
// then `upper` in the case of `given` letter by letter, then all lower
// case; returns the first name that opens, empty when none does.
std::string FindCompanionFile(const std::string& stem, std::string_view given,
                              std::string_view upper, const std::string& after);

}  // namespace trovadex
