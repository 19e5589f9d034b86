#include "writers/number_text.h"

#include "core/format.h"

namespace trovadex {

// FormatNumber builds the free number format from one shortest conversion
// (or a scaled whole number) itself now, so the writers' number text is
// simply its text.
int FastFormatNumber(char* out, double value, int valueFormat, int decimals, double missing) {
  return FormatNumber(out, value, valueFormat, decimals, missing);
}

}  // namespace trovadex
