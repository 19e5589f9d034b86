// Column list maintenance, empty-row and empty-column marking, print widths.
#pragma once

#include "core/dataset.h"

namespace trovadex {

// Every column's position becomes its index in the list ("Row" 0).
void RenumberPositions(Dataset* dataset);
// Takes a linked column out of its Dataset's list: columnCount (and
// unitsColumnCount for "Row", a units column or a table's classifying
// factor) decrease, the column cache is reset, positions are renumbered.
// False when the column has no Dataset or is not in its list.
bool UnlinkColumn(Column* column);
// Puts an unlinked column into the list: first for place <= 0, appended for
// place > columnCount, otherwise before the column now at `place`. The
// counts grow as UnlinkColumn's shrink.
bool InsertColumn(Dataset* dataset, Column* column, int32_t place);
// Moves the column at position `from` to position `to` (1..columnCount);
// a units column only to 1; "Row" and units columns never shift.
bool MoveColumn(Dataset* dataset, int32_t from, int32_t to);
// Names the non-units data columns "1", "2", ...
void NumberColumns(Dataset* dataset);
// Set the rows' / columns' `empty` flags and return how many are empty (or,
// paired in a symmetric matrix, how many row/column pairs are empty).
long MarkEmptyRows(Dataset* dataset, bool pairWithColumns);
long MarkEmptyColumns(Dataset* dataset, bool pairWithRows);
// Sets and returns the column's print width (content width, at least 2 and
// at least the name length up to 11, plus 1).
int32_t ComputeWidth(Column* column);

// Digit estimate used for the print widths of numeric columns that a file
// stores without a width (dBase numeric fields, the dBase writer's field
// lengths, Corvist spreadsheets): for 1e-12 < |value| < 1e12 the absolute
// value of the integer part (truncated toward zero) of log10|value|, plus 3
// (room for a sign, the first digit and a point); otherwise 3 for 0 and 15
// for any other value. So 1.5 gives 3, -123.25 gives 5, 0.0015 gives 5.
// The decimals do not enter the estimate: each caller adds its own.
int EstimateDigits(double value, int decimals = 0);

}  // namespace trovadex
