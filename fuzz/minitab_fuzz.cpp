// The Minitab reader: even-sized inputs as worksheet files, odd-sized ones
// as the record stream taken out of a compound document.
#include <cstdint>

#include "fuzz_support.h"
#include "readers/readers.h"

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  trovadex::fuzz::Initialize(argc, argv);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  trovadex::fuzz::RunReader(data, size, ".mtw", [&](const char* path) {
    if (size % 5 == 1) trovadex::State().columnLimit = 2;
    trovadex::State().minitabRecordStream = size % 2 == 1;
    trovadex::ReadMinitab(path);
  });
  return 0;
}
