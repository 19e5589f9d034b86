// Number texts for the text writers.
#pragma once

namespace trovadex {

// The same text as FormatNumber (core/format.h), which it calls. `out`
// holds kNumberTextSize bytes.
int FastFormatNumber(char* out, double value, int valueFormat, int decimals, double missing);

}  // namespace trovadex
