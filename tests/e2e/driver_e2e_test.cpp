// The built program on real files: exit codes, messages, which files a run
// deletes, writes or leaves alone.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "test_support.h"

namespace trovadex {
namespace {

namespace fs = std::filesystem;
using test::RunTrovadex;

// A file that is always detected (SAS 7/8 data set) and always refused.
void WriteRefusedInput(const std::string& path) {
  std::string bytes(200, '\0');
  bytes.replace(12, 4, "\xC2\xEA\x81\x60");
  bytes.replace(84, 8, "SAS FILE");
  test::WriteFile(path, bytes);
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// Skips a test that needs a reader or writer this build lacks.
#define SKIP_WITHOUT_FORMATS(result)                                              \
  do {                                                                            \
    if (Contains((result).output, "cannot read files of this type yet") ||        \
        Contains((result).output, "cannot write files of this type yet"))         \
      GTEST_SKIP() << "reader or writer not built yet: " << (result).output;      \
  } while (0)

TEST(DriverRun, NoArgumentsShowsTheUsageScreen) {
  test::TempDir dir;
  test::RunResult r = RunTrovadex({}, dir.path().string());
  EXPECT_EQ(r.exitCode, 1);
  const std::string first =
      "Trovadex - Translates Spreadsheet/Database files into Corvist/Gauss format.\n";
  EXPECT_EQ(r.output.substr(0, first.size()), first);
  const std::string body =
      "Supported Files: Excel 2-5,95-2000, Lotus WK1, Quattro WQ1,WB*, dBase2-5, Stata\n"
      "Paradox 3-5, Corvist CRS, SAS PC 6.03-7.0, Minitab 8-13, Systat, MStat, Instat\n"
      "Epi-Info, SPSS/Win, Gauss Data/Matrix (PC/Win/Unix), MatLab, S+ (PC/Unix/Text)\n"
      "ArcView/Info Shapefiles, MapInfo Interchange (MIF), Comma Delimited Text (CSV)\n\n"
      "Usage: Trovadex Inputfile/options Outputfile/options <Sheet> <Range>\n"
      "   Inputfile  - name of file to take data from (+/v takes names from .VAR file)\n"
      "   Outputfile - name of file to write data to - extension determines file type:\n"
      "                .CRS - Corvist spreadsheet file loaded with SPLOAD\n"
      "                .CRV - Corvist command file loaded with INPUT\n"
      "                .FMT - Gauss PC Matrix file loaded with LOADM\n"
      "                .TXT - ASCII Text file (Note +/s produces suffixed Identifiers)\n"
      "                .DBF - dBase 3 file,  .WOR - Instat Worksheet file\n"
      "                .XLS - Excel 95 Spreadsheet file, .SDD - S+ Data Frame\n"
      "   Sheet      - optional number or name of worksheet or named range within a\n"
      "                spreadsheet file to take data from (enclose names containing\n"
      "                spaces in quotes eg \"Sheet One\").\n"
      "   Range      - optional range of cells within a worksheet to take data from\n"
      "                eg B3:D12 or AB2:AZ1201.\n"
      "Examples: Trovadex Test.DBF Test.CRS/s  (Suffixed Ids C[1] etc)\n"
      "          Trovadex Test.XLS Test.CRV 2  (ie take second sheet)\n"
      "          Trovadex Test.WB2 Test.FMT \"Sheet One\" B2:AA1001\n"
      "          Trovadex Test.XLS Test.DBF DataRange (a named range)\n"
      "          Trovadex Test.WB2 Test.TXT A C1:K100";
  ASSERT_GE(r.output.size(), body.size());
  EXPECT_EQ(r.output.substr(r.output.size() - body.size()), body);
  // Exactly two lines of maker and contact between the title and the formats.
  std::string middle = r.output.substr(first.size(), r.output.size() - first.size() - body.size());
  EXPECT_EQ(std::count(middle.begin(), middle.end(), '\n'), 2) << middle;
}

TEST(DriverRun, MissingInputExitsTwoAndLeavesTheOutput) {
  test::TempDir dir;
  test::WriteFile(dir / "out.crv", "old");
  test::RunResult r = RunTrovadex({"absent.csv", "out.crv"}, dir.path().string());
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_EQ(r.output, "Error: Input File absent.csv not found!\n");
  EXPECT_EQ(test::ReadFile(dir / "out.crv"), "old");
}

TEST(DriverRun, OutputOptionStaysInTheInputArgument) {
  test::TempDir dir;
  test::WriteFile(dir / "data.xls", "a,b\n1,2\n");
  test::RunResult r = RunTrovadex({"data.xls/k/s", "out.crv"}, dir.path().string());
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_EQ(r.output, "Error: Input File data.xls/s not found!\n");
}

TEST(DriverRun, UnknownTypeExitsThree) {
  test::TempDir dir;
  test::WriteFile(dir / "junk.bin", std::string("\x01\x02\x03\xFF\xFE junk", 10));
  test::WriteFile(dir / "out.crv", "old");
  test::RunResult r = RunTrovadex({"junk.bin", "out.crv"}, dir.path().string());
  EXPECT_EQ(r.exitCode, 3);
  EXPECT_EQ(r.output, "Error: Unknown File type!\n");
  EXPECT_EQ(test::ReadFile(dir / "out.crv"), "old");
}

TEST(DriverRun, SameFileInOtherCaseOrThroughDotIsRefused) {
  test::TempDir dir;
  const std::string csv = "a,b\n1,2\n";
  test::WriteFile(dir / "a.csv", csv);
  test::WriteFile(dir / "A.CSV", "other");
  struct Case {
    std::string input;
    std::string output;
  } cases[] = {{"a.csv", "A.CSV"}, {"./a.csv", "a.csv"}, {"a.csv", "./a.csv"},
               {"a.csv", dir / "a.csv"}};
  for (const Case& c : cases) {
    test::RunResult r = RunTrovadex({c.input, c.output}, dir.path().string());
    EXPECT_EQ(r.exitCode, 6) << c.input << " " << c.output;
    EXPECT_EQ(r.output, "Error: Output File " + c.output +
                            " is the same as the input file!\n");
    EXPECT_EQ(test::ReadFile(dir / "a.csv"), csv);
    EXPECT_EQ(test::ReadFile(dir / "A.CSV"), "other");
  }
}

TEST(DriverRun, OptionsGluedToRelativePathsWithDirectories) {
  test::TempDir dir;
  fs::create_directories(dir.path() / "data");
  fs::create_directories(dir.path() / "out");
  WriteRefusedInput(dir / "data/trial.sas7bdat");
  test::WriteFile(dir / "out/put.crv", "old");
  test::RunResult r =
      RunTrovadex({"data/trial.sas7bdat/t=2/k", "out/put.crv/p"}, dir.path().string());
  EXPECT_EQ(r.exitCode, 5);
  EXPECT_EQ(r.output,
            "Sorry, SAS Version 7/8 files not yet supported.\n"
            " Error: No valid data in input file data/trial.sas7bdat!\n");
  // The named output is kept, and its temporary file was made and removed
  // under the whole name.
  EXPECT_EQ(test::ReadFile(dir / "out/put.crv"), "old");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path() / "out"), fs::directory_iterator()), 1);
}

