#include <cmath>
#include <string>
#include <vector>

#include "core/byteorder.h"
#include "core/dataset.h"
#include "matrix_support.h"
#include "readers/json_mini.h"
#include "readers/readers.h"
#include "test_support.h"
#include "writers/writers.h"

namespace trovadex {
namespace {

using test::StateTest;

constexpr double kM = kMissingValue;

// Prints each variable scipy finds as JSON: name, then the rows (NaN as null).
constexpr const char* kLoadScript = R"(import json, math, sys
import scipy.io
m = scipy.io.loadmat(sys.argv[1])
out = {k: [[None if math.isnan(x) else x for x in row] for row in v.tolist()]
       for k, v in m.items() if not k.startswith('__')}
print(json.dumps(out))
)";

class MatlabWriterTest : public StateTest {
 protected:
  test::TempDir dir;
  std::string path = dir / "out.mat";
  std::string Header() { return test::ReadFile(path).substr(0, 20); }
};

// Missing values, a short column, factors by number and by level value, a
// skipped text column: scipy reads every element, NaN where nothing is.
TEST_F(MatlabWriterTest, ScipyReadsEveryValue) {
  if (!test::Available("/usr/bin/python3 -c 'import scipy.io'")) GTEST_SKIP() << "python3-scipy absent";
  Dataset* d = test::NewDataset(3, "50%done");
  test::AddNumbers(d, "x", {1.5, kM, -1e-300});
  test::AddTexts(d, "t", {"a", "b", "c"});
  test::AddNumbers(d, "short", {0.1});
  Column* byValue = test::AddNumbers(d, "f", {2, 1, 0}, ColumnKind::Factor);
  byValue->levelCount = 2;
  byValue->factorDisplay = 1;
  SetLevelValueList(byValue, {10.5, 20});
  Column* byNumber = test::AddNumbers(d, "g", {3, kM, 1}, ColumnKind::Factor);
  byNumber->levelCount = 3;
  ASSERT_EQ(WriteMatlab(d, path.c_str()), 1);
  EXPECT_EQ(d->name, "50Pdone");

  test::WriteFile(dir / "load.py", kLoadScript);
  std::string out;
  ASSERT_EQ(test::RunCommand("/usr/bin/python3 " + (dir / "load.py") + " " + path, &out), 0) << out;
  test::Json json;
  ASSERT_TRUE(test::JsonParser(out).Parse(json)) << out;
  const test::Json* m = json.Get("50Pdone");
  ASSERT_NE(m, nullptr) << out;
  const double nan = std::nan("");
  const std::vector<std::vector<double>> want = {
      {1.5, 0.1, 20, 3}, {nan, nan, 10.5, nan}, {-1e-300, nan, nan, 1}};
  ASSERT_EQ(m->items.size(), want.size());
  for (std::size_t r = 0; r < want.size(); ++r) {
    ASSERT_EQ(m->items[r].items.size(), want[r].size());
    for (std::size_t c = 0; c < want[r].size(); ++c) {
      const test::Json& v = m->items[r].items[c];
      if (std::isnan(want[r][c]))
        EXPECT_EQ(v.type, test::Json::Null) << r << "," << c;
      else
        EXPECT_EQ(v.number, want[r][c]) << r << "," << c;
    }
  }
  // The missing pattern is the documented NaN, and our reader takes it back as missing.
  EXPECT_EQ(test::ReadFile(path).substr(20 + 8 + 8, 8), std::string("\0\0\0\0\xFF\xFF\xFF\x7F", 8));
  ResetState();
  ASSERT_EQ(ReadMatlab(path.c_str()), 1);
  EXPECT_EQ(test::Numbers(ColumnAt(CurrentDataset(), 2)), (std::vector<double>{0.1, kM, kM}));
}

TEST_F(MatlabWriterTest, NamesAndRefusals) {
  struct Case {
    const char* name;
    std::string written;
  } cases[] = {{"LongMatrixName", std::string("LongMatr\0", 9)}, {"", std::string("data\0", 5)},
               {"_x%y", std::string("XxPy\0", 5)}};
  for (const Case& c : cases) {
    ResetState();
    Dataset* d = test::NewDataset(1, c.name);
    test::AddNumbers(d, "v", {1});
    ASSERT_EQ(WriteMatlab(d, path.c_str()), 1);
    const std::string bytes = test::ReadFile(path);
    EXPECT_EQ(LoadI32LE(&bytes[16]), static_cast<int32_t>(c.written.size()));
    EXPECT_EQ(bytes.substr(20, c.written.size()), c.written);
  }
  // Texts only: nothing numeric to write.
  ResetState();
  Dataset* d = test::NewDataset(2);
  test::AddTexts(d, "t", {"a", "b"});
  testing::internal::CaptureStdout();
  EXPECT_EQ(WriteMatlab(d, path.c_str()), 0);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("no numeric columns"), std::string::npos);
  // A directory cannot be written as a file.
  testing::internal::CaptureStdout();
  test::AddNumbers(d, "v", {1, 2});
  EXPECT_EQ(WriteMatlab(d, dir.path().c_str()), 0);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("could not open file"), std::string::npos);
}

// A symmetric matrix goes out in full: the stored lower triangle mirrored.
TEST_F(MatlabWriterTest, SymmetricMatrixMirrored) {
  Dataset* d = test::NewDataset(3, "S");
  d->shape = DatasetShape::SymmetricMatrix;
  test::AddNumbers(d, "1", {1, 2, 3}, ColumnKind::SymmetricMatrixColumn);
  test::AddNumbers(d, "2", {4, 5}, ColumnKind::SymmetricMatrixColumn);
  test::AddNumbers(d, "3", {6}, ColumnKind::SymmetricMatrixColumn);
  ASSERT_EQ(WriteMatlab(d, path.c_str()), 1);
  ResetState();
  ASSERT_EQ(ReadMatlab(path.c_str()), 1);
  Dataset* back = CurrentDataset();
  EXPECT_EQ(test::Numbers(ColumnAt(back, 1)), (std::vector<double>{1, 2, 3}));
  EXPECT_EQ(test::Numbers(ColumnAt(back, 2)), (std::vector<double>{2, 4, 5}));
  EXPECT_EQ(test::Numbers(ColumnAt(back, 3)), (std::vector<double>{3, 5, 6}));
}

TEST(MatlabEndToEnd, DelimitedToMatlabAndBack) {
  test::TempDir dir;
  test::WriteFile(dir / "in.csv", "a,b,name\n1.25,2,x\n3,,y\n");
  auto run = test::RunTrovadex({"in.csv", "m.mat"}, dir.path().string());
  ASSERT_EQ(run.exitCode, 0) << run.output;
  auto back = test::RunTrovadex({"m.mat", "m.csv"}, dir.path().string());
  ASSERT_EQ(back.exitCode, 0) << back.output;
  const std::string csv = test::ReadFile(dir / "m.csv");
  EXPECT_NE(csv.find("1.25"), std::string::npos) << csv;
  EXPECT_NE(csv.find("3"), std::string::npos) << csv;
}

}  // namespace
}  // namespace trovadex
