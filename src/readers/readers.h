// One reader per input format. Each takes the input path, returns a success
// flag (0 = failure, after printing its own diagnostics) and leaves its table
// in CurrentDataset().
#pragma once

#include <cstdint>

namespace trovadex {

int16_t ReadCorvistSpreadsheet(const char* path);  // FormatCode 1
int16_t ReadLotus(const char* path);               // 2
int16_t ReadDbase(const char* path);               // 3
int16_t ReadExcel(const char* path);               // 5
int16_t ReadMinitab(const char* path);             // 7
int16_t ReadQuattro(const char* path);             // 8
// Quattro Pro notebooks, handed over as the stream of their compound document.
int16_t ReadQuattroPro(const char* path);
int16_t ReadParadox(const char* path);             // 9
int16_t ReadSasPc(const char* path);               // 10
int16_t ReadSplusBinary(const char* path);         // 13
int16_t ReadSplusText(const char* path);           // 14
int16_t ReadInstat(const char* path);              // 15
int16_t ReadMstat(const char* path);               // 16
int16_t ReadEpiInfo(const char* path);             // 17
int16_t ReadGauss(const char* path);               // 18
int16_t ReadMatlab(const char* path);              // 20
int16_t ReadSystat(const char* path);              // 21
int16_t ReadSpss(const char* path);                // 22
int16_t ReadStata(const char* path);               // 23
int16_t ReadDelimitedText(const char* path);       // 25
int16_t ReadShapefile(const char* path);           // 26
int16_t ReadMapInfo(const char* path);             // 27
int16_t ReadSasTransport(const char* path);        // 28
int16_t ReadBitmap(const char* path, bool splitColour);  // 32
int16_t ReadWave(const char* path, bool splitColour);    // 33
int16_t ReadStatistica(const char* path, int formatCode);  // 35, 36
int16_t ReadXlsx(const char* path);                // 38

}  // namespace trovadex
