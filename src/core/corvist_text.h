// Text forms of the Corvist command file: the wrapping line buffer, quoted
// texts and numbers. Shared by the command-file writer and by readers that
// hand lines to the buffer before any output file exists.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

namespace trovadex {

// Widest line the buffer lets grow before it breaks (statement lines hold at
// most 76 characters before the "\", data lines at most 77).
inline constexpr long kCorvistLineWidth = 78;
// Pending text is written out early once it passes this many bytes.
inline constexpr std::size_t kCorvistBufferSize = 128000;

// Appends `text` to the run's line buffer (State().lineBuffer).
// Statement mode breaks a line with Corvist's continuation "\" and a line end;
// data mode (values after a READ) with a plain line end. With `writeOut` the
// pending text goes to `file` after appending; every "\n" is written as CR LF.
// A null `file` never receives anything: the text stays pending.
// Returns false when writing to the file failed.
bool WriteWrapped(std::string_view text, bool statementMode, bool writeOut, std::FILE* file);

// WriteWrapped in data mode without `writeOut`, for a text known to hold no
// line end (a number, a quoted value): the text is not searched for one.
bool WriteWrappedValue(std::string_view text, std::FILE* file);

// The same without a copy: write at most `room` bytes of the value at
// WrappedValueRoom(room), then CommitWrappedValue(length, file) takes them
// exactly as WriteWrappedValue would take that text. Nothing else may touch
// the line buffer between the two calls.
char* WrappedValueRoom(std::size_t room);
bool CommitWrappedValue(std::size_t length, std::FILE* file);

// Writes any pending text to `file` (CR LF line ends) and empties the buffer.
// Returns false when the write failed.
bool FlushWrapped(std::FILE* file);

// The form of a text inside Corvist quotes: at most `limit` characters of
// the source; control bytes and bytes 128..255 become blanks; double quote,
// apostrophe, backslash and backquote are doubled (so the result may be one
// character longer than `limit`).
std::string QuoteCorvistText(std::string_view source, std::size_t limit);
// The same into `out` (room for 2 * min(limit, source size) bytes, no NUL);
// returns the length.
std::size_t QuoteCorvistText(char* out, std::string_view source, std::size_t limit);

// As QuoteCorvistText, and the result is at most `maxLength` characters: the
// source is cut before the first character whose quoted form would not fit,
// so a doubled character is never split.
std::string QuoteCorvistTextFit(std::string_view source, std::size_t limit, std::size_t maxLength);

// One number in Corvist form: "*" for a missing value (not above `missing`),
// "9.99999E+307" above the cap, "%.12e" above 1e9 in absolute value and
// "%.12g" otherwise, with more significant digits (up to 17) whenever that
// form would not read back as the same double. `convertDate` first turns a
// spreadsheet day number into the package's day count.
std::string FormatCorvistNumber(double value, double missing, bool convertDate);
// The same into `out` (at least kCorvistNumberSize bytes, NUL-terminated);
// returns the length.
inline constexpr std::size_t kCorvistNumberSize = 48;
int FormatCorvistNumber(char* out, double value, double missing, bool convertDate);

// "%.<digits>g", or with the fewest further significant digits (up to 17)
// needed to read back as exactly the same double.
std::string FormatExactG(double value, int digits);
// "%.<decimals>e", or with more decimals (up to 16) as needed to read back.
std::string FormatExactE(double value, int decimals);

}  // namespace trovadex
