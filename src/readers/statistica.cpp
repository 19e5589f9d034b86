// Statistica data files. The classic data file ("CSS ", file types 5-8) holds
// fixed blocks of names, missing-data codes and long labels, then from the
// next 512-byte boundary one record per case of a prefix and one double per
// variable. The spreadsheet data stream (taken out of a compound document)
// describes its variables one after the other (names, type, width, missing
// code, value labels) and then holds the cases, each with an optional case
// name of fixed width.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "core/byteorder.h"
#include "core/columns.h"
#include "core/convert.h"
#include "core/dataset.h"
#include "core/format.h"
#include "core/names.h"
#include "readers/readers.h"
#include "readers/whole_file.h"

namespace trovadex {

namespace {

constexpr int64_t kNameChars = 40;

// The whole file in memory with a bounds-checked cursor: every length taken
// from the file is checked against the bytes left before it is used.
struct Bytes {
  std::vector<unsigned char> data;
  int64_t at = 0;
  int64_t Left() const { return static_cast<int64_t>(data.size()) - at; }
  const unsigned char* Take(int64_t n) {
    if (n < 0 || n > Left()) return nullptr;
    const unsigned char* p = data.data() + at;
    at += n;
    return p;
  }
  // A length byte and its text; false when the text runs past the end.
  bool Counted(std::string& out) {
    const unsigned char* n = Take(1);
    if (!n) return false;
    const unsigned char* p = Take(*n);
    if (!p) return false;
    out.assign(reinterpret_cast<const char*>(p), *n);
    return true;
  }
};

// A variable's name from its stored characters: blanks trimmed, "C<index>"
// when nothing (or a single blank) is left, made a legal identifier.
std::string VariableName(std::string_view raw, std::size_t limit, int64_t index) {
  std::string name = TrimText(raw.substr(0, std::min(raw.size(), raw.find('\0'))), limit);
  if (name.empty() || name == " ") name = "C" + std::to_string(index);
  LegalName(name);
  return name;
}

// Missing: the variable's own missing-data code, not a number, or below the
// missing sentinel; numbers above the cap are set to it.
double Keep(double x, double code, bool& capped) {
  if (x == code || std::isnan(x) || x < kMissingValue) return kMissingValue;
  if (x > kNumberCap) {
    capped = true;
    return kNumberCap;
  }
  return x;
}

int16_t ReadClassic(const char* path) {
  Bytes in;
  if (!ReadWholeFile(path, in.data)) {
    std::printf("Statistica data file: %.100s not found.\n", path ? path : "");
    return 0;
  }
  const unsigned char* head = in.Take(24);
  if (!head || std::memcmp(head, "CSS ", 4) != 0 || head[6] != 0xFF || head[7] != 0xFF) {
    std::printf("%.100s is not a Statistica dataset.\n", path);
    return 0;
  }
  const int64_t cases = LoadI32LE(head + 8);
  const int64_t variables = LoadI32LE(head + 12);
  const int64_t type = LoadI32LE(head + 20);
  if (type < 5 || type > 8) {
    std::printf("Sorry, Statistica dataset of unknown type.\n");
    return 0;
  }
  if (cases <= 0 || variables <= 0) {
    std::printf("Statistica dataset %.100s is empty.\n", path);
    return 0;
  }
  const int64_t headerSize = 124 + 2 * type;
  const unsigned char* fields = in.Take(headerSize - 24);
  if (!fields) return 0;
  // The 16-bit block lengths are unsigned.
  int64_t blocks = 0;
  for (int k = 2; k < 6; ++k) blocks += LoadU16LE(fields + 2 * k);
  const int64_t longLabelBytes = LoadU16LE(fields + 10);
  int64_t prefix = 0;
  for (int64_t k = 0; k < type + 4; ++k) {
    const int64_t length = LoadU16LE(fields + 12 + 2 * k);
    if (k == 5)
      prefix = length;
    else
      blocks += length;
  }
  // Names, words and missing codes: 18 bytes per variable, all present.
  if (variables > in.Left() / 18) return 0;
  const unsigned char* names = in.Take(8 * variables);
  in.Take(2 * variables);
  const unsigned char* codes = in.Take(8 * variables);
  std::vector<std::string> labels(static_cast<std::size_t>(variables));
  for (int64_t used = 0; used + 3 <= longLabelBytes;) {
    const unsigned char* entry = in.Take(3);
    if (!entry) break;
    const unsigned char* text = in.Take(entry[2]);
    if (!text || used + 3 + entry[2] > longLabelBytes) break;
    used += 3 + entry[2];
    const int64_t number = LoadU16LE(entry);
    // A variable number outside the list labels nothing.
    if (number >= 1 && number <= variables)
      labels[static_cast<std::size_t>(number - 1)].assign(reinterpret_cast<const char*>(text), entry[2]);
  }

  const int64_t start = (headerSize + blocks + 511) / 512 * 512;
  const int64_t recordSize = prefix + 8 * variables;
  const int64_t size = static_cast<int64_t>(in.data.size());
  // A short file ends the cases with the last whole record.
  const int64_t held = start < size ? (size - start) / recordSize : 0;
  const int64_t rows = std::min(cases, held);
  if (rows <= 0) {
    std::printf("Statistica dataset %.100s is empty.\n", path);
    return 0;
  }
  Dataset* dataset = CreateDataset();
  dataset->rowCount = static_cast<int32_t>(rows);
  if (!CreateRows(dataset)) return 0;
  const long limit = State().columnLimit;
  std::vector<Column*> columns;
  for (int64_t v = 0; v < variables; ++v) {
    if (v >= limit) {
      std::printf("Too many variables in Statistica dataset %.100s, only the first %i will be imported.\n", path,
                  static_cast<int>(limit));
      break;
    }
    std::string_view raw(reinterpret_cast<const char*>(names + 8 * v), 8);
    Column* c = AddColumn(dataset, ColumnKind::Variate, VariableName(raw, 8, v), 25);
    if (!c) break;
    if (!AllocateValues(c, dataset->rowCount)) return 0;
    c->decimals = -1;
    CopyLimited(c->description, labels[static_cast<std::size_t>(v)], kNameChars);
    columns.push_back(c);
  }
  bool capped = false;
  for (int64_t r = 0; r < rows; ++r) {
    const unsigned char* record = in.data.data() + start + r * recordSize + prefix;
    for (std::size_t v = 0; v < columns.size(); ++v)
      SetNumber(columns[v], r, Keep(LoadF64LE(record + 8 * v), LoadF64LE(codes + 8 * v), capped));
  }
  if (capped) std::printf("Numbers in %.100s greater than %s have been set to this value!\n", path, "9.99999E+307");
  for (Column* c : columns) ComputeWidth(c);
  return 1;
}

struct Variable {
  std::string name, longName;
  bool text = false;
  int64_t width = 8;
  double code = 0;
  std::vector<double> values;
  std::vector<std::string> labels;
  Column* column = nullptr;
};

// Numeric levels labelled by the value labels whose value equals theirs;
// the others show their value in the shortest exact text.
bool LabelLevels(Column* c, const Variable& var) {
  if (!VariateToFactor(c, true)) return false;
  std::vector<std::string> labels(static_cast<std::size_t>(std::max(c->levelCount, 0)));
  for (int32_t k = 1; k <= c->levelCount; ++k) {
    const double v = k <= c->levelValueCount ? c->levelValues.Get(k - 1) : k;
    const auto it = std::find(var.values.begin(), var.values.end(), v);
    labels[k - 1] = it != var.values.end() ? var.labels[static_cast<std::size_t>(it - var.values.begin())]
                                           : FormatShortestG(v, 17);
  }
  SetLabelList(c, labels);
  ComputeWidth(c);
  return true;
}

int16_t ReadSpreadsheet(const char* path, const std::string& shown) {
  Bytes in;
  if (!ReadWholeFile(path, in.data)) {
    if (!State().inputFileName.empty())
      std::printf("Temporary Statistica file: %.100s not found!", path ? path : "");
    else
      std::printf("Statistica Read Error: Spreadsheet file: %.100s not found!\n", path ? path : "");
    return 0;
  }
  const char* name = shown.c_str();
  const unsigned char* head = in.Take(171 + 12);
  if (!head || (head[0] != 0 && LoadI32LE(head + 1) != 4)) {
    std::printf("%.100s is not recognised as a Statistica dataset.\n", name);
    return 0;
  }
  const int64_t variables = LoadI32LE(head + 171);
  const int64_t cases = LoadI32LE(head + 175);
  const int64_t caseNameWidth = LoadI32LE(head + 179);
  if (variables <= 0 || cases <= 0) {
    std::printf("Statistica dataset %.100s is empty.\n", name);
    return 0;
  }
  auto corrupt = [&]() {
    std::printf("%.100s is not recognised as a Statistica dataset.\n", name);
    return int16_t{0};
  };
  if (caseNameWidth < 0 || caseNameWidth > in.Left()) return corrupt();
  std::string title;
  if (!in.Counted(title) || !in.Take(2)) return corrupt();

  // Each description takes at least 27 bytes: a count past that is damage.
  if (variables > in.Left() / 27) return corrupt();
  std::vector<Variable> vars(static_cast<std::size_t>(variables));
  bool markerWarned = false;
  int64_t recordSize = caseNameWidth;
  for (Variable& var : vars) {
    const unsigned char* marker = in.Take(1);
    if (!marker) return corrupt();
    if (*marker != 1 && !markerWarned) {
      std::printf("Statistica column marker missing?\nThis file made not read correctly.\n");
      markerWarned = true;
    }
    if (!in.Counted(var.name) || !in.Counted(var.longName)) return corrupt();
    const unsigned char* p = in.Take(4 + 4 + 1 + 8 + 4);
    if (!p) return corrupt();
    const int64_t type = LoadI32LE(p);
    var.text = type != 0 && type != 2 && type != 3;
    var.width = LoadI32LE(p + 4);
    var.code = LoadF64LE(p + 9);
    const int64_t labelCount = LoadI32LE(p + 17);
    if (!var.text && var.width != 1 && var.width != 4 && var.width != 8) {
      std::printf("Numeric Column length in Statistica is incorrect.\n");
      return 0;
    }
    if (var.width < 0 || var.width > in.Left()) return corrupt();
    if (labelCount < 0 || labelCount > in.Left() / 10) return corrupt();
    for (int64_t k = 0; k < labelCount; ++k) {
      const unsigned char* value = in.Take(8);
      std::string text, skipped;
      if (!value || !in.Counted(text) || !in.Counted(skipped)) return corrupt();
      var.values.push_back(LoadF64LE(value));
      var.labels.push_back(text);
    }
    recordSize += var.width;
  }
  // The record after the descriptions is not used.
  if (recordSize == 0 || !in.Take(recordSize)) return corrupt();
  const int64_t rows = std::min(cases, in.Left() / recordSize);
  if (rows <= 0) {
    std::printf("Statistica dataset %.100s is empty.\n", name);
    return 0;
  }

  Dataset* dataset = CreateDataset();
  dataset->rowCount = static_cast<int32_t>(rows);
  if (!CreateRows(dataset)) return 0;
  const std::string note = TrimText(title, title.size());
  if (!note.empty()) AppendNote(dataset, note);
  const long limit = State().columnLimit;
  Column* caseNames = nullptr;
  if (caseNameWidth > 0) {
    caseNames = AddColumn(dataset, ColumnKind::TextUnits, "Case_ID", kTextLength);
    if (caseNames) {
      if (!AllocateValues(caseNames, dataset->rowCount)) return 0;
      caseNames->decimals = 0;
      caseNames->levelCount = static_cast<int32_t>(std::min<int64_t>(caseNameWidth, kTextLength));
    }
  }
  for (std::size_t v = 0; v < vars.size(); ++v) {
    Variable& var = vars[v];
    if (dataset->columnCount >= limit) {
      std::printf("Too many variables in Statistica dataset %.100s\nOnly the first %i will be imported.\n", name,
                  static_cast<int>(limit));
      break;
    }
    Column* c = AddColumn(dataset, var.text ? ColumnKind::Text : ColumnKind::Variate,
                          VariableName(var.name, kNameChars, static_cast<int64_t>(v)), var.text ? kTextLength : 25);
    if (!c) break;
    if (!AllocateValues(c, dataset->rowCount)) return 0;
    c->decimals = var.text ? 0 : -1;
    if (var.text) c->levelCount = static_cast<int32_t>(std::min<int64_t>(var.width, kTextLength));
    CopyLimited(c->description, TrimText(var.longName, var.longName.size()), kNameChars);
    var.column = c;
  }

  // Texts and case names keep their bytes up to a NUL, without trailing
  // blanks; each value still advances by its full width.
  auto text = [](const unsigned char* p, int64_t width) {
    std::string_view t(reinterpret_cast<const char*>(p), static_cast<std::size_t>(width));
    t = t.substr(0, std::min(t.size(), t.find('\0')));
    while (!t.empty() && t.back() == ' ') t.remove_suffix(1);
    return t;
  };
  bool capped = false;
  for (int64_t r = 0; r < rows; ++r) {
    const unsigned char* p = in.Take(recordSize);
    if (caseNames) SetText(caseNames, r, text(p, caseNameWidth));
    p += caseNameWidth;
    for (const Variable& var : vars) {
      if (var.column) {
        if (var.text) {
          SetText(var.column, r, text(p, var.width));
        } else {
          const double x = var.width == 8 ? LoadF64LE(p)
                           : var.width == 4 ? static_cast<double>(LoadI32LE(p))
                                            : static_cast<double>(static_cast<int8_t>(*p));
          SetNumber(var.column, r, Keep(x, var.code, capped));
        }
      }
      p += var.width;
    }
  }
  if (capped) std::printf("Numbers in %.100s greater than %s have been set to this value!\n", name, "9.99999E+307");
  for (const Variable& var : vars) {
    if (!var.column) continue;
    if (!var.text && !var.values.empty()) {
      if (!LabelLevels(var.column, var)) return 0;
    } else {
      ComputeWidth(var.column);
    }
  }
  if (caseNames) ComputeWidth(caseNames);
  return 1;
}

}  // namespace

int16_t ReadStatistica(const char* path, int formatCode) {
  if (formatCode != 36) return ReadClassic(path);
  // A caller may have set the name to show in messages (the document the
  // stream came from); it holds for this one call.
  const std::string shown = State().inputFileName.empty() ? std::string(path ? path : "") : State().inputFileName;
  int16_t result = 0;
  try {
    result = ReadSpreadsheet(path, shown);
  } catch (...) {
    State().inputFileName.clear();
    throw;
  }
  State().inputFileName.clear();
  return result;
}

}  // namespace trovadex
