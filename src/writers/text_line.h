// Text lines of the table writers: one line followed by CR LF, with an
// optional cut of over-long lines into pieces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace trovadex {

// No length limit: the line is written whole.
inline constexpr std::size_t kNoLineLimit = 0;

// Appends `line` and "\r\n" to `out`. An empty line appends nothing. With a
// `maxLength` above 0, a longer line goes out in pieces of at most maxLength
// characters, each cut after its last blank (after its last comma when
// `commaBreaks` is set) when it has one, each piece followed by "\r\n".
void AppendTextLine(std::string& out, std::string_view line, std::size_t maxLength, bool commaBreaks);

// The same, written to `file`. Returns 1 on success, 0 when a write failed.
int16_t WriteTextLine(std::string_view line, std::size_t maxLength, bool commaBreaks, std::FILE* file);

}  // namespace trovadex
