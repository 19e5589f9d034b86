// The Dataset as an Instat worksheet (".wor"): numeric columns as data
// columns, factors as data columns with a label set, text columns as label
// sets only. A worksheet holds at most 127 columns and 50 label sets.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "core/byteorder.h"
#include "core/convert.h"
#include "core/dataset.h"
#include "readers/instat_number.h"
#include "writers/writers.h"

namespace trovadex {

namespace {

constexpr int kMostColumns = 127;
// Row counts are stored as two characters, rows div 224 + 32 and rows mod
// 224 + 32: above 50,175 rows the first passes 255.
constexpr int64_t kMostRows = 50175;
constexpr int kMostLabels = 223;
// Each set takes two characters in the 100-character factor-link lines.
constexpr int kMostLabelSets = 50;
constexpr int kLinkLineLength = 100;
constexpr int kNameLineLength = 255;
constexpr int kNameLines = 4;  // the offsets in the header count on four
constexpr int kNamePlaces = 254;
constexpr int kWorksheetLabelLength = 8;

enum class Values { Numbers, LevelNumbers, LevelValues };

struct DataColumn {
  Column* column = nullptr;
  Values values = Values::Numbers;
  bool factor = false;        // marked "F"
  bool capLevels = false;     // level numbers past 223 are written as missing
  std::string name;
};

struct LabelSet {
  int dataColumn = -1;  // the factor's slot, or -1 for a text column's set
  std::vector<std::string> labels;
};

void Put(std::string& out, const std::string& text, int64_t length) {
  std::string line = text.substr(0, static_cast<std::size_t>(length));
  line.resize(static_cast<std::size_t>(length), ' ');
  out += line;
  out += '\r';
}

void PutInteger(std::string& out, int64_t value) {
  unsigned char b[kInstatNumberSize] = {};
  StoreU32LE(b, static_cast<uint32_t>(static_cast<int32_t>(value)));
  out.append(reinterpret_cast<const char*>(b), kInstatNumberSize);
}

void PutNumber(std::string& out, double value) {
  unsigned char b[kInstatNumberSize];
  EncodeInstatNumber(value, b);
  out.append(reinterpret_cast<const char*>(b), kInstatNumberSize);
}

// How many name-table lines the names take (name, then its marker byte,
// after the line's leading byte; a name that would pass the last place
// starts a new line).
int NameTableLines(const std::vector<DataColumn>& columns) {
  int lines = 1;
  int64_t at = 1;
  for (const DataColumn& d : columns) {
    if (d.name.empty()) continue;
    const int64_t need = static_cast<int64_t>(d.name.size()) + 1;
    if (at + need - 1 > kNamePlaces) {
      ++lines;
      at = 1;
    }
    at += need;
  }
  return lines;
}

void CutNames(std::vector<DataColumn>& columns, std::size_t length) {
  for (DataColumn& d : columns)
    if (d.name.size() > length) d.name.resize(length);
}

// The text of a level's label from a factor or from a text column's row.
std::string Label(std::string_view text) { return std::string(text.substr(0, kWorksheetLabelLength)); }

}  // namespace

int16_t WriteInstat(Dataset* dataset, const char* path) {
  if (!dataset || !path || dataset->rowCount <= 0 || dataset->columnCount <= 0 || !dataset->firstColumn) return 0;
  RunState& state = State();
  const bool factorMode = state.instatFactorMode;
  const char* source = dataset->sourceFile.c_str();

  // Texts become factors where they can; factors whose levels Instat cannot
  // label become plain numbers.
  bool toldLevels = false;
  for (Column* c = dataset->firstColumn->next; c; c = c->next) {
    if (c->kind == ColumnKind::Text || c->kind == ColumnKind::TextUnits)
      ConvertColumn(c, c->kind, ColumnKind::Factor, true, true);
    if (c->kind != ColumnKind::Factor) continue;
    bool oddValues = false;
    const int64_t values = std::min<int64_t>(c->levelValueCount, c->levelValues.count);
    for (int64_t i = 0; i < values; ++i) {
      const double v = c->levelValues.Get(i);
      if (!(v >= 1 && v <= kMostLabels && v == std::trunc(v))) oddValues = true;
    }
    const bool unlabelable = c->levelCount > kMostLabels || oddValues;
    if (unlabelable && (c->labelCount == 0 || factorMode)) {
      if (!factorMode && c->levelValueCount >= 1 && c->levelValueCount < kMostLabels) {
        MakeLabelsFromLevels(c);
      } else {
        if (!toldLevels) std::printf("Error: Factors with more than 223 labels are not supported by Instat!\n");
        toldLevels = true;
        std::printf("Factor %s labels written to Instat file as levels\n", c->name.c_str());
        ConvertColumn(c, ColumnKind::Factor, ColumnKind::Variate, true, true);
      }
    }
  }

  // Data columns and label sets, in column order.
  std::vector<DataColumn> columns;
  std::vector<LabelSet> sets;
  const auto setRoom = [&](const Column* c, const char* what) {
    if (static_cast<int>(sets.size()) < kMostLabelSets) return true;
    std::printf("Warning: More than %i label sets: %s %s %s\n", kMostLabelSets, what, c->name.c_str(),
                c->kind == ColumnKind::Factor ? "written without labels" : "left out");
    return false;
  };
  for (Column* c = dataset->firstColumn->next; c; c = c->next) {
    DataColumn d;
    d.column = c;
    d.name = c->name;
    if (c->kind == ColumnKind::Text || c->kind == ColumnKind::TextUnits) {
      // A text column Instat keeps only as a label set, one label a row.
      if (dataset->rowCount > kMostLabels || !setRoom(c, "text column")) continue;
      LabelSet set;
      for (int64_t r = 0; r < dataset->rowCount; ++r)
        set.labels.push_back(r < c->valueCount && r < c->texts.count ? Label(c->texts.Get(r)) : std::string());
      sets.push_back(set);
      continue;
    }
    if (!IsNumericKind(c->kind) || c->kind == ColumnKind::RowIndex) continue;
    if (c->kind == ColumnKind::Factor) {
      const int64_t labels = std::min<int64_t>(c->labelCount, c->labels.count);
      if (labels > 0) {
        if (labels > kMostLabels) {
          if (factorMode) continue;  // left out
          std::printf("Factor %s Truncated to 223 levels\n", c->name.c_str());
        }
        // Levels past the 223 labels a set holds cannot be shown.
        d.capLevels = labels > kMostLabels || c->levelCount > kMostLabels;
        if (setRoom(c, "factor")) {
          // Level numbers, whatever values the levels have: the labels
          // belong to the numbers.
          LabelSet set;
          set.dataColumn = static_cast<int>(columns.size());
          for (int64_t i = 0; i < std::min<int64_t>(labels, kMostLabels); ++i) set.labels.push_back(Label(c->labels.Get(i)));
          sets.push_back(set);
          d.factor = true;
          d.values = Values::LevelNumbers;
        } else {
          d.values = c->levelValueCount > 0 ? Values::LevelValues : Values::LevelNumbers;
        }
      } else {
        d.factor = true;
        d.values = c->levelValueCount > 0 ? Values::LevelValues : Values::LevelNumbers;
      }
    }
    columns.push_back(d);
  }

  if (columns.empty()) {
    std::printf("Error: No valid numeric columns in %.80s to save!\n", source);
    return 0;
  }
  if (columns.size() > kMostColumns) {
    std::printf("Error: Too many columns in %.60s to save.\nInstat has a maximum of 127 columns.\n", source);
    return 0;
  }
  if (dataset->rowCount > kMostRows) {
    std::printf("Error: Too many rows in %.60s to save.\nInstat has a maximum of 50175 rows.\n", source);
    return 0;
  }
  // The first code stands for every missing value; the reader takes any
  // value below -1e35 as missing, and the format holds no larger one.
  const double code = state.instatMissingCount > 0 ? state.instatMissing[0] : -9999;
  if (!(code >= -kInstatLargest && code <= kInstatLargest)) {
    std::printf("Error: Instat missing code %g is outside -1e35 to 1e35.\n", code);
    return 0;
  }

  // Names: shortened together when they are long, and until they fit the
  // four lines of the name table.
  int64_t sum = 0;
  std::size_t longest = 0;
  for (const DataColumn& d : columns) {
    sum += static_cast<int64_t>(d.name.size()) + 1;
    longest = std::max(longest, d.name.size());
  }
  if (sum > 1020) {
    int64_t most = static_cast<int64_t>(longest) - (sum - 1020) / static_cast<int64_t>(columns.size());
    while (most > 6 && sum >= 1020) {
      CutNames(columns, static_cast<std::size_t>(most));
      sum = 0;
      for (const DataColumn& d : columns) sum += static_cast<int64_t>(d.name.size()) + 1;
      --most;
    }
  }
  if (NameTableLines(columns) > kNameLines) {
    std::size_t most = 0;
    for (const DataColumn& d : columns) most = std::max(most, d.name.size());
    while (most > 1 && NameTableLines(columns) > kNameLines) CutNames(columns, --most);
    std::printf("Warning: Column names cut to %zu characters to fit the Instat name table\n", most);
  }

  std::FILE* out = std::fopen(path, "wb");
  if (!out) {
    std::printf("Error: In Write INSTAT File - could not open file %.100s\n", path);
    return 0;
  }

  const int64_t rows = dataset->rowCount;
  const int64_t used = static_cast<int64_t>(columns.size());
  int64_t slots = rows <= 1000 ? std::clamp<int64_t>((used / 10 + 1) * 20, 30, kMostColumns)
                               : std::min<int64_t>(used + 10, kMostColumns);
  const int64_t setSlots = static_cast<int64_t>(sets.size()) + 5;
  int64_t labelsPerSet = 12;
  for (const LabelSet& s : sets) labelsPerSet = std::max<int64_t>(labelsPerSet, static_cast<int64_t>(s.labels.size()));

  std::string title = dataset->notes.empty() ? "Data from " + dataset->sourceFile.substr(0, 90) : dataset->notes[0];
  title = title.substr(0, std::min<std::size_t>(title.find_first_of("\r\n"), 100));

  // The 25 lines, filled with spaces (the groups' first counts: 5, T, 10, S, 0).
  const int64_t firstCounts[5] = {5, setSlots, 10, slots, 0};
  std::string lines[5][5];
  int64_t linesTotal = 0;
  for (int i = 0; i < 5; ++i) {
    for (int j = 0; j < 5; ++j) {
      int64_t n;
      if (i <= 2)
        n = (j == 3 || (i == 2 && j == 2)) ? 1 : firstCounts[i] + 1;
      else if (i == 3)
        n = j == 0 ? 2 * slots + 1 : slots + 1;
      else
        n = j <= 1 ? 2 : j <= 3 ? firstCounts[4] + 2 : 1;
      lines[i][j].assign(static_cast<std::size_t>(n), ' ');
      linesTotal += n + 1;
    }
  }
  for (std::size_t s = 0; s < sets.size(); ++s) {
    lines[1][0][s] = static_cast<char>(sets[s].labels.size() + 32);
    lines[1][2][s] = 'L';
  }
  std::string key(kLinkLineLength, ' '), value(kLinkLineLength, ' ');
  for (std::size_t s = 0; s < sets.size(); ++s) {
    if (sets[s].dataColumn < 0) continue;
    key[2 * s] = 3;
    key[2 * s + 1] = static_cast<char>(sets[s].dataColumn + 33);
    value[2 * s] = 1;
    value[2 * s + 1] = static_cast<char>(s + 33);
  }
  std::string nameLengths(static_cast<std::size_t>(slots), ' ');
  std::vector<std::string> nameTable(1, std::string(1, '\x80'));
  for (std::size_t c = 0; c < columns.size(); ++c) {
    const DataColumn& d = columns[c];
    lines[3][0][2 * c] = static_cast<char>(rows / 224 + 32);
    lines[3][0][2 * c + 1] = static_cast<char>(rows % 224 + 32);
    lines[3][2][c] = d.factor ? 'F' : 'V';
    if (d.factor) {
      const int64_t levels = d.column->levelCount;
      lines[3][3][c] = static_cast<char>(levels > kMostLabels || levels < 1 ? 254 : levels + 31);
    }
    if (d.name.empty()) continue;
    nameLengths[c] = static_cast<char>(d.name.size() + 32);
    if (static_cast<int64_t>(nameTable.back().size() + d.name.size()) > kNamePlaces) nameTable.emplace_back(1, '\x80');
    nameTable.back() += d.name;
    nameTable.back() += static_cast<char>(c + 1 + 128);
  }
  while (nameTable.size() < kNameLines) nameTable.emplace_back(1, '\x80');

  const int64_t g0 = linesTotal + 1577 + slots;
  const int64_t g1 = g0 + 405;
  const int64_t g2 = g1 + labelsPerSet * setSlots * 9;
  const int64_t g3 = g2 + 50;
  const int64_t g4 = g3 + rows * slots * kInstatNumberSize;

  std::string head("\x40\x0D\xC1\x02\x67\x0C\x70\x00\x70\x01\x70", 11);
  head += title;
  head += '\r';
  head.append(100 - title.size(), ' ');
  head.append("\x03\x00\x00", 3);
  const int64_t h[14] = {2, 0, 0, 1, 0, kLinkLineLength, setSlots + 1, 3, 255, 1, slots * rows,
                         static_cast<int64_t>(title.size()), 8, std::max(1, state.instatMissingCount)};
  for (int64_t v : h) PutInteger(head, v);
  // Only the first code is ever written as a value; the others are kept
  // within what the format holds.
  PutNumber(head, code);
  for (int i = 1; i < 3; ++i) {
    const double other = state.instatMissing[static_cast<std::size_t>(i)];
    PutNumber(head, std::isnan(other) ? code : std::clamp(other, -kInstatLargest, kInstatLargest));
  }
  const int64_t groups[5][6] = {{5, 80, g0, 81, 81, 0},
                                {setSlots, labelsPerSet, g1, labelsPerSet * 9, 9, setSlots},
                                {10, 1, g2, 5, 5, 0},
                                {slots, rows, g3, rows * 5, 5, used},
                                {0, rows, g4, rows * 5, 5, 0}};
  for (const auto& group : groups)
    for (int64_t v : group) PutInteger(head, v);
  for (auto& row : lines)
    for (const std::string& line : row) Put(head, line, static_cast<int64_t>(line.size()));
  Put(head, key, kLinkLineLength);
  Put(head, value, kLinkLineLength);
  Put(head, nameLengths, slots);
  for (const std::string& line : nameTable) Put(head, line, kNameLineLength);
  for (int i = 0; i < 5; ++i) Put(head, "", 80);
  for (int64_t s = 0; s < setSlots; ++s) {
    for (int64_t k = 0; k < labelsPerSet; ++k) {
      const bool there = s < static_cast<int64_t>(sets.size()) && k < static_cast<int64_t>(sets[static_cast<std::size_t>(s)].labels.size());
      Put(head, there ? sets[static_cast<std::size_t>(s)].labels[static_cast<std::size_t>(k)] : std::string(), kWorksheetLabelLength);
    }
  }
  for (int i = 0; i < 10; ++i) PutNumber(head, code);
  bool ok = static_cast<int64_t>(head.size()) == g3 && std::fwrite(head.data(), 1, head.size(), out) == head.size();

  std::string data;
  for (const DataColumn& d : columns) {
    if (!ok) break;
    const Column* c = d.column;
    data.clear();
    for (int64_t r = 0; r < rows; ++r) {
      double x = r < c->valueCount && r < c->numbers.count ? c->numbers.Get(r) : kMissingValue;
      bool missing = IsMissing(dataset, x) || IsMissingNumber(x);
      if (!missing && d.values != Values::Numbers) {
        // Factor values are level numbers.
        if (x < 1 || x != std::trunc(x) || (d.capLevels && x > kMostLabels)) missing = true;
        if (!missing && d.values == Values::LevelValues) {
          const int64_t level = static_cast<int64_t>(std::min(x, 2147483647.0));
          if (level <= std::min<int64_t>(c->levelValueCount, c->levelValues.count))
            x = c->levelValues.Get(level - 1);
          else
            missing = true;
          missing = missing || IsMissing(dataset, x) || IsMissingNumber(x);
        }
      }
      PutNumber(data, missing ? code : std::clamp(x, -kInstatLargest, kInstatLargest));
    }
    ok = std::fwrite(data.data(), 1, data.size(), out) == data.size();
  }
  // Unused column slots hold empty cells.
  data.assign(static_cast<std::size_t>(rows * kInstatNumberSize), ' ');
  for (int64_t s = used; ok && s < slots; ++s) ok = std::fwrite(data.data(), 1, data.size(), out) == data.size();
  if (std::fflush(out) != 0 || std::ferror(out)) ok = false;
  if (std::fclose(out) != 0) ok = false;
  return ok ? 1 : 0;
}

}  // namespace trovadex
