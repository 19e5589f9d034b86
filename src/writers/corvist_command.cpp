// The Corvist command file (".crv"): a script of Corvist statements that
// re-creates the Dataset when the package runs it with INPUT. Every structure
// is deleted first ("DELETE [redefine=yes]") so that running the file again
// replaces it; each declaration is followed by a READ and its values, and the
// file ends with a RETURN (or ENDBREAK) statement.
#include <charconv>
#include <cmath>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "core/corvist_text.h"
#include "core/dataset.h"
#include "core/format.h"
#include "core/names.h"
#include "core/progress.h"
#include "writers/writers.h"

namespace trovadex {

namespace {

// One open command file: every piece of text goes through the line buffer; a
// failed write is remembered and makes the writer return 0.
struct CommandFile {
  std::FILE* file = nullptr;
  const Dataset* dataset = nullptr;
  bool ok = true;

  void Statement(std::string_view text, bool writeOut = false) {
    if (!WriteWrapped(text, true, writeOut, file)) ok = false;
  }
  void Data(std::string_view text, bool writeOut = false) {
    if (!WriteWrapped(text, false, writeOut, file)) ok = false;
  }
};

std::string Long(long value) { return std::to_string(value); }

bool IsDateColumn(const Column* column) { return column->valueFormat == 5; }
bool ConvertsDates(const Column* column) { return IsDateColumn(column) && column->dateBase == 0; }

// Value i of a numeric column; missing when out of range or not numeric.
double NumberAt(const Dataset* dataset, const Column* column, int64_t i) {
  if (column == nullptr || !IsNumericKind(column->kind) || i < 0 || i >= column->valueCount ||
      i >= column->numbers.size()) {
    return dataset->missingValue;
  }
  return column->numbers.Get(i);
}

bool HasNumber(const Column* column, int64_t i) {
  return column != nullptr && IsNumericKind(column->kind) && i >= 0 && i < column->valueCount &&
         i < column->numbers.size();
}

std::string_view TextAt(const Column* column, int64_t i) {
  if (column == nullptr || !IsTextKind(column->kind) || i < 0 || i >= column->valueCount ||
      i >= column->texts.size()) {
    return {};
  }
  return column->texts.Get(i);
}

std::string NumberText(const Dataset* dataset, const Column* column, double value) {
  return FormatCorvistNumber(value, dataset->missingValue, ConvertsDates(column));
}

// One value after a READ: the number in Corvist form and a blank.
void DataNumber(CommandFile& out, const Column* column, double value) {
  StepProgress();
  char* text = WrappedValueRoom(kCorvistNumberSize + 1);
  int n = FormatCorvistNumber(text, value, out.dataset->missingValue, ConvertsDates(column));
  text[n] = ' ';
  if (!CommitWrappedValue(static_cast<std::size_t>(n) + 1, out.file)) out.ok = false;
}

// One text value after a READ: quoted (limit 90) in apostrophes and a blank.
void DataText(CommandFile& out, std::string_view value) {
  StepProgress();
  char* text = WrappedValueRoom(2 * 90 + 3);
  text[0] = '\'';
  std::size_t n = 1 + QuoteCorvistText(text + 1, value, 90);
  text[n++] = '\'';
  text[n++] = ' ';
  // Quoting turned any line end into a blank.
  if (!CommitWrappedValue(n, out.file)) out.ok = false;
}

std::string ReadStatement(const std::string& name) {
  return State().echoOnReading ? "\nREAD " + name + "\n" : "\nREAD [print=*] " + name + "\n";
}

void DecimalsClause(CommandFile& out, const Column* column) {
  if (column->decimals >= 0) out.Statement("; decimals=" + Long(column->decimals));
}

void ExtraClause(CommandFile& out, const Column* column) {
  if (!column->description.empty()) {
    out.Statement("; extra='" + QuoteCorvistText(column->description, 90) + "'");
  }
}

void DrepClause(CommandFile& out, const Column* column) {
  if (IsDateColumn(column)) out.Statement("; drep=" + Long(column->dateRepresentation));
}

// The threshold above which a factor's levels and labels go into separate
// "_levels_" / "_labels_" structures instead of inline lists.
long FactorThreshold(long levelValues, long labels) {
  if (labels < 1) return levelValues < 1 ? 1000000 : 133;
  return levelValues < 1 ? 88 : 57;
}

// A column name that stands for a number (numeric matrix column labels, the
// levels of a two-way table) is written bare: anything but a number goes out
// as missing, so that it cannot become part of a statement.
std::string NumberLabel(const std::string& text) {
  const char* end = text.c_str() + text.size();
  const char* stop = text.c_str();
  bool rangeError = false;
  ParseDecimal(text.c_str(), end, &stop, &rangeError);
  return !text.empty() && stop == end ? text : "*";
}

// "DELETE ... _levels_" block: the level texts, each followed by a blank.
void WriteLevelsBlock(CommandFile& out, const std::vector<std::string>& levels) {
  out.Statement("DELETE [redefine=yes] _levels_\nVARIATE [nvalues=");
  std::string count = Long(static_cast<long>(levels.size()));
  out.Statement(State().echoOnReading ? count + "] _levels_\nREAD _levels_\n"
                                      : count + "] _levels_\nREAD [print=*] _levels_\n");
  for (const std::string& level : levels) out.Data(level + " ");
  out.Data(":\n");
}

// "DELETE ... _labels_" block: the quoted labels, each followed by a blank.
void WriteLabelsBlock(CommandFile& out, const std::vector<std::string>& labels) {
  out.Statement("DELETE [redefine=yes] _labels_\nTEXT [nvalues=");
  std::string count = Long(static_cast<long>(labels.size()));
  out.Statement(State().echoOnReading ? count + "] _labels_\nREAD _labels_\n"
                                      : count + "] _labels_\nREAD [print=*] _labels_\n");
  for (const std::string& label : labels) out.Data("'" + label + "' ");
  out.Data(":\n");
}

// Inline list: "open" then each item followed by "," and the last by ")".
void WriteInlineList(CommandFile& out, std::string_view open, const std::vector<std::string>& items,
                     bool quoted) {
  out.Statement(open);
  for (std::size_t i = 0; i < items.size(); ++i) {
    std::string piece = quoted ? "'" + items[i] + "'" : items[i];
    piece += i + 1 < items.size() ? "," : ")";
    out.Statement(piece);
  }
}

std::string FactorName(const Column* column) {
  return column->name.empty() ? "F" + Long(column->position) : column->name;
}

void WriteFactorDeclaration(CommandFile& out, Column* column, long nvalues) {
  const Dataset* dataset = out.dataset;
  const long levelCount = column->levelCount;
  const long v = std::min<long>(column->levelValueCount, column->levelValues.size());
  const long b = std::min<long>(column->labelCount, column->labels.size());
  const long threshold = FactorThreshold(v, b);
  const bool table = dataset->shape == DatasetShape::Table;
  std::string nvaluesOption;
  if (!table) nvaluesOption = column->valueCount == 0 ? ";nvalues=*" : ";nvalues=" + Long(nvalues);

  std::vector<std::string> levels;
  for (long i = 0; i < v; ++i) levels.push_back(NumberText(dataset, column, column->levelValues.Get(i)));
  std::vector<std::string> labels;
  for (long i = 0; i < b; ++i) labels.push_back(QuoteCorvistText(column->labels.Get(i), 90));

  if (levelCount > threshold) {
    if (v > 0) WriteLevelsBlock(out, levels);
    if (b > 0) WriteLabelsBlock(out, labels);
    out.Statement("FACTOR [modify=yes");
    out.Statement(nvaluesOption);
    if (v > threshold) out.Statement(";levels=!(#_levels_)");
    // Without a levels structure or a labels structure the factor would get
    // no level count at all: give it explicitly.
    if (v <= threshold && b <= threshold) out.Statement(";levels=" + Long(levelCount));
    if (b > threshold) out.Statement(";labels=!t(#_labels_)");
  } else {
    out.Statement("FACTOR [modify=yes");
    out.Statement(nvaluesOption);
    if (v < 1) {
      out.Statement(";levels=" + Long(levelCount));
    } else {
      WriteInlineList(out, ";levels=!(", levels, false);
    }
    if (b > 0) WriteInlineList(out, ";labels=!t(", labels, true);
  }
  out.Statement("] " + FactorName(column));
  DecimalsClause(out, column);
  ExtraClause(out, column);
  DrepClause(out, column);
  out.Statement("\n");
}

// ------------------------------------------------------------ Columns shape

void WriteVariateColumn(CommandFile& out, Column* column) {
  const Dataset* dataset = out.dataset;
  if (column->valueCount <= 0) {
    out.Statement("VARIATE [values=*");
    out.Statement("] " + column->name);
    ExtraClause(out, column);
    out.Statement(IsDateColumn(column) ? "; drep=" + Long(column->dateRepresentation) + "\n" : "\n");
    return;
  }
  out.Statement("VARIATE [nvalues=");
  out.Statement(Long(column->valueCount) + "] " + column->name);
  DecimalsClause(out, column);
  ExtraClause(out, column);
  DrepClause(out, column);
  out.Statement(ReadStatement(column->name));
  // Values past the stored ones are missing.
  const int64_t stored = std::min<int64_t>(column->valueCount, column->numbers.size());
  for (int64_t i = 0; i < stored; ++i) DataNumber(out, column, column->numbers.Get(i));
  for (int64_t i = std::max<int64_t>(stored, 0); i < column->valueCount; ++i)
    DataNumber(out, column, dataset->missingValue);
  out.Data(":\n");
  if (column->kind == ColumnKind::VariateUnits) out.Statement("UNITS " + column->name + "\n");
}

void WriteTextColumn(CommandFile& out, Column* column) {
  if (column->valueCount <= 0) {
    out.Statement("TEXT [values=*");
    out.Statement("] " + column->name);
    ExtraClause(out, column);
    out.Statement("\n");
    return;
  }
  out.Statement("TEXT [nvalues=");
  out.Statement(Long(column->valueCount) + "] " + column->name);
  ExtraClause(out, column);
  out.Statement(ReadStatement(column->name));
  const int64_t stored = std::min<int64_t>(column->valueCount, column->texts.size());
  for (int64_t i = 0; i < stored; ++i) DataText(out, column->texts.Get(i));
  for (int64_t i = std::max<int64_t>(stored, 0); i < column->valueCount; ++i) DataText(out, std::string_view());
  out.Data(":\n");
  if (column->kind == ColumnKind::TextUnits) out.Statement("UNITS " + column->name + "\n");
}

void WriteFactorColumn(CommandFile& out, Column* column) {
  WriteFactorDeclaration(out, column, column->valueCount);
  if (column->valueCount <= 0) return;
  out.Statement(State().echoOnReading ? "READ " + column->name + "; frepresentation=ordinal\n"
                                      : "READ [print=*] " + column->name + "; frepresentation=ordinal\n");
  for (int64_t i = 0; i < column->valueCount; ++i) {
    StepProgress();
    double v = NumberAt(out.dataset, column, i);
    if (v >= 1 && v <= column->levelCount) {
      char text[24];
      char* end = std::to_chars(text, text + sizeof text - 1, static_cast<long>(v)).ptr;
      *end++ = ' ';
      out.Data(std::string_view(text, static_cast<std::size_t>(end - text)));
    } else {
      out.Data("* ");
    }
  }
  out.Data(":\n");
}

std::vector<Column*> DataColumns(const Dataset* dataset) {
  std::vector<Column*> columns;
  if (dataset->firstColumn == nullptr) return columns;
  for (Column* c = dataset->firstColumn->next; c != nullptr; c = c->next) {
    if (static_cast<int32_t>(columns.size()) >= dataset->columnCount) break;
    columns.push_back(c);
  }
  return columns;
}

// Name list of a statement: the first item, then "," and each further one,
// one piece per item.
void WriteNameList(CommandFile& out, const std::string& first, const std::vector<std::string>& items) {
  for (std::size_t i = 0; i < items.size(); ++i) {
    out.Statement(i == 0 ? first + items[i] : "," + items[i]);
  }
}

std::string FormatInstatNumber(double value, int digits) { return FormatExactG(value, digits); }

int TreatmentOf(const InstatExtras& extras, std::size_t i) {
  if (i < extras.missingTreatments.size()) return extras.missingTreatments[i];
  return i == 0 ? 0 : 1;
}

double ReplacementOf(const InstatExtras& extras, std::size_t i) {
  return i < extras.missingReplacements.size() ? extras.missingReplacements[i] : kMissingValue;
}

std::string TrimInstatLabel(const std::string& label) {
  std::string text = label.substr(0, 8);
  while (text.size() > 1 && text.back() == ' ') text.pop_back();
  return text;
}

// A "DELETE [redefine=yes] X" + ",X<i>" list and the matching "POINTER X; !p(...)".
void WriteIndexedDelete(CommandFile& out, const std::string& letter, long count) {
  out.Statement("DELETE [redefine=yes] " + letter);
  for (long i = 1; i <= count; ++i) out.Statement("," + letter + Long(i));
  out.Statement("\n");
}

void WriteIndexedPointer(CommandFile& out, const std::string& letter, long count) {
  out.Statement("POINTER " + letter + "; !p(");
  for (long i = 1; i <= count; ++i) out.Statement((i == 1 ? "" : ",") + letter + Long(i));
  out.Statement(")\n");
}

void WriteInstatBlock(CommandFile& out, const std::vector<Column*>& columns) {
  const InstatExtras& extras = State().instatExtras;
  const Dataset* dataset = out.dataset;
  out.Statement("DELETE [redefine=yes] Title\nTEXT Title; '" + QuoteCorvistText(extras.title, 160) + "'\n");

  const long m = static_cast<long>(extras.missingCodes.size());
  if (m > 0) {
    WriteIndexedDelete(out, "M", m);
    WriteIndexedPointer(out, "M", m);
    for (long i = 0; i < m; ++i) {
      int treatment = TreatmentOf(extras, i);
      std::string statement = "SCALAR M" + Long(i + 1);
      if (treatment == 1) {
        statement += "; " + FormatInstatNumber(extras.missingCodes[i], 6);
      } else if (treatment == 2) {
        statement += "; " + FormatInstatNumber(ReplacementOf(extras, i), 6);
      }
      out.Statement(statement + "\n");
    }
  }

  bool anyString = false;
  for (const std::string& s : extras.stringConstants) anyString = anyString || !s.empty();
  if (anyString) {
    const long s = static_cast<long>(extras.stringConstants.size());
    WriteIndexedDelete(out, "S", s);
    for (long i = 0; i < s; ++i) {
      const std::string& text = extras.stringConstants[i];
      if (text.empty()) {
        out.Statement("TEXT S" + Long(i + 1) + "\n");
      } else {
        out.Statement("TEXT S" + Long(i + 1) + "; '" + QuoteCorvistTextFit(text, 100, 80) + "'\n");
      }
    }
    WriteIndexedPointer(out, "S", s);
  }

  const long l = static_cast<long>(extras.labelSets.size());
  if (l > 0) {
    WriteIndexedDelete(out, "L", l);
    for (long i = 0; i < l; ++i) {
      const std::vector<std::string>& set = extras.labelSets[i];
      if (set.empty()) {
        out.Statement("TEXT L" + Long(i + 1) + "\n");
        continue;
      }
      out.Statement("TEXT L" + Long(i + 1) + "; !t(");
      for (std::size_t k = 0; k < set.size(); ++k) {
        std::string piece = "'" + QuoteCorvistText(TrimInstatLabel(set[k]), 16) + "'";
        piece += k + 1 < set.size() ? "," : ")\n";
        out.Statement(piece);
      }
    }
    WriteIndexedPointer(out, "L", l);
  }

  const long k = static_cast<long>(extras.constants.size());
  if (k > 0) {
    WriteIndexedDelete(out, "K", k);
    for (long i = 0; i < k; ++i) {
      double value = extras.constants[i].second;
      bool decided = false;
      for (std::size_t c = 0; c < extras.missingCodes.size(); ++c) {
        if (value != extras.missingCodes[c]) continue;
        int treatment = TreatmentOf(extras, c);
        if (treatment == 0) value = dataset->missingValue;
        if (treatment == 2) value = ReplacementOf(extras, c);
        decided = true;
        break;
      }
      if (!decided && value < -1e35) value = dataset->missingValue;
      if (!(value > dataset->missingValue) || !std::isfinite(value) || i + 1 > extras.definedConstantCount) {
        out.Statement("SCALAR K" + Long(i + 1) + "\n");
      } else {
        out.Statement("SCALAR K" + Long(i + 1) + "; " + FormatInstatNumber(value, 10) + "\n");
      }
    }
    WriteIndexedPointer(out, "K", k);
  }

  out.Statement("DELETE [redefine=yes] X\nPOINTER [SUFFIXES=!(");
  for (std::size_t i = 0; i < columns.size(); ++i) {
    out.Statement((i == 0 ? "" : ",") + Long(columns[i]->sourceColumnNumber));
  }
  out.Statement(")] X; !p(");
  for (std::size_t i = 0; i < columns.size(); ++i) {
    out.Statement((i == 0 ? "" : ",") + columns[i]->name);
  }
  out.Statement(")\n", true);
}

int WriteColumnsShape(CommandFile& out, Dataset* dataset) {
  std::vector<Column*> columns = DataColumns(dataset);
  std::vector<std::string> names;
  for (Column* c : columns) names.push_back(c->name);
  if (!columns.empty()) {
    WriteNameList(out, "DELETE [redefine=yes] ", names);
    out.Data("\n");
  }
  for (Column* column : columns) {
    switch (column->kind) {
      case ColumnKind::Variate:
      case ColumnKind::VariateUnits:
      case ColumnKind::Numeric6:
      case ColumnKind::Numeric22:
        WriteVariateColumn(out, column);
        break;
      case ColumnKind::Text:
      case ColumnKind::TextUnits:
        WriteTextColumn(out, column);
        break;
      case ColumnKind::Factor:
        WriteFactorColumn(out, column);
        break;
      default:
        break;
    }
  }
  if (State().instatExtras.present) WriteInstatBlock(out, columns);

  bool restrictionWritten = false;
  if (dataset->hasRestriction && dataset->rowCount > 0) {
    out.Statement("DELETE [redefine=yes] _rest_\n");
    out.Statement("READ [print=*;setnvalues=y] _rest_\n");
    for (const RowRecord& row : dataset->rows) out.Data(row.restricted ? "0 " : "1 ");
    out.Data(":\n");
    restrictionWritten = true;
  }
  if (!columns.empty()) {
    WriteNameList(out, "RESTRICT ", names);
    if (restrictionWritten) out.Statement("; _rest_");
  }
  out.Data("\n", true);
  return 1;
}

// ------------------------------------------------------------ matrix shapes

// Writes the "_rows_" or "_trows_" structure from a units column and returns
// the rows option; without a units column the option is the row count.
std::string WriteRowLabels(CommandFile& out, const Column* units) {
  const Dataset* dataset = out.dataset;
  const long rows = dataset->rowCount;
  if (units == nullptr) return Long(rows);
  const bool numeric = units->kind == ColumnKind::VariateUnits;
  const std::string name = numeric ? "_rows_" : "_trows_";
  out.Statement("DELETE [redefine=yes] " + name + "\n");
  out.Statement(numeric ? "VARIATE [nvalues=" : "TEXT [nvalues=");
  out.Statement(Long(rows) + "] " + name);
  ExtraClause(out, units);
  if (numeric) DrepClause(out, units);
  out.Statement(ReadStatement(name));
  const long count = std::min<long>(rows, units->valueCount);
  for (long i = 0; i < count; ++i) {
    if (numeric) {
      out.Data(NumberText(dataset, units, NumberAt(dataset, units, i)) + " ");
    } else {
      out.Data("'" + QuoteCorvistText(TextAt(units, i), 90) + "' ");
    }
  }
  out.Data(":\n");
  return numeric ? "!(#" + name + ")" : "!t(#" + name + ")";
}

bool IsUnitsKind(ColumnKind kind) { return kind == ColumnKind::VariateUnits || kind == ColumnKind::TextUnits; }

const Column* FirstUnitsColumn(const std::vector<Column*>& columns, std::size_t within) {
  for (std::size_t i = 0; i < columns.size() && i < within; ++i) {
    if (IsUnitsKind(columns[i]->kind)) return columns[i];
  }
  return nullptr;
}

int WriteMatrixShape(CommandFile& out, Dataset* dataset) {
  const long rows = dataset->rowCount;
  const long k = static_cast<long>(dataset->columnCount) - dataset->unitsColumnCount + 1;
  if (rows < 0 || k < 0) return 0;
  out.Statement("DELETE [redefine=yes] " + dataset->name + "\n");
  if (rows == 0 || k == 0) {
    out.Statement("MATRIX " + dataset->name + "\n", true);
    return 1;
  }
  std::vector<Column*> columns = DataColumns(dataset);
  std::vector<Column*> matrix;  // from the first matrix column to the end
  for (Column* c : columns) {
    if (matrix.empty() && c->kind != ColumnKind::MatrixColumn) continue;
    matrix.push_back(c);
  }

  std::string columnsOption = Long(k);
  if (dataset->labelStyle == 1 || dataset->labelStyle == 2) {
    const bool numeric = dataset->labelStyle == 1;
    const std::string name = numeric ? "_cols_" : "_tcols_";
    out.Statement("DELETE [redefine=yes] " + name + "\n");
    out.Statement(numeric ? "VARIATE [nvalues=" : "TEXT [nvalues=");
    out.Statement(Long(k) + "] " + name + ReadStatement(name));
    for (Column* c : matrix) {
      std::string label = c->name.substr(0, kNameLength);
      out.Data(numeric ? NumberLabel(label) + " " : "'" + QuoteCorvistText(label, 90) + "' ");
    }
    out.Data(":\n");
    columnsOption = numeric ? "!(#_cols_)" : "!t(#_tcols_)";
  }
  const std::string rowsOption =
      WriteRowLabels(out, FirstUnitsColumn(columns, static_cast<std::size_t>(dataset->unitsColumnCount) + 1));

  out.Statement("MATRIX [rows=" + rowsOption + ";columns=" + columnsOption + "] " + dataset->name);
  const Column* first = matrix.empty() ? nullptr : matrix.front();
  if (first != nullptr) {
    DecimalsClause(out, first);
    ExtraClause(out, first);
    DrepClause(out, first);
  }
  out.Statement(ReadStatement(dataset->name));
  for (long r = 0; r < rows; ++r) {
    for (Column* c : matrix) {
      if (!HasNumber(c, r)) break;
      out.Data(NumberText(dataset, first, NumberAt(dataset, c, r)) + " ");
    }
  }
  out.Data(":\n", true);
  return 1;
}

int WriteSymmetricMatrixShape(CommandFile& out, Dataset* dataset) {
  const long rows = dataset->rowCount;
  if (rows < 1 || dataset->columnCount < dataset->unitsColumnCount) return 0;
  out.Statement("DELETE [redefine=yes] " + dataset->name + "\n");
  std::vector<Column*> columns = DataColumns(dataset);
  const std::string rowsOption = WriteRowLabels(out, FirstUnitsColumn(columns, columns.size()));
  std::vector<Column*> triangle;
  for (Column* c : columns) {
    if (c->kind == ColumnKind::SymmetricMatrixColumn) triangle.push_back(c);
  }
  out.Statement("SYMMETRICMATRIX [rows=" + rowsOption + "] " + dataset->name);
  const Column* first = triangle.empty() ? nullptr : triangle.front();
  if (first != nullptr) {
    DecimalsClause(out, first);
    ExtraClause(out, first);
    DrepClause(out, first);
  }
  out.Statement(ReadStatement(dataset->name));
  // Column j holds the entries (j, j), (j + 1, j), ... (rows - 1, j).
  for (long i = 0; i < rows; ++i) {
    for (long j = 0; j <= i; ++j) {
      if (j >= static_cast<long>(triangle.size()) || !HasNumber(triangle[j], i - j)) break;
      out.Data(NumberText(dataset, first, NumberAt(dataset, triangle[j], i - j)) + " ");
    }
  }
  out.Data(":\n", true);
  return 1;
}

int WriteDiagonalMatrixShape(CommandFile& out, Dataset* dataset) {
  Column* last = dataset->lastColumn;
  if (dataset->columnCount < 1 || last == nullptr || last == dataset->firstColumn || dataset->rowCount < 1 ||
      dataset->columnCount < dataset->unitsColumnCount || !IsNumericKind(last->kind)) {
    return 0;
  }
  dataset->name = last->name;
  out.Statement("DELETE [redefine=yes] " + dataset->name + "\n");
  std::vector<Column*> columns = DataColumns(dataset);
  const std::string rowsOption = WriteRowLabels(out, FirstUnitsColumn(columns, columns.size()));
  out.Statement("DIAGONALMATRIX [rows=" + rowsOption + "] " + dataset->name);
  DecimalsClause(out, last);
  ExtraClause(out, last);
  DrepClause(out, last);
  out.Statement(ReadStatement(dataset->name));
  for (long i = 0; i < dataset->rowCount; ++i) {
    out.Data(NumberText(dataset, last, NumberAt(dataset, last, i)) + " ");
  }
  out.Data(":\n", true);
  return 1;
}

// ------------------------------------------------------------ tables

int WriteOneWayTables(CommandFile& out, Dataset* dataset) {
  std::vector<Column*> columns = DataColumns(dataset);
  std::string className;
  for (std::size_t i = 0; i < columns.size(); ++i) {
    Column* column = columns[i];
    if (i == 0) {
      if (column->kind == ColumnKind::Factor) {
        WriteFactorDeclaration(out, column, 0);
        className = FactorName(column);
      } else {
        className = "_tfc_" + Long(++State().tableFactorCounter);
        out.Statement("FACTOR [modify=yes;");
        out.Statement("levels=" + Long(dataset->rowCount) + "] " + className + "\n");
      }
    }
    if (column->kind == ColumnKind::Factor) continue;
    if (column->kind != ColumnKind::TableColumn) return 0;
    out.Statement("DELETE [redefine=yes] " + column->name + "\nTABLE [");
    out.Statement("class=" + className + ";margins=no] " + column->name);
    if (column->decimals >= 0) out.Statement(" ; decimals=" + Long(column->decimals));
    ExtraClause(out, column);
    DrepClause(out, column);
    out.Statement(ReadStatement(column->name));
    for (int64_t r = 0; r < column->valueCount; ++r) {
      out.Data(NumberText(dataset, column, NumberAt(dataset, column, r)) + " ");
    }
    out.Data(":\n");
  }
  return 1;
}

int WriteTwoWayTable(CommandFile& out, Dataset* dataset) {
  std::vector<Column*> columns = DataColumns(dataset);
  std::size_t found = columns.size();
  for (std::size_t i = 0; i < columns.size(); ++i) {
    if (columns[i]->kind == ColumnKind::Factor || columns[i]->kind == ColumnKind::TableColumn) {
      found = i;
      break;
    }
  }
  if (found == columns.size()) return 0;

  std::string rowFactor;
  std::size_t bodyStart = 0;
  long n = 0;
  if (columns[found]->kind == ColumnKind::Factor) {
    Column* factor = columns[found];
    if (factor->changed) WriteFactorDeclaration(out, factor, 0);
    rowFactor = FactorName(factor);
    bodyStart = found + 1;
    n = dataset->columnCount - 1;
  } else {
    rowFactor = "_tf1_" + Long(++State().tableColumnFactorCounter);
    out.Statement("FACTOR [modify=yes;levels=" + Long(dataset->rowCount) + "] " + rowFactor + "\n");
    bodyStart = found;
    n = dataset->columnCount;
  }
  std::vector<Column*> body;
  for (std::size_t i = bodyStart; i < columns.size() && static_cast<long>(body.size()) < n; ++i) {
    body.push_back(columns[i]);
  }
  n = static_cast<long>(body.size());

  const int style = dataset->labelStyle;
  const long s = (style == 1 || style == 3) ? n : 0;
  const long p = (style == 2 || style == 3) ? n : 0;
  std::vector<std::string> levels;
  std::vector<std::string> labels;
  for (Column* c : body) {
    levels.push_back(style == 3 ? FormatCorvistNumber(c->levelValue, dataset->missingValue, false)
                                : NumberLabel(c->name));
    const std::string& label = (style == 3 && !c->columnLabel.empty()) ? c->columnLabel : c->name;
    labels.push_back(QuoteCorvistText(label, 90));
  }
  const long threshold = FactorThreshold(s, p);
  if (n > threshold) {
    if (s > 0) WriteLevelsBlock(out, levels);
    if (p > 0) WriteLabelsBlock(out, labels);
  }
  if (dataset->columnFactorName.empty()) dataset->columnFactorName = MakeDefaultName(0);
  out.Statement("FACTOR [modify=yes");
  if (s > threshold) {
    out.Statement(";levels=!(#_levels_)");
  } else if (s < 1) {
    out.Statement(";levels=" + Long(n));
  } else {
    WriteInlineList(out, ";levels=!(", levels, false);
  }
  if (p > threshold) {
    out.Statement(";labels=!t(#_labels_)");
  } else if (p > 0) {
    WriteInlineList(out, ";labels=!t(", labels, true);
  }
  out.Statement("] " + dataset->columnFactorName + "\n");

  out.Statement("DELETE [redefine=yes] " + dataset->name + "\nTABLE [");
  out.Statement("class=" + rowFactor + "," + dataset->columnFactorName + ";margins=no] " + dataset->name);
  const Column* first = body.empty() ? nullptr : body.front();
  if (first != nullptr) {
    DecimalsClause(out, first);
    ExtraClause(out, first);
    DrepClause(out, first);
  }
  out.Statement(ReadStatement(dataset->name));
  for (long r = 0; r < dataset->rowCount; ++r) {
    for (Column* c : body) out.Data(NumberText(dataset, first, NumberAt(dataset, c, r)) + " ");
  }
  out.Data(":\n");
  return 1;
}

int WriteTableShape(CommandFile& out, Dataset* dataset) {
  int result = 0;
  if (dataset->classifierCount == 1) {
    result = WriteOneWayTables(out, dataset);
  } else if (dataset->classifierCount == 2) {
    result = WriteTwoWayTable(out, dataset);
  } else {
    return 0;
  }
  out.Data("\n", true);
  return result;
}

int WriteScalarsShape(CommandFile& out, Dataset* dataset) {
  if (dataset->columnCount < 1) return 0;
  for (Column* c : DataColumns(dataset)) {
    if (c->kind != ColumnKind::Scalar) continue;
    out.Statement("DELETE [redefine=yes] " + c->name + "\nSCALAR " + c->name + "; ");
    out.Statement(NumberText(dataset, c, NumberAt(dataset, c, 0)));
    DecimalsClause(out, c);
    ExtraClause(out, c);
    DrepClause(out, c);
    out.Data("\n");
  }
  out.Data("\n", true);
  return 1;
}

void GiveDefaultNames(Dataset* dataset) {
  const DatasetShape shape = dataset->shape;
  const bool perColumn = shape == DatasetShape::Columns || shape == DatasetShape::DiagonalMatrix ||
                         shape == DatasetShape::Scalars ||
                         (shape == DatasetShape::Table && dataset->classifierCount == 1);
  if (perColumn) {
    for (Column* c : DataColumns(dataset)) {
      if (c->name.empty()) c->name = MakeDefaultName(0);
    }
  } else if (dataset->name.empty()) {
    dataset->name = MakeDefaultName(0);
  }
}

// Names from a file become statement words here. The readers make them
// legal identifiers; as the last guard any name that is not one is made one,
// so that no name can end a statement or begin another. Matrix and two-way
// table column names are labels, written quoted or as numbers.
bool IsLabelColumn(const Dataset* dataset, const Column* column) {
  const DatasetShape shape = dataset->shape;
  return (shape == DatasetShape::Matrix && column->kind == ColumnKind::MatrixColumn) ||
         (shape == DatasetShape::SymmetricMatrix && column->kind == ColumnKind::SymmetricMatrixColumn) ||
         (shape == DatasetShape::Table && dataset->classifierCount == 2 && column->kind == ColumnKind::TableColumn);
}

bool GuardName(std::string& name) {
  if (name.empty() || IsLegalName(name)) return false;
  LegalName(name);
  return true;
}

void GuardNames(Dataset* dataset) {
  bool changed = false;
  for (Column* c : DataColumns(dataset)) {
    if (!IsLabelColumn(dataset, c)) changed = GuardName(c->name) || changed;
  }
  GuardName(dataset->name);
  GuardName(dataset->columnFactorName);
  if (changed) MakeNamesUnique(dataset);
}

std::string DoubleQuotes(std::string_view text) {
  std::string out;
  for (char c : text) {
    out.push_back(c);
    if (c == '"') out.push_back(c);
  }
  return out;
}

}  // namespace

int16_t WriteCorvistCommandFile(Dataset* dataset, const char* path) {
  if (dataset == nullptr || path == nullptr) return 0;
  GiveDefaultNames(dataset);
  GuardNames(dataset);
  std::FILE* file = std::fopen(path, "wb");
  if (file == nullptr) return 0;
  CommandFile out;
  out.file = file;
  out.dataset = dataset;
  const RunState& state = State();

  if (!dataset->sourceFile.empty()) {
    out.Statement("\"Data taken from File: " + DoubleQuotes(dataset->sourceFile) + "\"\n\n");
  }
  if (!state.sourceDescription.empty()) {
    out.Data("DELETE [Redefine=yes] _stitle_ : TEXT _stitle_ : READ [print=*] _stitle_\n");
    out.Data("'" + QuoteCorvistText(state.sourceDescription, 180) + "'");
    out.Data(":\nPRINT [IPrint=*] _stitle_; Just=Left\n");
  }

  int result = 0;
  switch (dataset->shape) {
    case DatasetShape::Columns: result = WriteColumnsShape(out, dataset); break;
    case DatasetShape::Matrix: result = WriteMatrixShape(out, dataset); break;
    case DatasetShape::SymmetricMatrix: result = WriteSymmetricMatrixShape(out, dataset); break;
    case DatasetShape::DiagonalMatrix: result = WriteDiagonalMatrixShape(out, dataset); break;
    case DatasetShape::Table: result = WriteTableShape(out, dataset); break;
    case DatasetShape::Scalars: result = WriteScalarsShape(out, dataset); break;
  }

  if (!state.pointerName.empty()) {
    std::string pointer = state.pointerName;
    GuardName(pointer);
    out.Statement("DELETE [redefine=yes] " + pointer + "\n");
    out.Statement("POINTER " + pointer + "; !p(");
    std::vector<Column*> columns = DataColumns(dataset);
    for (std::size_t i = 0; i < columns.size(); ++i) {
      std::string name = columns[i]->name;
      GuardName(name);
      out.Statement((i == 0 ? "" : ",") + name);
    }
    out.Statement(")\n\n");
  }

  const bool q17x = state.outputHasQ17X || std::string_view(path).find("Q17X") != std::string_view::npos;
  if (state.endWithEndbreak) {
    out.Statement("ENDBREAK\n\n", true);
  } else if (q17x) {
    out.Statement("RETURN [CLOSE=yes;DELETE=yes]\n\n", true);
  } else if (!state.noClosingCommand) {
    out.Statement("RETURN [CLOSE=yes]\n\n", true);
  }
  if (!FlushWrapped(file)) out.ok = false;
  if (std::fflush(file) != 0) out.ok = false;
  if (std::ferror(file)) out.ok = false;
  if (std::fclose(file) != 0) out.ok = false;
  if (!out.ok) return 0;
  return static_cast<int16_t>(result);
}

}  // namespace trovadex
