#include <string>
#include <vector>

#include "core/dataset.h"
#include "matrix_support.h"
#include "readers/readers.h"
#include "test_support.h"
#include "writers/writers.h"

namespace trovadex {
namespace {

using test::StateTest;

constexpr double kM = kMissingValue;

// Prints the restored object: its name, row names, then per column its name,
// class and values (numbers with 17 digits, factors as levels and codes).
constexpr const char* kRestoreScript = R"(suppressMessages(library(foreign))
e <- new.env()
invisible(data.restore(commandArgs(TRUE)[1], env = e))
d <- get(ls(e)[1], envir = e)
cat("object", ls(e), class(d), "\n", sep = "|")
cat("rows", row.names(d), "\n", sep = "|")
for (n in names(d)) {
  v <- d[[n]]
  if (is.factor(v)) cat(n, "factor", levels(v), "codes", as.integer(v), "\n", sep = "|")
  else if (is.numeric(v)) cat(n, "numeric", ifelse(is.na(v), "NA", sprintf("%.17g", v)), "\n", sep = "|")
  else cat(n, class(v), v, "\n", sep = "|")
}
)";

class SplusDumpWriterTest : public StateTest {
 protected:
  test::TempDir dir;
  std::string path = dir / "trial.sdd";

  // Row names, a short column, factors by label (one level unused) and by
  // level value, texts with a line break, a name with a line break.
  Dataset* Sample() {
    Dataset* d = test::NewDataset(3);
    test::AddTexts(d, "RowName", {"r1", "r2", "r3"}, ColumnKind::TextUnits);
    d->unitsColumnCount = 2;
    test::AddNumbers(d, "x", {1.5, kM, 0.1 + 0.2});
    test::AddNumbers(d, "short", {7});
    Column* f = test::AddNumbers(d, "f", {1, 2, 1}, ColumnKind::Factor);
    f->levelCount = 3;
    f->factorDisplay = 2;
    SetLabelList(f, {"low", "mid", "high"});
    Column* g = test::AddNumbers(d, "g", {2, 0, 1}, ColumnKind::Factor);
    g->levelCount = 2;
    g->factorDisplay = 1;
    SetLevelValueList(g, {10.5, 20});
    test::AddTexts(d, "bad\nname", {"line\nbreak", "N", ""});
    return d;
  }
};

TEST_F(SplusDumpWriterTest, RestoredByR) {
  if (!test::Available("Rscript -e 'library(foreign)'")) GTEST_SKIP() << "R foreign absent";
  ASSERT_EQ(WriteSplusDump(Sample(), path.c_str()), 1);
  test::WriteFile(dir / "restore.R", kRestoreScript);
  std::string out;
  ASSERT_EQ(test::RunCommand("Rscript " + (dir / "restore.R") + " " + path + " 2>&1", &out), 0) << out;
  const std::string want =
      "object|trial|data.frame|\n"
      "rows|r1|r2|r3|\n"
      "x|numeric|1.5|NA|0.30000000000000004|\n"
      "short|numeric|7|NA|NA|\n"
      "f|factor|low|mid|high|codes|1|2|1|\n"
      "g|factor|10.5|20|codes|2|NA|1|\n"
      "bad_name|character|line break|N ||\n";
  EXPECT_EQ(out, want);
}

TEST_F(SplusDumpWriterTest, ReadBackByOurReader) {
  ASSERT_EQ(WriteSplusDump(Sample(), path.c_str()), 1);
  ResetState();
  testing::internal::CaptureStdout();
  ASSERT_EQ(ReadSplusText(path.c_str()), 1) << testing::internal::GetCapturedStdout();
  testing::internal::GetCapturedStdout();
  Dataset* d = CurrentDataset();
  ASSERT_EQ(d->columnCount, 6);
  EXPECT_EQ(ColumnAt(d, 1)->kind, ColumnKind::TextUnits);
  EXPECT_EQ(test::Texts(ColumnAt(d, 1)), (std::vector<std::string>{"r1", "r2", "r3"}));
  EXPECT_EQ(test::Numbers(ColumnAt(d, 2)), (std::vector<double>{1.5, kM, 0.1 + 0.2}));
  EXPECT_EQ(test::Numbers(ColumnAt(d, 3)), (std::vector<double>{7, kM, kM}));
  Column* f = ColumnAt(d, 4);
  EXPECT_EQ(f->kind, ColumnKind::Factor);
  EXPECT_EQ(f->levelCount, 3);
  EXPECT_EQ(f->labels.Get(2), "high");
  EXPECT_EQ(test::Numbers(f), (std::vector<double>{1, 2, 1}));
  EXPECT_EQ(ColumnAt(d, 5)->labels.Get(0), "10.5");
  EXPECT_EQ(test::Numbers(ColumnAt(d, 5)), (std::vector<double>{2, kM, 1}));
  EXPECT_EQ(test::Texts(ColumnAt(d, 6)), (std::vector<std::string>{"line break", "N", ""}));
}

TEST_F(SplusDumpWriterTest, LayoutWithoutUnitsColumn) {
  Dataset* d = test::NewDataset(2);
  test::AddNumbers(d, "v", {1.5, kM});
  Column* f = test::AddNumbers(d, "f", {1, 1}, ColumnKind::Factor);
  f->levelCount = 1;
  ASSERT_EQ(WriteSplusDump(d, path.c_str()), 1);
  EXPECT_EQ(test::ReadFile(path),
            "trial\r\nstructure\r\n3\r\n.Data\r\nlist\r\n2\r\n"
            "v\r\nnumeric\r\n2\r\n1.5\r\nN\r\n"
            "f\r\nstructure\r\n3\r\n.Data\r\ninteger\r\n2\r\n1\r\n1\r\n.Label\r\ncharacter\r\n1\r\n1\r\n"
            "class\r\ncharacter\r\n1\r\nfactor\r\n"
            "row.names\r\ncharacter\r\n2\r\n1\r\n2\r\nclass\r\ncharacter\r\n1\r\ndata.frame\r\n");
  // Row names that are the row numbers do not come back as a column.
  ResetState();
  ASSERT_EQ(ReadSplusText(path.c_str()), 1);
  EXPECT_EQ(CurrentDataset()->columnCount, 2);

  d = CurrentDataset();
  d->shape = DatasetShape::SymmetricMatrix;
  testing::internal::CaptureStdout();
  EXPECT_EQ(WriteSplusDump(d, (dir / "s.sdd").c_str()), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Error: In Writing SPlus File - can not export symmetric matrix to Splus data transport file!");
}

// A table's classifying factors are columns, not row names.
TEST_F(SplusDumpWriterTest, TableFactorsStayColumns) {
  Dataset* d = test::NewDataset(2);
  d->shape = DatasetShape::Table;
  d->unitsColumnCount = 3;
  test::AddNumbers(d, "A", {1, 2}, ColumnKind::Factor)->levelCount = 2;
  test::AddNumbers(d, "B", {2, 1}, ColumnKind::Factor)->levelCount = 2;
  test::AddNumbers(d, "count", {5, 6}, ColumnKind::TableColumn);
  ASSERT_EQ(WriteSplusDump(d, path.c_str()), 1);
  ResetState();
  ASSERT_EQ(ReadSplusText(path.c_str()), 1);
  Dataset* back = CurrentDataset();
  ASSERT_EQ(back->columnCount, 3);
  EXPECT_EQ(ColumnAt(back, 1)->name, "A");
  EXPECT_EQ(test::Numbers(ColumnAt(back, 2)), (std::vector<double>{2, 1}));
  EXPECT_EQ(test::Numbers(ColumnAt(back, 3)), (std::vector<double>{5, 6}));
}

TEST(SplusDumpEndToEnd, DelimitedToDumpAndBack) {
  test::TempDir dir;
  test::WriteFile(dir / "in.csv", "site,yield\nnorth,1.25\nsouth,\n");
  ASSERT_EQ(test::RunTrovadex({"in.csv", "out.sdd"}, dir.path().string()).exitCode, 0);
  auto back = test::RunTrovadex({"out.sdd", "out.crv"}, dir.path().string());
  ASSERT_EQ(back.exitCode, 0) << back.output;
  const std::string crv = test::ReadFile(dir / "out.crv");
  EXPECT_NE(crv.find("'north' 'south'"), std::string::npos) << crv;
  EXPECT_NE(crv.find("1.25 *"), std::string::npos) << crv;
}

}  // namespace
}  // namespace trovadex
