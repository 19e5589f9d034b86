// Fallbacks for output formats whose writer is not part of this build. Each is
// a weak definition: a writer's own source replaces it at link time.
#include <cstdio>

#include "writers/writers.h"

namespace trovadex {

namespace {
int16_t NotBuilt() {
  std::printf("Error: This build cannot write files of this type yet.\n");
  return 0;
}
}  // namespace

#define TROVADEX_WEAK __attribute__((weak))
TROVADEX_WEAK int16_t WriteCorvistSpreadsheet(Dataset*, const char*) { return NotBuilt(); }
TROVADEX_WEAK int16_t WriteDbase(Dataset*, const char*) { return NotBuilt(); }
TROVADEX_WEAK int16_t WriteCorvistCommandFile(Dataset*, const char*) { return NotBuilt(); }
TROVADEX_WEAK int16_t WriteExcel(Dataset*, const char*) { return NotBuilt(); }
TROVADEX_WEAK int16_t WriteDelimitedText(Dataset*, const char*, bool) { return NotBuilt(); }
TROVADEX_WEAK int16_t WriteWq1(Dataset*, const char*) { return NotBuilt(); }
TROVADEX_WEAK int16_t WriteSplusDump(Dataset*, const char*) { return NotBuilt(); }
TROVADEX_WEAK int16_t WriteInstat(Dataset*, const char*) { return NotBuilt(); }
TROVADEX_WEAK int16_t WriteGauss(Dataset*, const char*) { return NotBuilt(); }
TROVADEX_WEAK int16_t WriteMatlab(Dataset*, const char*) { return NotBuilt(); }
TROVADEX_WEAK int16_t WriteSasTransport(Dataset*, const char*) { return NotBuilt(); }
TROVADEX_WEAK int16_t WriteRtf(Dataset*, const char*) { return NotBuilt(); }
TROVADEX_WEAK int16_t WriteHtml(Dataset*, const char*) { return NotBuilt(); }

}  // namespace trovadex
