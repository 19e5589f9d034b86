// The shapefile reader with its companion file: the input up to the first
// "@@COMPANION@@" is the .shp file, the rest the .dbf beside it (no
// marker: no companion). The input size picks a small column limit now and
// then.
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "readers/readers.h"

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  trovadex::fuzz::Initialize(argc, argv);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  static const std::string companion = trovadex::fuzz::InputPath(".dbf");
  constexpr std::string_view kMarker = "@@COMPANION@@";
  std::string_view all(reinterpret_cast<const char*>(data), size);
  std::size_t at = all.find(kMarker);
  std::size_t mainSize = at == std::string_view::npos ? size : at;
  if (at == std::string_view::npos) {
    std::remove(companion.c_str());
  } else {
    std::size_t from = at + kMarker.size();
    if (!trovadex::fuzz::WriteInput(companion, data + from, size - from)) return 0;
  }
  trovadex::fuzz::RunReader(data, mainSize, ".shp", [&](const char* path) {
    if (size % 5 == 1) trovadex::State().columnLimit = 4;
    trovadex::ReadShapefile(path);
  });
  return 0;
}
