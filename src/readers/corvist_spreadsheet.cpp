// Corvist spreadsheet (".crs") reader. The file is read through a
// bounds-checked cursor over a block buffer: every count and length is
// checked against the bytes left in the file before anything is allocated,
// and any failed check or short read fails the read.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/byteorder.h"
#include "core/columns.h"
#include "core/dataset.h"
#include "core/format.h"
#include "core/names.h"
#include "core/progress.h"
#include "readers/readers.h"

namespace trovadex {

namespace {

constexpr int32_t kRestrictionKind = 21;
// Row counts up to this many are accepted without data behind them; larger
// ones must be backed by at least four bytes a row.
constexpr int64_t kFreeRowCount = 65536;

// Bytes read from the file at a time; longer strings get a buffer of their
// own length.
constexpr std::size_t kBlockBytes = std::size_t{1} << 20;

struct Cursor {
  std::FILE* file = nullptr;
  std::size_t size = 0;  // bytes in the file
  std::size_t pos = 0;   // offset in the file of the next byte to take
  bool swapped = false;
  std::vector<unsigned char> buffer;  // holds the file's bytes from `start`
  std::size_t start = 0;
  std::size_t filled = 0;     // bytes of `buffer` in use
  std::size_t filePos = 0;    // where the next fread reads

  std::size_t Left() const { return size - pos; }

  // The `n` bytes at pos (n <= Left()); null on a read error or when the
  // file turns out shorter than its size.
  const unsigned char* Bytes(std::size_t n) {
    if (pos >= start && pos - start + n <= filled) return buffer.data() + (pos - start);
    return Fill(n);
  }

  const unsigned char* Fill(std::size_t n) {
    ReportProgress(static_cast<int64_t>(pos), -1);
    std::size_t keep = 0;
    if (pos >= start && pos <= start + filled) {
      // Keep the bytes from pos; the rest of the file follows them.
      keep = start + filled - pos;
      if (keep > 0) std::memmove(buffer.data(), buffer.data() + (pos - start), keep);
    } else if (pos != filePos) {
      if (fseeko(file, static_cast<off_t>(pos), SEEK_SET) != 0) return nullptr;
      filePos = pos;
    }
    start = pos;
    filled = keep;
    std::size_t want = std::max(std::min(std::max(n, kBlockBytes), Left()), filled);
    if (buffer.size() < want) LargeResize(buffer, want);
    std::size_t got = std::fread(buffer.data() + filled, 1, want - filled, file);
    filePos += got;
    filled += got;
    if (filled < n) return nullptr;
    return buffer.data();
  }

