// Cell texts, column weights and the text encoding shared by the HTML and
// RTF table writers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "core/dataset.h"

namespace trovadex {

// A table file built in `text` and written whenever a megabyte has gathered;
// `failed` stays set after the first failed write.
struct TableOutput {
  std::FILE* file = nullptr;
  std::string text;
  bool failed = false;
  bool utf8 = false;
};
inline constexpr std::size_t kTableFlushBytes = std::size_t{1} << 20;

// Writes the gathered text out.
void FlushTable(TableOutput& out);
// Writes the rest, flushes and closes the file: 1 when every write
// succeeded, else 0.
int16_t FinishTable(TableOutput& out);

// One data column of a table with what its cells need besides the column:
// the row of its first value (lower-triangle columns) and its weight.
struct TableColumn {
  Column* column = nullptr;
  int64_t firstRow = 0;
  int64_t weight = 1;  // the longest cell text, name included, + 2
};

// The data columns after "Row", in list order, with their weights; empty
// when the Dataset has none.
std::vector<TableColumn> TableColumns(Dataset* dataset);

// The text of the cell in row `row` of a column, as the column shows it:
// texts as stored, numbers formatted with the column's format, factors as
// level numbers, level values or labels (empty for a level below 1 or a
// missing one). `scratch` holds kNumberTextSize bytes; the view points into
// it or into the column's own storage and lives until the next call.
std::string_view TableCellText(const TableColumn& table, int64_t row, char* scratch);

// The length of the longest text the column can show, at least 1 and at
// least its name's length. Text columns also keep that length of their
// values in `levelCount`.
int64_t TableColumnWeight(Dataset* dataset, const TableColumn& table);

// True when every text the table shows (names, text values, factor labels)
// and `title` are valid UTF-8 and at least one holds a byte above 127: the
// texts then came from a UTF-8 source. Otherwise they are taken as
// windows-1252 bytes.
bool TableTextsAreUtf8(const Dataset* dataset, std::string_view title);

// Decodes one UTF-8 sequence at `text[at]`, moving `at` past it; false (and
// `at` unchanged) when the bytes there are not a valid sequence.
bool DecodeUtf8(std::string_view text, std::size_t& at, uint32_t& codePoint);

// The length of `text` without a UTF-8 sequence cut short at its very end
// (stored texts are cut to a number of bytes), or npos when the text is not
// valid UTF-8.
std::size_t Utf8Length(std::string_view text);

}  // namespace trovadex
