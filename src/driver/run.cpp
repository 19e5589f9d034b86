#include "driver/run.h"

#include <cstdio>

#include "core/dataset.h"

namespace trovadex {

int RunMain(int argc, char**) {
  InitOptions();
  if (argc < 2) {
    std::printf("Trovadex - Translates Spreadsheet/Database files into Corvist/Gauss format.\n");
    return 1;
  }
  return 1;
}

}  // namespace trovadex
