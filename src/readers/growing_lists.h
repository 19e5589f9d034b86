// Value lists that grow while a file's rows are read, for readers that learn
// the row count only at the end (the GIS readers flatten shapes into one row
// per point), and the Dataset columns made from them.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/dataset.h"

namespace trovadex {

// Values added when a list is full: in proportion to what it holds, so that
// a small file does not fill whole blocks of values.
inline int64_t GrowthStep(int64_t used, std::size_t block) {
  return std::clamp<int64_t>(used / 2, 1024, static_cast<int64_t>(block));
}

struct GrowingNumbers {
  NumberList list;
  int64_t used = 0;
  bool kept = true;  // false: the file has no such column, values are dropped
  void Push(double v) {
    if (!kept) return;
    if (used == list.count) list.Resize(used + GrowthStep(used, NumberList::kBlockSize));
    list.Set(used++, v);
  }
  void PushRepeated(double v, int64_t n) {
    for (int64_t i = 0; i < n; ++i) Push(v);
  }
};

struct GrowingTexts {
  TextList list;
  int64_t used = 0;
  void Push(std::string_view text) {
    if (used == list.count) list.Resize(used + GrowthStep(used, TextList::kBlockSize));
    list.SetNew(used++, text);
  }
  void PushRepeated(std::string_view text, int64_t n) {
    for (int64_t i = 0; i < n; ++i) Push(text);
  }
};

// A Variate column of the list's values, padded with missing values to
// `count` rows, in the general format; null past the column limit.
Column* AddGrownNumbers(Dataset* dataset, std::string_view name, GrowingNumbers& values, int32_t count);
// A Text column likewise, padded with empty texts; `longest` is its longest
// text.
Column* AddGrownTexts(Dataset* dataset, std::string_view name, GrowingTexts& values, int32_t count, int longest);

}  // namespace trovadex