TEST(DriverRun, OptionsGluedToAbsolutePathsWithDirectories) {
  test::TempDir dir;
  fs::create_directories(dir.path() / "tables");
  std::string input = dir / "tables/trial.sas7bdat";
  std::string output = dir / "tables/put.crv";
  WriteRefusedInput(input);
  test::WriteFile(output, "old");
  test::RunResult r = RunTrovadex({input + "/y/x=NA", output + "/q/s"}, dir.path().string());
  EXPECT_EQ(r.exitCode, 5);
  EXPECT_TRUE(Contains(r.output, " Error: No valid data in input file " + input + "!\n"))
      << r.output;
  EXPECT_EQ(test::ReadFile(output), "old");
  EXPECT_FALSE(fs::exists(dir.path() / "tables/put.$$$"));
}

TEST(DriverRun, DefaultOutputNoteAndListingMode) {
  test::TempDir dir;
  WriteRefusedInput(dir / "in.sas7bdat");
  test::WriteFile(dir / "Trovadex.CRS", "old");
  test::RunResult r = RunTrovadex({"in.sas7bdat"}, dir.path().string());
  EXPECT_EQ(r.exitCode, 5);
  EXPECT_EQ(r.output.substr(0, 47), "Note: Writing data to Trovadex.CRS by default.\n");
  EXPECT_EQ(test::ReadFile(dir / "Trovadex.CRS"), "old");

  // Listing the sheets: no note, and the output is not deleted.
  test::WriteFile(dir / "Trovadex.CRS", "old");
  test::WriteFile(dir / "out.crv", "old");
  r = RunTrovadex({"in.sas7bdat/w"}, dir.path().string());
  EXPECT_FALSE(Contains(r.output, "Note:")) << r.output;
  EXPECT_EQ(test::ReadFile(dir / "Trovadex.CRS"), "old");
  r = RunTrovadex({"in.sas7bdat/w", "out.crv"}, dir.path().string());
  EXPECT_EQ(test::ReadFile(dir / "out.crv"), "old");
}

