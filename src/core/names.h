// Identifier names: blank trimming, default names, the missing-cell test,
// legal Corvist identifiers and unique column names.
#pragma once

#include <string>
#include <string_view>

#include "core/dataset.h"

namespace trovadex {

// At most `maxLength` characters of `source` without leading and trailing
// blanks, inner runs of blanks reduced to one. Only ' ' is a blank.
std::string TrimText(std::string_view source, std::size_t maxLength);

// "C12" (prefix cut to 6 characters, then the number), or "C[12]" with
// suffixed names. A number ≤ 0 takes the next value of the run's counter.
std::string MakeDefaultName(long number);

// The cell text is empty after trimming, or equals the missing-value text
// (first character exactly, the rest ignoring case).
bool IsMissingText(std::string_view text);

// Turns `name` into a legal identifier in place.
void LegalName(std::string& name);

// True when `name` is a legal identifier as it stands: 1 to 40 characters, a
// letter, "_" or "%" first, then letters, digits, "_" and "%", and at most
// one bracket suffix at the end holding digits or a quoted word ("x[2]",
// "x['a']"). Such a name cannot end or begin a statement.
bool IsLegalName(std::string_view name);

// Columns Datasets only: data column names unique and at most 32 characters
// before a bracket suffix; renamed columns keep the old name in the description.
void MakeNamesUnique(Dataset* dataset);

}  // namespace trovadex
