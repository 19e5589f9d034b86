#include <string>
#include <vector>

#include "core/dataset.h"
#include "core/format.h"
#include "matrix_support.h"
#include "readers/readers.h"
#include "test_support.h"

namespace trovadex {
namespace {

using test::StateTest;

constexpr double kM = kMissingValue;

class SplusTextReaderTest : public StateTest {
 protected:
  test::TempDir dir;
  std::string output;
  int16_t Read(const std::string& path) {
    testing::internal::CaptureStdout();
    const int16_t ok = ReadSplusText(path.c_str());
    output = testing::internal::GetCapturedStdout();
    return ok;
  }
  int16_t ReadText(const std::string& text) {
    test::WriteFile(dir / "t.sdd", text);
    return Read(dir / "t.sdd");
  }
};

// A data frame with one column object, then its row names and class.
std::string Frame(const std::string& columns, int count, int rows) {
  std::string rowNames;
  for (int i = 1; i <= rows; ++i) rowNames += std::to_string(i) + "\n";
  return "obj\nstructure\n3\n.Data\nlist\n" + std::to_string(count) + "\n" + columns + "row.names\ncharacter\n" +
         std::to_string(rows) + "\n" + rowNames + "class\ncharacter\n1\ndata.frame\n";
}

// The data frame that R foreign's own tests restore: a factor, integers with
// NA, floats and logicals; the file also carries ".Names".
TEST_F(SplusTextReaderTest, PublicDumps) {
  TROVADEX_NEED_SHARED();
  const std::string folder = test::SharedDir() + "/corpus-public/splus-dump/";
  ASSERT_EQ(Read(folder + "dumpdata.sdd"), 1) << output;
  Dataset* d = CurrentDataset();
  ASSERT_EQ(d->rowCount, 3);
  ASSERT_EQ(d->columnCount, 4);  // row names 1, 2, 3 make no column
  Column* f = ColumnAt(d, 1);
  EXPECT_EQ(f->name, "factor");
  EXPECT_EQ(f->kind, ColumnKind::Factor);
  EXPECT_EQ(test::Numbers(f), (std::vector<double>{1, 2, 3}));
  ASSERT_EQ(f->labelCount, 3);
  EXPECT_EQ(f->labels.Get(0), "a");
  EXPECT_EQ(f->labels.Get(1), "bc");
  EXPECT_EQ(f->labels.Get(2), "def");
  EXPECT_EQ(test::Numbers(ColumnAt(d, 2)), (std::vector<double>{kM, 2, 3}));
  EXPECT_EQ(test::Numbers(ColumnAt(d, 3)), (std::vector<double>{1.1, 1.2, 1.3}));
  EXPECT_EQ(test::Numbers(ColumnAt(d, 4)), (std::vector<double>{1, kM, 0}));
  // Two time series, no data frame.
  EXPECT_EQ(Read(folder + "tsdumpdata.sdd"), 0);
  EXPECT_NE(output.find("is not a data frame"), std::string::npos) << output;
}

TEST_F(SplusTextReaderTest, NumbersDatesAndLongLines) {
  const std::string longText(3000, 'x');
  const std::string columns =
      "v\nnumeric\n4\nN\n1e400\n-2.5e-3 rest\nno number\n"
      "when\nstructure\n3\n.Data\ninteger\n4\n0\n-1\n1\nN\n"
      "class\ncharacter\n1\ndates\norigin\nstructure\n1\n.Data\nnumeric\n3\n1\n1\n1960\n"
      "t\ncharacter\n4\n" + longText + "\n  two   words \n\nlast\n";
  ASSERT_EQ(ReadText(Frame(columns, 3, 4)), 1) << output;
  Dataset* d = CurrentDataset();
  ASSERT_EQ(d->columnCount, 3);
  EXPECT_EQ(test::Numbers(ColumnAt(d, 1)), (std::vector<double>{kM, kNumberCap, -2.5e-3, kM}));
  Column* when = ColumnAt(d, 2);
  EXPECT_EQ(when->valueFormat, 5);
  const double origin = DayCountFromDate(1, 1, 1960);
  EXPECT_EQ(test::Numbers(when), (std::vector<double>{origin, origin - 1, origin + 1, kM}));
  // A 3000-character line is one value; the lines after it keep their place.
  EXPECT_EQ(test::Texts(ColumnAt(d, 3)),
            (std::vector<std::string>{std::string(90, 'x'), "two words", "", "last"}));
}

// Value lists are sized by the data, not by an allocation ceiling.
TEST_F(SplusTextReaderTest, TwoMillionRows) {
  constexpr int kRows = 2000000;
  std::string values;
  values.reserve(kRows * 2);
  for (int i = 0; i < kRows; ++i) values += i % 2 ? "1\n" : "N\n";
  ASSERT_EQ(ReadText("big\nstructure\n2\n.Data\nlist\n1\nv\nnumeric\n2000000\n" + values +
                     "class\ncharacter\n1\ndata.frame\n"),
            1)
      << output;
  Column* v = ColumnAt(CurrentDataset(), 1);
  ASSERT_EQ(v->valueCount, kRows);
  EXPECT_EQ(GetNumber(v, kRows - 1), 1);
  EXPECT_EQ(GetNumber(v, kRows - 2), kM);
}

TEST_F(SplusTextReaderTest, FactorLabels) {
  auto factor = [](const std::string& codes, int labels) {
    std::string text = "f\nstructure\n3\n.Data\ninteger\n3\n" + codes + ".Label\ncharacter\n" +
                       std::to_string(labels) + "\n";
    for (int i = 1; i <= labels; ++i) text += "L" + std::to_string(i) + "\n";
    return text + "class\ncharacter\n1\nfactor\n";
  };
  // An unused last level keeps its label.
  ASSERT_EQ(ReadText(Frame(factor("1\nN\n2\n", 3), 1, 3)), 1) << output;
  Column* f = ColumnAt(CurrentDataset(), 1);
  EXPECT_EQ(f->levelCount, 3);
  EXPECT_EQ(f->labels.Get(2), "L3");
  EXPECT_EQ(test::Numbers(f), (std::vector<double>{1, kM, 2}));
  // A level without a label cannot be read.
  EXPECT_EQ(ReadText(Frame(factor("1\n3\n2\n", 2), 1, 3)), 0);
  EXPECT_NE(output.find("fewer labels"), std::string::npos) << output;
}

TEST_F(SplusTextReaderTest, DamagedStructureRefused) {
  const std::string good = Frame("v\nnumeric\n2\n1\n2\n", 1, 2);
  ASSERT_EQ(ReadText(good), 1) << output;
  // A length beyond the file, a length that is no number, a cut file, a
  // class that is not a data frame.
  EXPECT_EQ(ReadText(Frame("v\nnumeric\n99999\n1\n2\n", 1, 2)), 0);
  EXPECT_EQ(ReadText(Frame("v\nnumeric\n2x\n1\n2\n", 1, 2)), 0);
  EXPECT_EQ(ReadText(good.substr(0, good.size() - 12)), 0);
  std::string other = good;
  other.replace(other.find("data.frame"), 10, "matrix");
  EXPECT_EQ(ReadText(other), 0);
  // Structures nested past any real file.
  std::string deep;
  for (int i = 0; i < 200; ++i) deep += "s\nstructure\n1\n";
  EXPECT_EQ(ReadText(Frame(deep, 1, 1)), 0);
}

}  // namespace
}  // namespace trovadex
