// The .xlsx workbook reader. The input size picks a small column limit now
// and then (columns past it are dropped) and whether blanks are compressed.
#include <cstdint>

#include "fuzz_support.h"
#include "readers/readers.h"

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  trovadex::fuzz::Initialize(argc, argv);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  trovadex::fuzz::RunReader(data, size, ".xlsx", [&](const char* path) {
    if (size % 5 == 1) trovadex::State().columnLimit = 3;
    if (size % 7 == 2) trovadex::State().options.compressBlanks = 0;
    trovadex::ReadXlsx(path);
  });
  return 0;
}
