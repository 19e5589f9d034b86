// The tolerant text-to-number reader. The first byte picks the run's
// text-to-number mode (0..4); the rest is the text.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "core/convert.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  trovadex::fuzz::Initialize(argc, argv);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  trovadex::fuzz::RunInput([&] {
    trovadex::State().textToNumberMode = data[0] % 5;
    bool doubtful = false;
    double value = trovadex::TextToNumber(text, trovadex::kMissingValue, &doubtful);
    // A NaN would pass every missing-value test and reach the outputs.
    if (std::isnan(value)) std::abort();
  });
  return 0;
}
