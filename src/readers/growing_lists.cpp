#include "readers/growing_lists.h"

#include <string>

namespace trovadex {

Column* AddGrownNumbers(Dataset* dataset, std::string_view name, GrowingNumbers& values, int32_t count) {
  Column* col = AddColumn(dataset, ColumnKind::Variate, name, 25);
  if (!col) return nullptr;
  values.list.Resize(count, dataset->missingValue);
  col->numbers = std::move(values.list);
  col->valueCount = count;
  col->decimals = -1;
  col->valueFormat = 1;
  col->width = std::max(12, static_cast<int>(col->name.size()) + 1);
  return col;
}

Column* AddGrownTexts(Dataset* dataset, std::string_view name, GrowingTexts& values, int32_t count, int longest) {
  Column* col = AddColumn(dataset, ColumnKind::Text, name, kTextLength);
  if (!col) return nullptr;
  values.list.Resize(count);
  col->texts = std::move(values.list);
  col->texts.maxLength = kTextLength;
  col->valueCount = count;
  col->decimals = -1;
  col->valueFormat = 4;
  col->levelCount = longest;
  col->width = std::clamp(std::max(longest, static_cast<int>(col->name.size()) + 1), 3, 90);
  return col;
}

}  // namespace trovadex
