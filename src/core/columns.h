// Column list maintenance, empty-row and empty-column marking, print widths.
#pragma once

#include "core/dataset.h"

namespace trovadex {

void RenumberPositions(Dataset* dataset);
bool UnlinkColumn(Column* column);
bool InsertColumn(Dataset* dataset, Column* column, int32_t place);
bool MoveColumn(Dataset* dataset, int32_t from, int32_t to);
void NumberColumns(Dataset* dataset);
long MarkEmptyRows(Dataset* dataset, bool pairWithColumns);
long MarkEmptyColumns(Dataset* dataset, bool pairWithRows);
int32_t ComputeWidth(Column* column);

// Digit estimate used for the print widths of numeric columns that a file
// stores without a width (dBase numeric fields, Corvist spreadsheets).
// See the dBase reader: the number of characters a value needs.
int EstimateDigits(double value, int decimals);

}  // namespace trovadex
