#include "readers/whole_file.h"

#include <cstdio>
#include <new>

#include "core/dataset.h"

namespace trovadex {

bool ReadWholeFile(const char* path, std::vector<uint8_t>& bytes) {
  bytes.clear();
  if (!path) return false;
  std::FILE* f = std::fopen(path, "rb");
  if (!f) return false;
  uint8_t buffer[65536];
  bool ok = true;
  for (;;) {
    std::size_t got = std::fread(buffer, 1, sizeof buffer, f);
    if (got > 0) {
      try {
        bytes.insert(bytes.end(), buffer, buffer + got);
      } catch (const std::bad_alloc&) {
        std::fclose(f);
        OutOfMemory();
      }
    }
    if (got < sizeof buffer) {
      ok = !std::ferror(f);
      break;
    }
  }
  return (std::fclose(f) == 0) && ok;
}

}  // namespace trovadex
