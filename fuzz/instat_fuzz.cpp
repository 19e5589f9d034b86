// The Instat worksheet reader. The input size gives "/m" replacement values
// now and then.
#include <cstdint>

#include "fuzz_support.h"
#include "readers/readers.h"

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  trovadex::fuzz::Initialize(argc, argv);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  trovadex::fuzz::RunReader(data, size, ".wor", [&](const char* path) {
    if (size % 5 == 2) {
      trovadex::State().instatMissing = {0, -1, 2.5};
      trovadex::State().instatMissingCount = 2;
    }
    trovadex::ReadInstat(path);
  });
  return 0;
}
