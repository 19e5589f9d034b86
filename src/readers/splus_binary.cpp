// S binary data objects (the file starts 00 "S data" 01): a data frame, or a
// matrix. After the magic and the header code (21) comes an attribute table:
// the count, the length of the NUL-terminated names, the names, then the
// mode, element count and file offset of each attribute. Lists and
// structures inside store the same table (names length, names, three arrays)
// at their offset. Every number is little-endian, or every number
// big-endian when the header code reads 21 only byte-reversed. The file is
// read whole: its parts are reached by offset in any order.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "core/byteorder.h"
#include "core/dataset.h"
#include "core/names.h"
#include "readers/matrix_input.h"
#include "readers/readers.h"
#include "readers/splus_frame.h"

namespace trovadex {

namespace {

constexpr int64_t kMaxNamesLength = 16000000;
constexpr int32_t kMissingCode = 0x7FF00001;  // logical and integer NA

enum Mode : int32_t {
  kLogical = 1,
  kInteger = 2,
  kSingle = 3,
  kDouble = 4,
  kCharacter = 5,
  kList = 6,
  kComplex = 7,
  kStructure = 21,
};

struct Entry {
  std::string name;
  int32_t mode = 0;
  int64_t length = 0;
  int64_t offset = 0;
};

struct Object {
  const unsigned char* data = nullptr;
  int64_t size = 0;
  bool swap = false;

  bool Has(int64_t at, int64_t n) const { return at >= 0 && n >= 0 && at <= size && n <= size - at; }
  int32_t I32(int64_t at) const { return swap ? LoadI32BE(data + at) : LoadI32LE(data + at); }

  // The attribute table of `count` entries whose names start at `at` after
  // their length `namesLength`.
  bool ReadTable(int64_t namesAt, int64_t namesLength, int64_t count, std::vector<Entry>& out) const {
    if (count <= 0 || namesLength < 0 || namesLength > kMaxNamesLength || !Has(namesAt, namesLength)) return false;
    const int64_t arrays = namesAt + namesLength;
    if (count > size / 12 || !Has(arrays, count * 12)) return false;
    std::string_view names(reinterpret_cast<const char*>(data + namesAt), static_cast<std::size_t>(namesLength));
    out.assign(static_cast<std::size_t>(count), Entry{});
    for (int64_t i = 0; i < count; ++i) {
      // Every name needs its NUL inside the names block.
      const std::size_t end = names.find('\0');
      if (end == std::string_view::npos) return false;
      Entry& e = out[static_cast<std::size_t>(i)];
      e.name.assign(names.substr(0, end));
      names.remove_prefix(end + 1);
      e.mode = I32(arrays + 4 * i);
      e.length = I32(arrays + 4 * (count + i));
      e.offset = static_cast<uint32_t>(I32(arrays + 4 * (2 * count + i)));
      if (e.length < 0) return false;
    }
    return true;
  }

  // The table of a list or structure stored at `e.offset`.
  bool ReadInner(const Entry& e, std::vector<Entry>& out) const {
    return Has(e.offset, 4) && ReadTable(e.offset + 4, I32(e.offset), e.length, out);
  }

  // Hands each of the `e.length` strings of a character vector to `each`;
  // the last may end at the end of its block instead of a NUL.
  template <class Each>
  bool ForEachString(const Entry& e, Each&& each) const {
    if (e.mode != kCharacter || !Has(e.offset, 4)) return false;
    const int64_t bytes = I32(e.offset);
    // Each string takes at least one byte (its text or its NUL).
    if (!Has(e.offset + 4, bytes) || e.length > bytes) return false;
    std::string_view block(reinterpret_cast<const char*>(data + e.offset + 4), static_cast<std::size_t>(bytes));
    std::size_t pos = 0;
    for (int64_t i = 0; i < e.length; ++i) {
      if (pos >= block.size()) return false;  // fewer strings than announced
      const std::size_t end = std::min(block.find('\0', pos), block.size());
      each(block.substr(pos, end - pos));
      pos = end + 1;
    }
    return true;
  }

  bool ReadStrings(const Entry& e, std::vector<std::string>& out, std::size_t limit) const {
    out.clear();
    return ForEachString(e, [&](std::string_view t) { out.emplace_back(t.substr(0, limit)); });
  }

