#include <filesystem>
#include <string>
#include <vector>

#include "core/dataset.h"
#include "matrix_support.h"
#include "readers/json_mini.h"
#include "readers/readers.h"
#include "test_support.h"

namespace trovadex {
namespace {

namespace fs = std::filesystem;
using test::StateTest;

class MatlabReaderTest : public StateTest {
 protected:
  int16_t Read(const std::string& path) {
    testing::internal::CaptureStdout();
    int16_t ok = ReadMatlab(path.c_str());
    output = testing::internal::GetCapturedStdout();
    return ok;
  }
  std::string output;
};

// Every file scipy wrote: the first matrix with the values scipy reads back,
// or a refusal for element types other than double.
TEST_F(MatlabReaderTest, FilesWrittenByScipy) {
  TROVADEX_NEED_SHARED();
  int cases = 0;
  for (const auto& e : fs::directory_iterator(test::SharedDir() + "/corpus/matlab")) {
    const std::string file = e.path().string();
    if (e.path().extension() != ".json") continue;
    test::Json expected;
    ASSERT_TRUE(test::JsonParser(test::ReadFile(file)).Parse(expected)) << file;
    const std::string input = e.path().parent_path() / expected.Get("input")->text;
    SCOPED_TRACE(input);
    ResetState();
    State().interceptFatal = true;
    if (expected.Get("expect")->text != "ok") {
      EXPECT_EQ(Read(input), 0);
      EXPECT_NE(output.find("Only real double matrices"), std::string::npos) << output;
      continue;
    }
    ASSERT_EQ(Read(input), 1) << output;
    Dataset* d = CurrentDataset();
    EXPECT_EQ(d->shape, DatasetShape::Matrix);
    EXPECT_EQ(d->rowCount, static_cast<int32_t>(expected.Get("rows")->number));
    const auto& columns = expected.Get("columns")->items;
    ASSERT_EQ(d->columnCount, static_cast<int32_t>(columns.size()));
    for (std::size_t c = 0; c < columns.size(); ++c) {
      Column* column = ColumnAt(d, static_cast<int32_t>(c + 1));
      EXPECT_EQ(column->name, columns[c].Get("name")->text);
      EXPECT_EQ(column->kind, ColumnKind::MatrixColumn);
      const auto& values = columns[c].Get("values")->items;
      for (std::size_t r = 0; r < values.size(); ++r) {
        const double want = values[r].type == test::Json::Null ? kMissingValue : values[r].number;
        EXPECT_EQ(GetNumber(column, static_cast<int64_t>(r)), want) << "column " << c + 1 << " row " << r;
      }
    }
    ++cases;
  }
  EXPECT_GE(cases, 4);
}

TEST_F(MatlabReaderTest, PublicSampleFiles) {
  TROVADEX_NEED_SHARED();
  const std::string dir = test::SharedDir() + "/corpus-public/matlab4/";
  ASSERT_EQ(Read(dir + "test_mat4_le_floats.mat"), 1) << output;
  EXPECT_EQ(CurrentDataset()->name, "a");
  EXPECT_EQ(test::Numbers(ColumnAt(CurrentDataset(), 1)), std::vector<double>{0.1});
  EXPECT_EQ(test::Numbers(ColumnAt(CurrentDataset(), 2)), std::vector<double>{1.2});
  // A 2 x 1 vector "fit_params" followed by a second matrix.
  ASSERT_EQ(Read(dir + "testvec_4_GLNX86.mat"), 1) << output;
  EXPECT_EQ(CurrentDataset()->name, "fit_params");
  EXPECT_EQ(CurrentDataset()->rowCount, 2);
  EXPECT_EQ(CurrentDataset()->columnCount, 1);
  // Big-endian files (type 1000) are refused.
  EXPECT_EQ(Read(dir + "testdouble_4.2c_SOL2.mat"), 0);
  // 134217728 x 3 announced, 1 KB there: refused before anything is sized.
  EXPECT_EQ(Read(dir + "debigged_m4.mat"), 0);
  EXPECT_NE(output.find("ends inside its first matrix"), std::string::npos) << output;
}

TEST(MatlabEndToEnd, ProgramExitCodes) {
  TROVADEX_NEED_SHARED();
  test::TempDir dir;
  const std::string public4 = test::SharedDir() + "/corpus-public/matlab4/";
  for (const char* name : {"testmatrix_4.2c_SOL2.mat", "debigged_m4.mat", "test_mat4_le_floats.mat"})
    fs::copy_file(public4 + name, dir / name);
  EXPECT_EQ(test::RunTrovadex({"testmatrix_4.2c_SOL2.mat", "a.csv"}, dir.path().string()).exitCode, 3);
  auto cut = test::RunTrovadex({"debigged_m4.mat", "b.csv"}, dir.path().string());
  EXPECT_EQ(cut.exitCode, 5);
  EXPECT_NE(cut.output.find("ends inside its first matrix"), std::string::npos) << cut.output;
  auto good = test::RunTrovadex({"test_mat4_le_floats.mat", "c.crv"}, dir.path().string());
  EXPECT_EQ(good.exitCode, 0) << good.output;
  EXPECT_NE(test::ReadFile(dir / "c.crv").find("MATRIX"), std::string::npos);
}

}  // namespace
}  // namespace trovadex
