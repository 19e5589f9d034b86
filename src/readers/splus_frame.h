// What the two S data-frame readers (data-dump text and binary object) share:
// column names, factor labels, the day number of a "dates" origin, and the
// column widths.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/dataset.h"

namespace trovadex {

// A column name from the file: at most 40 characters, a final "." dropped
// from a longer name, made a legal identifier.
std::string SplusColumnName(std::string_view name);

// A text value or label as stored: cut to `limit`, trimmed and its inner
// blanks collapsed when the options ask for it.
std::string SplusText(std::string_view text, std::size_t limit);

// Makes `column` a factor with the largest level number used in its values
// and the labels read (none: level numbers shown). The level count is the
// larger of the two, so unused last levels keep their labels.
void FinishSplusFactor(Column* column, int64_t largestLevel, const std::vector<std::string>& labels);

// The day number of a "dates" origin under the column's date base (0 when
// the date is not valid).
double SplusDateOrigin(const Column* column, double month, double day, double year);

// Widths from the values: the longest text or the largest digit estimate,
// + 2, within the name length + 2 and 90 (texts) or 20 (numbers).
void SetSplusWidth(Column* column);

// True when the row name at 0-based `row` is just its row number: row names
// that are all row numbers carry nothing worth a column.
bool IsRowNumberName(std::string_view name, int64_t row);

}  // namespace trovadex
