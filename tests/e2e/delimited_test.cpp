#include <gtest/gtest.h>

#include <string>

#include "test_support.h"

namespace trovadex {
namespace {

TEST(DelimitedEndToEnd, CsvToTab) {
  test::TempDir dir;
  test::WriteFile(dir / "trial.csv", "plot,yield,variety\r\n1,2.5,\"Maris, Piper\"\r\n2,*,O'Brien\r\n");
  test::RunResult run = test::RunTrovadex({"trial.csv", "trial.tab"}, dir.path().string());
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_EQ(run.output, " 2 records transferred.\n");
  EXPECT_EQ(test::ReadFile(dir / "trial.tab"),
            "plot\tyield\tvariety\r\n1\t2.5\tMaris, Piper\r\n2\t*\tO'Brien\r\n");
}

TEST(DelimitedEndToEnd, TabToCsvWithAndWithoutQuoting) {
  test::TempDir dir;
  test::WriteFile(dir / "in.tab", "name\tn\nO'Neil\t1\nAl\t22\n");
  test::RunResult run = test::RunTrovadex({"in.tab", "out.csv"}, dir.path().string());
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_EQ(test::ReadFile(dir / "out.csv"), "name,      n\r\n'O''Neil', 1\r\n'Al'     ,22\r\n");
  run = test::RunTrovadex({"in.tab", "plain.csv/-"}, dir.path().string());
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_EQ(test::ReadFile(dir / "plain.csv"), "name,   n\r\nO'Neil, 1\r\nAl    ,22\r\n");
}

TEST(DelimitedEndToEnd, BlanksOptionAndNamesOption) {
  test::TempDir dir;
  test::WriteFile(dir / "in.csv", "a,b\n x  y ,1\n");
  test::RunResult run = test::RunTrovadex({"in.csv/k", "out.tab"}, dir.path().string());
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_EQ(test::ReadFile(dir / "out.tab"), "a\tb\r\nx  y \t1\r\n");
  run = test::RunTrovadex({"in.csv/n", "out2.tab"}, dir.path().string());
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_EQ(run.output, " 2 records transferred.\n");
  EXPECT_EQ(test::ReadFile(dir / "out2.tab"), "C1\tC2\r\na\tb\r\nx y\t1\r\n");
}

TEST(DelimitedEndToEnd, HeaderOnlyFileHasNoData) {
  test::TempDir dir;
  test::WriteFile(dir / "in.csv", "a,b\n");
  test::RunResult run = test::RunTrovadex({"in.csv", "out.tab"}, dir.path().string());
  EXPECT_EQ(run.exitCode, 5) << run.output;
  EXPECT_EQ(run.output, " Error: No valid data in input file in.csv!\n");
}

}  // namespace
}  // namespace trovadex
