// Corvist spreadsheet (".crs") writer: the binary file the package loads with
// SPLOAD. A flat run of little-endian int32s, doubles and length-prefixed
// strings: header, shape part, one record per column, the restriction
// record, then (version 3) the notes block and the column-ranges block.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "core/byteorder.h"
#include "core/columns.h"
#include "core/dataset.h"
#include "core/names.h"
#include "core/progress.h"
#include "writers/writers.h"

namespace trovadex {

namespace {

constexpr int32_t kMagicVersion1 = 53315331;
constexpr int32_t kMagicVersion2 = 53325332;
constexpr int32_t kMagicVersion3 = 54415441;
constexpr int32_t kRestrictionKind = 21;
constexpr int32_t kContentsNotes = 8;
constexpr int32_t kContentsRanges = 1024;

// Buffered little-endian output; the first failed write sticks.
struct SheetOut {
  std::FILE* file = nullptr;
  std::vector<unsigned char> buffer;
  bool failed = false;

  void Flush() {
    if (failed || buffer.empty()) {
      buffer.clear();
      return;
    }
    if (std::fwrite(buffer.data(), 1, buffer.size(), file) != buffer.size()) failed = true;
    buffer.clear();
  }
  void Reserve(std::size_t n) {
    if (buffer.size() + n > (std::size_t{1} << 20)) Flush();
  }
  void Int(int32_t v) {
    Reserve(4);
    unsigned char b[4];
    StoreU32LE(b, static_cast<uint32_t>(v));
    buffer.insert(buffer.end(), b, b + 4);
  }
  void Double(double v) {
    StepProgress();
    Reserve(8);
    unsigned char b[8];
    StoreF64LE(b, v);
    buffer.insert(buffer.end(), b, b + 8);
  }
  void String(std::string_view s) {
    StepProgress();
    Int(static_cast<int32_t>(s.size()));
    Reserve(s.size());
    buffer.insert(buffer.end(), s.begin(), s.end());
  }
};

// A number taken from the Dataset: any stored form of missing becomes -1e307.
double Stored(double x) { return IsMissingNumber(x) ? kMissingValue : x; }

int32_t Clamp(int32_t v, int32_t lo, int32_t hi) { return v < lo ? lo : (v > hi ? hi : v); }

bool IsWrittenColumn(const Column* c) { return c->kind != ColumnKind::RowIndex; }

// Plain numeric columns: every numeric kind but the row numbers and factors.
bool IsNumericWritten(ColumnKind kind) {
  return IsNumericKind(kind) && kind != ColumnKind::RowIndex && kind != ColumnKind::Factor;
}

struct RangeEntry {
  int32_t position;
  double minimum;
  double maximum;
};

bool HasRange(const Dataset* d, const Column* c) {
  if (c->kind == ColumnKind::Factor || IsTextKind(c->kind)) return false;
  return c->minimum > d->missingValue || c->maximum > d->missingValue;
}

// The values of a column that land in the file: its rows below `limit`
// that are kept.
int32_t WrittenValueCount(const std::vector<int32_t>& keptRows, int64_t limit) {
  return static_cast<int32_t>(std::lower_bound(keptRows.begin(), keptRows.end(), limit) -
                              keptRows.begin());
}

int64_t ValueLimit(const Column* c) {
  int64_t n = c->valueCount;
  if (IsTextKind(c->kind))
    n = std::min<int64_t>(n, c->texts.size());
  else
    n = std::min<int64_t>(n, c->numbers.size());
  return std::max<int64_t>(n, 0);
}

void WriteFactor(SheetOut& out, Dataset* d, Column* c, int version, const std::vector<int32_t>& rows,
                 int32_t written) {
  // Counts that disagree with the level count are made to agree with it.
  if (c->levelCount < 0) c->levelCount = 0;
  int32_t levels = c->levelCount;
  if (c->levelValueCount != 0 && c->levelValueCount != levels) c->levelValueCount = levels;
  if (c->labelCount != 0 && c->labelCount != levels) c->labelCount = levels;
  const bool margins = d->shape == DatasetShape::Table && d->hasMargins;
  int32_t v = c->levelValueCount;
  int32_t b = c->labelCount;
  int32_t writtenLevels = levels + (margins ? 1 : 0);
  int32_t writtenV = v > 0 ? v + (margins ? 1 : 0) : 0;
  int32_t writtenB = b > 0 ? b + (margins ? 1 : 0) : 0;
  out.Int(writtenLevels);
  out.Int(writtenV);
  out.Int(writtenB);
  if (version >= 2) out.Int(c->factorDisplay);
  if (v > 0) {
    c->decimals = Clamp(c->decimals, -1, 18);
    out.Int(c->decimals);
  }
  if (b > 0) {
    int32_t longest = 0;
    for (int32_t i = 0; i < levels && i < c->labels.size(); ++i)
      longest = std::max<int32_t>(longest, static_cast<int32_t>(c->labels.Get(i).size()));
    c->longestLabel = longest;
    // A longest label of 0 is refused on reading; "Margin" or a blank label
    // still needs one character of room.
    out.Int(std::max<int32_t>(longest, 1));
  }
  if (v > 0) {
    // Missing entries of a short list are written as missing values.
    for (int32_t i = 0; i < levels; ++i)
      out.Double(i < c->levelValues.size() ? Stored(c->levelValues.Get(i)) : kMissingValue);
    if (margins) out.Double(static_cast<double>(writtenV));
  }
  if (b > 0) {
    for (int32_t i = 0; i < levels; ++i)
      out.String(i < c->labels.size() ? c->labels.Get(i) : std::string_view());
    if (margins) out.String("Margin");
  }
  // Level numbers: the whole part when it names a level, else missing.
  for (int32_t k = 0; k < written; ++k) {
    double x = c->numbers.Get(rows[k]);
    double level = kMissingValue;
    if (!IsMissingNumber(x) && x >= 1 && x < static_cast<double>(writtenLevels) + 1)
      level = std::floor(x);
    out.Double(level);
  }
}

// `record` is the 1-based place of the column's record in the file.
void WriteColumnRecord(SheetOut& out, Dataset* d, Column* c, int version,
                       const std::vector<int32_t>& keptRows, int32_t record) {
  const bool twoWay = d->shape == DatasetShape::Table && d->classifierCount >= 2;
  // A column of a symmetric matrix holds its triangle part, (k, k), (k+1, k),
  // ...; in the file it is a full column of every row, its first k values
  // placeholders.
  const bool triangle =
      d->shape == DatasetShape::SymmetricMatrix && c->kind == ColumnKind::SymmetricMatrixColumn;
  const int32_t written =
      triangle ? static_cast<int32_t>(keptRows.size()) : WrittenValueCount(keptRows, ValueLimit(c));
  out.Int(static_cast<int32_t>(c->kind));
  out.Int(written);

  if (c->name.empty()) c->name = MakeDefaultName(0);
  std::string_view name = c->name;
  if (c->kind == ColumnKind::TableColumn && twoWay && (d->labelStyle == 2 || d->labelStyle == 3) &&
      !c->columnLabel.empty())
    name = c->columnLabel;
  out.String(name);
  if (version >= 3) out.String(c->description);

  int32_t valueFormat;
  if (IsTextKind(c->kind)) {
    valueFormat = 4;
  } else {
    if (c->valueFormat < 1 || c->valueFormat > 5) c->valueFormat = 1;
    valueFormat = c->valueFormat;
    if (version < 3 && valueFormat == 5) valueFormat = 1;
  }
  out.Int(valueFormat);

  c->width = Clamp(c->width, 2, 90);
  out.Int(version == 1 ? std::min(c->width, 40) : version == 2 ? std::min(c->width, 60) : c->width);
  if (version >= 2) {
    if (c->justification < 0 || c->justification > 2) c->justification = 0;
    out.Int(c->justification);
  }
  if (version >= 3) {
    // The date word keeps both the base and the representation.
    int32_t base = c->dateBase > 0 ? c->dateBase : 0;
    int32_t representation =
        c->dateRepresentation >= 0 && c->dateRepresentation <= 33 ? c->dateRepresentation : 3;
    out.Int(base * 64 + representation);
    out.Int(c->locked);
    // The column's note, kept (an empty one is the length 0 alone).
    out.String(c->note);
  }

  if (c->kind == ColumnKind::Factor) {
    WriteFactor(out, d, c, version, keptRows, written);
    return;
  }
  if (IsTextKind(c->kind)) {
    int32_t longest = 0;
    int64_t limit = ValueLimit(c);
    for (int64_t i = 0; i < limit; ++i)
      longest = std::max<int32_t>(longest, static_cast<int32_t>(c->texts.Get(i).size()));
    c->levelCount = longest;
    out.Int(longest);
    for (int32_t k = 0; k < written; ++k) out.String(c->texts.Get(keptRows[k]));
    return;
  }
  if (IsNumericWritten(c->kind)) {
    if (c->kind == ColumnKind::TableColumn && twoWay && d->labelStyle == 3)
      out.Double(Stored(c->levelValue));
    c->decimals = Clamp(c->decimals, -1, 18);
    out.Int(c->decimals);
    if (triangle) {
      const int64_t lead = std::max<int64_t>(record - d->unitsColumnCount, 0);
      const int64_t limit = ValueLimit(c);
      for (int64_t r = 0; r < written; ++r) {
        int64_t i = r - lead;
        out.Double(i >= 0 && i < limit ? Stored(c->numbers.Get(i)) : kMissingValue);
      }
      return;
    }
    for (int32_t k = 0; k < written; ++k) out.Double(Stored(c->numbers.Get(keptRows[k])));
  }
}

// The column ranges, numbered by the place of each written column in the file.
std::vector<RangeEntry> CollectRanges(Dataset* d, const std::vector<Column*>& written) {
  std::vector<RangeEntry> ranges;
  auto add = [&](Column* c) {
    auto it = std::find(written.begin(), written.end(), c);
    if (it == written.end() || !HasRange(d, c)) return;
    ranges.push_back(RangeEntry{static_cast<int32_t>(it - written.begin()) + 1, Stored(c->minimum),
                                Stored(c->maximum)});
  };
  const bool structure = d->shape == DatasetShape::Matrix ||
                         d->shape == DatasetShape::SymmetricMatrix ||
                         d->shape == DatasetShape::DiagonalMatrix ||
                         (d->shape == DatasetShape::Table && d->classifierCount >= 2);
  if (!structure) {
    for (Column* c : written) add(c);
    return ranges;
  }
  int32_t position = 0;
  for (Column* c = d->firstColumn; c; c = c->next, ++position) {
    if (position == 0 || !IsWrittenColumn(c)) continue;
    if (position == 1 && c->kind == ColumnKind::VariateUnits && position != d->unitsColumnCount)
      add(c);
    if (position == d->unitsColumnCount) {
      add(c);
      break;
    }
  }
  return ranges;
}

}  // namespace

int16_t WriteCorvistSpreadsheet(Dataset* dataset, const char* path) {
  if (!dataset || !path) return 0;
  Dataset* d = dataset;
  int version = State().spreadsheetVersion;
  version = version <= 1 ? 1 : (version >= 3 ? 3 : 2);

  // Empty rows and columns are left out, except in a symmetric matrix whose
  // rows and columns pair up.
  bool thin = false;
  if (d->options.omitEmpty && d->shape != DatasetShape::SymmetricMatrix) {
    long emptyColumns = MarkEmptyColumns(d, false);
    long emptyRows = MarkEmptyRows(d, false);
    thin = emptyColumns > 0 || emptyRows > 0;
  }

  std::vector<int32_t> keptRows;
  const int32_t rowCount = std::max<int32_t>(d->rowCount, 0);
  LargeResize(keptRows, static_cast<std::size_t>(rowCount));
  std::size_t kept = 0;
  for (int32_t i = 0; i < rowCount; ++i) {
    bool empty = thin && static_cast<std::size_t>(i) < d->rows.size() && d->rows[i].empty;
    if (!empty) keptRows[kept++] = i;
  }
  keptRows.resize(kept);

  std::vector<Column*> written;
  for (Column* c = d->firstColumn; c; c = c->next) {
    if (!IsWrittenColumn(c)) continue;
    if (thin && c->empty) continue;
    written.push_back(c);
  }
  if (written.empty()) return 0;

  std::vector<RangeEntry> ranges;
  if (version >= 3) ranges = CollectRanges(d, written);
  const bool hasNotes = !d->notes.empty();
  const bool restriction = d->hasRestriction != 0;

  SheetOut out;
  out.file = std::fopen(path, "wb");
  if (!out.file) return 0;

  // Header.
  out.Int(version == 1 ? kMagicVersion1 : version == 2 ? kMagicVersion2 : kMagicVersion3);
  out.Int(static_cast<int32_t>(d->shape));
  out.Int(static_cast<int32_t>(written.size()) + (restriction ? 1 : 0));
  out.Int(static_cast<int32_t>(keptRows.size()));
  out.Double(kMissingValue);
  if (version >= 2) out.Int(d->sheetFlag);
  if (version >= 3) {
    out.Int(d->locked);
    out.Int((hasNotes ? kContentsNotes : 0) + (ranges.empty() ? 0 : kContentsRanges));
    out.Int(0);
    out.Int(0);
  }

  // Shape part. The structures that carry a name get a default one when
  // theirs is empty: a nameless structure cannot be loaded.
  switch (d->shape) {
    case DatasetShape::Matrix:
    case DatasetShape::SymmetricMatrix:
      if (d->name.empty()) d->name = MakeDefaultName(0);
      out.String(d->name);
      out.Int(d->labelStyle);
      break;
    case DatasetShape::Table:
      out.Int(d->classifierCount);
      if (version >= 3) out.Int(d->hasMargins);
      if (version < 3 || d->classifierCount >= 2) {
        if (d->classifierCount >= 2) {
          if (d->name.empty()) d->name = MakeDefaultName(0);
          if (d->columnFactorName.empty()) d->columnFactorName = MakeDefaultName(0);
        }
        if (version >= 3) out.Int(d->tableFlag);
        out.String(d->name);
        out.Int(d->labelStyle);
        out.String(d->columnFactorName);
      }
      break;
    default:
      break;
  }

  int32_t record = 0;
  for (Column* c : written) {
    WriteColumnRecord(out, d, c, version, keptRows, ++record);
    if (out.failed) break;
  }

  if (restriction) {
    out.Int(kRestrictionKind);
    out.Int(static_cast<int32_t>(keptRows.size()));
    for (int32_t r : keptRows) {
      bool restricted = static_cast<std::size_t>(r) < d->rows.size() && d->rows[r].restricted;
      out.Int(restricted ? 1 : 0);
    }
  }

  if (version >= 3 && hasNotes) {
    int32_t count = static_cast<int32_t>(d->notes.size());
    int64_t length = 0;
    for (const std::string& note : d->notes) length += static_cast<int64_t>(note.size()) + 1;
    d->notesCount = count;
    d->notesLength = count == 0 ? 0 : static_cast<int32_t>(length - 1);
    out.Int(d->notesLength);
    if (d->notesLength >= 1) {
      out.Int(count);
      for (const std::string& note : d->notes) out.String(note);
    }
  }

  if (!ranges.empty()) {
    out.Int(static_cast<int32_t>(ranges.size()));
    for (const RangeEntry& r : ranges) {
      out.Int(r.position);
      out.Double(r.minimum);
      out.Double(r.maximum);
    }
  }

  out.Flush();
  if (std::fflush(out.file) != 0) out.failed = true;
  if (std::fclose(out.file) != 0) out.failed = true;
  return out.failed ? 0 : 1;
}

}  // namespace trovadex
