#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "core/byteorder.h"
#include "core/dataset.h"
#include "matrix_support.h"
#include "readers/document_support.h"
#include "readers/readers.h"
#include "test_support.h"

namespace trovadex {
namespace {

using test::StateTest;

constexpr double kM = kMissingValue;

template <typename T>
std::string Le(T v) {
  std::string b(sizeof v, '\0');
  if constexpr (sizeof v == 8) StoreF64LE(b.data(), v);
  else if constexpr (sizeof v == 4) StoreU32LE(b.data(), static_cast<uint32_t>(v));
  else StoreU16LE(b.data(), static_cast<uint16_t>(v));
  return b;
}
std::string Counted(const std::string& t) { return std::string(1, static_cast<char>(t.size())) + t; }

class StatisticaReaderTest : public StateTest {
 protected:
  test::TempDir dir;
  std::string output;
  int16_t Read(const std::string& bytes, int code) {
    test::WriteFile(dir / "s.sta", bytes);
    testing::internal::CaptureStdout();
    const int16_t ok = ReadStatistica((dir / "s.sta").c_str(), code);
    output = testing::internal::GetCapturedStdout();
    return ok;
  }
};

// Type 7 (138-byte header), two variables, a 4-byte case prefix, a long
// label for variable 2 and one for a variable that does not exist.
std::string Classic(int cases) {
  const std::string labels = Le<int16_t>(2) + Counted("Second variable") + Le<int16_t>(9) + Counted("none");
  std::string h = "CSS " + std::string(2, '\0') + "\xFF\xFF" + Le<int32_t>(cases) + Le<int32_t>(2) +
                  Le<int32_t>(0) + Le<int32_t>(7);
  h += Le<int16_t>(0) + Le<int16_t>(0) + Le<int16_t>(36) + Le<int16_t>(0) + Le<int16_t>(0) +
       Le<int16_t>(static_cast<int16_t>(labels.size()));
  for (int k = 0; k < 11; ++k) h += Le<int16_t>(k == 5 ? 4 : 0);
  h.resize(138, '\0');
  h += std::string(8, ' ') + "weight  " + std::string(4, '\0') + Le(-99.0) + Le(0.0) + labels;
  h.resize(512, '\0');  // 138 + 36 + block lengths < 512
  const double x[3][2] = {{1.5, 2}, {-99, std::numeric_limits<double>::quiet_NaN()}, {1e308, -7}};
  for (int r = 0; r < cases; ++r) h += std::string(4, 'p') + Le(x[r % 3][0]) + Le(x[r % 3][1]);
  return h;
}

TEST_F(StatisticaReaderTest, ClassicValuesNamesAndLabels) {
  std::string file = Classic(3);
  ASSERT_EQ(Read(file + "short", 35), 1) << output;  // a trailing part record is no case
  Dataset* d = CurrentDataset();
  ASSERT_EQ(d->rowCount, 3);
  EXPECT_EQ(ColumnAt(d, 1)->name, "C0");
  EXPECT_EQ(ColumnAt(d, 2)->name, "weight");
  EXPECT_EQ(ColumnAt(d, 2)->description, "Second variable");
  EXPECT_EQ(test::Numbers(ColumnAt(d, 1)), (std::vector<double>{1.5, kM, kNumberCap}));
  EXPECT_EQ(test::Numbers(ColumnAt(d, 2)), (std::vector<double>{2, kM, -7}));
  EXPECT_NE(output.find("9.99999E+307"), std::string::npos);
  // Fewer records than cases: the records there are read.
  ASSERT_EQ(Read(Classic(3).substr(0, 512 + 40), 35), 1);
  EXPECT_EQ(CurrentDataset()->rowCount, 2);
}

TEST_F(StatisticaReaderTest, ClassicRefusals) {
  std::string bad = Classic(1);
  bad[7] = 0;
  EXPECT_EQ(Read(bad, 35), 0);
  EXPECT_NE(output.find("is not a Statistica dataset"), std::string::npos);
  bad = Classic(1);
  bad[20] = 9;
  EXPECT_EQ(Read(bad, 35), 0);
  EXPECT_NE(output.find("unknown type"), std::string::npos);
  EXPECT_EQ(Read(Classic(0), 35), 0);
  EXPECT_NE(output.find("is empty"), std::string::npos);
  bad = Classic(1);
  bad[13] = 0x7F;  // more variables than the file holds
  EXPECT_EQ(Read(bad, 35), 0);
}

struct SheetVar {
  std::string name, longName;
  int type, width;
  double code;
  std::vector<std::pair<double, std::string>> labels;
};

std::string Sheet(int cases, int nameWidth, const std::vector<SheetVar>& vars, const std::string& cells) {
  std::string s = std::string(171, '\0') + Le<int32_t>(static_cast<int32_t>(vars.size())) + Le<int32_t>(cases) +
                  Le<int32_t>(nameWidth) + Counted(" Field trial ") + "xx";
  int record = nameWidth;
  for (const auto& v : vars) {
    s += "\x01" + Counted(v.name) + Counted(v.longName) + Le<int32_t>(v.type) + Le<int32_t>(v.width) + "x" +
         Le(v.code) + Le<int32_t>(static_cast<int32_t>(v.labels.size()));
    for (const auto& [value, text] : v.labels) s += Le(value) + Counted(text) + Counted("skip");
    record += v.width;
  }
  return s + std::string(static_cast<std::size_t>(record), 'u') + cells;
}

const std::vector<SheetVar> kVars = {{"dose", "Dose given", 0, 8, -9, {{1, "low"}, {3, "high"}}},
                                     {"count", "", 2, 4, 0, {}},
                                     {"flag", "", 3, 1, 0, {}},
                                     {"note", "", 1, 100, 0, {}}};

std::string Cells(const std::string& caseName, double dose, int32_t count, int8_t flag, const std::string& note) {
  return caseName + std::string(12 - caseName.size(), ' ') + Le(dose) + Le<int32_t>(count) +
         std::string(1, static_cast<char>(flag)) + note + std::string(100 - note.size(), ' ');
}

TEST_F(StatisticaReaderTest, SpreadsheetValuesLabelsAndCaseNames) {
  const std::string longNote(100, 'n');
  const std::string cells = Cells("first", 1, -3, -5, "a note") + Cells("second", 2.5, 7, 1, longNote) +
                            Cells("third case!!", -9, 0, 0, "") + Cells("", 3, 1, 2, "x");
  ASSERT_EQ(Read(Sheet(4, 12, kVars, cells), 36), 1) << output;
  Dataset* d = CurrentDataset();
  ASSERT_EQ(d->rowCount, 4);
  EXPECT_EQ(d->notes.at(0), "Field trial");
  Column* id = ColumnAt(d, 1);
  EXPECT_EQ(id->name, "Case_ID");
  EXPECT_EQ(id->kind, ColumnKind::TextUnits);
  EXPECT_EQ(test::Texts(id), (std::vector<std::string>{"first", "second", "third case!!", ""}));
  Column* dose = ColumnAt(d, 2);
  EXPECT_EQ(dose->description, "Dose given");
  ASSERT_EQ(dose->kind, ColumnKind::Factor);
  ASSERT_EQ(dose->levelCount, 3);
  EXPECT_EQ(std::string(dose->labels.Get(0)), "low");
  EXPECT_EQ(std::string(dose->labels.Get(1)), "2.5");
  EXPECT_EQ(std::string(dose->labels.Get(2)), "high");
  EXPECT_TRUE(IsMissing(d, GetNumber(dose, 2)));
  EXPECT_EQ(test::Numbers(ColumnAt(d, 3)), (std::vector<double>{-3, 7, kM, 1}));
  EXPECT_EQ(test::Numbers(ColumnAt(d, 4)), (std::vector<double>{-5, 1, kM, 2}));
  EXPECT_EQ(test::Texts(ColumnAt(d, 5)), (std::vector<std::string>{"a note", std::string(90, 'n'), "", "x"}));
}

TEST_F(StatisticaReaderTest, SpreadsheetRefusalsUseTheDocumentName) {
  const std::string good = Sheet(1, 12, kVars, Cells("a", 1, 1, 1, "b"));
  std::string bad = good;
  bad[0] = 1;
  bad[1] = 5;  // a set flag wants a 4 after it
  State().inputFileName = "book.xyz";
  EXPECT_EQ(Read(bad, 36), 0);
  EXPECT_NE(output.find("book.xyz is not recognised"), std::string::npos) << output;
  EXPECT_TRUE(State().inputFileName.empty());
  auto with = [&](std::vector<SheetVar> vars) { return Sheet(1, 12, vars, Cells("a", 1, 1, 1, "b")); };
  auto vars = kVars;
  vars[1].width = 2;
  EXPECT_EQ(Read(with(vars), 36), 0);
  EXPECT_NE(output.find("Numeric Column length"), std::string::npos);
  vars = kVars;
  vars[3].width = -1;
  EXPECT_EQ(Read(with(vars), 36), 0);
  vars[3].width = 1 << 20;  // past the end of the file
  EXPECT_EQ(Read(with(vars), 36), 0);
  bad = good;
  bad[179] = '\xF0';  // a case-name width past the end
  EXPECT_EQ(Read(bad, 36), 0);
  bad = good;
  bad[182] = '\x80';  // a negative case-name width
  EXPECT_EQ(Read(bad, 36), 0);
}

// The producer saves the spreadsheet stream as "Contents" in a compound
// document; below 4096 bytes it lives in the mini stream, above in sectors.
TEST_F(StatisticaReaderTest, SpreadsheetInsideACompoundDocument) {
  const std::string four = Cells("first", 1, -3, -5, "a note") + Cells("second", 2.5, 7, 1, std::string(100, 'n')) +
                           Cells("third case!!", -9, 0, 0, "") + Cells("", 3, 1, 2, "x");
  for (int copies : {1, 10}) {
    std::string cells;
    for (int k = 0; k < copies; ++k) cells += four;
    test::WriteDocument(dir / "survey.sta", "Contents", Sheet(4 * copies, 12, kVars, cells));
    const test::DocumentRead r = test::ReadDocument(dir, "survey.sta");
    EXPECT_EQ(r.format, 5);
    ASSERT_EQ(r.result, 1) << r.output;
    Dataset* d = CurrentDataset();
    ASSERT_EQ(d->rowCount, 4 * copies);
    EXPECT_EQ(d->notes.at(0), "Field trial");
    const std::vector<std::string> names = test::Texts(ColumnAt(d, 1));
    EXPECT_EQ(std::vector<std::string>(names.begin(), names.begin() + 4),
              (std::vector<std::string>{"first", "second", "third case!!", ""}));
    Column* dose = ColumnAt(d, 2);
    EXPECT_EQ(dose->description, "Dose given");
    ASSERT_EQ(dose->kind, ColumnKind::Factor);
    ASSERT_EQ(dose->levelCount, 3);
    EXPECT_EQ(std::string(dose->labels.Get(0)) + std::string(dose->labels.Get(2)), "lowhigh");
    EXPECT_EQ(test::Numbers(ColumnAt(d, 3)).at(4 * copies - 3), 7);
    EXPECT_EQ(test::Texts(ColumnAt(d, 5)).at(4 * copies - 3), std::string(90, 'n'));
  }
  // Whole runs: a damaged stream is refused under the document's own name.
  std::string bad = Sheet(1, 12, kVars, Cells("a", 1, 1, 1, "b"));
  test::WriteDocument(dir / "good.sta", "Contents", bad);
  bad[0] = 1;
  test::WriteDocument(dir / "bad.sta", "Contents", bad);
  const test::RunResult good = test::RunTrovadex({"good.sta", "good.csv"}, dir.path());
  EXPECT_EQ(good.exitCode, 0) << good.output;
  EXPECT_NE(test::ReadFile(dir / "good.csv").find("'a',1,1,1,'b'"), std::string::npos);
  const test::RunResult run = test::RunTrovadex({"bad.sta", "bad.csv"}, dir.path());
  EXPECT_EQ(run.exitCode, 5);
  EXPECT_NE(run.output.find("bad.sta is not recognised as a Statistica dataset."), std::string::npos) << run.output;
  EXPECT_EQ(run.output.find("Q17X"), std::string::npos);
}

}  // namespace
}  // namespace trovadex
