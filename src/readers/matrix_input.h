// Pieces shared by the readers of the matrix-language and S formats: the
// number rules of their values, their width estimate, the Dataset name taken
// from the file name, and a buffered sequential reader of a binary file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "core/dataset.h"

namespace trovadex {

// A stored number: NaN, infinities and values not above the missing value
// become missing; values above the largest kept number are cut to it.
double MatrixNumber(double x);

// Digits an element needs in print: |trunc(log10 |x|)| + 1 within 1e-10 to
// 1e10, 12 for any other non-zero value, 0 for zero and missing values.
int MatrixDigits(double x);

// The column's width from the largest estimate: at least its name length
// + 2 and 3, at most `widest`.
void SetMatrixWidth(Column* column, int estimate, int widest = 20);

// The file name without its directory (after the last "\", "/" or ":"), at
// most 40 characters, cut at its last ".".
std::string FileStem(const char* path);

// Sequential reads from an open binary file through a block buffer; the
// size is taken at open.
struct BlockInput {
  std::FILE* file = nullptr;
  int64_t size = 0;
  int64_t position = 0;  // of the next byte handed out
  ByteBuffer buffer;
  std::size_t begin = 0;
  std::size_t end = 0;

  BlockInput() = default;
  BlockInput(const BlockInput&) = delete;
  BlockInput& operator=(const BlockInput&) = delete;
  ~BlockInput();

  // False when the file cannot be opened or its size taken.
  bool Open(const char* path);
  int64_t Remaining() const { return size - position; }
  // Copies the next n bytes; false (and nothing consumed) when the file ends first.
  bool Read(void* out, std::size_t n);
  bool Skip(int64_t n);
  bool Seek(int64_t offset);
  // True when the file was read without an error and closed cleanly.
  bool Close();
};

}  // namespace trovadex