  bool Int(int32_t& v) {
    if (Left() < 4) return false;
    const unsigned char* p = Bytes(4);
    if (!p) return false;
    v = swapped ? LoadI32BE(p) : LoadI32LE(p);
    pos += 4;
    return true;
  }
  bool Double(double& v) {
    if (Left() < 8) return false;
    const unsigned char* p = Bytes(8);
    if (!p) return false;
    v = swapped ? LoadF64BE(p) : LoadF64LE(p);
    pos += 8;
    return true;
  }
  bool Skip(int64_t n) {
    if (n < 0 || static_cast<uint64_t>(n) > Left()) return false;
    pos += static_cast<std::size_t>(n);
    return true;
  }
  // A length-prefixed string; at most `keep` bytes are kept. The view lasts
  // until the next read.
  bool String(std::string_view& s, std::size_t keep, int32_t* length = nullptr) {
    int32_t n;
    if (!Int(n) || n < 0 || static_cast<uint64_t>(n) > Left()) return false;
    std::size_t kept = std::min<std::size_t>(static_cast<std::size_t>(n), keep);
    const unsigned char* p = Bytes(kept);
    if (!p) return false;
    s = std::string_view(reinterpret_cast<const char*>(p), kept);
    pos += static_cast<std::size_t>(n);
    if (length) *length = n;
    return true;
  }
  // Stops at the first NUL, as the fixed-size text slots do; a longer text
  // is cut to `limit` and counted as a cut of `kind`.
  bool Text(std::string& out, std::size_t limit, int32_t* length = nullptr, CutKind kind = CutKind::Name) {
    std::string_view s;
    if (!String(s, std::max(limit, kKeptTextLength), length)) return false;
    if (std::size_t nul = s.find('\0'); nul != std::string_view::npos) s = s.substr(0, nul);
    out.assign(CutText(s, limit, kind));
    return true;
  }
  // Room for `count` items of at least `each` bytes.
  bool Room(int64_t count, int64_t each) const {
    return count >= 0 && count <= static_cast<int64_t>(Left() / static_cast<std::size_t>(each));
  }
};

double Loaded(double x) { return IsMissingNumber(x) ? kMissingValue : x; }

// Opens the file and finds its size; false when it cannot.
bool OpenFile(const char* path, Cursor& in) {
  in.file = std::fopen(path, "rb");
  if (!in.file) return false;
  if (fseeko(in.file, 0, SEEK_END) != 0) return false;
  long long size = static_cast<long long>(ftello(in.file));
  if (size < 0 || fseeko(in.file, 0, SEEK_SET) != 0) return false;
  in.size = static_cast<std::size_t>(size);
  return true;
}

bool IsNumericRecord(int32_t kind) {
  switch (kind) {
    case 1: case 4: case 5: case 6: case 7: case 8: case 22: case -4:
      return true;
    default:
      return false;
  }
}

bool IsKnownRecord(int32_t kind) {
  return (kind >= 1 && kind <= 8) || kind == kRestrictionKind || kind == 22 || kind == -3 ||
         kind == -4;
}

void ComputeStoredWidth(Column* c) {
  const Dataset* d = c->dataset;
  int32_t width = 0;
  if (IsTextKind(c->kind)) {
    for (int64_t i = 0; i < c->texts.size(); ++i)
      width = std::max<int32_t>(width, static_cast<int32_t>(c->texts.Get(i).size()));
    width = std::max(width, 3);
  } else if (c->kind == ColumnKind::Factor && c->factorDisplay == 2 && c->labelCount > 0) {
    width = std::max(c->longestLabel, 3);
  } else {
    int digits = 3;
    if (c->kind == ColumnKind::Factor && c->factorDisplay == 1 && c->levelValueCount > 0) {
      for (int64_t i = 0; i < c->levelValues.size(); ++i) {
        double x = c->levelValues.Get(i);
        if (!IsMissing(d, x)) digits = std::max(digits, EstimateDigits(x, c->decimals));
      }
    } else {
      for (int64_t i = 0; i < c->numbers.size(); ++i) {
        double x = c->numbers.Get(i);
        if (!IsMissing(d, x)) digits = std::max(digits, EstimateDigits(x, c->decimals));
      }
    }
    width = digits + (c->decimals > 0 ? c->decimals + 1 : c->decimals < 0 ? 4 : 0);
  }
  width = std::max<int32_t>(width, static_cast<int32_t>(c->name.size()) + 2);
  c->width = width;
}

// Column names that label matrix columns or the columns of a two-way table
// rather than name a structure.
bool IsLabelName(const Dataset* d, ColumnKind kind) {
  return (d->shape == DatasetShape::Matrix && kind == ColumnKind::MatrixColumn) ||
         (d->shape == DatasetShape::SymmetricMatrix && kind == ColumnKind::SymmetricMatrixColumn) ||
         (d->shape == DatasetShape::Table && d->classifierCount == 2 && kind == ColumnKind::TableColumn);
}

struct SheetHeader {
  int version = 0;
  DatasetShape shape = DatasetShape::Columns;
  int32_t records = 0;
  int32_t rows = 0;
  int32_t contents = 0;
};

constexpr int32_t kContentsNotes = 8;
constexpr int32_t kContentsRanges = 1024;

// Reads one column record into `c` (already added to the Dataset, or a
// scratch column when the column limit is reached). `index` is 1-based.
bool ReadColumnBody(Cursor& in, const SheetHeader& h, Dataset* d, Column* c, int32_t index,
                    int32_t n) {
  const int version = h.version;
  const ColumnKind kind = c->kind;
  const bool twoWay = d->shape == DatasetShape::Table && d->classifierCount == 2;

  int32_t nameLength;
  if (!in.Text(c->name, kNameLength, &nameLength) || nameLength <= 0) return false;
  if (version >= 3) {
    if (!in.Text(c->description, kNameLength)) return false;
    if (c->description == " ") c->description.clear();
  }
  // Names become statement words in a command file: one that is not a legal
  // identifier (a file changed by hand) is made one. Matrix and two-way
  // table column names are labels and stay as they are.
  if (!IsLabelName(d, kind) && !IsLegalName(c->name)) LegalName(c->name);

  int32_t storedWidth = 0;
  c->valueFormat = IsTextKind(kind) ? 4 : 1;
  c->justification = 0;
  c->dateRepresentation = 3;
  if (version >= 1) {
    int32_t format;
    if (!in.Int(format) || !in.Int(storedWidth)) return false;
    if (format == 0) format = 1;
    if (format < 1 || format > 5) return false;
    if (IsTextKind(kind)) format = 4;
    if (kind != ColumnKind::Factor && format == 4 && !IsTextKind(kind)) format = 1;
    c->valueFormat = format;
    if (storedWidth != 0) storedWidth = std::clamp<int32_t>(storedWidth, 2, 90);
  }
  if (version >= 2) {
    int32_t justification;
    if (!in.Int(justification) || justification < 0 || justification > 3) return false;
    c->justification = justification;
  }
  if (version >= 3) {
    int32_t dateWord, locked;
    if (!in.Int(dateWord) || !in.Int(locked)) return false;
    // Base × 64 + representation.
    int32_t representation = dateWord >= 0 ? dateWord % 64 : 3;
    int32_t base = dateWord >= 0 ? dateWord / 64 : 0;
    if (representation > 33) representation = 3;
    c->dateRepresentation = representation;
    c->dateBase = static_cast<int16_t>(std::min<int32_t>(base, 32767));
    c->locked = locked != 0 ? 1 : 0;
    std::string_view note;
    if (!in.String(note, in.Left())) return false;
    c->note.assign(note);
    c->hasNote = !note.empty();
  }

  int32_t levels = 0;
  if (IsNumericRecord(static_cast<int32_t>(kind))) {
    if (kind == ColumnKind::TableColumn && twoWay) {
      c->columnLabel = c->name;
      if (d->labelStyle == 3) {
        double v;
        if (!in.Double(v)) return false;
        c->levelValue = Loaded(v);
      } else if (d->labelStyle == 1) {
        const char* text = c->name.c_str();
        const char* end = text;
        bool rangeError = false;
        double v = ParseDecimal(text, text + c->name.size(), &end, &rangeError);
        c->levelValue = (end == text || rangeError) ? kMissingValue : v;
      } else {
        c->levelValue = index - d->unitsColumnCount + 1;
      }
    }
    int32_t decimals;
    if (!in.Int(decimals)) return false;
    c->decimals = std::clamp<int32_t>(decimals, -1, 20);
    c->maxTextLength = 25;
    if (kind == ColumnKind::Numeric6) d->name = c->name;
  } else if (kind == ColumnKind::Factor) {
    int32_t v, b, display;
    if (!in.Int(levels) || !in.Int(v) || !in.Int(b)) return false;
    if (levels < 0 || (v != 0 && v != levels) || (b != 0 && b != levels)) return false;
    if (version >= 2) {
      if (!in.Int(display) || display < 0 || display > 2) return false;
    } else {
      display = b > 0 ? 2 : (v > 0 ? 1 : 0);
    }
    if (display == 2 && b == 0) display = 1;
    if (display == 1 && v == 0) display = 0;
    c->factorDisplay = display;
    if (display == 2)
      c->valueFormat = 4;
    else if (c->valueFormat == 4)
      c->valueFormat = 1;
    c->decimals = -1;
    if (v > 0) {
      int32_t decimals;
      if (!in.Int(decimals)) return false;
      c->decimals = std::clamp<int32_t>(decimals, -1, 20);
    }
    c->maxTextLength = 25;
    if (b > 0) {
      int32_t longest;
      if (!in.Int(longest) || longest <= 0) return false;
      c->longestLabel = longest;
      c->maxTextLength = 40;
    }
    if (!in.Room(v, 8) || !in.Room(static_cast<int64_t>(v) * 8 + static_cast<int64_t>(b) * 4, 1))
      return false;
    c->levelCount = levels;
    c->levelValues.Clear();
    c->levelValues.Resize(v);
    for (int32_t i = 0; i < v; ++i) {
      double x;
      if (!in.Double(x)) return false;
      c->levelValues.Set(i, Loaded(x));
    }
    c->levelValueCount = v;
    c->labels.Clear();
    c->labels.maxLength = kLabelLength;
    c->labels.Resize(b);
    int32_t longest = 0;
    for (int32_t i = 0; i < b; ++i) {
      std::string label;
      if (!in.Text(label, kLabelLength, nullptr, CutKind::Label)) return false;
      c->labels.Set(i, label);
      longest = std::max<int32_t>(longest, static_cast<int32_t>(label.size()));
    }
    c->labelCount = b;
    if (b > 0) c->longestLabel = longest;
  } else if (IsTextKind(kind)) {
    int32_t longest;
    if (!in.Int(longest) || longest < 0) return false;
    c->levelCount = longest;
    c->decimals = -1;
    c->maxTextLength = kTextLength;
  }

  // Values.
  const int32_t rows = d->rowCount;
  int64_t skip = 0;   // leading stored values that are dropped
  int32_t count = n;  // values the column ends up holding
  if (kind == ColumnKind::SymmetricMatrixColumn && n == rows) {
    // Column k of the lower triangle holds the entries (k, k), (k+1, k), ...
    // from its first value on. A full-length column in the file carries k
    // meaningless values first; a short one holds just the triangle part.
    int64_t k = static_cast<int64_t>(c->position) - d->unitsColumnCount;
    skip = std::clamp<int64_t>(k, 0, n);
    count = static_cast<int32_t>(n - skip);
  }

  if (IsTextKind(kind)) {
    if (!in.Room(n, 4)) return false;
    if (count > 0 && !AllocateValues(c, count)) return false;
    c->valueCount = count;
    for (int64_t i = 0; i < n; ++i) {
      std::string text;
      if (!in.Text(text, kTextLength, nullptr, CutKind::Text)) return false;
      c->texts.Set(i, text);
    }
  } else {
    if (!in.Room(n, 8)) return false;
    if (count > 0) {
      c->numbers.Clear();
      c->numbers.Resize(count, kMissingValue);
    }
    c->valueCount = count;
    for (int64_t i = 0; i < n; ++i) {
      double x;
      if (!in.Double(x)) return false;
      x = Loaded(x);
      if (kind == ColumnKind::Factor && x > kMissingValue) {
        if (x != std::floor(x) || x < 1 || x > levels) return false;
      }
      if (i >= skip) c->numbers.Set(i - skip, x);
    }
  }

  if (storedWidth == 0 || version == 0)
    ComputeStoredWidth(c);
  else
    c->width = storedWidth;
  return true;
}

// The notes and column-ranges blocks of version 3, when the header says
// they are there. Notes join the Dataset's notes; a range sets the bounds
// of the data column at its place.
bool ReadTail(Cursor& in, const SheetHeader& h, Dataset* d) {
  if (h.version < 3) return true;
  if (h.contents & kContentsNotes) {
    int32_t length;
    if (!in.Int(length) || length < 0) return false;
    if (length >= 1) {
      int32_t count;
      if (!in.Int(count) || !in.Room(count, 4)) return false;
      for (int32_t i = 0; i < count; ++i) {
        std::string note;
        if (!in.Text(note, in.Left())) return false;
        AppendNote(d, note);
      }
    }
  }
  if (h.contents & kContentsRanges) {
    int32_t count;
    if (!in.Int(count) || !in.Room(count, 20)) return false;
    for (int32_t i = 0; i < count; ++i) {
      int32_t position;
      double minimum, maximum;
      if (!in.Int(position) || !in.Double(minimum) || !in.Double(maximum)) return false;
      if (position < 1 || position > d->columnCount) continue;
      Column* c = ColumnAt(d, position);
      if (!c || c->kind == ColumnKind::Factor || IsTextKind(c->kind)) continue;
      c->minimum = Loaded(minimum);
      c->maximum = Loaded(maximum);
    }
  }
  return true;
}

bool ShapeAllows(const SheetHeader& h, const Dataset* d, int32_t index, int32_t kind, int32_t n) {
  const int32_t rows = d->rowCount;
  switch (h.shape) {
    case DatasetShape::Columns:
      if (n > rows) return false;
      return !(kind == 1 || kind == 5 || kind == 6 || kind == 7 || kind == 8);
    case DatasetShape::Matrix:
      if (n != rows) return false;
      return kind == 5 || (index == 1 && (kind == -3 || kind == -4));
    case DatasetShape::SymmetricMatrix:
      if (n != rows && static_cast<int64_t>(n) != static_cast<int64_t>(d->unitsColumnCount) + rows - index)
        return false;
      return kind == 7 || (index == 1 && (kind == -3 || kind == -4));
    case DatasetShape::DiagonalMatrix:
      if (n != rows) return false;
      return kind == 6 || (index == 1 && (kind == -3 || kind == -4));
    case DatasetShape::Table:
      if (n != rows) return false;
      return kind == 8 || (index == 1 && kind == 2);
    case DatasetShape::Scalars:
      return n == rows && kind == 1;
  }
  return false;
}

bool ReadSheet(Cursor& in) {
  SheetHeader h;
  int32_t magic;
  if (!in.Int(magic)) return false;
  switch (magic) {
    case 53315331: h.version = 1; break;
    case 53325332: h.version = 2; break;
    case 54415441: h.version = 3; break;
    case 59190531: h.version = 1; in.swapped = true; break;
    case 346959107: h.version = 2; in.swapped = true; break;
    case 1364213251: h.version = 3; in.swapped = true; break;
    default:
      if (magic < 1 || magic > 6) return false;
      h.version = 0;
      in.pos = 0;  // no magic: the first word is the shape
      break;
  }
  int32_t shape;
  if (!in.Int(shape) || shape < 1 || shape > 6) return false;
  h.shape = static_cast<DatasetShape>(shape);
  if (!in.Int(h.records) || h.records <= 0 || !in.Room(h.records, 8)) return false;
  if (!in.Int(h.rows) || h.rows < 0) return false;
  if (h.rows > kFreeRowCount && !in.Room(h.rows, 4)) return false;
  if (h.shape == DatasetShape::Scalars && h.rows != 1) return false;

  double missing;
  if (!in.Double(missing)) return false;
  int32_t sheetFlag = 0, locked = 0;
  if (h.version >= 2 && !in.Int(sheetFlag)) return false;
  if (h.version >= 3) {
    int32_t reserved, extension;
    if (!in.Int(locked) || !in.Int(h.contents) || !in.Int(reserved) || !in.Int(extension))
      return false;
    if (extension < 0 || !in.Skip(extension)) return false;
  }

  // Shape part, read before the Dataset exists.
  std::string name, columnFactorName;
  int32_t labelStyle = 0, classifierCount = 0, hasMargins = 0, tableFlag = 0;
  switch (h.shape) {
    case DatasetShape::Matrix:
    case DatasetShape::SymmetricMatrix: {
      int32_t length;
      if (!in.Text(name, kNameLength, &length) || length <= 0) return false;
      if (!in.Int(labelStyle) || labelStyle < 0 || labelStyle > 2) return false;
      break;
    }
    case DatasetShape::Table: {
      if (!in.Int(classifierCount) || classifierCount < 1 || classifierCount > 2) return false;
      if (h.version >= 3 && (!in.Int(hasMargins) || hasMargins < 0)) return false;
      // Versions 1 and 2 carry the name part for one-way tables too.
      if (classifierCount == 2 || h.version < 3) {
        if (h.version >= 3 && classifierCount == 2 && (!in.Int(tableFlag) || tableFlag < 0))
          return false;
        int32_t length, factorLength;
        if (!in.Text(name, kNameLength, &length)) return false;
        if (!in.Int(labelStyle) || labelStyle < 0 || labelStyle > 3) return false;
        if (!in.Text(columnFactorName, kNameLength, &factorLength)) return false;
        if (classifierCount == 2 && (length <= 0 || factorLength <= 0)) return false;
      }
      break;
    }
    default:
      break;
  }

  Dataset* d = CreateDataset();
  d->shape = h.shape;
  d->rowCount = h.rows;
  if (h.rows > 0 && !CreateRows(d)) return false;
  d->sheetVersion = h.version;
  d->sheetFlag = sheetFlag != 0 ? 1 : 0;
  d->locked = locked != 0 ? 1 : 0;
  d->name = name;
  d->labelStyle = labelStyle;
  d->classifierCount = classifierCount;
  d->hasMargins = hasMargins > 0 ? 1 : 0;
  d->tableFlag = tableFlag != 0 ? 1 : 0;
  d->columnFactorName = columnFactorName;
  for (std::string* word : {&d->name, &d->columnFactorName}) {
    if (!word->empty() && !IsLegalName(*word)) LegalName(*word);
  }

  const int32_t limit = State().columnLimit;
  bool warned = false;
  int32_t dataRecords = 0;
  std::unique_ptr<Column> scratch;
  for (int32_t index = 1; index <= h.records; ++index) {
    int32_t kind, n;
    if (!in.Int(kind) || !IsKnownRecord(kind)) return false;
    if (!in.Int(n) || n < 0) return false;
    if (kind == kRestrictionKind) {
      if (n > d->rowCount || !in.Room(n, 4)) return false;
      for (int32_t r = 0; r < n; ++r) {
        int32_t flag;
        if (!in.Int(flag) || (flag != 0 && flag != 1)) return false;
        d->rows[r].restricted = static_cast<int16_t>(flag);
        if (flag) d->hasRestriction = 1;
      }
      continue;
    }
    if (!ShapeAllows(h, d, index, kind, n)) return false;
    ++dataRecords;
    Column* c;
    if (d->columnCount < limit) {
      c = AddColumn(d, static_cast<ColumnKind>(kind), "", kind == 3 || kind == -3 ? 90 : 25);
      if (!c) return false;
    } else {
      // Past the column limit: the record is still checked, then dropped.
      if (!warned) {
        std::printf("Warning Columns above %li NOT transfered!\n", static_cast<long>(limit));
        warned = true;
      }
      scratch = std::make_unique<Column>();
      scratch->kind = static_cast<ColumnKind>(kind);
      scratch->dataset = d;
      scratch->position = index;
      c = scratch.get();
    }
    if (!ReadColumnBody(in, h, d, c, index, n)) return false;
  }
  // A diagonal matrix is one diagonal column, perhaps with a units column; a
  // symmetric matrix has as many rows as matrix columns.
  if (h.shape == DatasetShape::DiagonalMatrix && dataRecords >= 3) return false;
  if (h.shape == DatasetShape::SymmetricMatrix && h.rows != dataRecords &&
      h.rows != dataRecords - 1)
    return false;
  return ReadTail(in, h, d);
}

}  // namespace

int16_t ReadCorvistSpreadsheet(const char* path) {
  if (!path) return 0;
  Cursor in;
  bool ok = OpenFile(path, in) && ReadSheet(in);
  if (in.file && std::fclose(in.file) != 0) ok = false;
  return ok ? 1 : 0;
}

}  // namespace trovadex
