// Column kind conversions, the tolerant text-to-number reader and its
// warnings file "TxtToNum.ERR", and small factor operations.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/dataset.h"

namespace trovadex {

inline constexpr const char* kWarningsFileName = "TxtToNum.ERR";

// Calendar label families, tried in this order.
enum class LabelFamily { Compass = 0, Weekdays = 1, MonthNames = 2, MonthAbbreviations = 3 };

// Reads a number from messy text under the run's text-to-number mode (0..4).
// Empty text gives `fallback` without doubt. Sets *doubtful when the text
// needed changes or could not be read (then the result is `fallback`).
double TextToNumber(std::string_view text, double fallback, bool* doubtful);

bool TextToVariate(Column* column);
bool VariateToText(Column* column);
bool FactorToText(Column* column);
bool FactorToVariate(Column* column, bool useLevelValues);
bool VariateToFactor(Column* column, bool distinctLevels);
bool TextToFactor(Column* column, bool caseInsensitive, bool compress);
bool UnitsToText(Column* column);
bool UnitsToVariate(Column* column);
bool MakeVariateUnits(Column* column);
bool MakeTextUnits(Column* column);
bool ReorderLevels(Column* column, const std::vector<int32_t>& permutation);
bool LabelsFollowFamily(Column* column, LabelFamily family);
bool OrderLabelsByFamily(Column* column, LabelFamily family);
bool FactorLevelText(Column* column, long level, std::string& text);
bool MakeLabelsFromLevels(Column* column);
// `values` null: 1, 2, ...; otherwise levelCount values from the array.
bool SetLevelValues(Column* column, const double* values);
void ConvertColumn(Column* column, ColumnKind fromKind, ColumnKind toKind, bool caseInsensitive,
                   bool compress);

// Warnings file. `cell` is the spreadsheet cell reference ("B7") or null.
// Opens "TxtToNum.ERR" with its header at the first warning of the run.
void WriteConversionWarning(std::string_view columnName, long row, const char* cell,
                            std::string_view text, double value, bool valueMissing);
// Closes the file; true when it was opened during the run.
bool CloseWarningsFile();

}  // namespace trovadex
