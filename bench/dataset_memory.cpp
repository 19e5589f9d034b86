// Peak resident memory of a 1,000,000-row x 10-column numeric Dataset built
// with AddColumnWithValues and filled with distinct values. Not part of the
// build; compile and run by hand:
//   g++ -std=c++20 -O2 -Isrc bench/dataset_memory.cpp build/CMakeFiles/trovadex_obj.dir/src/core/*.o -o /tmp/dataset_memory && /tmp/dataset_memory
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "core/dataset.h"

namespace {

long StatusKilobytes(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field, 0) == 0) return std::stol(line.substr(std::strlen(field)));
  }
  return -1;
}

}  // namespace

int main() {
  using namespace trovadex;
  const int32_t rows = 1000000;
  const int columns = 10;
  long before = StatusKilobytes("VmHWM:");
  InitOptions();
  Dataset* d = CreateDataset();
  d->rowCount = rows;
  CreateRows(d);
  for (int c = 0; c < columns; ++c) {
    Column* column =
        AddColumnWithValues(d, ColumnKind::Variate, "C" + std::to_string(c + 1), rows);
    if (!column) return 1;
    for (int32_t i = 0; i < rows; ++i) SetNumber(column, i, i * 0.5 + c);
  }
  long after = StatusKilobytes("VmHWM:");
  std::printf("peak RSS before: %ld kB, after: %ld kB, Dataset: %.1f MB (%.1f bytes a value)\n",
              before, after, (after - before) / 1024.0,
              (after - before) * 1024.0 / (double(rows) * columns));
  return 0;
}
