// The ZIP container alone: open the archive, then read every entry to its
// end, in pieces, as the workbook reader will.
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "readers/zip.h"

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  trovadex::fuzz::Initialize(argc, argv);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  trovadex::fuzz::RunReader(data, size, ".xlsx", [&](const char* path) {
    trovadex::ZipArchive zip;
    if (trovadex::OpenZip(path, zip) != trovadex::ZipStatus::Ok) return;
    for (const trovadex::ZipEntry& entry : zip.entries) {
      std::size_t total = 0;
      trovadex::ReadZipEntry(zip, entry, [&](const char*, std::size_t n) {
        total += n;
        return true;
      });
    }
    if (!zip.entries.empty()) {
      std::string whole;
      trovadex::ReadZipEntryWhole(zip, zip.entries.front(), whole, 1 << 20);
    }
  });
  return 0;
}
