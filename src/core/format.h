// Number and date formatting, day counts, and decimal number parsing.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace trovadex {

// Room for any text FormatNumber can make ("%f" of 1e308 has 309 digits).
inline constexpr std::size_t kNumberTextSize = 512;

// Writes the text of `value` into `out` (at least kNumberTextSize bytes),
// NUL-terminated; returns its length. valueFormat: 1 plain, 2 scientific,
// 3 fixed, 4 text kinds, 5 date. A value not above `missing` gives "*".
int FormatNumber(char* out, double value, int valueFormat, int decimals, double missing);
std::string FormatNumber(double value, int valueFormat, int decimals, double missing);

// "%g" with the fewest significant digits, from `minDigits` up to 17, that
// read back as exactly the same double. Returns the length written to out
// (at least 32 bytes).
int FormatShortestG(char* out, double value, int minDigits = 6);
std::string FormatShortestG(double value, int minDigits = 6);
// "%.*e" with the fewest digits after the point, from `minDecimals` up to
// 16, that read back as exactly the same double (out: at least 40 bytes).
int FormatShortestE(char* out, double value, int minDecimals);

// A date layout (1..33) of a day count; "*" when not above `missing`.
// dateBase 0: the value is a spreadsheet serial day number (1 = 1 January
// 1900, 60 = the spreadsheets' 29 February 1900, 61 = 1 March 1900);
// otherwise the package's own day count. The time of day is rounded to the
// nearest hundredth of a second. The char* form writes at most
// kNumberTextSize bytes (NUL included) and returns the length.
int FormatDate(char* out, double value, int dateBase, int dateRepresentation, double missing);
std::string FormatDate(double value, int dateBase, int dateRepresentation, double missing);

// Day count of a calendar date under the current date base; -1e307 when
// invalid. Years 0..99 are taken in the 1900s; a full year before 1600 is
// invalid. With date base 0 the result is the spreadsheet serial day number.
double DayCountFromDate(long day, long month, long year);
// Spreadsheet serial day number to the package's own day count; a negative
// value becomes `missing`.
void SpreadsheetToDayCount(double& value, double missing);

void SetCurrentDateBase(int value);
void SetCurrentDateRepresentation(int value);
int CurrentDateBase();
int CurrentDateRepresentation();

// Reads a decimal number the way the C library's strtod does in the "C"
// locale, without its "inf", "nan" and hexadecimal forms: optional leading
// white space, sign, digits, one decimal point, optional exponent.
// `*end` (when given) receives the first character not used (== text when
// nothing was read); `*rangeError` is set on overflow (±HUGE_VAL) or
// underflow to zero of a non-zero value, as strtod's ERANGE.
double ParseDecimal(const char* text, const char* limit, const char** end, bool* rangeError);
// NUL-terminated form.
double ParseDecimal(const char* text, const char** end, bool* rangeError);

}  // namespace trovadex
