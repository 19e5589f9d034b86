// Fallbacks for input formats whose reader is not part of this build. Each is
// a weak definition: a reader's own source replaces it at link time.
#include <cstdio>

#include "readers/readers.h"

namespace trovadex {

namespace {
int16_t NotBuilt() {
  std::printf("Error: This build cannot read files of this type yet.\n");
  return 0;
}
}  // namespace

#define TROVADEX_WEAK __attribute__((weak))
TROVADEX_WEAK int16_t ReadCorvistSpreadsheet(const char*) { return NotBuilt(); }
TROVADEX_WEAK int16_t ReadLotus(const char*) { return NotBuilt(); }
TROVADEX_WEAK int16_t ReadDbase(const char*) { return NotBuilt(); }
TROVADEX_WEAK int16_t ReadExcel(const char*) { return NotBuilt(); }
TROVADEX_WEAK int16_t ReadMinitab(const char*) { return NotBuilt(); }
TROVADEX_WEAK int16_t ReadQuattro(const char*) { return NotBuilt(); }
TROVADEX_WEAK int16_t ReadParadox(const char*) { return NotBuilt(); }
TROVADEX_WEAK int16_t ReadSasPc(const char*) { return NotBuilt(); }
TROVADEX_WEAK int16_t ReadSplusBinary(const char*) { return NotBuilt(); }
TROVADEX_WEAK int16_t ReadSplusText(const char*) { return NotBuilt(); }
TROVADEX_WEAK int16_t ReadInstat(const char*) { return NotBuilt(); }
TROVADEX_WEAK int16_t ReadMstat(const char*) { return NotBuilt(); }
TROVADEX_WEAK int16_t ReadEpiInfo(const char*) { return NotBuilt(); }
TROVADEX_WEAK int16_t ReadGauss(const char*) { return NotBuilt(); }
TROVADEX_WEAK int16_t ReadMatlab(const char*) { return NotBuilt(); }
TROVADEX_WEAK int16_t ReadSystat(const char*) { return NotBuilt(); }
TROVADEX_WEAK int16_t ReadSpss(const char*) { return NotBuilt(); }
TROVADEX_WEAK int16_t ReadStata(const char*) { return NotBuilt(); }
TROVADEX_WEAK int16_t ReadDelimitedText(const char*) { return NotBuilt(); }
TROVADEX_WEAK int16_t ReadShapefile(const char*) { return NotBuilt(); }
TROVADEX_WEAK int16_t ReadMapInfo(const char*) { return NotBuilt(); }
TROVADEX_WEAK int16_t ReadSasTransport(const char*) { return NotBuilt(); }
TROVADEX_WEAK int16_t ReadBitmap(const char*, bool) { return NotBuilt(); }
TROVADEX_WEAK int16_t ReadWave(const char*, bool) { return NotBuilt(); }
TROVADEX_WEAK int16_t ReadStatistica(const char*, int) { return NotBuilt(); }
TROVADEX_WEAK int16_t ReadXlsx(const char*) { return NotBuilt(); }

}  // namespace trovadex
