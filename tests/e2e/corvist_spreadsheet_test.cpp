// The Corvist spreadsheet through the built program: the default output,
// damaged inputs, and delimited text carried through ".crs" to other outputs.
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "core/dataset.h"
#include "readers/corvist_spreadsheet_bytes.h"
#include "readers/corvist_spreadsheet_shapes.h"
#include "readers/readers.h"
#include "test_support.h"
#include "writers/writers.h"

namespace trovadex {
namespace {

using test::CrsBytes;
using test::StateTest;
using test::TempDir;

// A version 3 file: one Variate "x" (1.5, 2), one Text "t" ("ab", "c"),
// a factor "f" with labels, and a restriction on the second row.
std::string SmallFile() {
  CrsBytes b;
  b.I32(54415441).I32(1).I32(4).I32(2).F64(-1e307).I32(0).I32(0).I32(0).I32(0).I32(0);
  b.I32(4).I32(2).Str("x").Str("").I32(1).I32(8).I32(0).I32(3).I32(0).I32(0);
  b.I32(1).F64(1.5).F64(2);
  b.I32(3).I32(2).Str("t").Str("").I32(4).I32(5).I32(0).I32(3).I32(0).I32(0);
  b.I32(2).Str("ab").Str("c");
  b.I32(2).I32(2).Str("f").Str("").I32(4).I32(4).I32(0).I32(3).I32(0).I32(0);
  b.I32(2).I32(0).I32(2).I32(2).I32(2).Str("lo").Str("hi").F64(2).F64(1);
  b.I32(21).I32(2).I32(0).I32(1);
  return b.bytes;
}

class CorvistSpreadsheetEndToEnd : public StateTest {};

TEST_F(CorvistSpreadsheetEndToEnd, DefaultOutputWithItsNote) {
  TempDir dir;
  test::WriteFile(dir / "in.crs", SmallFile());
  test::RunResult r = test::RunTrovadex({"in.crs"}, dir.path().string());
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_NE(r.output.find("Note: Writing data to Trovadex.CRS by default.\n"), std::string::npos)
      << r.output;
  ASSERT_TRUE(std::filesystem::exists(dir / "Trovadex.CRS"));
  // Our own layout going in, the same layout coming out.
  EXPECT_EQ(test::ReadFile(dir / "Trovadex.CRS"), SmallFile());
}

TEST_F(CorvistSpreadsheetEndToEnd, VersionOptionAndByteOrderRoundTrip) {
  TempDir dir;
  test::WriteFile(dir / "big.crs", test::ReverseCrs(SmallFile()));
  for (int version : {1, 2, 3}) {
    const std::string digit(1, static_cast<char>('0' + version));
    const std::string out = std::string("v").append(digit).append(".crs");
    const std::string arg = std::string(out).append("/v=").append(digit);
    test::RunResult r = test::RunTrovadex({"big.crs", arg}, dir.path().string());
    ASSERT_EQ(r.exitCode, 0) << r.output;
    ResetState();
    State().interceptFatal = true;
    InitOptions();
    ASSERT_EQ(ReadCorvistSpreadsheet((dir / out).c_str()), 1);
    Dataset* d = CurrentDataset();
    EXPECT_EQ(d->sheetVersion, version);
    EXPECT_EQ(d->rowCount, 2);
    EXPECT_EQ(d->hasRestriction, 1);
    EXPECT_EQ(GetNumber(ColumnAt(d, 1), 0), 1.5);
    EXPECT_EQ(GetText(ColumnAt(d, 2), 1), "c");
    EXPECT_EQ(ColumnAt(d, 3)->labels.Get(1), "hi");
  }
}

TEST_F(CorvistSpreadsheetEndToEnd, EveryTruncationExitsWithFive) {
  TempDir dir;
  const std::string full = SmallFile();
  // The first 4 bytes decide the format; shorter files are not spreadsheets.
  for (std::size_t n = 4; n < full.size(); ++n) {
    test::WriteFile(dir / "cut.crs", full.substr(0, n));
    test::RunResult r = test::RunTrovadex({"cut.crs", "out.crs"}, dir.path().string());
    EXPECT_EQ(r.exitCode, 5) << "prefix " << n << ": " << r.output;
    EXPECT_FALSE(std::filesystem::exists(dir / "out.crs")) << n;
  }
}

// Delimited text to an output directly and by way of ".crs" gives the same
// file, once the source-file comment is set aside.
std::string WithoutSourceComment(const std::string& text) {
  std::istringstream in(text);
  std::string out, line;
  while (std::getline(in, line)) {
    if (line.find("Data taken from File") != std::string::npos) continue;
    if (line.find("Data read from") != std::string::npos) continue;
    out += line + "\n";
  }
  return out;
}

TEST_F(CorvistSpreadsheetEndToEnd, DelimitedTextThroughTheSpreadsheet) {
  TROVADEX_NEED_SHARED();
  const std::filesystem::path corpus = std::filesystem::path(test::SharedDir()) / "corpus/delimited";
  const char* files[] = {"gnumeric_comma.csv", "pandas_comma.csv", "pandas_nonames.csv",
                         "pspp_comma.csv",     "r_comma.csv",      "r_comma_na_star.csv",
                         "r_semicolon.csv",    "gnumeric_tab.txt", "r_tab.txt"};
  TempDir dir;
  for (const char* output : {"crv", "tab"}) {
    bool ran = false;
    for (const char* name : files) {
      SCOPED_TRACE(std::string(name) + " to ." + output);
      const std::filesystem::path source = corpus / name;
      if (!std::filesystem::exists(source)) continue;
      std::filesystem::copy_file(source, dir.path() / name,
                                 std::filesystem::copy_options::overwrite_existing);
      const std::string direct = std::string("direct.") + output;
      test::RunResult r = test::RunTrovadex({name, direct}, dir.path().string());
      if (r.output.find("This build cannot") != std::string::npos) break;
      ASSERT_EQ(r.exitCode, 0) << r.output;
      r = test::RunTrovadex({name, "mid.crs"}, dir.path().string());
      ASSERT_EQ(r.exitCode, 0) << r.output;
      const std::string through = std::string("through.") + output;
      r = test::RunTrovadex({"mid.crs", through}, dir.path().string());
      ASSERT_EQ(r.exitCode, 0) << r.output;
      EXPECT_EQ(WithoutSourceComment(test::ReadFile(dir / through)),
                WithoutSourceComment(test::ReadFile(dir / direct)));
      ran = true;
    }
    if (ran) return;  // the command file is the main target; the table file stands in for it
  }
  GTEST_SKIP() << "no delimited reader or no output writer in this build";
}

// Every shape a spreadsheet holds reaches the command file as its structure.
TEST_F(CorvistSpreadsheetEndToEnd, EveryShapeToTheCommandFile) {
  using namespace test::crs_shapes;
  struct ShapeCase {
    Dataset* (*make)();
    const char* statement;
  };
  const ShapeCase cases[] = {
      {MakeColumns, "VARIATE [nvalues=4] x"}, {MakeMatrix, "MATRIX ["},
      {MakeSymmetric, "SYMMETRICMATRIX ["},   {MakeDiagonal, "DIAGONALMATRIX ["},
      {MakeOneWayTable, "TABLE ["},           {MakeTwoWayTable, "TABLE ["},
      {MakeScalars, "SCALAR s1"},
  };
  TempDir dir;
  for (const ShapeCase& c : cases) {
    ResetState();
    State().interceptFatal = true;
    InitOptions();
    Dataset* d = c.make();
    ASSERT_EQ(WriteCorvistSpreadsheet(d, (dir / "shape.crs").c_str()), 1);
    test::RunResult r = test::RunTrovadex({"shape.crs", "shape.crv"}, dir.path().string());
    if (r.output.find("This build cannot") != std::string::npos) GTEST_SKIP() << r.output;
    ASSERT_EQ(r.exitCode, 0) << c.statement << ": " << r.output;
    const std::string text = test::ReadFile(dir / "shape.crv");
    EXPECT_NE(text.find(c.statement), std::string::npos) << text;
  }
}

}  // namespace
}  // namespace trovadex