TEST(DriverRun, OnlyRegularFilesAreDeleted) {
  test::TempDir dir;
  WriteRefusedInput(dir / "in.sas7bdat");
  fs::create_directories(dir.path() / "out.crv");
  fs::create_directories(dir.path() / "TxtToNum.ERR");
  test::RunResult r = RunTrovadex({"in.sas7bdat", "out.crv"}, dir.path().string());
  EXPECT_EQ(r.exitCode, 6);
  EXPECT_EQ(r.output, "Error: Output out.crv is not a regular file.\n");
  EXPECT_TRUE(fs::is_directory(dir.path() / "out.crv"));
  EXPECT_TRUE(fs::is_directory(dir.path() / "TxtToNum.ERR"));

  // An old warnings file goes at the start of every run.
  fs::remove(dir.path() / "TxtToNum.ERR");
  test::WriteFile(dir / "TxtToNum.ERR", "old warnings");
  RunTrovadex({"in.sas7bdat", "out.crv"}, dir.path().string());
  EXPECT_FALSE(fs::exists(dir.path() / "TxtToNum.ERR"));
}

// ---------------------------------------------------------------- with the text reader

std::string Example() { return test::ReadFile(test::SourceDir() + "/examples/trial.csv"); }

TEST(DriverRun, ConvertsTheExampleAndMovesTheTemporaryFile) {
  test::TempDir dir;
  test::WriteFile(dir / "trial.csv", Example());
  test::WriteFile(dir / "trial.crv", "old");
  test::RunResult r = RunTrovadex({"trial.csv", "trial.crv"}, dir.path().string());
  SKIP_WITHOUT_FORMATS(r);
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_TRUE(Contains(r.output, " 6 records transferred.\n")) << r.output;
  std::string out = test::ReadFile(dir / "trial.crv");
  EXPECT_TRUE(Contains(out, "variety")) << out;
  EXPECT_FALSE(fs::exists(dir.path() / "trial.$$$"));
  EXPECT_FALSE(fs::exists(dir.path() / "trial.VAR"));
}

TEST(DriverRun, MissingOutputDirectoryIsFoundBeforeReading) {
  test::TempDir dir;
  test::WriteFile(dir / "trial.csv", Example());
  // The temporary file cannot be created in a missing directory.
  test::RunResult r = RunTrovadex({"trial.csv", "missing/out.crv"}, dir.path().string());
  SKIP_WITHOUT_FORMATS(r);
  EXPECT_EQ(r.exitCode, 6) << r.output;
  EXPECT_EQ(r.output, " Output file not written! (No valid records?).\n Reason: No such file or directory\n");
}

TEST(DriverRun, NamesFileIsWrittenThenApplied) {
  test::TempDir dir;
  test::WriteFile(dir / "trial.csv", Example());
  test::RunResult r = RunTrovadex({"trial.csv/v", "first.crv"}, dir.path().string());
  SKIP_WITHOUT_FORMATS(r);
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(test::ReadFile(dir / "trial.VAR"),
            "5\r\nplot\r\nblock\r\nvariety\r\nyield\r\nheight\r\n");

  // Edited by hand: rename, drop, factor, number, text.
  test::WriteFile(dir / "trial.VAR", "5\nplot\n*block\nvariety!\nweight#\nheight$\n");
  r = RunTrovadex({"trial.csv/v", "second.crv"}, dir.path().string());
  ASSERT_EQ(r.exitCode, 0) << r.output;
  std::string out = test::ReadFile(dir / "second.crv");
  EXPECT_TRUE(Contains(out, "weight")) << out;
  EXPECT_TRUE(Contains(out, "FACTOR")) << out;
  EXPECT_FALSE(Contains(out, "block")) << out;
  EXPECT_FALSE(Contains(out, "yield")) << out;
  EXPECT_TRUE(fs::exists(dir.path() / "trial.VAR"));

  // With the marker in the output name an applied names file is deleted.
  r = RunTrovadex({"trial.csv/v", "Q17Xthird.crv"}, dir.path().string());
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_FALSE(fs::exists(dir.path() / "trial.VAR"));
}

TEST(DriverRun, SlashPWritesTheNamesFileBesideTheOutput) {
  test::TempDir dir;
  test::WriteFile(dir / "trial.csv", Example());
  test::RunResult r = RunTrovadex({"trial.csv", "out.crv/p"}, dir.path().string());
  SKIP_WITHOUT_FORMATS(r);
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_TRUE(fs::exists(dir.path() / "out.crv"));
  EXPECT_EQ(test::ReadFile(dir / "out.$V$"),
            "5\r\nplot\r\nblock\r\nvariety\r\nyield\r\nheight\r\n");
}

TEST(DriverRun, NamesFromTheNamesFileAreMadeUniqueForCorvist) {
  test::TempDir dir;
  test::WriteFile(dir / "trial.csv", Example());
  test::WriteFile(dir / "trial.VAR", "5\nx\nx\n");
  test::RunResult r = RunTrovadex({"trial.csv/v", "out.crv"}, dir.path().string());
  SKIP_WITHOUT_FORMATS(r);
  ASSERT_EQ(r.exitCode, 0) << r.output;
  std::string out = test::ReadFile(dir / "out.crv");
  EXPECT_TRUE(Contains(out, " x1")) << out;
}

}  // namespace
}  // namespace trovadex
