// Reading a whole input file into memory, for the formats whose records
// point back and forth through the file.
#pragma once

#include <cstdint>
#include <vector>

namespace trovadex {

// The whole file (its size is whatever reading finds, not what a header
// says); false when it cannot be opened or read.
bool ReadWholeFile(const char* path, std::vector<uint8_t>& bytes);

}  // namespace trovadex
