// The delimited text reader. The input size picks the names-row mode, so
// that all three modes are reached without changing the file's bytes.
#include <cstdint>

#include "fuzz_support.h"
#include "readers/readers.h"

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  trovadex::fuzz::Initialize(argc, argv);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  trovadex::fuzz::RunReader(data, size, ".csv", [&](const char* path) {
    trovadex::State().namesRowMode = static_cast<trovadex::NamesRowMode>(size % 3);
    trovadex::ReadDelimitedText(path);
  });
  return 0;
}
