#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "core/dataset.h"
#include "core/format.h"
#include "readers/gis_support.h"
#include "readers/readers.h"
#include "test_support.h"

namespace trovadex {
namespace {

using test::ColumnNamed;
using test::ShownValue;

constexpr double kM = kMissingValue;

class MapInfoTest : public test::GisReaderTest<ReadMapInfo> {
 protected:
  std::string Text(const char* column, int64_t row) {
    Column* c = ColumnNamed(CurrentDataset(), column);
    return c ? std::string(GetText(c, row)) : "<none>";
  }
  std::string Feature(int64_t row);
};

// The label a Feature value shows.
std::string FeatureLabel(Dataset* d, int64_t row) {
  Column* c = ColumnNamed(d, "Feature");
  return std::string(c->labels.Get(static_cast<int64_t>(GetNumber(c, row)) - 1));
}
std::string MapInfoTest::Feature(int64_t row) { return FeatureLabel(CurrentDataset(), row); }

double Day(const std::string& ymd) {  // "2009/06/15 12:30:00.500"
  if (ymd.empty()) return kM;
  double day = DayCountFromDate(std::stol(ymd.substr(8, 2)), std::stol(ymd.substr(5, 2)),
                                std::stol(ymd.substr(0, 4)));
  if (ymd.size() > 10)
    day += (std::stod(ymd.substr(11, 2)) * 3600 + std::stod(ymd.substr(14, 2)) * 60 +
            std::stod(ymd.substr(17))) / 86400;
  return day;
}

// The rows the objects of an ogr2ogr read-back give, compared with ours:
// Feature from the geometry's kind, REC, PART, PNT, X and Y.
void CompareGeometry(Dataset* d, const std::vector<std::vector<std::string>>& back,
                     const std::vector<std::string>& features, std::vector<int64_t>& firstRows) {
  int64_t row = 0;
  for (std::size_t r = 1; r < back.size(); ++r) {
    SCOPED_TRACE("object " + std::to_string(r) + " " + back[r][0]);
    test::Wkt g = test::ParseWkt(back[r][0]);
    firstRows.push_back(row);
    const std::string& feature = features[r - 1];
    if (g.parts.empty()) {
      EXPECT_EQ(FeatureLabel(d, row), feature);
      EXPECT_EQ(ShownValue(ColumnNamed(d, "X"), row), kM);
      ++row;
      continue;
    }
    for (std::size_t k = 0; k < g.parts.size(); ++k)
      for (std::size_t j = 0; j < g.parts[k].size(); ++j, ++row) {
        ASSERT_LT(row, d->rowCount);
        EXPECT_EQ(FeatureLabel(d, row), feature);
        EXPECT_EQ(ShownValue(ColumnNamed(d, "REC"), row), static_cast<double>(r));
        EXPECT_EQ(ShownValue(ColumnNamed(d, "PART"), row), static_cast<double>(k + 1));
        EXPECT_EQ(ShownValue(ColumnNamed(d, "PNT"), row),
                  static_cast<double>(feature == "Line" ? j : j + 1));
        EXPECT_EQ(GetNumber(ColumnNamed(d, "X"), row), g.parts[k][j].x);
        EXPECT_EQ(GetNumber(ColumnNamed(d, "Y"), row), g.parts[k][j].y);
      }
  }
  EXPECT_EQ(row, d->rowCount);
}

// A MIF/MID pair written by ogr2ogr, read here and by ogr2ogr back to CSV.
TEST_F(MapInfoTest, OgrWrittenPairReadsAsOgrReadsIt) {
  if (!test::HaveOgr()) GTEST_SKIP() << "no ogr2ogr";
  test::WriteFile(dir / "in.csv",
                  "WKT,name,pop,area,founded\n"
                  "\"POINT (1 2)\",\"Oslo \"\"x\"\"\",12,3.5,2009/06/15\n"
                  "\"LINESTRING (1 1,2 2)\",\"a,b\",3,0.25,2024/02/29\n"
                  "\"LINESTRING (1 1,2 2,3 3.5)\",c,3,1.25,2010/01/02\n"
                  "\"MULTILINESTRING ((1 2,5 6),(9 10,13 14,1 1))\",d,1,2,2001/01/01\n"
                  "\"POLYGON ((0 0,10 0,10 10,0 10,0 0),(1 1,2 1,2 2,1 1))\",\"e;f\",1,2,\n"
                  "\"MULTIPOLYGON (((0 0,10 0,10 10,0 0)),((20 20,30 20,30 30,20 20)))\",f,-7,2,2001/01/01\n"
                  "\"MULTIPOINT (1 2,3 4)\",g,1,2,2001/01/01\n"
                  "\"\",i,1,2,2001/01/01\n");
  test::WriteFile(dir / "in.csvt", "\"WKT\",\"String(20)\",\"Integer\",\"Real\",\"Date\"\n");
  ASSERT_TRUE(test::Ogr(dir.path().string(),
                        "-f 'MapInfo File' -dsco FORMAT=MIF -oo KEEP_GEOM_COLUMNS=NO m.mif in.csv"));
  ASSERT_TRUE(test::Ogr(dir.path().string(), "-f CSV -lco GEOMETRY=AS_WKT back.csv m.mif"));
  auto back = test::ParseCsv(test::ReadFile(dir / "back.csv"));
  ASSERT_GE(back.size(), 9u);

  ASSERT_EQ(Read(dir / "m.mif"), 1) << output;
  Dataset* d = CurrentDataset();
  std::vector<std::string> features;
  for (std::size_t r = 1; r < back.size(); ++r) {
    test::Wkt g = test::ParseWkt(back[r][0]);
    const std::string& t = g.type;
    features.push_back(t.empty()                                              ? "Null"
                       : t == "POINT"                                         ? "Point"
                       : t == "LINESTRING" && g.parts[0].size() == 2          ? "Line"
                       : t.find("LINESTRING") != std::string::npos            ? "PolyLine"
                                                                              : "Region");
  }
  std::vector<int64_t> firstRows;
  CompareGeometry(d, back, features, firstRows);
  for (std::size_t r = 1; r < back.size(); ++r) {
    SCOPED_TRACE(r);
    int64_t row = firstRows[r - 1];
    EXPECT_EQ(Text("name", row), back[r][1]);
    EXPECT_EQ(Value("pop", row), std::stod(back[r][2]));
    EXPECT_EQ(Value("area", row), std::stod(back[r][3]));
    EXPECT_EQ(Value("founded", row), Day(back[r][4]));
  }
}

// Objects ogr2ogr does not write (multipoints, collections, logical and
// date-time columns, a quoted delimiter and a quoted line end), written by
// hand, read here and by ogr2ogr.
TEST_F(MapInfoTest, HandWrittenObjectsReadAsOgrReadsThem) {
  if (!test::HaveOgr()) GTEST_SKIP() << "no ogr2ogr";
  test::WriteFile(dir / "h.mif",
                  "Version 650\nCharset \"Neutral\"\nDelimiter \";\"\nColumns 5\n"
                  "  name Char(20)\n  flag Logical\n  day Date\n  stamp DateTime\n  amount Decimal(12,3)\n"
                  "Data\n\n"
                  "Multipoint 3\n1 2\n3 4\n5 6\n    Symbol (35,0,12)\n"
                  "Collection 3\n  Region 1\n    4\n0 0\n4 0\n4 4\n0 0\n    Pen (1,2,0)\n"
                  "  Pline 2\n0 0\n1 1\n  Multipoint 2\n7 8\n9 10\n"
                  "none\n"
                  "Point 5 5\n    Symbol (35,0,12)\n"
                  "Pline Multiple 2\n  2\n1 1\n2 2\n  3\n3 3\n4 4\n5 5\n");
  test::WriteFile(dir / "h.mid",
                  "\"semi;colon\";T;20200131;20200131123000500;12.345\n"
                  "\"dq\"\"x\";F;19991231;20000101000000000;-0.5\n"
                  "\"\";T;;;\n"
                  "\"multi\nline\";F;20000229;;7\n"
                  "\"last\";T;20010101;;1.125\n");
  ASSERT_TRUE(test::Ogr(dir.path().string(), "-f CSV -lco GEOMETRY=AS_WKT back.csv h.mif"));
  auto back = test::ParseCsv(test::ReadFile(dir / "back.csv"));
  ASSERT_EQ(back.size(), 6u);

  ASSERT_EQ(Read(dir / "h.mif"), 1) << output;
  Dataset* d = CurrentDataset();
  std::vector<int64_t> firstRows;
  CompareGeometry(d, back, {"MultiPoint", "Collection", "Null", "Point", "PolyLine"}, firstRows);
  for (std::size_t r = 1; r < back.size(); ++r) {
    SCOPED_TRACE(r);
    int64_t row = firstRows[r - 1];
    EXPECT_EQ(Text("name", row), back[r][1]);
    EXPECT_EQ(Value("flag", row), back[r][2] == "T" ? 1 : 0);
    EXPECT_EQ(Value("day", row), Day(back[r][3]));
    EXPECT_NEAR(Value("stamp", row), Day(back[r][4]), 1e-9);
    // An empty decimal is missing here (ogr2ogr reads 0).
    EXPECT_EQ(Value("amount", row), r == 3 ? kM : std::stod(back[r][5]));
  }
  // Decimals that print back exactly keep their fixed form.
  EXPECT_EQ(ColumnNamed(d, "amount")->valueFormat, 3);
  EXPECT_EQ(ColumnNamed(d, "amount")->decimals, 3);
}

// The objects no peer compares: two-point and four-point objects, text,
// arc angles, corner radii, both spellings of the ellipse, an unknown
// object (one row, its MID line) and the clause lines between them.
TEST_F(MapInfoTest, ObjectRowsAndExtraColumns) {
  test::WriteFile(dir / "o.mif",
                  "VERSION 300\nColumns 1\n  id Integer\nDATA\n"
                  "LINE 1 2 3 4\n    PEN (1,2,0)\n"
                  "ARC 0 0 10 10\n  90 180\n"
                  "TEXT \"hello\"\n  1 1 5 2\n    FONT (\"Arial\",0,0,0)\n    Spacing 1.0\n"
                  "    Justify Center\n    Angle 45\n    Label Line Arrow 1 1\n"
                  "RECT 0 0 2 1\n    BRUSH (2,0)\n"
                  "ROUNDRECT 0 0 4 3\n  0.5\n"
                  "ELLIPSE 0 0 6 4\n"
                  "ELIPSE 1 1 2 2\n"
                  "FROBNICATE 7 7\n"
                  "REGION 1\n 4\n0 0\n1 0\n1 1\n0 0\n    Center 0.5 0.5\n    Smooth\n");
  test::WriteFile(dir / "o.mid", "1\n2\n3\n4\n5\n6\n7\n8\n9\n");
  ASSERT_EQ(Read(dir / "o.mif"), 1) << output;
  Dataset* d = CurrentDataset();
  ASSERT_EQ(d->rowCount, 2 + 2 + 2 + 4 + 4 + 4 + 4 + 1 + 4);
  std::vector<std::string> names;
  for (Column* c = d->firstColumn; c; c = c->next)
    if (c->kind != ColumnKind::RowIndex) names.push_back(c->name);
  EXPECT_EQ(names, (std::vector<std::string>{"Feature", "REC", "PART", "PNT", "X", "Y", "TextLabel",
                                             "ArcAngle", "RectRound", "id"}));
  // Rows: object, feature, PNT, X, Y.
  struct Expect {
    int row;
    const char* feature;
    double rec, pnt, x, y;
  };
  for (const Expect& e : {Expect{0, "Line", 1, 0, 1, 2}, Expect{1, "Line", 1, 1, 3, 4},
                          Expect{3, "Arc", 2, 1, 10, 10}, Expect{4, "Text", 3, 0, 1, 1},
                          Expect{6, "Rectangle", 4, 0, 0, 0}, Expect{7, "Rectangle", 4, 1, 0, 1},
                          Expect{8, "Rectangle", 4, 2, 2, 1}, Expect{9, "Rectangle", 4, 3, 2, 0},
                          Expect{13, "Rounded Rectangle", 5, 3, 4, 0}, Expect{14, "Elipse", 6, 0, 0, 0},
                          Expect{18, "Elipse", 7, 0, 1, 1}, Expect{22, "Unknown", 8, kM, kM, kM},
                          Expect{23, "Region", 9, 1, 0, 0}}) {
    SCOPED_TRACE(e.row);
    EXPECT_EQ(Feature(e.row), e.feature);
    EXPECT_EQ(Value("REC", e.row), e.rec);
    EXPECT_EQ(Value("PNT", e.row), e.pnt);
    EXPECT_EQ(Value("X", e.row), e.x);
    EXPECT_EQ(Value("Y", e.row), e.y);
    EXPECT_EQ(Value("id", e.row), e.rec);  // every object takes its own MID line
  }
  EXPECT_EQ(Text("TextLabel", 4), "hello");
  EXPECT_EQ(Text("TextLabel", 5), "hello");
  EXPECT_EQ(Text("TextLabel", 6), "");
  EXPECT_EQ(Value("ArcAngle", 2), 90);
  EXPECT_EQ(Value("ArcAngle", 3), 180);
  EXPECT_EQ(Value("ArcAngle", 4), kM);
  for (int r = 10; r < 14; ++r) EXPECT_EQ(Value("RectRound", r), 0.5);
  EXPECT_EQ(Value("RectRound", 14), kM);
}

TEST_F(MapInfoTest, PublicFiles) {
  TROVADEX_NEED_SHARED();
  const std::string base = test::SharedDir() + "/corpus-public/mapinfo/";
  ASSERT_EQ(Read(base + "all_possible_fields.mif"), 1) << output;
  Dataset* d = CurrentDataset();
  EXPECT_EQ(d->rowCount, 2);
  EXPECT_EQ(d->columnCount, 10);  // NONE objects only: no geometry columns
  EXPECT_EQ(Text("field1", 0), "test");
  EXPECT_EQ(Text("Field4", 0), "123456789012345");  // 64-bit integers kept as text
  EXPECT_EQ(Value("Field6", 1), 12.34);
  EXPECT_EQ(Value("Field7", 0), DayCountFromDate(31, 12, 2022));
  EXPECT_EQ(Value("Field10", 0), 1);
  EXPECT_EQ(Value("Field10", 1), 0);

  ASSERT_EQ(Read(base + "single_field.mif"), 1) << output;
  ASSERT_EQ(CurrentDataset()->rowCount, 3);
  EXPECT_EQ(Text("foo", 0), "1");
  EXPECT_EQ(Text("foo", 1), "");  // an empty MID line is the second object's
  EXPECT_EQ(Text("foo", 2), "3");

  ASSERT_EQ(Read(base + "multilinemid.mif"), 1) << output;
  ASSERT_EQ(CurrentDataset()->rowCount, 6);
  EXPECT_EQ(Text("Notes", 2), "MULTI\n\nLINE");
  EXPECT_EQ(Text("Notes", 3), "MULTI\nLINE2");
  EXPECT_EQ(Value("Awesome", 5), 0);

  ASSERT_EQ(Read(base + "utf8.mif"), 1) << output;
  d = CurrentDataset();
  EXPECT_EQ(d->rowCount, 1 + 4 + 6);
  EXPECT_EQ(d->columnCount, 6 + 5);
  EXPECT_EQ(GetText(ColumnAt(d, 7), 0), "Значение А");
}

TEST_F(MapInfoTest, RefusalsAndMessages) {
  test::WriteFile(dir / "bad.mif", "\nHELLO 300\n");
  EXPECT_EQ(Read(dir / "bad.mif"), 0);
  EXPECT_NE(output.find(dir / "bad.mif" + " is not a valid MapInfo file"), std::string::npos) << output;
  EXPECT_NE(output.find("MapInfo Data record file " + dir / "bad.MID" + " was not found"),
            std::string::npos)
      << output;
  test::WriteFile(dir / "t.txt", "VERSION 300\nDATA\nPOINT 1 2\n");
  EXPECT_EQ(Read(dir / "t.txt"), 0);
  EXPECT_NE(output.find("must use the extension .MIF"), std::string::npos);
  EXPECT_EQ(Read(dir / "none.mif"), 0);
  EXPECT_NE(output.find("MapInfo File " + dir / "none.mif" + " was not found"), std::string::npos);

  State().columnLimit = 6;
  test::WriteFile(dir / "w.MIF",
                  "VERSION 300\nDELIMITER \",\"\nCOLUMNS 3\n a char(200)\n b integer\n c float\nDATA\n"
                  "POINT 1 2\nPOINT 3 4\n");
  test::WriteFile(dir / "w.MID", std::string(100, 'x') + ",1,2\n\"y\",inf,1e999\n");
  ASSERT_EQ(Read(dir / "w.MIF"), 1) << output;
  EXPECT_NE(output.find("Maximum number of columns (6) exceeded."), std::string::npos) << output;
  EXPECT_NE(output.find(" were truncated to 90 characters"), std::string::npos) << output;
  EXPECT_EQ(Text("a", 0), std::string(90, 'x'));
  EXPECT_EQ(Value("b", 1), kM);  // only decimal forms are numbers
  EXPECT_EQ(ColumnNamed(CurrentDataset(), "c"), nullptr);
}

}  // namespace
}  // namespace trovadex
