// Number texts for the text writers.
#pragma once

namespace trovadex {

// The same text as FormatNumber (core/format.h), made faster for the free
// number format (valueFormat 1 without decimals, and 4), which needs one
// shortest conversion instead of several. `out` holds kNumberTextSize bytes.
int FastFormatNumber(char* out, double value, int valueFormat, int decimals, double missing);

}  // namespace trovadex
