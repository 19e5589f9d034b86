// The Statistica readers: odd-sized inputs go to the classic data file
// reader, even-sized ones to the spreadsheet stream reader (now and then
// with a document name to show in messages).
#include <cstdint>

#include "fuzz_support.h"
#include "readers/readers.h"

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  trovadex::fuzz::Initialize(argc, argv);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  trovadex::fuzz::RunReader(data, size, ".sta", [&](const char* path) {
    if (size % 5 == 1) trovadex::State().columnLimit = 2;
    if (size % 4 == 2) trovadex::State().inputFileName = "document.sta";
    trovadex::ReadStatistica(path, size % 2 ? 35 : 36);
  });
  return 0;
}
