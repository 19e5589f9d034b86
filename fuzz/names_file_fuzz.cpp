// The names-file parser over a small Dataset holding one column of each kind
// it converts (numbers, texts, a factor with labels).
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "core/dataset.h"
#include "driver/namesfile.h"
#include "fuzz_support.h"

namespace {

trovadex::Dataset* SampleDataset(std::size_t size) {
  using namespace trovadex;
  Dataset* d = CreateDataset();
  const int32_t rows = 4;
  Column* row = d->firstColumn;
  AllocateValues(row, rows);
  for (int32_t i = 0; i < rows; ++i) SetNumber(row, i, i + 1);
  Column* v = AddColumnWithValues(d, ColumnKind::Variate, "yield", rows);
  for (int32_t i = 0; i < rows; ++i) SetNumber(v, i, i % 2 ? 1.5 : kMissingValue);
  Column* t = AddColumnWithValues(d, ColumnKind::Text, "site", rows);
  const char* texts[] = {"north", "12", "", " 3.5e2 "};
  for (int32_t i = 0; i < rows; ++i) SetText(t, i, texts[i]);
  Column* f = AddColumnWithValues(d, ColumnKind::Factor, "block", rows);
  for (int32_t i = 0; i < rows; ++i) SetNumber(f, i, i % 2 + 1);
  f->levelCount = 2;
  SetLevelValueList(f, {10, 20});
  SetLabelList(f, {"low", "high"});
  f->factorDisplay = 2;
  AddColumnWithValues(d, ColumnKind::Variate, "spare", rows);
  d->rowCount = rows;
  CreateRows(d);
  // Now and then a matrix, whose names file names the Dataset itself.
  if (size % 7 == 3) {
    d->shape = DatasetShape::Matrix;
    d->name = "M";
  }
  return d;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  trovadex::fuzz::Initialize(argc, argv);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  static const std::string path = trovadex::fuzz::InputPath(".VAR");
  if (!trovadex::fuzz::WriteInput(path, data, size)) return 0;
  trovadex::fuzz::RunInput([&] {
    trovadex::Dataset* d = SampleDataset(size);
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(path.c_str(), "r"), std::fclose);
    if (!f) return;
    trovadex::ApplyNamesFile(d, f.get());
  });
  return 0;
}
