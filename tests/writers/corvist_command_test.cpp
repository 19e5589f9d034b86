#include <cstdio>
#include <string>
#include <vector>

#include "core/corvist_text.h"
#include "core/dataset.h"
#include "test_support.h"
#include "writers/writers.h"

namespace trovadex {
namespace {

using test::StateTest;

std::string Crlf(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out.push_back('\r');
    out.push_back(c);
  }
  return out;
}

Column* Numbers(Dataset* d, ColumnKind kind, const char* name, const std::vector<double>& values) {
  Column* c = AddColumnWithValues(d, kind, name, static_cast<int32_t>(values.size()));
  for (std::size_t i = 0; i < values.size(); ++i) SetNumber(c, static_cast<int64_t>(i), values[i]);
  return c;
}

Column* Texts(Dataset* d, ColumnKind kind, const char* name, const std::vector<std::string>& values) {
  Column* c = AddColumnWithValues(d, kind, name, static_cast<int32_t>(values.size()));
  for (std::size_t i = 0; i < values.size(); ++i) SetText(c, static_cast<int64_t>(i), values[i]);
  return c;
}

Dataset* NewDataset(DatasetShape shape, int32_t rows) {
  Dataset* d = CreateDataset();
  d->shape = shape;
  d->rowCount = rows;
  if (rows > 0) CreateRows(d);
  return d;
}

class CorvistCommandTest : public StateTest {
 protected:
  // Writes the Dataset and returns the file's bytes; `result` gets the flag.
  std::string Write(Dataset* d, int* result = nullptr, const std::string& name = "out.$$$") {
    std::string path = dir_ / name;
    int flag = WriteCorvistCommandFile(d, path.c_str());
    if (result != nullptr) *result = flag;
    return test::ReadFile(path);
  }
  test::TempDir dir_;
};

TEST_F(CorvistCommandTest, ColumnsDatasetMatchesHandWrittenFile) {
  Dataset* d = NewDataset(DatasetShape::Columns, 3);
  d->sourceFile = "C:\\data\\my \"trial\".csv";
  State().sourceDescription = "Data read from trial.xls, sheet 'S1'";

  Column* yield = Numbers(d, ColumnKind::Variate, "yield", {1.5, kMissingValue, 1234567.891234567});
  yield->decimals = 2;
  yield->description = "Crop's yield";
  Texts(d, ColumnKind::Text, "plot", {"A1", "O'Neil", "x\ty"});
  Column* trt = Numbers(d, ColumnKind::Factor, "trt", {1, 2.7, 0});
  trt->levelCount = 3;
  SetLevelValueList(trt, {1, 2, 3});
  SetLabelList(trt, {"a", "b", "c"});
  Column* site = Numbers(d, ColumnKind::Factor, "site", {58, 1, kMissingValue});
  site->levelCount = 58;
  site->description = "Site no";
  std::vector<double> levels;
  std::vector<std::string> labels;
  for (int i = 1; i <= 58; ++i) {
    levels.push_back(i);
    labels.push_back("s" + std::to_string(i));
  }
  SetLevelValueList(site, levels);
  SetLabelList(site, labels);
  Numbers(d, ColumnKind::VariateUnits, "id", {1234567890123.0, 2, 3});
  Column* when = Numbers(d, ColumnKind::Variate, "when", {59, 60, 36892});
  when->valueFormat = 5;
  when->dateBase = 0;
  when->dateRepresentation = 4;
  d->hasRestriction = 1;
  d->rows[1].restricted = 1;

  int result = 0;
  std::string written = Write(d, &result);
  EXPECT_EQ(result, 1);
  EXPECT_EQ(written, test::ReadFile(test::SourceDir() + "/tests/data/corvist/columns.crv"));
}

TEST_F(CorvistCommandTest, MatrixByNumber) {
  Dataset* d = NewDataset(DatasetShape::Matrix, 2);
  d->name = "M";
  Numbers(d, ColumnKind::MatrixColumn, "c1", {1, 2});
  Numbers(d, ColumnKind::MatrixColumn, "c2", {3, 4});
  int result = 0;
  EXPECT_EQ(Write(d, &result), Crlf("DELETE [redefine=yes] M\n"
                                    "MATRIX [rows=2;columns=2] M\n"
                                    "READ M\n"
                                    "1 3 2 4 :\n"
                                    "RETURN [CLOSE=yes]\n\n"));
  EXPECT_EQ(result, 1);
}

TEST_F(CorvistCommandTest, MatrixWithTextLabelsAndRowNamesUnderQuietReading) {
  State().echoOnReading = false;
  Dataset* d = NewDataset(DatasetShape::Matrix, 2);
  d->name = "M";
  d->labelStyle = 2;
  Texts(d, ColumnKind::TextUnits, "rows", {"r'1", "r2"});
  Column* a = Numbers(d, ColumnKind::MatrixColumn, "a", {1, 2});
  a->decimals = 3;
  a->description = "Mat";
  Numbers(d, ColumnKind::MatrixColumn, "b", {3, 4});
  EXPECT_EQ(Write(d), Crlf("DELETE [redefine=yes] M\n"
                           "DELETE [redefine=yes] _tcols_\n"
                           "TEXT [nvalues=2] _tcols_\n"
                           "READ [print=*] _tcols_\n"
                           "'a' 'b' :\n"
                           "DELETE [redefine=yes] _trows_\n"
                           "TEXT [nvalues=2] _trows_\n"
                           "READ [print=*] _trows_\n"
                           "'r''1' 'r2' :\n"
                           "MATRIX [rows=!t(#_trows_);columns=!t(#_tcols_)] M; decimals=3; extra='Mat'\n"
                           "READ [print=*] M\n"
                           "1 3 2 4 :\n"
                           "RETURN [CLOSE=yes]\n\n"));
}

TEST_F(CorvistCommandTest, MatrixWithNumericLabelsAndShortColumn) {
  Dataset* d = NewDataset(DatasetShape::Matrix, 2);
  d->labelStyle = 1;
  Numbers(d, ColumnKind::MatrixColumn, "10", {1, 2});
  Numbers(d, ColumnKind::MatrixColumn, "20", {3});
  // The Dataset has no name: it gets the next default name.
  EXPECT_EQ(Write(d), Crlf("DELETE [redefine=yes] C1\n"
                           "DELETE [redefine=yes] _cols_\n"
                           "VARIATE [nvalues=2] _cols_\n"
                           "READ _cols_\n"
                           "10 20 :\n"
                           "MATRIX [rows=2;columns=!(#_cols_)] C1\n"
                           "READ C1\n"
                           "1 3 2 :\n"
                           "RETURN [CLOSE=yes]\n\n"));
}

TEST_F(CorvistCommandTest, EmptyMatrixIsDeclaredOnly) {
  Dataset* d = CreateDataset();
  d->shape = DatasetShape::Matrix;
  d->name = "E";
  EXPECT_EQ(Write(d), Crlf("DELETE [redefine=yes] E\nMATRIX E\nRETURN [CLOSE=yes]\n\n"));
}

TEST_F(CorvistCommandTest, SymmetricMatrixLowerTriangleWithRowLabels) {
  Dataset* d = NewDataset(DatasetShape::SymmetricMatrix, 3);
  d->name = "S";
  Numbers(d, ColumnKind::VariateUnits, "u", {10, 20, 30});
  Numbers(d, ColumnKind::SymmetricMatrixColumn, "s1", {1, 2, 4});
  Numbers(d, ColumnKind::SymmetricMatrixColumn, "s2", {3, 5, kMissingValue});
  Numbers(d, ColumnKind::SymmetricMatrixColumn, "s3", {6, kMissingValue, kMissingValue});
  EXPECT_EQ(Write(d), Crlf("DELETE [redefine=yes] S\n"
                           "DELETE [redefine=yes] _rows_\n"
                           "VARIATE [nvalues=3] _rows_\n"
                           "READ _rows_\n"
                           "10 20 30 :\n"
                           "SYMMETRICMATRIX [rows=!(#_rows_)] S\n"
                           "READ S\n"
                           "1 2 3 4 5 6 :\n"
                           "RETURN [CLOSE=yes]\n\n"));
}

TEST_F(CorvistCommandTest, DiagonalMatrixTakesTheLastColumnsName) {
  Dataset* d = NewDataset(DatasetShape::DiagonalMatrix, 2);
  Column* c = Numbers(d, ColumnKind::Variate, "d", {7, 8});
  c->description = "it's";
  EXPECT_EQ(Write(d), Crlf("DELETE [redefine=yes] d\n"
                           "DIAGONALMATRIX [rows=2] d; extra='it''s'\n"
                           "READ d\n"
                           "7 8 :\n"
                           "RETURN [CLOSE=yes]\n\n"));
  EXPECT_EQ(d->name, "d");
}

TEST_F(CorvistCommandTest, ShapesWithoutRowsFailButStillEnd) {
  Dataset* s = CreateDataset();
  s->shape = DatasetShape::SymmetricMatrix;
  s->name = "S";
  int result = 1;
  EXPECT_EQ(Write(s, &result, "a.$$$"), Crlf("RETURN [CLOSE=yes]\n\n"));
  EXPECT_EQ(result, 0);
  Dataset* sc = CreateDataset();
  sc->shape = DatasetShape::Scalars;
  result = 1;
  Write(sc, &result, "b.$$$");
  EXPECT_EQ(result, 0);
}

TEST_F(CorvistCommandTest, OneWayTableWithItsFactor) {
  Dataset* d = NewDataset(DatasetShape::Table, 2);
  d->classifierCount = 1;
  Column* f = Numbers(d, ColumnKind::Factor, "f", {1, 2});
  f->levelCount = 2;
  Column* t = Numbers(d, ColumnKind::TableColumn, "t", {5, 6});
  t->decimals = 1;
  EXPECT_EQ(Write(d), Crlf("FACTOR [modify=yes;levels=2] f\n"
                           "DELETE [redefine=yes] t\n"
                           "TABLE [class=f;margins=no] t ; decimals=1\n"
                           "READ t\n"
                           "5 6 :\n"
                           "\n"
                           "RETURN [CLOSE=yes]\n\n"));
}

TEST_F(CorvistCommandTest, OneWayTablesGetNumberedFactorsAcrossTheRun) {
  for (int run = 1; run <= 2; ++run) {
    Dataset* d = NewDataset(DatasetShape::Table, 2);
    d->classifierCount = 1;
    Numbers(d, ColumnKind::TableColumn, "t", {5, 6});
    std::string f = "_tfc_" + std::to_string(run);
    EXPECT_EQ(Write(d), Crlf("FACTOR [modify=yes;levels=2] " + f + "\n"
                             "DELETE [redefine=yes] t\n"
                             "TABLE [class=" + f + ";margins=no] t\n"
                             "READ t\n"
                             "5 6 :\n"
                             "\n"
                             "RETURN [CLOSE=yes]\n\n"));
  }
}

TEST_F(CorvistCommandTest, OneWayTableWithLeadingVariateFails) {
  Dataset* d = NewDataset(DatasetShape::Table, 2);
  d->classifierCount = 1;
  Numbers(d, ColumnKind::Variate, "v", {5, 6});
  int result = 1;
  EXPECT_EQ(Write(d, &result), Crlf("FACTOR [modify=yes;levels=2] _tfc_1\n\nRETURN [CLOSE=yes]\n\n"));
  EXPECT_EQ(result, 0);
}

TEST_F(CorvistCommandTest, TwoWayTableWithLevelsAndLabels) {
  Dataset* d = NewDataset(DatasetShape::Table, 2);
  d->classifierCount = 2;
  d->labelStyle = 3;
  d->name = "T";
  d->columnFactorName = "cf";
  Column* rf = Numbers(d, ColumnKind::Factor, "rf", {1, 2});
  rf->levelCount = 2;
  SetLabelList(rf, {"x", "y"});
  rf->changed = 1;
  Column* b1 = Numbers(d, ColumnKind::TableColumn, "b1", {1, 2});
  b1->levelValue = 10;
  b1->columnLabel = "ten";
  Column* b2 = Numbers(d, ColumnKind::TableColumn, "b2", {3, 4});
  b2->levelValue = 20;
  EXPECT_EQ(Write(d), Crlf("FACTOR [modify=yes;levels=2;labels=!t('x','y')] rf\n"
                           "FACTOR [modify=yes;levels=!(10,20);labels=!t('ten','b2')] cf\n"
                           "DELETE [redefine=yes] T\n"
                           "TABLE [class=rf,cf;margins=no] T\n"
                           "READ T\n"
                           "1 3 2 4 :\n"
                           "\n"
                           "RETURN [CLOSE=yes]\n\n"));
}

TEST_F(CorvistCommandTest, TwoWayTableWithGeneratedRowFactor) {
  Dataset* d = NewDataset(DatasetShape::Table, 2);
  d->classifierCount = 2;
  d->name = "T";
  d->columnFactorName = "cf";
  Numbers(d, ColumnKind::TableColumn, "b1", {1, 2});
  Numbers(d, ColumnKind::TableColumn, "b2", {3, 4});
  EXPECT_EQ(Write(d), Crlf("FACTOR [modify=yes;levels=2] _tf1_1\n"
                           "FACTOR [modify=yes;levels=2] cf\n"
                           "DELETE [redefine=yes] T\n"
                           "TABLE [class=_tf1_1,cf;margins=no] T\n"
                           "READ T\n"
                           "1 3 2 4 :\n"
                           "\n"
                           "RETURN [CLOSE=yes]\n\n"));
}

TEST_F(CorvistCommandTest, Scalars) {
  Dataset* d = NewDataset(DatasetShape::Scalars, 1);
  Numbers(d, ColumnKind::Scalar, "a", {1.5});
  Column* b = Numbers(d, ColumnKind::Scalar, "b", {kMissingValue});
  b->decimals = 2;
  EXPECT_EQ(Write(d), Crlf("DELETE [redefine=yes] a\n"
                           "SCALAR a; 1.5\n"
                           "DELETE [redefine=yes] b\n"
                           "SCALAR b; *; decimals=2\n"
                           "\n"
                           "RETURN [CLOSE=yes]\n\n"));
}

class CorvistEndingTest : public CorvistCommandTest {
 protected:
  Dataset* OneVariate() {
    Dataset* d = NewDataset(DatasetShape::Columns, 1);
    Numbers(d, ColumnKind::Variate, "x", {1});
    return d;
  }
  const std::string body_ = "DELETE [redefine=yes] x\nVARIATE [nvalues=1] x\nREAD x\n1 :\nRESTRICT x\n";
};

TEST_F(CorvistEndingTest, Endings) {
  EXPECT_EQ(Write(OneVariate()), Crlf(body_ + "RETURN [CLOSE=yes]\n\n"));
  EXPECT_EQ(Write(OneVariate(), nullptr, "outQ17X.$$$"), Crlf(body_ + "RETURN [CLOSE=yes;DELETE=yes]\n\n"));
  State().noClosingCommand = true;
  EXPECT_EQ(Write(OneVariate()), Crlf(body_));
  State().endWithEndbreak = true;
  EXPECT_EQ(Write(OneVariate(), nullptr, "outQ17X.$$$"), Crlf(body_ + "ENDBREAK\n\n"));
}

TEST_F(CorvistEndingTest, PointerToAllColumns) {
  State().pointerName = "ALL";
  Dataset* d = OneVariate();
  Numbers(d, ColumnKind::Variate, "y", {2});
  EXPECT_EQ(Write(d), Crlf("DELETE [redefine=yes] x,y\n"
                           "VARIATE [nvalues=1] x\nREAD x\n1 :\n"
                           "VARIATE [nvalues=1] y\nREAD y\n2 :\n"
                           "RESTRICT x,y\n"
                           "DELETE [redefine=yes] ALL\n"
                           "POINTER ALL; !p(x,y)\n\n"
                           "RETURN [CLOSE=yes]\n\n"));
}

TEST_F(CorvistEndingTest, FailedWriteOrOpenGivesZero) {
  EXPECT_EQ(WriteCorvistCommandFile(nullptr, (dir_ / "n.$$$").c_str()), 0);
  EXPECT_EQ(WriteCorvistCommandFile(OneVariate(), (dir_ / "missing/dir.$$$").c_str()), 0);
  std::FILE* probe = std::fopen("/dev/full", "wb");
  if (probe == nullptr) GTEST_SKIP() << "no /dev/full";
  std::fclose(probe);
  EXPECT_EQ(WriteCorvistCommandFile(OneVariate(), "/dev/full"), 0);
}

TEST_F(CorvistCommandTest, EmptyColumnsAndHugeFactorWithoutLevels) {
  Dataset* d = CreateDataset();
  AddColumn(d, ColumnKind::Variate, "v", 25);
  Column* t = AddColumn(d, ColumnKind::Text, "t", 90);
  t->description = "a \"b\"";
  Column* w = AddColumn(d, ColumnKind::Variate, "w", 25);
  w->valueFormat = 5;
  Column* big = AddColumn(d, ColumnKind::Factor, "big", 25);
  big->levelCount = 1000001;
  EXPECT_EQ(Write(d), Crlf("DELETE [redefine=yes] v,t,w,big\n"
                           "VARIATE [values=*] v\n"
                           "TEXT [values=*] t; extra='a \"\"b\"\"'\n"
                           "VARIATE [values=*] w; drep=3\n"
                           "FACTOR [modify=yes;nvalues=*;levels=1000001] big\n"
                           "RESTRICT v,t,w,big\n"
                           "RETURN [CLOSE=yes]\n\n"));
}

TEST_F(CorvistCommandTest, FactorThresholds) {
  struct Case {
    int levels;
    bool values;
    bool labels;
    bool longForm;
  } cases[] = {
      {57, true, true, false}, {58, true, true, true},    {88, false, true, false},
      {89, false, true, true}, {133, true, false, false}, {134, true, false, true},
  };
  for (const Case& c : cases) {
    ResetState();
    State().interceptFatal = true;
    Dataset* d = NewDataset(DatasetShape::Columns, 1);
    Column* f = Numbers(d, ColumnKind::Factor, "f", {1});
    f->levelCount = c.levels;
    std::vector<double> values;
    std::vector<std::string> labels;
    for (int i = 1; i <= c.levels; ++i) {
      values.push_back(i);
      labels.push_back("L" + std::to_string(i));
    }
    if (c.values) SetLevelValueList(f, values);
    if (c.labels) SetLabelList(f, labels);
    std::string text = Write(d);
    SCOPED_TRACE(c.levels);
    EXPECT_EQ(text.find("_levels_") != std::string::npos, c.longForm && c.values);
    EXPECT_EQ(text.find("_labels_") != std::string::npos, c.longForm && c.labels);
    if (!c.longForm && c.values) {
      EXPECT_NE(text.find(";levels=!(1,2,3,"), std::string::npos);
    }
    if (!c.longForm && c.labels) {
      EXPECT_NE(text.find(";labels=!t('L1','L2',"), std::string::npos);
    }
    if (!c.values && !c.longForm) {
      EXPECT_NE(text.find(";levels=" + std::to_string(c.levels)), std::string::npos);
    }
    EXPECT_NE(text.find("READ f; frepresentation=ordinal\r\n1 :\r\n"), std::string::npos);
  }
}

TEST_F(CorvistCommandTest, QuietReadingMarksEveryRead) {
  State().echoOnReading = false;
  Dataset* d = NewDataset(DatasetShape::Columns, 2);
  Column* f = Numbers(d, ColumnKind::Factor, "f", {1, 3});
  f->levelCount = 2;
  Texts(d, ColumnKind::TextUnits, "n", {"a", "b"});
  d->hasRestriction = 1;
  EXPECT_EQ(Write(d), Crlf("DELETE [redefine=yes] f,n\n"
                           "FACTOR [modify=yes;nvalues=2;levels=2] f\n"
                           "READ [print=*] f; frepresentation=ordinal\n"
                           "1 * :\n"
                           "TEXT [nvalues=2] n\n"
                           "READ [print=*] n\n"
                           "'a' 'b' :\n"
                           "UNITS n\n"
                           "DELETE [redefine=yes] _rest_\n"
                           "READ [print=*;setnvalues=y] _rest_\n"
                           "1 1 :\n"
                           "RESTRICT f,n; _rest_\n"
                           "RETURN [CLOSE=yes]\n\n"));
}

TEST_F(CorvistCommandTest, InstatBlock) {
  Dataset* d = NewDataset(DatasetShape::Columns, 1);
  Column* x = Numbers(d, ColumnKind::Variate, "x", {1});
  x->sourceColumnNumber = 3;
  InstatExtras& e = State().instatExtras;
  e.present = true;
  e.title = "My 'title'";
  e.missingCodes = {-9999, 5};
  e.missingTreatments = {0, 2};
  e.missingReplacements = {0, 0};
  e.stringConstants = {"", "abc"};
  e.labelSets = {{"lo      ", "hi      "}, {}};
  e.constants = {{"", 3.14159265358979}, {"", -9999}, {"", 7}};
  e.definedConstantCount = 2;
  EXPECT_EQ(Write(d), Crlf("DELETE [redefine=yes] x\n"
                           "VARIATE [nvalues=1] x\n"
                           "READ x\n"
                           "1 :\n"
                           "DELETE [redefine=yes] Title\n"
                           "TEXT Title; 'My ''title'''\n"
                           "DELETE [redefine=yes] M,M1,M2\n"
                           "POINTER M; !p(M1,M2)\n"
                           "SCALAR M1\n"
                           "SCALAR M2; 0\n"
                           "DELETE [redefine=yes] S,S1,S2\n"
                           "TEXT S1\n"
                           "TEXT S2; 'abc'\n"
                           "POINTER S; !p(S1,S2)\n"
                           "DELETE [redefine=yes] L,L1,L2\n"
                           "TEXT L1; !t('lo','hi')\n"
                           "TEXT L2\n"
                           "POINTER L; !p(L1,L2)\n"
                           "DELETE [redefine=yes] K,K1,K2,K3\n"
                           "SCALAR K1; 3.14159265358979\n"
                           "SCALAR K2\n"
                           "SCALAR K3\n"
                           "POINTER K; !p(K1,K2,K3)\n"
                           "DELETE [redefine=yes] X\n"
                           "POINTER [SUFFIXES=!(3)] X; !p(x)\n"
                           "RESTRICT x\n"
                           "RETURN [CLOSE=yes]\n\n"));
}

TEST_F(CorvistCommandTest, StringConstantCutKeepsDoubledApostrophesWhole) {
  Dataset* d = NewDataset(DatasetShape::Columns, 1);
  Numbers(d, ColumnKind::Variate, "x", {1});
  InstatExtras& e = State().instatExtras;
  e.present = true;
  e.stringConstants = {std::string(79, 'a') + "'b"};
  std::string text = Write(d);
  // 79 characters and the apostrophe would need 81: the apostrophe is left out whole.
  EXPECT_NE(text.find("TEXT S1; '" + std::string(79, 'a') + "'\r\n"), std::string::npos);
  EXPECT_EQ(text.find("a''"), std::string::npos);
}

// Names that are not identifiers (a file changed by hand) are made legal
// and unique before they become statement words; number labels that are not
// numbers go out as missing.
TEST_F(CorvistCommandTest, NamesThatAreNotIdentifiersCannotFormStatements) {
  Dataset* d = NewDataset(DatasetShape::Columns, 1);
  Numbers(d, ColumnKind::Variate, "a;PRINT ", {1});
  Numbers(d, ColumnKind::Variate, "ok['x']", {2});
  Numbers(d, ColumnKind::Variate, "a_PRINT", {3});
  EXPECT_EQ(Write(d), Crlf("DELETE [redefine=yes] a_PRINT,ok['x'],a_PRINT1\n"
                           "VARIATE [nvalues=1] a_PRINT\nREAD a_PRINT\n1 :\n"
                           "VARIATE [nvalues=1] ok['x']\nREAD ok['x']\n2 :\n"
                           "VARIATE [nvalues=1] a_PRINT1; extra='a_PRINT'\nREAD a_PRINT1\n3 :\n"
                           "RESTRICT a_PRINT,ok['x'],a_PRINT1\n"
                           "RETURN [CLOSE=yes]\n\n"));

  ResetState();
  d = NewDataset(DatasetShape::Matrix, 1);
  d->name = "m\nPRINT m";
  d->labelStyle = 1;
  Numbers(d, ColumnKind::MatrixColumn, "1 :PRINT", {1});
  std::string text = Write(d);
  EXPECT_NE(text.find("READ _cols_\r\n* :\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("MATRIX [rows=1;columns=!(#_cols_)] m_PRINT_m\r\n"), std::string::npos) << text;
}

}  // namespace
}  // namespace trovadex
