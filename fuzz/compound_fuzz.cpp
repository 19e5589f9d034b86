// The compound-document layer alone: open the container from memory, then
// read the selected stream to its end in uneven pieces and seek about in it.
#include <cstdint>
#include <vector>

#include "fuzz_support.h"
#include "readers/compound/compound.h"

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  trovadex::fuzz::Initialize(argc, argv);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  static const std::string name = trovadex::fuzz::InputPath(".xls");
  trovadex::fuzz::RunInput([&] {
    trovadex::State().inputFileName = name;
    std::vector<uint8_t> bytes(data, data + size);
    int16_t handOff = -1;
    if (trovadex::CfbOpenWorkbookBytes(std::move(bytes), name.c_str(), &handOff) == 0) {
      std::vector<uint8_t> piece(4096);
      int16_t error = 0;
      int64_t step = 1;
      // Piece lengths 1, 2, 4, ... 4096 and round again, until the stream ends.
      for (int reads = 0; reads < 100000 && error == 0; ++reads) {
        if (trovadex::CfbRead(piece.data(), step, &error) != 0) break;
        step = step >= 4096 ? 1 : step * 2;
      }
      int64_t end = trovadex::CfbTell();
      trovadex::CfbSeek(end / 2);
      trovadex::CfbRead(piece.data(), 64, &error);
      trovadex::CfbSeek(end + 1);
      trovadex::CfbSeek(-1);
      trovadex::CfbRead(nullptr, 100, &error);
    }
    trovadex::CfbReset();
  });
  return 0;
}
