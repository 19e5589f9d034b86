// The Gauss reader. The input size picks a small column limit now and then
// (columns past it are read and dropped). A data-set header reads its data
// from the ".dat" file beside it, which the target does not make: the
// layouts with the data in the same file are the ones reached.
#include <cstdint>

#include "fuzz_support.h"
#include "readers/readers.h"

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  trovadex::fuzz::Initialize(argc, argv);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  trovadex::fuzz::RunReader(data, size, ".fmt", [&](const char* path) {
    if (size % 5 == 1) trovadex::State().columnLimit = 3;
    trovadex::ReadGauss(path);
  });
  return 0;
}
