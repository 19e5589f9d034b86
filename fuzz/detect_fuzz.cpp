// Format detection over arbitrary bytes. The last input byte picks the path's
// ending, since several tests look at it; the other bytes are the file.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "driver/detect.h"
#include "fuzz_support.h"

namespace {

constexpr const char* kEndings[] = {".dat", ".dbf", ".DBF", ".mif", ".db", ".sdd",
                                    ".rec", ".dht", ".txt", ".csv", "", ".x"};
constexpr std::size_t kEndingCount = sizeof(kEndings) / sizeof(kEndings[0]);

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  trovadex::fuzz::Initialize(argc, argv);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  static std::string paths[kEndingCount];
  if (paths[0].empty()) {
    for (std::size_t i = 0; i < kEndingCount; ++i) paths[i] = trovadex::fuzz::InputPath(kEndings[i]);
  }
  std::size_t which = size > 0 ? data[size - 1] % kEndingCount : 0;
  const std::string& path = paths[which];
  if (!trovadex::fuzz::WriteInput(path, data, size > 0 ? size - 1 : 0)) return 0;
  trovadex::fuzz::RunInput([&] {
    int code = trovadex::DetectFormat(path.c_str());
    // Only the codes of the format table ever come back.
    bool known = (code >= 0 && code <= 3) || code == 5 || (code >= 7 && code <= 10) ||
                 (code >= 13 && code <= 18) || (code >= 20 && code <= 28) || code == 32 ||
                 code == 33 || (code >= 35 && code <= 37);
    if (!known) std::abort();
  });
  return 0;
}
