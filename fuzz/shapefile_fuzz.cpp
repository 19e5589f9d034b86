// The shapefile reader with its companion file: the input up to the first
// "@@COMPANION@@" is the .shp file, the rest the .dbf beside it (no
// marker: no companion). The input size picks a small column limit now and
// then.
#include <cstdint>

#include "fuzz_support.h"
#include "readers/readers.h"

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  trovadex::fuzz::Initialize(argc, argv);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  trovadex::fuzz::RunReaderWithCompanion(data, size, ".shp", ".dbf", [&](const char* path) {
    if (size % 5 == 1) trovadex::State().columnLimit = 4;
    trovadex::ReadShapefile(path);
  });
  return 0;
}
