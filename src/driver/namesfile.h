// Names files: ".VAR" (read with "/v", written when absent) and ".$V$" ("/p").
#pragma once

#include <cstdio>

#include "core/dataset.h"

namespace trovadex {

void FinishNames(Dataset* dataset, int outputKind);
int16_t ApplyNamesFile(Dataset* dataset, std::FILE* file);
int16_t WriteNamesFile(Dataset* dataset, const char* path);

}  // namespace trovadex
