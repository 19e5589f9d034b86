// The Instat worksheet writer, read back by the worksheet reader: numbers
// at and beyond Instat's range and precision, the missing code, factors and
// texts as label sets, and the limits of columns, rows, label sets and the
// name table.
#include <cmath>
#include <string>
#include <vector>

#include "core/byteorder.h"
#include "core/dataset.h"
#include "readers/readers.h"
#include "test_support.h"
#include "writers/writers.h"

namespace trovadex {
namespace {

class InstatWriterTest : public test::StateTest {
 protected:
  test::TempDir dir;
  std::string output;

  Dataset* NewDataset(int32_t rows) {
    Dataset* d = CreateDataset();
    d->rowCount = rows;
    d->missingValue = kMissingValue;
    d->sourceFile = "trial.csv";
    CreateRows(d);
    return d;
  }
  Column* Numbers(Dataset* d, const std::string& name, const std::vector<double>& values) {
    Column* c = AddColumnWithValues(d, ColumnKind::Variate, name, static_cast<int32_t>(values.size()));
    for (std::size_t i = 0; i < values.size(); ++i) SetNumber(c, static_cast<int64_t>(i), values[i]);
    return c;
  }
  Column* Factor(Dataset* d, const std::string& name, const std::vector<double>& levels,
                 const std::vector<std::string>& labels, const std::vector<double>& levelValues = {}) {
    Column* c = Numbers(d, name, levels);
    c->kind = ColumnKind::Factor;
    c->levelCount = static_cast<int32_t>(labels.empty() ? levelValues.size() : labels.size());
    if (!labels.empty()) {
      SetLabelList(c, labels);
      c->factorDisplay = 2;
    }
    if (!levelValues.empty()) SetLevelValueList(c, levelValues);
    return c;
  }
  // Writes, then reads the worksheet back; the messages of both go to `output`.
  int16_t RoundTrip(Dataset* d, std::string* bytes = nullptr) {
    const std::string path = dir / "t.wor";
    testing::internal::CaptureStdout();
    int16_t ok = WriteInstat(d, path.c_str());
    if (ok) {
      if (bytes) *bytes = test::ReadFile(path);
      const int count = State().instatMissingCount;
      State().instatMissingCount = 0;  // codes, not replacements, when reading
      ok = ReadInstat(path.c_str());
      State().instatMissingCount = count;
    }
    output = testing::internal::GetCapturedStdout();
    return ok;
  }
  void Fresh() {
    ResetState();
    State().interceptFatal = true;
  }
};

TEST_F(InstatWriterTest, NumbersKeepTheirValueWithinInstatsRangeAndPrecision) {
  Dataset* d = NewDataset(12);
  const std::vector<double> values = {-1, -256, 2.5, 0, 1e35, 3e35, -1e35, -5e38, 1e-40, 123456.789, kMissingValue, -7e-20};
  Numbers(d, "x", values);
  std::string bytes;
  ASSERT_EQ(RoundTrip(d, &bytes), 1) << output;
  EXPECT_EQ(CurrentDataset()->notes, std::vector<std::string>{"Data from trial.csv"});
  // The first data values: -1, -256 and 2.5 in their two forms.
  const std::size_t data = LoadU32LE(&bytes[115 + 85 + 20 * 5]);
  EXPECT_EQ(bytes.substr(data, 15), std::string("\xFF\xFF\xFF\xFF\x00\x00\xFF\xFF\xFF\x00\x00\x00\x00\x20\x81", 15));
  Column* x = ColumnAt(CurrentDataset(), 1);
  const double back[] = {-1, -256, 2.5, 0, 1e35, 1e35, -1e35, -1e35, 0, 123456.789, kMissingValue, -7e-20};
  for (int r = 0; r < 12; ++r) {
    const double got = GetNumber(x, r);
    if (back[r] == kMissingValue || back[r] == 0)
      EXPECT_EQ(got, back[r]) << r;
    else
      EXPECT_NEAR(got, back[r], std::fabs(back[r]) * std::ldexp(1.0, -32)) << r;  // 32-bit mantissa
  }

  // Another first code; one outside the range Instat keeps is refused.
  Fresh();
  State().instatMissing = {-99, -9999, -9999};
  State().instatMissingCount = 1;
  d = NewDataset(2);
  Numbers(d, "x", {kMissingValue, 1});
  ASSERT_EQ(RoundTrip(d, &bytes), 1) << output;
  EXPECT_EQ(State().instatExtras.missingCodes, std::vector<double>{-99});
  EXPECT_EQ(GetNumber(ColumnAt(CurrentDataset(), 1), 0), kMissingValue);
  Fresh();
  State().instatMissing = {kMissingValue, -9999, -9999};
  State().instatMissingCount = 1;
  d = NewDataset(1);
  Numbers(d, "x", {1});
  EXPECT_EQ(RoundTrip(d), 0);
  EXPECT_EQ(output, "Error: Instat missing code -1e+307 is outside -1e35 to 1e35.\n");
}

TEST_F(InstatWriterTest, FactorsAndLockedTextsBecomeLabelSets) {
  Dataset* d = NewDataset(4);
  // Labelled levels with values 1, 3, 7: written as level numbers 1..3.
  Factor(d, "dose", {1, 3, 2, kMissingValue}, {"none", "some", "much"}, {1, 3, 7});
  Column* text = AddColumnWithValues(d, ColumnKind::Text, "note", 4);
  for (int r = 0; r < 4; ++r) SetText(text, r, "n" + std::to_string(r));
  text->locked = 1;
  Column* plain = AddColumnWithValues(d, ColumnKind::Text, "site", 4);
  for (int r = 0; r < 4; ++r) SetText(plain, r, r % 2 ? "North" : "south");
  ASSERT_EQ(RoundTrip(d), 1) << output;
  Dataset* back = CurrentDataset();
  ASSERT_EQ(back->columnCount, 2);
  Column* dose = ColumnAt(back, 1);
  ASSERT_EQ(dose->labelCount, 3);
  EXPECT_EQ(dose->labels.Get(2), "much");
  const double levels[] = {1, 3, 2, kMissingValue};
  for (int r = 0; r < 4; ++r) EXPECT_EQ(GetNumber(dose, r), levels[r]);
  Column* site = ColumnAt(back, 2);
  EXPECT_EQ(site->name, "site");
  ASSERT_EQ(site->labelCount, 2);
  const auto& sets = State().instatExtras.labelSets;
  ASSERT_GE(sets.size(), 3u);
  EXPECT_EQ(sets[1], (std::vector<std::string>{"n0      ", "n1      ", "n2      ", "n3      "}));
}

TEST_F(InstatWriterTest, LimitsOfColumnsRowsLabelSetsAndNames) {
  // 127 columns of seven-character names need a fifth name-table line:
  // the names are cut until four lines hold them.
  Dataset* d = NewDataset(1);
  for (int i = 0; i < 127; ++i) Numbers(d, "Col" + std::to_string(1000 + i), {static_cast<double>(i)});
  ASSERT_EQ(RoundTrip(d), 1) << output;
  EXPECT_EQ(output, "Warning: Column names cut to 6 characters to fit the Instat name table\n");
  ASSERT_EQ(CurrentDataset()->columnCount, 127);
  EXPECT_EQ(ColumnAt(CurrentDataset(), 127)->name, "Col112");
  EXPECT_EQ(GetNumber(ColumnAt(CurrentDataset(), 127), 0), 126);
  Fresh();
  d = NewDataset(1);
  for (int i = 0; i < 128; ++i) Numbers(d, "c" + std::to_string(i), {1});
  EXPECT_EQ(RoundTrip(d), 0);
  EXPECT_EQ(output, "Error: Too many columns in trial.csv to save.\nInstat has a maximum of 127 columns.\n");

  // 50,175 rows are the most the row-count characters hold.
  Fresh();
  d = NewDataset(50175);
  std::vector<double> many(50175);
  for (std::size_t i = 0; i < many.size(); ++i) many[i] = static_cast<double>(i);
  Numbers(d, "x", many);
  ASSERT_EQ(RoundTrip(d), 1) << output;
  ASSERT_EQ(CurrentDataset()->rowCount, 50175);
  EXPECT_EQ(GetNumber(ColumnAt(CurrentDataset(), 1), 50174), 50174);
  Fresh();
  d = NewDataset(50176);
  many.push_back(1);
  Numbers(d, "x", many);
  EXPECT_EQ(RoundTrip(d), 0);
  EXPECT_EQ(output, "Error: Too many rows in trial.csv to save.\nInstat has a maximum of 50175 rows.\n");

  // 51 labelled factors: the last is written as plain numbers.
  Fresh();
  d = NewDataset(2);
  for (int i = 0; i < 51; ++i) Factor(d, "f" + std::to_string(i), {2, 1}, {"a", "b"});
  ASSERT_EQ(RoundTrip(d), 1) << output;
  EXPECT_EQ(output, "Warning: More than 50 label sets: factor f50 written without labels\n");
  EXPECT_EQ(ColumnAt(CurrentDataset(), 50)->labelCount, 2);
  EXPECT_EQ(ColumnAt(CurrentDataset(), 51)->kind, ColumnKind::Variate);
  EXPECT_EQ(GetNumber(ColumnAt(CurrentDataset(), 51), 0), 2);
}

TEST(InstatEndToEnd, CsvThroughAWorksheetToACommandFile) {
  test::TempDir dir;
  test::WriteFile(dir / "x.csv", "plot,yield,variety\r\n1,2.5,Maris\r\n2,*,Piper\r\n3,0.1,Maris\r\n");
  test::RunResult run = test::RunTrovadex({"x.csv", "x.wor"}, dir.path().string());
  ASSERT_EQ(run.exitCode, 0) << run.output;
  run = test::RunTrovadex({"x.wor", "x.crv"}, dir.path().string());
  ASSERT_EQ(run.exitCode, 0) << run.output;
  // Lines compared without their CR.
  const auto text = [&](const std::string& name) {
    std::string t = test::ReadFile(dir / name);
    std::erase(t, '\r');
    return t;
  };
  const std::string commands = text("x.crv");
  for (const char* part : {"READ yield\n2.5 * 0.10000000000582077 :\n", "labels=!t('Maris','Piper')",
                           "TEXT Title; 'Data from x.csv'\n", "POINTER M; !p(M1)\nSCALAR M1\n",
                           "TEXT L1; !t('Maris','Piper')\n",
                           "POINTER [SUFFIXES=!(1,2,3)] X; !p(plot,yield,variety)\n"})
    EXPECT_NE(commands.find(part), std::string::npos) << part << "\n" << commands;
  // A worksheet read and written again keeps its values.
  run = test::RunTrovadex({"x.wor", "y.wor"}, dir.path().string());
  ASSERT_EQ(run.exitCode, 0) << run.output;
  run = test::RunTrovadex({"y.wor", "y.crv"}, dir.path().string());
  ASSERT_EQ(run.exitCode, 0) << run.output;
  EXPECT_NE(text("y.crv").find("READ yield\n2.5 * 0.10000000000582077 :\n"), std::string::npos);
}

}  // namespace
}  // namespace trovadex
