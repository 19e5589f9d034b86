// The MStat reader. The input is both the header file and, copied beside
// it, the ".dat" data file, so that the records are read too. The input
// size picks a small column limit now and then.
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "readers/readers.h"

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  trovadex::fuzz::Initialize(argc, argv);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  static const std::string dataPath = trovadex::fuzz::InputPath(".dat");
  if (!trovadex::fuzz::WriteInput(dataPath, data, size)) return 0;
  trovadex::fuzz::RunReader(data, size, ".hdr", [&](const char* path) {
    if (size % 5 == 1) trovadex::State().columnLimit = 3;
    if (size % 7 == 2) trovadex::State().options.compressBlanks = 0;
    trovadex::ReadMstat(path);
  });
  return 0;
}
