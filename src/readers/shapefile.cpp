// Shapefiles (".shp" with the attribute table ".dbf" beside it) into the
// Dataset: one row per point of every shape, with the identification columns
// (record, part, part type, point), the coordinates X, Y and, where the shape
// type has them, M and Z, then the attribute fields repeated on every row of
// their shape.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "core/byteorder.h"
#include "core/columns.h"
#include "core/convert.h"
#include "core/dataset.h"
#include "core/names.h"
#include "readers/dbase_table.h"
#include "readers/growing_lists.h"
#include "readers/readers.h"
#include "readers/stream_file.h"

namespace trovadex {

namespace {

constexpr int64_t kHeaderBytes = 100;
constexpr int64_t kRecordHeaderBytes = 8;
// M values below this are the format's "no data".
constexpr double kNoMeasure = -1e38;

enum class Family { Point, MultiPoint, Poly, MultiPatch };

struct ShapeType {
  int32_t code;
  Family family;
  bool z;
  bool m;
  bool polygon;          // rings must close
  const char* badLength;
  const char* noParts;   // null: the type has no parts
  const char* noPoints;
  const char* notClosed;
};

constexpr ShapeType kShapeTypes[] = {
    {1, Family::Point, false, false, false, "Bad Point Shape record!", nullptr, nullptr, nullptr},
    {3, Family::Poly, false, false, false, "Bad PolyLine Shape record!",
     "Empty PolyLine parts in Shape record!", "Empty PolyLine Shape record!", nullptr},
    {5, Family::Poly, false, false, true, "Bad Polygon Shape record!",
     "Empty Polygon parts in Shape record!", "Empty Polygon Shape record!", "Polygon not closed!"},
    {8, Family::MultiPoint, false, false, false, "Bad MultiPoint Shape record!", nullptr,
     "Empty MultiPoint Shape record!", nullptr},
    {11, Family::Point, true, true, false, "Bad Z Point Shape record!", nullptr, nullptr, nullptr},
    {13, Family::Poly, true, true, false, "Bad Z PolyLine Shape record!",
     "Empty Z PolyLine parts in Shape record!", "Empty PolyLine Shape record!", nullptr},
    {15, Family::Poly, true, true, true, "Bad Z PolyLine Shape record!",
     "Empty Z Polygon parts in Shape record!", "Empty Z Polygon Shape record!",
     "Z Polygon not closed!"},
    {18, Family::MultiPoint, true, true, false, "Bad Z MultiPoint Shape record!", nullptr,
     "Empty Z MultiPoint Shape record!", nullptr},
    {21, Family::Point, false, true, false, "Bad M Point Shape record!", nullptr, nullptr, nullptr},
    {23, Family::Poly, false, true, false, "Bad M PolyLine Shape record!",
     "Empty M PolyLine parts in Shape record!", "Empty M PolyLine Shape record!", nullptr},
    {25, Family::Poly, false, true, true, "Bad M Polygon Shape record!",
     "Empty M Polygon parts in Shape record!", "Empty PolyLine Shape record!",
     "M Polygon not closed!"},
    {28, Family::MultiPoint, false, true, false, "Bad M MultiPoint Shape record!", nullptr,
     "Empty M MultiPoint Shape record!", nullptr},
    {31, Family::MultiPatch, true, true, false, "Bad MultiPatch Shape record!",
     "Empty MultiPatch parts in Shape record!", "Empty MultiPatch Shape record!", nullptr},
};

const ShapeType* FindShapeType(int64_t code) {
  for (const ShapeType& t : kShapeTypes)
    if (t.code == code) return &t;
  return nullptr;
}

// Record types read in a file of another type without comment: their
// layouts match (only M or Z may be absent).
bool Compatible(int32_t file, int32_t record) {
  switch (file) {
    case 3: return record == 5;
    case 5: return record == 3;
    case 25: return record == 3;
    case 23: return record == 25;
    case 13: return record == 15;
    case 15: return record == 13;
    default: return false;
  }
}

const char* const kPartTypeLabels[] = {"Triangular Strip", "Triangular Fan", "Outer Ring",
                                       "Inner Ring",       "First Ring",     "Ring"};

// A coordinate as stored: NaN and infinities are not numbers the Dataset
// can hold, so they read as missing.
double Coordinate(double x) {
  if (!std::isfinite(x) || !(x > kMissingValue)) return kMissingValue;
  return std::min(x, kNumberCap);
}

double Measure(double m) { return m < kNoMeasure ? kMissingValue : Coordinate(m); }

// The geometry of the file's type as rows: one list per identification and
// coordinate column.
struct Geometry {
  GrowingNumbers rec, part, type, pnt, x, y, m, z;
};

// One attribute field that becomes a column.
struct Attribute {
  const DbaseField* field = nullptr;
  GrowingNumbers numbers;
  GrowingTexts texts;
  int longest = 0;  // longest text stored
};

// The attribute table: header, the fields that become columns and the
// stream positioned at the first record.
struct AttributeTable {
  bool present = false;
  StreamFile stream;
  DbaseHeader header;
  int64_t nextRecord = 0;  // the record the stream stands at
};

// Reads and checks the table's header; false (after the message) when the
// whole read must fail.
bool OpenAttributes(const std::string& path, AttributeTable& table) {
  if (!table.stream.Open(path.c_str())) return true;
  StreamFile& s = table.stream;
  std::size_t head = static_cast<std::size_t>(std::min<int64_t>(s.size, kDbaseHeaderReach));
  s.Need(head);
  switch (ParseDbaseHeader(s.Data(), s.Available(), static_cast<std::size_t>(s.size), false,
                           table.header, true)) {
    case DbaseHeaderStatus::Ok:
      break;
    case DbaseHeaderStatus::NoRecords:
    case DbaseHeaderStatus::NoData:
      std::printf("No records in database file.\n");
      return false;
    case DbaseHeaderStatus::UnknownFieldType:
      std::printf("Error in DBF file, unknown field type.\n");
      return false;
    case DbaseHeaderStatus::BadTerminator:
    case DbaseHeaderStatus::ShortDescriptors:
      std::printf("Header termination incorrect in Shape Attributes DBF file.\n");
      return false;
    default:
      std::printf("Database file not in dBase 3, 4 or 5 format.\n");
      return false;
  }
  if (table.header.unterminated)
    std::printf("Note: the Shape Attributes DBF file has no header terminator; read by its header length.\n");
  if (!s.Seek(table.header.dataStart)) return false;
  table.present = true;
  return true;
}

// The bytes of attribute record `ordinal` (records are taken in order), or
// null when the table has no such live record.
const unsigned char* AttributeRecord(AttributeTable& table, int64_t ordinal) {
  if (!table.present || ordinal >= table.header.recordCount) return nullptr;
  const std::size_t length = static_cast<std::size_t>(table.header.recordLength);
  while (table.nextRecord < ordinal) {
    if (!table.stream.Need(length)) return nullptr;
    table.stream.Skip(length);
    ++table.nextRecord;
  }
  if (!table.stream.Need(length)) return nullptr;
  const unsigned char* record = table.stream.Data();
  table.stream.Skip(length);
  ++table.nextRecord;
  return record[0] == '*' ? nullptr : record;
}

// What one record holds, taken apart by its own type.
struct Shape {
  int64_t points = 0;
  int64_t parts = 0;
  int64_t partStarts = 0;  // content offset of the part starts
  int64_t partTypes = 0;   // MultiPatch: content offset of the part types
  int64_t xy = 0;          // content offset of the X/Y pairs
  int64_t zValues = -1;    // content offset of the Z values, -1 when absent
  int64_t mValues = -1;    // likewise M
};

enum class ShapeStatus { Ok, Empty, Damaged };

// Checks the counts and offsets of a record's content against its length.
// Prints the length and emptiness warnings of the type.
ShapeStatus TakeApart(const ShapeType& t, const unsigned char* c, int64_t length, Shape& s) {
  int64_t fixed = 0;      // bytes before the per-point blocks
  int64_t perPart = 0;
  switch (t.family) {
    case Family::Point:
      s.points = 1;
      s.xy = 4;
      if (length < 20) return ShapeStatus::Damaged;
      if (t.z) {
        if (length < 28) return ShapeStatus::Damaged;
        s.zValues = 20;
        if (length >= 36) s.mValues = 28;
      } else if (t.m && length >= 28) {
        s.mValues = 20;
      }
      {
        int64_t full = t.z ? 36 : t.m ? 28 : 20;
        int64_t withoutM = t.z ? 28 : 20;
        if (length != full && length != withoutM) std::printf("%s\n", t.badLength);
      }
      return ShapeStatus::Ok;
    case Family::MultiPoint:
      if (length < 40) return ShapeStatus::Damaged;
      s.points = LoadI32LE(c + 36);
      s.xy = 40;
      fixed = 40;
      break;
    case Family::Poly:
    case Family::MultiPatch:
      if (length < 44) return ShapeStatus::Damaged;
      s.parts = LoadI32LE(c + 36);
      s.points = LoadI32LE(c + 40);
      perPart = t.family == Family::MultiPatch ? 8 : 4;
      fixed = 44;
      break;
  }
  if (s.points < 0 || s.parts < 0) return ShapeStatus::Damaged;
  // Both counts are below 2^31, so these sums stay far inside 64 bits.
  const int64_t xyEnd = fixed + perPart * s.parts + 16 * s.points;
  const int64_t zEnd = t.z ? xyEnd + 16 + 8 * s.points : xyEnd;
  const int64_t mEnd = zEnd + 16 + 8 * s.points;
  if (zEnd > length) return ShapeStatus::Damaged;
  s.partStarts = fixed;
  s.partTypes = fixed + 4 * s.parts;
  s.xy = fixed + perPart * s.parts;
  if (t.z) s.zValues = xyEnd + 16;
  if (t.m && mEnd <= length) s.mValues = zEnd + 16;
  if (length != (t.m ? mEnd : zEnd) && length != zEnd) std::printf("%s\n", t.badLength);
  if (t.noParts && s.parts == 0) std::printf("%s\n", t.noParts);
  if (s.points == 0) {
    if (t.noPoints) std::printf("%s\n", t.noPoints);
    return ShapeStatus::Empty;
  }
  // Part starts: the first is 0, the others ascend and stay below the
  // point count, so that every point belongs to one part.
  int64_t previous = 0;
  for (int64_t k = 0; k < s.parts; ++k) {
    int64_t start = LoadI32LE(c + s.partStarts + 4 * k);
    if ((k == 0 && start != 0) || start < previous || start >= s.points) return ShapeStatus::Damaged;
    previous = start;
  }
  return ShapeStatus::Ok;
}

// Every ring of a polygon ends where it starts.
bool RingsClosed(const unsigned char* c, const Shape& s) {
  for (int64_t k = 0; k < s.parts; ++k) {
    int64_t first = LoadI32LE(c + s.partStarts + 4 * k);
    int64_t last = (k + 1 < s.parts ? LoadI32LE(c + s.partStarts + 4 * (k + 1)) : s.points) - 1;
    if (last <= first) continue;
    const unsigned char* a = c + s.xy + 16 * first;
    const unsigned char* b = c + s.xy + 16 * last;
    if (LoadF64LE(a) != LoadF64LE(b) || LoadF64LE(a + 8) != LoadF64LE(b + 8)) return false;
  }
  return true;
}

}  // namespace

int16_t ReadShapefile(const char* path) {
  if (!path) return 0;
  StreamFile shp;
  if (!shp.Open(path)) {
    std::printf("Shape File %s was not found\n", path);
    return 0;
  }
  const std::string name = path;
  const std::size_t dot = name.rfind('.');
  auto upper = [](std::string s) {
    for (char& ch : s) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    return s;
  };
  if (dot == std::string::npos || upper(name.substr(dot, 4)) != ".SHP") {
    std::printf("Shape File %s must use the extension .SHP\n", path);
    return 0;
  }
  if (dot > 252) {
    std::printf("Shape Filename %.340s is too long\n", path);
    return 0;
  }
  const std::string stem = name.substr(0, dot + 1);
  const std::string after = name.substr(dot + 4);

  // Main file header.
  if (!shp.Need(kHeaderBytes)) {
    std::printf("%s is not a valid Shapefile\n", path);
    return 0;
  }
  const unsigned char* h = shp.Data();
  bool valid = LoadI32BE(h) == 9994;
  for (int i = 4; i < 24 && valid; ++i) valid = h[i] == 0;
  if (!valid) {
    std::printf("%s is not a valid Shapefile\n", path);
    return 0;
  }
  const int64_t declaredLength = int64_t{LoadI32BE(h + 24)} * 2;
  if (declaredLength <= 0) {
    std::printf("Bad File length indicator in shape file\n");
    return 0;
  }
  const int32_t fileType = LoadI32LE(h + 32);
  if (fileType == 0) {
    std::printf("Shape file contains only NULL records\n- there is no data in it\n");
    return 0;
  }
  const ShapeType* type = FindShapeType(fileType);
  if (!type) {
    std::printf("Unknown Shape Type (%li) in Shape file\n", static_cast<long>(fileType));
    return 0;
  }
  shp.Skip(kHeaderBytes);

  // Attribute table.
  AttributeTable table;
  std::string dbfName = FindCompanionFile(stem, name.substr(dot + 1, 3), "DBF", after);
  if (dbfName.empty()) {
    std::printf("Shape dBASE table %s was not found\n", (stem + "DBF" + after).c_str());
  } else if (!OpenAttributes(dbfName, table)) {
    return 0;
  }

  // Columns of the file's type.
  const bool hasPart = type->family == Family::Poly || type->family == Family::MultiPatch;
  const bool hasPnt = type->family != Family::Point;
  const bool hasType = type->family == Family::MultiPatch;
  const int geometryColumns = 3 + hasPart + hasPnt + hasType + type->m + type->z;
  Geometry g;
  g.part.kept = hasPart;
  g.pnt.kept = hasPnt;
  g.type.kept = hasType;
  g.m.kept = type->m;
  g.z.kept = type->z;

  std::vector<Attribute> attributes;
  const long limit = State().columnLimit;
  if (table.present) {
    bool warned[4] = {false, false, false, false};
    const char* dropped[4] = {"Binary fields in DBF file not processed.",
                              "General fields in DBF file not processed.",
                              "Memo fields in DBF file not processed.",
                              "Picture fields in DBF file not processed."};
    int64_t used = 0;
    for (const DbaseField& f : table.header.fields) {
      if (IsDbaseSkippedField(f.type)) {
        int k = f.type == 'B' ? 0 : f.type == 'G' ? 1 : f.type == 'M' ? 2 : 3;
        if (!warned[k]) std::printf("%s\n", dropped[k]);
        warned[k] = true;
        continue;
      }
      if (f.type == 'D' && f.length != 8)
        std::printf("DBF Date field has incorrect length information.\n");
      ++used;
      if (geometryColumns + static_cast<int64_t>(attributes.size()) < limit) {
        Attribute a;
        a.field = &f;
        attributes.push_back(std::move(a));
      }
    }
    if (used > static_cast<int64_t>(attributes.size()))
      std::printf("Maximum number of columns (%i) exceeded.\nIgnoring extra columns.\n",
                  static_cast<int>(limit));
  }

  // Records.
  const double missing = kMissingValue;
  const int64_t fileEnd = std::min(declaredLength, shp.size);
  bool mixedWarned = false;
  int64_t rows = 0;
  std::vector<int64_t> starts;
  for (int64_t ordinal = 0; shp.offset < fileEnd; ++ordinal) {
    if (!shp.Need(kRecordHeaderBytes)) break;
    const int64_t recordNumber = LoadI32BE(shp.Data());
    const int64_t length = int64_t{LoadI32BE(shp.Data() + 4)} * 2;
    shp.Skip(kRecordHeaderBytes);
    if (length < 4) {
      std::printf("Empty Record in Shape file!\n");
      break;
    }
    if (length > shp.Left() || !shp.Need(static_cast<std::size_t>(length))) {
      std::printf("Shape record %li is cut short by the end of the file.\n",
                  static_cast<long>(recordNumber));
      break;
    }
    const unsigned char* c = shp.Data();
    const int32_t recordType = LoadI32LE(c);
    if (length == 4 && recordType != 0) {
      std::printf("Bad Shape record length!\n");
      break;
    }

    const ShapeType* rt = nullptr;
    if (recordType != 0) {
      if (recordType == fileType || Compatible(fileType, recordType)) {
        rt = FindShapeType(recordType);
      } else if (FindShapeType(recordType)) {
        if (!mixedWarned) std::printf("Mixed Shape Types within a file not yet supported!\n");
        mixedWarned = true;
      } else {
        std::printf("Unknown Shape Type in Shape file\n");
      }
    }

    Shape s;
    ShapeStatus status = ShapeStatus::Empty;
    if (rt) {
      status = TakeApart(*rt, c, length, s);
      if (status == ShapeStatus::Damaged)
        std::printf("Shape record %li does not hold its parts and points: read without coordinates.\n",
                    static_cast<long>(recordNumber));
      if (status == ShapeStatus::Ok && rt->polygon && !RingsClosed(c, s))
        std::printf("%s\n", rt->notClosed);
    }
    // A null shape gives no row; a record of another type or a damaged one
    // gives one row without coordinates, so that its attributes stay.
    int64_t n = 0;
    if (!rt)
      n = recordType != 0 ? 1 : 0;
    else if (status == ShapeStatus::Ok)
      n = s.points;
    else if (status == ShapeStatus::Damaged)
      n = 1;
    if (rows + n > std::numeric_limits<int32_t>::max()) {
      std::printf("Shape file holds more points than one table can take: the rest is left out.\n");
      shp.Skip(static_cast<std::size_t>(length));
      break;
    }

    if (n > 0) {
      g.rec.PushRepeated(static_cast<double>(recordNumber), n);
      if (status != ShapeStatus::Ok) {
        for (GrowingNumbers* l : {&g.part, &g.type, &g.pnt, &g.x, &g.y, &g.m, &g.z})
          l->PushRepeated(missing, 1);
      } else {
        starts.clear();
        for (int64_t k = 0; k < s.parts; ++k) starts.push_back(LoadI32LE(c + s.partStarts + 4 * k));
        int64_t part = 0;  // parts begun so far
        int64_t inPart = 0;
        for (int64_t j = 0; j < s.points; ++j) {
          while (part < s.parts && starts[static_cast<std::size_t>(part)] <= j) {
            ++part;
            inPart = 0;
          }
          ++inPart;
          g.part.Push(static_cast<double>(part));
          g.pnt.Push(static_cast<double>(rt->family == Family::Poly || rt->family == Family::MultiPatch
                                             ? inPart
                                             : j + 1));
          g.type.Push(rt->family == Family::MultiPatch && part > 0
                          ? static_cast<double>(LoadI32LE(c + s.partTypes + 4 * (part - 1))) + 1
                          : missing);
          const unsigned char* p = c + s.xy + 16 * j;
          g.x.Push(Coordinate(LoadF64LE(p)));
          g.y.Push(Coordinate(LoadF64LE(p + 8)));
          const int64_t at = rt->family == Family::Point ? 0 : 8 * j;
          g.m.Push(s.mValues >= 0 ? Measure(LoadF64LE(c + s.mValues + at)) : missing);
          g.z.Push(s.zValues >= 0 ? Coordinate(LoadF64LE(c + s.zValues + at)) : missing);
        }
      }
      rows += n;
    }

    // The attribute record of this shape, whichever rows it gave.
    const unsigned char* record = table.present ? AttributeRecord(table, ordinal) : nullptr;
    for (Attribute& a : attributes) {
      if (n == 0) continue;
      std::string_view raw =
          record ? DbaseFieldBytes(record, table.header.recordLength, *a.field) : std::string_view();
      switch (a.field->type) {
        case 'C': {
          std::string text = record ? DecodeDbaseText(raw, false) : std::string();
          a.longest = std::max(a.longest, static_cast<int>(text.size()));
          a.texts.PushRepeated(text, n);
          break;
        }
        case 'D':
          // A date needs all eight characters; a shorter field holds no date.
          a.numbers.PushRepeated(raw.size() >= 8 ? DecodeDbaseDate(raw, missing) : missing, n);
          break;
        case 'L':
          a.numbers.PushRepeated(DecodeDbaseLogical(raw, missing), n);
          break;
        default:
          a.numbers.PushRepeated(raw.empty() ? missing : DecodeDbaseNumber(raw, missing), n);
          break;
      }
    }
    shp.Skip(static_cast<std::size_t>(length));
  }
  if (shp.failed || table.stream.failed) return 0;

  // The Dataset.
  Dataset* dataset = CreateDataset();
  dataset->rowCount = static_cast<int32_t>(rows);
  if (!CreateRows(dataset)) return 0;
  const int32_t count = static_cast<int32_t>(rows);

  auto addNumbers = [&](std::string_view columnName, GrowingNumbers& values) {
    return AddGrownNumbers(dataset, columnName, values, count);
  };
  std::vector<Column*> identifiers;
  if (Column* col = addNumbers("REC", g.rec)) identifiers.push_back(col);
  if (hasPart)
    if (Column* col = addNumbers("PART", g.part)) identifiers.push_back(col);
  Column* typeColumn = nullptr;
  if (hasType)
    if ((typeColumn = addNumbers("TYPE", g.type))) identifiers.push_back(typeColumn);
  if (hasPnt)
    if (Column* col = addNumbers("PNT", g.pnt)) identifiers.push_back(col);
  addNumbers("X", g.x);
  addNumbers("Y", g.y);
  if (type->m) addNumbers("M", g.m);
  if (type->z) addNumbers("Z", g.z);
  for (Attribute& a : attributes) {
    const std::string& columnName = a.field->name;
    if (a.field->type == 'C') {
      if (!AddGrownTexts(dataset, columnName, a.texts, count, a.longest)) break;
    } else {
      if (!addNumbers(columnName, a.numbers)) break;
    }
  }

  for (Column* col : identifiers) ConvertColumn(col, ColumnKind::Variate, ColumnKind::Factor, true, true);
  if (typeColumn && typeColumn->kind == ColumnKind::Factor) {
    std::vector<std::string> labels;
    for (int32_t k = 1; k <= typeColumn->levelCount; ++k) {
      double v = typeColumn->levelValueCount >= k ? typeColumn->levelValues.Get(k - 1) : k;
      if (v >= 1 && v <= 6)
        labels.push_back(kPartTypeLabels[static_cast<int>(v) - 1]);
      else
        labels.push_back(std::to_string(k));
    }
    SetLabelList(typeColumn, labels);
    for (const std::string& l : labels)
      typeColumn->longestLabel = std::max(typeColumn->longestLabel, static_cast<int32_t>(l.size()));
    typeColumn->factorDisplay = 2;
    typeColumn->valueFormat = 4;
  }
  for (Column* col : identifiers)
    if (col->kind == ColumnKind::Factor) ComputeWidth(col);
  dataset->changed = 1;
  return 1;
}

}  // namespace trovadex
