#include "readers/splus_frame.h"

#include <algorithm>
#include <cmath>

#include "core/format.h"
#include "core/names.h"
#include "readers/matrix_input.h"

namespace trovadex {

std::string SplusColumnName(std::string_view name) {
  std::string n(name.substr(0, kNameLength));
  if (n.size() > 1 && n.back() == '.') n.pop_back();
  LegalName(n);
  return n;
}

std::string SplusText(std::string_view text, std::size_t limit) {
  if (State().options.compressBlanks) return TrimText(text, limit);
  return std::string(text.substr(0, limit));
}

void FinishSplusFactor(Column* column, int64_t largestLevel, const std::vector<std::string>& labels) {
  column->levelCount = static_cast<int32_t>(std::max<int64_t>(largestLevel, static_cast<int64_t>(labels.size())));
  if (labels.empty()) return;
  SetLabelList(column, labels);
  column->factorDisplay = 2;
  column->valueFormat = 4;
  column->justification = 0;
  std::size_t longest = 0;
  for (int64_t i = 0; i < column->labels.size(); ++i) longest = std::max(longest, column->labels.Get(i).size());
  column->longestLabel = static_cast<int32_t>(longest);
}

double SplusDateOrigin(const Column* column, double month, double day, double year) {
  auto whole = [](double x, double fallback) {
    return std::isfinite(x) && std::fabs(x) < 1e6 ? static_cast<long>(x) : static_cast<long>(fallback);
  };
  const int saved = CurrentDateBase();
  SetCurrentDateBase(column->dateBase);
  double origin = DayCountFromDate(whole(day, 1), whole(month, 1), whole(year, 1960));
  SetCurrentDateBase(saved);
  return IsMissing(column->dataset, origin) ? 0 : origin;
}

void SetSplusWidth(Column* column) {
  int widest = 0;
  if (IsTextKind(column->kind)) {
    for (int64_t i = 0; i < column->valueCount; ++i)
      widest = std::max(widest, static_cast<int>(column->texts.Get(i).size()));
    column->levelCount = widest;
    SetMatrixWidth(column, widest + 2, 90);
    return;
  }
  if (column->kind == ColumnKind::Factor && column->factorDisplay == 2) {
    SetMatrixWidth(column, column->longestLabel + 2, 20);
    return;
  }
  for (int64_t i = 0; i < column->valueCount; ++i) widest = std::max(widest, MatrixDigits(column->numbers.Get(i)));
  SetMatrixWidth(column, widest + 2, 20);
}

bool IsRowNumberName(std::string_view name, int64_t row) { return name == std::to_string(row + 1); }

}  // namespace trovadex
