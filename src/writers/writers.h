// One writer per output format. Each takes the Dataset and the (temporary)
// output path and returns a success flag (0 = nothing valid written).
#pragma once

#include <cstdint>

#include "core/dataset.h"

namespace trovadex {

int16_t WriteCorvistSpreadsheet(Dataset* dataset, const char* path);   // OutputKind 1
int16_t WriteDbase(Dataset* dataset, const char* path);                // 3
int16_t WriteCorvistCommandFile(Dataset* dataset, const char* path);   // 4
int16_t WriteExcel(Dataset* dataset, const char* path);                // 5
int16_t WriteDelimitedText(Dataset* dataset, const char* path, bool tabSeparated);  // 6, 29
int16_t WriteWq1(Dataset* dataset, const char* path);                  // 8
int16_t WriteSplusDump(Dataset* dataset, const char* path);            // 14
int16_t WriteInstat(Dataset* dataset, const char* path);               // 15
int16_t WriteGauss(Dataset* dataset, const char* path);                // 18
int16_t WriteMatlab(Dataset* dataset, const char* path);               // 20
int16_t WriteSasTransport(Dataset* dataset, const char* path);         // 28
int16_t WriteRtf(Dataset* dataset, const char* path);                  // 30
int16_t WriteHtml(Dataset* dataset, const char* path);                 // 31

}  // namespace trovadex
