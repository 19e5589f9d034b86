// The Excel reader (plain BIFF2-4 files and compound documents). The input
// size picks the Sheet and Range arguments now and then, so that the sheet
// and named-range selection is reached without changing the file's bytes.
#include <cstdint>

#include "fuzz_support.h"
#include "readers/readers.h"

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  trovadex::fuzz::Initialize(argc, argv);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  trovadex::fuzz::RunReader(data, size, ".xls", [&](const char* path) {
    trovadex::RunState& s = trovadex::State();
    switch (size % 8) {
      case 1: s.sheet = "2"; break;
      case 2: s.range = "B2:D9"; break;
      case 3: s.sheet = "S:Sheet1"; s.range = "A1:C5"; break;
      case 4: s.sheet = "R:data"; break;
      case 5: s.namesRowMode = trovadex::NamesRowMode::Absent; break;
      default: break;
    }
    trovadex::ReadExcel(path);
  });
  return 0;
}
