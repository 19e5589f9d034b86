// The WAVE reader. The input size picks the mean of the channels instead of
// one column per channel now and then.
#include <cstdint>

#include "fuzz_support.h"
#include "readers/readers.h"

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  trovadex::fuzz::Initialize(argc, argv);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  trovadex::fuzz::RunReader(data, size, ".wav", [&](const char* path) {
    trovadex::ReadWave(path, size % 3 != 1);
  });
  return 0;
}
