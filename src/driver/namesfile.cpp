// Names files: one line per data column (after an optional count line) that a
// user edits to rename columns, change their kind ("!" factor, "#" number,
// "$" text) or drop them ("*"). Matrices and two-way tables hold a count of 1
// and the Dataset's own name.
#include "driver/namesfile.h"

#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "core/columns.h"
#include "core/convert.h"
#include "core/names.h"
#include "driver/options.h"

namespace trovadex {

namespace {

constexpr std::size_t kLineLength = 199;

// One whole line of the file without its line end; carriage returns are
// dropped and only the first 199 characters are kept, so that the rest of a
// long line never spills into the next column's line. False at end of file.
bool ReadNamesLine(std::FILE* file, std::string& line) {
  line.clear();
  int c = std::getc(file);
  if (c == EOF) return false;
  while (c != EOF && c != '\n') {
    if (c != '\r' && line.size() < kLineLength) line.push_back(static_cast<char>(c));
    c = std::getc(file);
  }
  return true;
}

// True for a line that reads as a non-zero integer (blanks, sign, digits).
bool IsCountLine(const std::string& line) {
  std::size_t i = 0;
  while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
  if (i < line.size() && (line[i] == '+' || line[i] == '-')) ++i;
  bool nonZero = false;
  std::size_t digits = 0;
  while (i < line.size() && line[i] >= '0' && line[i] <= '9') {
    if (line[i] != '0') nonZero = true;
    ++i;
    ++digits;
  }
  return digits > 0 && nonZero;
}

// Shapes whose names file names the Dataset itself rather than its columns.
bool NamesTheDataset(const Dataset* dataset) {
  switch (dataset->shape) {
    case DatasetShape::Matrix:
    case DatasetShape::SymmetricMatrix:
    case DatasetShape::DiagonalMatrix:
      return true;
    case DatasetShape::Table:
      return dataset->classifierCount > 1;
    default:
      return false;
  }
}

Column* NextDataColumn(Column* column) {
  while (column != nullptr && column->kind == ColumnKind::RowIndex) column = column->next;
  return column;
}

// The kind suffix of a names-file line, converting the column when the
// conversion applies to its kind.
void ApplyKindSuffix(Column* column, char suffix) {
  switch (suffix) {
    case '!':
      if (column->kind == ColumnKind::Variate) {
        VariateToFactor(column, true);
      } else if (column->kind == ColumnKind::Text) {
        TextToFactor(column, true, CurrentOptions()->compressBlanks != 0);
      }
      break;
    case '#':
      if (column->kind == ColumnKind::Text) {
        TextToVariate(column);
      } else if (column->kind == ColumnKind::Factor) {
        FactorToVariate(column, true);
      }
      break;
    case '$':
      if (column->kind == ColumnKind::Variate) {
        VariateToText(column);
      } else if (column->kind == ColumnKind::Factor) {
        FactorToText(column);
      }
      break;
    default:
      break;
  }
}

// The trimmed text of a line; empty for a line of blanks only.
std::string TrimLine(const std::string& line) {
  std::string text = TrimText(line, kLineLength);
  if (text.find_first_not_of(' ') == std::string::npos) text.clear();
  return text;
}

bool IsKindSuffix(char c) { return c == '!' || c == '#' || c == '$'; }

// A names-file name as a legal identifier: a line end inside a name would
// shift every later line onto the wrong column, and a leading "*" or a final
// "!", "#" or "$" would drop or convert a column when the file is applied.
std::string SafeLine(const std::string& name) {
  std::string text = name;
  if (!text.empty() && !IsLegalName(text)) LegalName(text);
  return text;
}

}  // namespace

void FinishNames(Dataset* dataset, int outputKind) {
  if (dataset == nullptr) return;
  if (outputKind == 1 || outputKind == 4) MakeNamesUnique(dataset);
}

int16_t ApplyNamesFile(Dataset* dataset, std::FILE* file) {
  if (dataset == nullptr || file == nullptr) return 0;
  std::string line;
  if (!ReadNamesLine(file, line)) return 1;
  if (!IsCountLine(line)) {
    std::rewind(file);
  }

  if (NamesTheDataset(dataset)) {
    // A matrix or two-way table: the one line names the Dataset. Kind
    // suffixes and "*" have nothing to act on here.
    while (ReadNamesLine(file, line)) {
      std::string text = TrimLine(line);
      if (text.empty()) continue;
      if (text[0] != '*') {
        if (IsKindSuffix(text.back())) text.pop_back();
        if (!text.empty()) {
          LegalName(text);
          CopyLimited(dataset->name, text);
        }
      }
      break;
    }
    return 1;
  }

  Column* column = NextDataColumn(dataset->firstColumn);
  while (column != nullptr && ReadNamesLine(file, line)) {
    Column* following = NextDataColumn(column->next);
    std::string text = TrimLine(line);
    if (text.empty()) {
      column = following;
      continue;
    }
    if (text[0] == '*') {
      UnlinkColumn(column);
      column = following;
      continue;
    }
    if (IsKindSuffix(text.back())) {
      ApplyKindSuffix(column, text.back());
      text.pop_back();
    }
    if (!text.empty()) {
      LegalName(text);
      CopyLimited(column->name, text);
      column->columnLabel.clear();
    }
    column = following;
  }
  return 1;
}

int16_t WriteNamesFile(Dataset* dataset, const char* path) {
  if (dataset == nullptr || path == nullptr) return 0;
  // Only a regular file is written over (a FIFO would block the run).
  struct stat info;
  if (::stat(path, &info) == 0 && !S_ISREG(info.st_mode)) return 0;
  std::FILE* file = std::fopen(path, "wb");
  if (file == nullptr) return 0;
  bool ok = true;
  if (NamesTheDataset(dataset)) {
    ok = std::fprintf(file, "1\r\n%s\r\n", SafeLine(dataset->name).c_str()) >= 0;
  } else {
    ok = std::fprintf(file, "%li\r\n", static_cast<long>(dataset->columnCount)) >= 0;
    for (Column* c = NextDataColumn(dataset->firstColumn); c != nullptr && ok;
         c = NextDataColumn(c->next)) {
      ok = std::fprintf(file, "%s\r\n", SafeLine(c->name).c_str()) >= 0;
    }
  }
  if (std::ferror(file)) ok = false;
  if (std::fclose(file) != 0) ok = false;
  // A cut-off names file would rename the wrong columns on the next run.
  if (!ok) RemoveRegularFile(path);
  return ok ? 1 : 0;
}

}  // namespace trovadex