  static int64_t ElementSize(int32_t mode) {
    switch (mode) {
      case kLogical:
      case kInteger:
      case kSingle: return 4;
      case kDouble: return 8;
      default: return 0;
    }
  }
  // True when the `count` elements at `offset` are inside the file.
  bool HasNumbers(int32_t mode, int64_t offset, int64_t count) const {
    const int64_t each = ElementSize(mode);
    return each > 0 && count >= 0 && count <= size / each && Has(offset, count * each);
  }
  // Element i of a number vector (HasNumbers checked).
  double Number(int32_t mode, int64_t offset, int64_t i) const {
    switch (mode) {
      case kLogical: {
        const int32_t v = I32(offset + 4 * i);
        return v == kMissingCode ? kMissingValue : v != 0 ? 1 : 0;
      }
      case kInteger: {
        const int32_t v = I32(offset + 4 * i);
        return v == kMissingCode ? kMissingValue : v;
      }
      case kSingle: {
        const unsigned char* p = data + offset + 4 * i;
        return MatrixNumber(swap ? LoadF32BE(p) : LoadF32LE(p));
      }
      default: {
        const unsigned char* p = data + offset + 8 * i;
        return MatrixNumber(swap ? LoadF64BE(p) : LoadF64LE(p));
      }
    }
  }
};

const Entry* Find(const std::vector<Entry>& table, std::string_view name) {
  for (const Entry& e : table)
    if (e.name == name) return &e;
  return nullptr;
}

bool NamesClass(const Object& o, const Entry* e, std::string_view wanted) {
  bool found = false;
  return e && o.ForEachString(*e, [&](std::string_view c) { found = found || c == wanted; }) && found;
}

// The rows an element gives: its length, or a structure's ".Data" length.
int64_t ElementRows(const Object& o, const Entry& e) {
  if (e.mode != kStructure) return e.mode >= kLogical && e.mode <= kCharacter ? e.length : 0;
  std::vector<Entry> inner;
  if (!o.ReadInner(e, inner)) return 0;
  const Entry* data = Find(inner, ".Data");
  return data && data->mode >= kLogical && data->mode <= kDouble ? data->length : 0;
}

void Fail(const char* path, const char* what) { std::printf("Error: S+ object file %.100s %s.\n", path, what); }

// Fills a numeric column from a number vector (at most the column's rows).
bool FillNumbers(const Object& o, const Entry& e, Column* c) {
  const int64_t n = std::min<int64_t>(e.length, c->valueCount);
  if (!o.HasNumbers(e.mode, e.offset, n)) return false;
  for (int64_t i = 0; i < n; ++i) SetNumber(c, i, o.Number(e.mode, e.offset, i));
  return true;
}

// A factor or "dates" structure; false for a damaged one. `made` stays
// false for any other class (the column is skipped).
bool ReadStructureColumn(const Object& o, const Entry& e, Dataset* d, const std::string& name, bool& made) {
  made = false;
  std::vector<Entry> inner;
  if (!o.ReadInner(e, inner)) return false;
  const Entry* data = Find(inner, ".Data");
  const Entry* cls = Find(inner, "class");
  const bool factor = NamesClass(o, cls, "factor");
  const bool dates = !factor && NamesClass(o, cls, "dates");
  if (!factor && !dates) return true;
  if (!data || (data->mode != kInteger && data->mode != kDouble)) return false;
  Column* c = AddColumn(d, factor ? ColumnKind::Factor : ColumnKind::Variate, name, 25);
  if (!c) return true;  // the column limit
  made = true;
  if (!AllocateValues(c, d->rowCount) || !FillNumbers(o, *data, c)) return false;
  c->decimals = -1;
  if (factor) {
    int64_t largest = 0;
    for (int64_t i = 0; i < c->valueCount; ++i) {
      double x = GetNumber(c, i);
      x = x >= 1 && x <= 99999 ? std::trunc(x) : kMissingValue;
      SetNumber(c, i, x);
      if (x > 0) largest = std::max(largest, static_cast<int64_t>(x));
    }
    std::vector<std::string> labels;
    const Entry* label = Find(inner, ".Label");
    if (label && label->length >= largest && o.ReadStrings(*label, labels, 200)) {
      for (std::string& l : labels) l = SplusText(l, kLabelLength);
    } else {
      labels.clear();  // a level without a label: numbers shown
    }
    FinishSplusFactor(c, largest, labels);
  } else {
    double origin[3] = {1, 1, 1960};
    std::vector<Entry> originTable;
    const Entry* at = Find(inner, "origin");
    if (at && at->mode == kStructure && o.ReadInner(*at, originTable)) {
      const Entry* od = Find(originTable, ".Data");
      if (od && od->length >= 3 && o.HasNumbers(od->mode, od->offset, 3))
        for (int i = 0; i < 3; ++i) origin[i] = o.Number(od->mode, od->offset, i);
    }
    const double day0 = SplusDateOrigin(c, origin[0], origin[1], origin[2]);
    for (int64_t i = 0; i < c->valueCount; ++i) {
      const double x = GetNumber(c, i);
      if (!IsMissing(d, x)) SetNumber(c, i, std::trunc(x) + day0);
    }
    c->valueFormat = 5;
  }
  SetSplusWidth(c);
  return true;
}

// The "RowName" column from a character or number vector, unless the names
// are only the row numbers.
bool AddRowNames(const Object& o, const Entry& e, Dataset* d) {
  if (d->columnCount >= State().columnLimit) return true;
  if (e.mode == kCharacter) {
    std::vector<std::string> names;
    if (!o.ReadStrings(e, names, kTextLength + 10)) return false;
    bool numbers = true;
    for (std::size_t i = 0; i < names.size() && numbers; ++i) numbers = IsRowNumberName(names[i], static_cast<int64_t>(i));
    if (numbers) return true;
    Column* c = AddColumn(d, ColumnKind::TextUnits, "RowName", kTextLength);
    if (!c || !AllocateValues(c, d->rowCount)) return false;
    c->valueFormat = 4;
    for (std::size_t i = 0; i < names.size() && i < static_cast<std::size_t>(d->rowCount); ++i)
      SetText(c, static_cast<int64_t>(i), SplusText(names[i], kTextLength));
    d->unitsColumnCount = 2;
    SetSplusWidth(c);
    return true;
  }
  if (e.mode < kLogical || e.mode > kDouble) return true;
  const int64_t n = std::min<int64_t>(e.length, d->rowCount);
  if (!o.HasNumbers(e.mode, e.offset, n)) return false;
  bool numbers = true;
  for (int64_t i = 0; i < n && numbers; ++i) numbers = o.Number(e.mode, e.offset, i) == static_cast<double>(i + 1);
  if (numbers) return true;
  Column* c = AddColumn(d, ColumnKind::VariateUnits, "RowName", 25);
  if (!c || !AllocateValues(c, d->rowCount) || !FillNumbers(o, e, c)) return false;
  d->unitsColumnCount = 2;
  SetSplusWidth(c);
  return true;
}

int16_t ReadFrame(const Object& o, const std::vector<Entry>& top, const char* path) {
  const Entry* data = Find(top, ".Data");
  if (!NamesClass(o, Find(top, "class"), "data.frame") || data->mode != kList) {
    Fail(path, "holds neither a data frame nor a matrix");
    return 0;
  }
  std::vector<Entry> elements;
  if (!o.ReadInner(*data, elements)) {
    Fail(path, "has a damaged column list");
    return 0;
  }
  const Entry* rowNames = Find(top, "row.names");
  int64_t rows = rowNames ? rowNames->length : 0;
  for (const Entry& e : elements) rows = std::max(rows, ElementRows(o, e));
  if (rows <= 0 || rows > INT32_MAX || rows > o.size) {
    Fail(path, "holds no rows");
    return 0;
  }
  Dataset* d = CreateDataset();
  d->sourceFormat = 13;
  d->rowCount = static_cast<int32_t>(rows);
  if (!CreateRows(d)) return 0;
  const long limit = State().columnLimit;
  if (static_cast<int64_t>(elements.size()) > limit) std::printf("Warning Columns above %li NOT transfered!\n", limit);
  if (rowNames && !AddRowNames(o, *rowNames, d)) {
    Fail(path, "has damaged row names");
    return 0;
  }
  for (const Entry& e : elements) {
    const std::string name = SplusColumnName(e.name);
    if (d->columnCount >= limit) break;
    bool ok = true;
    if (e.mode >= kLogical && e.mode <= kDouble) {
      Column* c = AddColumn(d, ColumnKind::Variate, name, 25);
      ok = c && AllocateValues(c, d->rowCount) && FillNumbers(o, e, c);
      if (ok) SetSplusWidth(c);
    } else if (e.mode == kCharacter) {
      Column* c = AddColumn(d, ColumnKind::Text, name, kTextLength);
      std::vector<std::string> texts;
      ok = c && AllocateValues(c, d->rowCount) && o.ReadStrings(e, texts, kTextLength + 10);
      if (ok) {
        c->valueFormat = 4;
        for (std::size_t i = 0; i < texts.size() && i < static_cast<std::size_t>(d->rowCount); ++i)
          SetText(c, static_cast<int64_t>(i), SplusText(texts[i], kTextLength));
        SetSplusWidth(c);
      }
    } else if (e.mode == kStructure) {
      bool made = false;
      ok = ReadStructureColumn(o, e, d, name, made);
    }
    if (!ok) {
      Fail(path, "has a damaged column");
      return 0;
    }
  }
  return 1;
}

int16_t ReadMatrix(const Object& o, const std::vector<Entry>& top, const char* path) {
  const Entry* data = Find(top, ".Data");
  const Entry* dim = Find(top, "dim");
  if (data->mode < kLogical || data->mode > kDouble || dim->mode != kInteger || dim->length != 2 ||
      !o.HasNumbers(kInteger, dim->offset, 2)) {
    Fail(path, "holds a matrix that cannot be read");
    return 0;
  }
  const int64_t rows = o.I32(dim->offset);
  const int64_t columns = o.I32(dim->offset + 4);
  // The dimensions must fit the elements really stored.
  if (rows <= 0 || columns <= 0 || rows * columns > data->length ||
      !o.HasNumbers(data->mode, data->offset, rows * columns)) {
    Fail(path, "has a matrix larger than its data");
    return 0;
  }
  std::vector<std::string> rowNames, columnNames;
  if (const Entry* dimnames = Find(top, "dimnames")) {
    std::vector<Entry> parts;
    if (dimnames->mode == kList && o.ReadInner(*dimnames, parts) && parts.size() == 2) {
      if (parts[0].mode == kCharacter && !o.ReadStrings(parts[0], rowNames, kTextLength + 10)) rowNames.clear();
      if (parts[1].mode == kCharacter && !o.ReadStrings(parts[1], columnNames, kNameLength)) columnNames.clear();
    }
  }
  Dataset* d = CreateDataset();
  d->name = FileStem(path);
  LegalName(d->name);
  d->sourceFormat = 13;
  d->shape = DatasetShape::Matrix;
  d->rowCount = static_cast<int32_t>(rows);
  d->labelStyle = columnNames.empty() ? 0 : 2;
  if (!CreateRows(d)) return 0;
  const long limit = State().columnLimit;
  if (columns > limit) std::printf("Warning Columns above %li NOT transfered!\n", limit);
  if (!rowNames.empty() && d->columnCount < limit) {
    Column* c = AddColumn(d, ColumnKind::TextUnits, "RowName", kTextLength);
    if (!c || !AllocateValues(c, d->rowCount)) return 0;
    c->valueFormat = 4;
    for (int64_t i = 0; i < rows && i < static_cast<int64_t>(rowNames.size()); ++i)
      SetText(c, i, SplusText(rowNames[static_cast<std::size_t>(i)], kTextLength));
    d->unitsColumnCount = 2;
    SetSplusWidth(c);
  }
  for (int64_t j = 0; j < columns && d->columnCount < limit; ++j) {
    // Fewer names than columns: the rest are numbered.
    std::string name = std::to_string(j + 1);
    if (j < static_cast<int64_t>(columnNames.size())) {
      name = columnNames[static_cast<std::size_t>(j)];
      LegalName(name);
    }
    Column* c = AddColumn(d, ColumnKind::MatrixColumn, name, 25);
    if (!c || !AllocateValues(c, d->rowCount)) return 0;
    for (int64_t i = 0; i < rows; ++i) SetNumber(c, i, o.Number(data->mode, data->offset, j * rows + i));
    SetSplusWidth(c);
  }
  return 1;
}

}  // namespace

int16_t ReadSplusBinary(const char* path) {
  BlockInput in;
  if (!in.Open(path)) return 0;
  std::vector<unsigned char> bytes;
  LargeResize(bytes, static_cast<std::size_t>(in.size));
  if (!in.Read(bytes.data(), bytes.size()) || !in.Close()) return 0;
  Object o{bytes.data(), static_cast<int64_t>(bytes.size()), false};
  static const unsigned char kMagic[8] = {0x00, 'S', ' ', 'd', 'a', 't', 'a', 0x01};
  if (o.size < 20 || !std::equal(kMagic, kMagic + 8, bytes.data())) return 0;
  if (o.I32(8) != 21) {
    o.swap = true;
    if (o.I32(8) != 21) {
      Fail(path, "has an unknown header code");
      return 0;
    }
  }
  std::vector<Entry> top;
  if (!o.ReadTable(20, o.I32(16), o.I32(12), top)) {
    Fail(path, "has a damaged attribute table");
    return 0;
  }
  if (!Find(top, ".Data") || (!Find(top, "class") && !Find(top, "dim"))) {
    Fail(path, "holds neither a data frame nor a matrix");
    return 0;
  }
  return Find(top, "dim") ? ReadMatrix(o, top, path) : ReadFrame(o, top, path);
}

}  // namespace trovadex
