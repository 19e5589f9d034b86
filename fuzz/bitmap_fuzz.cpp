// The bitmap reader. The input size picks one colour column instead of three
// now and then.
#include <cstdint>

#include "fuzz_support.h"
#include "readers/readers.h"

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  trovadex::fuzz::Initialize(argc, argv);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  trovadex::fuzz::RunReader(data, size, ".bmp", [&](const char* path) {
    trovadex::ReadBitmap(path, size % 3 != 1);
  });
  return 0;
}
