#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/byteorder.h"
#include "core/dataset.h"
#include "core/format.h"
#include "readers/gis_support.h"
#include "readers/readers.h"
#include "test_support.h"

namespace trovadex {
namespace {

using test::ColumnNamed;
using test::ShownValue;
using test::TempDir;

constexpr double kM = kMissingValue;

using ShapefileTest = test::GisReaderTest<ReadShapefile>;

// Attribute values cycled over the shapes of every case: text with a comma,
// quotes and a non-ASCII letter, integers, reals, dates and empty values.
const char* const kAttributes[][4] = {{"Oslo", "12", "3.25", "2009/06/15"},
                                      {"a,b \"\"q\"\"", "-5", "", ""},
                                      {"Zürich", "1234567", "0.001", "2024/02/29"}};

struct OgrCase {
  const char* shpt;
  std::vector<const char*> shapes;  // WKT; empty: a null shape
};

// Shapefiles written by ogr2ogr, read here and by ogr2ogr back to CSV with
// WKT geometries: the same rows and values, flattened one row per point.
TEST_F(ShapefileTest, OgrWrittenFilesReadAsOgrReadsThem) {
  if (!test::HaveOgr()) GTEST_SKIP() << "no ogr2ogr";
  const OgrCase cases[] = {
      {"POINT", {"POINT (1.5 -2.25)", "", "POINT (1e10 3)"}},
      {"MULTIPOINT", {"MULTIPOINT (1 2,3 4,5 6)", "MULTIPOINT (7 8)", ""}},
      {"ARC", {"LINESTRING (0 0,1 1,2 0)", "MULTILINESTRING ((0 0,1 1),(5 5,6 6,7 8))", ""}},
      {"POLYGON",
       {"POLYGON ((0 0,0 10,10 10,10 0,0 0),(2 2,4 2,4 4,2 2))", "",
        "MULTIPOLYGON (((0 0,0 1,1 1,0 0)),((5 5,5 6,6 6,5 5)))"}},
      {"POINTZM", {"POINT ZM (1 2 3 4)", "POINT ZM (5 6 7 -1e39)"}},
      {"POINTM", {"POINT M (1 2 4)", ""}},
      {"POINTZ", {"POINT Z (1 2 3)"}},
      {"ARCZ", {"LINESTRING Z (0 0 1,1 1 2)", "MULTILINESTRING Z ((0 0 1,1 1 2),(3 3 3,4 4 4))"}},
      {"ARCM", {"LINESTRING M (0 0 1,1 1 -1e39)", "LINESTRING M (2 2 0.5,3 3 7)"}},
      {"POLYGONM", {"POLYGON M ((0 0 1,0 1 2,1 1 3,0 0 1))"}},
      {"POLYGONZM", {"POLYGON ZM ((0 0 1 5,0 1 2 6,1 1 3 7,0 0 1 5),(0.2 0.2 1 1,0.5 0.2 1 1,0.5 0.5 1 1,0.2 0.2 1 1))"}},
      {"MULTIPOINTZM", {"MULTIPOINT ZM (1 2 3 4,5 6 7 8)", ""}},
      {"MULTIPOINTM", {"MULTIPOINT M (1 2 3,5 6 7)"}},
  };
  for (const OgrCase& c : cases) {
    SCOPED_TRACE(c.shpt);
    TempDir work;
    std::string csv = "WKT,name,pop,area,founded\n";
    for (std::size_t i = 0; i < c.shapes.size(); ++i) {
      const auto& a = kAttributes[i % 3];
      csv += std::string("\"") + c.shapes[i] + "\",\"" + a[0] + "\"," + a[1] + "," + a[2] + "," + a[3] + "\n";
    }
    test::WriteFile(work / "in.csv", csv);
    test::WriteFile(work / "in.csvt", "\"WKT\",\"String(20)\",\"Integer\",\"Real\",\"Date\"\n");
    ASSERT_TRUE(test::Ogr(work.path().string(),
                          std::string("-f 'ESRI Shapefile' -lco SHPT=") + c.shpt +
                              " -lco ENCODING=UTF-8 -oo KEEP_GEOM_COLUMNS=NO shape.shp in.csv"));
    ASSERT_TRUE(test::Ogr(work.path().string(), "-f CSV -lco GEOMETRY=AS_WKT back.csv shape.shp"));
    auto back = test::ParseCsv(test::ReadFile(work / "back.csv"));
    ASSERT_EQ(back.size(), c.shapes.size() + 1);
    // Attribute tables written now carry a year past 2010 in their header.
    EXPECT_GT(static_cast<unsigned char>(test::ReadFile(work / "shape.dbf")[1]), 110);

    ASSERT_EQ(Read(work / "shape.shp"), 1) << output;
    Dataset* d = CurrentDataset();
    const std::string type = c.shpt;
    const bool poly = type.rfind("ARC", 0) == 0 || type.rfind("POLYGON", 0) == 0;
    const bool multi = type.rfind("MULTIPOINT", 0) == 0;
    const bool hasZ = type.find('Z') != std::string::npos;
    const bool hasM = type.back() == 'M' || hasZ;
    std::string names;
    for (Column* col = d->firstColumn; col; col = col->next) names += col->name + " ";
    EXPECT_EQ(names, std::string("Row REC ") + (poly ? "PART " : "") + (poly || multi ? "PNT " : "") +
                         "X Y " + (hasM ? "M " : "") + (hasZ ? "Z " : "") + "name pop area founded ");

    int64_t row = 0;
    for (std::size_t r = 1; r < back.size(); ++r) {
      const auto& f = back[r];
      test::Wkt g = test::ParseWkt(f[0]);
      for (std::size_t k = 0; k < g.parts.size(); ++k) {
        for (std::size_t j = 0; j < g.parts[k].size(); ++j, ++row) {
          SCOPED_TRACE("row " + std::to_string(row));
          ASSERT_LT(row, d->rowCount);
          const test::WktPoint& p = g.parts[k][j];
          EXPECT_EQ(Value("REC", row), static_cast<double>(r));
          if (poly) { EXPECT_EQ(Value("PART", row), static_cast<double>(k + 1)); }
          if (poly) { EXPECT_EQ(Value("PNT", row), static_cast<double>(j + 1)); }
          if (multi) { EXPECT_EQ(Value("PNT", row), static_cast<double>(j + 1)); }
          EXPECT_EQ(Value("X", row), p.x);
          EXPECT_EQ(Value("Y", row), p.y);
          if (hasM) { EXPECT_EQ(Value("M", row), g.hasM && p.m > -1e38 ? p.m : kM); }
          if (hasZ) { EXPECT_EQ(Value("Z", row), g.hasZ ? p.z : kM); }
          EXPECT_EQ(GetText(ColumnNamed(d, "name"), row), f[1]);
          EXPECT_EQ(Value("pop", row), f[2].empty() ? kM : std::stod(f[2]));
          EXPECT_EQ(Value("area", row), f[3].empty() ? kM : std::stod(f[3]));
          double day = kM;
          if (!f[4].empty())
            day = DayCountFromDate(std::stol(f[4].substr(8, 2)), std::stol(f[4].substr(5, 2)),
                                   std::stol(f[4].substr(0, 4)));
          EXPECT_EQ(Value("founded", row), day);
        }
      }
    }
    EXPECT_EQ(row, d->rowCount);
  }
}

// The public sample files: their shape counts (from the index file) and the
// vertices a dump of them lists.
TEST_F(ShapefileTest, PublicFilesReadWithTheirCountsAndVertices) {
  TROVADEX_NEED_SHARED();
  struct Expect {
    const char* name;
    int columns;
  };
  for (const Expect& e : {Expect{"anno", 15}, Expect{"brklinz", 8}, Expect{"cities", 7},
                          Expect{"multipnt", 33}}) {
    SCOPED_TRACE(e.name);
    std::string base = test::SharedDir() + "/corpus-public/shapefile/" + e.name;
    ASSERT_EQ(Read(base + ".shp"), 1) << output;
    Dataset* d = CurrentDataset();
    EXPECT_EQ(d->columnCount, e.columns);
    // Every record of the index file is one shape; none is null.
    const int64_t shapes = (static_cast<int64_t>(std::filesystem::file_size(base + ".shx")) - 100) / 8;
    Column* rec = ColumnNamed(d, "REC");
    EXPECT_EQ(ShownValue(rec, d->rowCount - 1), static_cast<double>(shapes));

    std::ifstream dump(base + ".shp.expected.txt");
    if (!dump) continue;
    std::string line;
    int64_t row = 0;
    int64_t shape = -1;
    int checked = 0;
    while (std::getline(dump, line)) {
      if (line.rfind("Shape:", 0) == 0) {
        shape = std::stol(line.substr(6));
        continue;
      }
      std::size_t open = line.find("     (");
      if (shape < 0 || open != 0) continue;
      double x = 0, y = 0, z = 0;
      if (std::sscanf(line.c_str() + 6, "%lf,%lf, %lf", &x, &y, &z) != 3) continue;
      SCOPED_TRACE(line);
      ASSERT_LT(row, d->rowCount);
      EXPECT_EQ(ShownValue(rec, row), static_cast<double>(shape + 1));
      EXPECT_NEAR(GetNumber(ColumnNamed(d, "X"), row), x, std::fabs(x) * 1e-14);
      EXPECT_NEAR(GetNumber(ColumnNamed(d, "Y"), row), y, std::fabs(y) * 1e-14);
      if (Column* zc = ColumnNamed(d, "Z")) {
        EXPECT_NEAR(GetNumber(zc, row), z, 1e-6);
        // These PolyLineZ records have no M block.
        EXPECT_EQ(GetNumber(ColumnNamed(d, "M"), row), kM);
      }
      ++row;
      ++checked;
    }
    EXPECT_GT(checked, 100);
  }
}

std::string Bytes(const std::string& path) { return test::ReadFile(path); }

// Copies a corpus shapefile (and its table) into `dir` as `name`.
void CopyCase(const std::string& from, const TempDir& dir, const std::string& name) {
  std::string base = test::SharedDir() + "/corpus/shapefile/" + from;
  test::WriteFile(dir / (name + ".shp"), Bytes(base + ".shp"));
  test::WriteFile(dir / (name + ".dbf"), Bytes(base + ".dbf"));
}

// Offset of the content of the record with 0-based index `n`.
std::size_t RecordContent(const std::string& shp, int n) {
  std::size_t at = 100;
  for (int i = 0; i < n; ++i) at += 8 + 2 * static_cast<std::size_t>(LoadU32BE(&shp[at + 4]));
  return at + 8;
}

// Damaged records: counts beyond the content or part starts that do not
// begin at 0 and ascend give one row without coordinates and a warning; a
// record running past the end of the file ends the records.
TEST_F(ShapefileTest, DamagedRecordsKeepTheirRowAndTheRowsBefore) {
  TROVADEX_NEED_SHARED();
  CopyCase("lines", dir, "lines");
  const std::string good = Bytes(dir / "lines.shp");
  ASSERT_EQ(Read(dir / "lines.shp"), 1);
  const int32_t rows = CurrentDataset()->rowCount;  // 5 points in record 1, 7 in record 2

  struct Change {
    const char* what;
    std::size_t offset;  // in the content of record 2
    uint32_t value;
  };
  for (const Change& c : {Change{"point count", 40, 0x7FFFFFFF}, Change{"part count", 36, 100000},
                          Change{"first part start", 44, 1}, Change{"second part start", 48, 99},
                          Change{"foreign type", 0, 1}, Change{"unknown type", 0, 77}}) {
    SCOPED_TRACE(c.what);
    std::string bytes = good;
    StoreU32LE(&bytes[RecordContent(bytes, 1) + c.offset], c.value);
    test::WriteFile(dir / "lines.shp", bytes);
    ASSERT_EQ(Read(dir / "lines.shp"), 1) << output;
    Dataset* d = CurrentDataset();
    ASSERT_EQ(d->rowCount, rows - 7 + 1);
    EXPECT_EQ(Value("REC", 5), 2);
    EXPECT_EQ(Value("X", 5), kM);
    EXPECT_EQ(Value("PNT", 5), kM);
    EXPECT_EQ(GetText(ColumnNamed(d, "name"), 5), "Z\xFCrich");  // its attributes stay
    EXPECT_EQ(Value("REC", 6), 3);
    if (std::string(c.what).find("type") == std::string::npos) {
      EXPECT_NE(output.find("Shape record 2 does not hold"), std::string::npos) << output;
    }
  }
  std::string bytes = good;
  StoreU32BE(&bytes[RecordContent(bytes, 1) - 4], 1000000);  // content length
  test::WriteFile(dir / "lines.shp", bytes);
  ASSERT_EQ(Read(dir / "lines.shp"), 1) << output;
  EXPECT_EQ(CurrentDataset()->rowCount, 5);
  EXPECT_NE(output.find("Shape record 2 is cut short"), std::string::npos) << output;
}

// A PolyLine record in a PolygonM file has no M block: its M is missing,
// not read from the next record. NaN coordinates read as missing.
TEST_F(ShapefileTest, PolyLineInPolygonMFileAndNaNCoordinates) {
  if (!test::HaveOgr()) GTEST_SKIP() << "no ogr2ogr";
  test::WriteFile(dir / "in.csv",
                  "WKT,id\n\"POLYGON M ((0 0 1,0 1 2,1 1 3,0 0 1))\",1\n"
                  "\"POLYGON M ((5 5 4,5 6 5,6 6 6,5 5 4))\",2\n");
  ASSERT_TRUE(test::Ogr(dir.path().string(),
                        "-f 'ESRI Shapefile' -lco SHPT=POLYGONM -oo KEEP_GEOM_COLUMNS=NO p.shp in.csv"));
  std::string bytes = Bytes(dir / "p.shp");
  std::size_t first = RecordContent(bytes, 0);
  StoreU32LE(&bytes[first], 3);
  StoreF64LE(&bytes[first + 44 + 4 + 16], std::nan(""));  // X of the second point
  test::WriteFile(dir / "p.shp", bytes);
  ASSERT_EQ(Read(dir / "p.shp"), 1) << output;
  ASSERT_EQ(CurrentDataset()->rowCount, 8);
  for (int r = 0; r < 4; ++r) EXPECT_EQ(Value("M", r), kM);
  EXPECT_EQ(Value("X", 1), kM);
  EXPECT_EQ(Value("Y", 1), 1);
  EXPECT_EQ(Value("M", 4), 4);
}

// A hand-made attribute table: a date field of 6 characters (no date: it
// would reach into the next field), a logical field, a memo field between
// two character fields, and a deleted record.
TEST_F(ShapefileTest, AttributeFieldRules) {
  TROVADEX_NEED_SHARED();
  CopyCase("points", dir, "p");
  struct Field {
    const char* name;
    char type;
    int length;
  };
  const Field fields[] = {{"SHORTD", 'D', 6}, {"OK", 'L', 1}, {"A", 'C', 3}, {"NOTE", 'M', 10},
                          {"B", 'C', 3}};
  const char* records[] = {" 200906Tone0000000001two", "*200906Fxxx0000000001yyy",
                           " 201001?abc          def"};
  std::string h(32 + 32 * 5 + 1, '\0');
  h[0] = 3;
  h[1] = 124;  // 2024
  h[2] = 5;
  h[3] = 1;
  StoreU32LE(&h[4], 3);
  StoreU16LE(&h[8], static_cast<uint16_t>(h.size()));
  StoreU16LE(&h[10], 24);
  for (int i = 0; i < 5; ++i) {
    std::memcpy(&h[32 + 32 * i], fields[i].name, std::strlen(fields[i].name));
    h[32 + 32 * i + 11] = fields[i].type;
    h[32 + 32 * i + 16] = static_cast<char>(fields[i].length);
  }
  h.back() = 0x0D;
  for (const char* r : records) h += r;
  test::WriteFile(dir / "p.dbf", h);
  ASSERT_EQ(Read(dir / "p.shp"), 1) << output;
  Dataset* d = CurrentDataset();
  EXPECT_NE(output.find("DBF Date field has incorrect length information."), std::string::npos);
  EXPECT_NE(output.find("Memo fields in DBF file not processed."), std::string::npos);
  EXPECT_EQ(Value("SHORTD", 0), kM);
  EXPECT_EQ(Value("OK", 0), 1);
  EXPECT_EQ(Value("OK", 1), kM);  // deleted record: no attributes
  EXPECT_EQ(Value("OK", 2), kM);
  EXPECT_EQ(GetText(ColumnNamed(d, "A"), 0), "one");
  EXPECT_EQ(GetText(ColumnNamed(d, "B"), 0), "two");
  EXPECT_EQ(GetText(ColumnNamed(d, "B"), 1), "");
  EXPECT_EQ(GetText(ColumnNamed(d, "B"), 2), "def");
  EXPECT_EQ(GetText(ColumnNamed(d, "A"), 3), "");  // beyond the table's records
  EXPECT_EQ(ColumnNamed(d, "NOTE"), nullptr);
}

// A MultiPatch built by hand (no peer here writes one): part types 2 and 3
// give TYPE levels labelled "Outer Ring" and "Inner Ring".
TEST_F(ShapefileTest, MultiPatchPartTypes) {
  const int parts = 2, points = 4;
  const int content = 76 + 8 * parts + 32 * points;
  std::string b(100 + 8 + content, '\0');
  StoreU32BE(&b[0], 9994);
  StoreU32BE(&b[24], static_cast<uint32_t>(b.size() / 2));
  StoreU32LE(&b[28], 1000);
  StoreU32LE(&b[32], 31);
  StoreU32BE(&b[100], 1);
  StoreU32BE(&b[104], content / 2);
  char* c = &b[108];
  StoreU32LE(c, 31);
  StoreU32LE(c + 36, parts);
  StoreU32LE(c + 40, points);
  StoreU32LE(c + 44, 0);
  StoreU32LE(c + 48, 2);
  StoreU32LE(c + 52, 2);
  StoreU32LE(c + 56, 3);
  for (int j = 0; j < points; ++j) {
    StoreF64LE(c + 60 + 16 * j, j);
    StoreF64LE(c + 60 + 16 * j + 8, 10 + j);
    StoreF64LE(c + 60 + 16 * points + 16 + 8 * j, 100 + j);   // Z
    StoreF64LE(c + 60 + 24 * points + 32 + 8 * j, 0.5 * j);  // M
  }
  test::WriteFile(dir / "patch.SHP", b);
  ASSERT_EQ(Read(dir / "patch.SHP"), 1) << output;
  EXPECT_NE(output.find("Shape dBASE table " + (dir / "patch.DBF") + " was not found"),
            std::string::npos)
      << output;
  Column* type = ColumnNamed(CurrentDataset(), "TYPE");
  ASSERT_NE(type, nullptr);
  ASSERT_EQ(type->kind, ColumnKind::Factor);
  ASSERT_EQ(type->labelCount, 2);
  EXPECT_EQ(type->labels.Get(0), "Outer Ring");
  EXPECT_EQ(type->labels.Get(1), "Inner Ring");
  EXPECT_EQ(GetNumber(type, 0), 1);
  EXPECT_EQ(GetNumber(type, 3), 2);
  EXPECT_EQ(Value("PNT", 3), 2);
  EXPECT_EQ(Value("Z", 3), 103);
  EXPECT_EQ(Value("M", 3), 1.5);
}

TEST_F(ShapefileTest, RefusalsAndCompanionNames) {
  TROVADEX_NEED_SHARED();
  CopyCase("points", dir, "p");
  std::string good = Bytes(dir / "p.shp");
  // The table beside a lower-case name is found in lower case.
  ASSERT_EQ(Read(dir / "p.shp"), 1) << output;
  EXPECT_NE(ColumnNamed(CurrentDataset(), "name"), nullptr);

  struct Refusal {
    std::size_t offset;
    char value;
    const char* message;
  };
  for (const Refusal& r : {Refusal{3, 0, "is not a valid Shapefile"}, Refusal{27, 0, "Bad File length"},
                           Refusal{10, 1, "is not a valid Shapefile"},
                           Refusal{32, 0, "Shape file contains only NULL records"},
                           Refusal{32, 2, "Unknown Shape Type (2) in Shape file"}}) {
    std::string bytes = good;
    bytes[r.offset] = r.value;
    test::WriteFile(dir / "p.shp", bytes);
    EXPECT_EQ(Read(dir / "p.shp"), 0);
    EXPECT_NE(output.find(r.message), std::string::npos) << output;
  }
  test::WriteFile(dir / "p.shx", good);
  EXPECT_EQ(Read(dir / "p.shx"), 0);
  EXPECT_NE(output.find("must use the extension .SHP"), std::string::npos);
  EXPECT_EQ(Read(dir / "none.shp"), 0);
  EXPECT_NE(output.find("was not found"), std::string::npos);
}

}  // namespace
}  // namespace trovadex
