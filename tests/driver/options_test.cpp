#include "driver/options.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/dataset.h"
#include "driver/run.h"
#include "test_support.h"

namespace trovadex {
namespace {

namespace fs = std::filesystem;

class InputOptions : public test::StateTest {};
class OutputOptions : public test::StateTest {};

TEST_F(InputOptions, EachOptionIsTakenOutAndRecorded) {
  EXPECT_EQ(ParseInputOptions("in.xls/x=NA/k"), "in.xls");
  EXPECT_EQ(State().missingText, "NA");
  EXPECT_EQ(CurrentOptions()->compressBlanks, 0);

  ResetState();
  EXPECT_EQ(ParseInputOptions("in.xls/p=ALL"), "in.xls");
  EXPECT_EQ(State().pointerName, "ALL");

  ResetState();
  EXPECT_EQ(ParseInputOptions("in.wor/f/w/i/v"), "in.wor");
  EXPECT_TRUE(State().instatFactorMode);
  EXPECT_TRUE(State().listSheets);
  EXPECT_EQ(CurrentOptions()->ignoreUserMissing, 1);
  EXPECT_TRUE(State().readNamesFile);
  EXPECT_EQ(CurrentOptions()->compressBlanks, 1);
}

TEST_F(InputOptions, OutputOptionsStayInTheInputArgument) {
  // "/s" is an output option: it stays part of the input path.
  EXPECT_EQ(ParseInputOptions("data.xls/k/s"), "data.xls/s");
  EXPECT_EQ(CurrentOptions()->compressBlanks, 0);
  EXPECT_EQ(CurrentOptions()->suffixedNames, 0);
}

TEST_F(InputOptions, TextToNumberMode) {
  struct Case {
    const char* argument;
    const char* path;
    int mode;
  } cases[] = {
      {"a.csv/t=7", "a.csv", 4}, {"a.csv/t=0", "a.csv", 0}, {"a.csv/t=2", "a.csv", 2},
      {"a.csv/t", "a.csv", 3},   {"a.csv/t=", "a.csv", 3},  {"a.csv/t=x", "a.csvx", 3},
      {"a.csv/t=3/k", "a.csv", 3},
  };
  for (const Case& c : cases) {
    ResetState();
    EXPECT_EQ(ParseInputOptions(c.argument), c.path) << c.argument;
    EXPECT_EQ(State().textToNumberMode, c.mode) << c.argument;
  }
}

TEST_F(InputOptions, InstatMissingCodes) {
  EXPECT_EQ(ParseInputOptions("a.wor/m=*,-99"), "a.wor");
  ASSERT_EQ(State().instatMissingCount, 2);
  EXPECT_EQ(State().instatMissing[0], kMissingValue);
  EXPECT_EQ(State().instatMissing[1], -99.0);
  EXPECT_EQ(State().instatMissing[2], -9999.0);

  ResetState();
  EXPECT_EQ(ParseInputOptions("a.wor/m1.5,2e3,7/k"), "a.wor");
  ASSERT_EQ(State().instatMissingCount, 3);
  EXPECT_EQ(State().instatMissing[0], 1.5);
  EXPECT_EQ(State().instatMissing[1], 2000.0);
  EXPECT_EQ(State().instatMissing[2], 7.0);
  EXPECT_EQ(CurrentOptions()->compressBlanks, 0);

  ResetState();
  EXPECT_EQ(ParseInputOptions("a.wor/m"), "a.wor");
  EXPECT_EQ(State().instatMissingCount, 0);
  EXPECT_EQ(State().instatMissing[0], -9999.0);
}

TEST_F(InputOptions, RangeLayoutAndNamesRow) {
  EXPECT_EQ(ParseInputOptions("a.xls/l=12/n/y"), "a.xls");
  EXPECT_TRUE(State().rangeLayoutInput);
  EXPECT_EQ(State().rangeOccurrence, 12);
  EXPECT_EQ(State().namesRowMode, NamesRowMode::Absent);

  ResetState();
  EXPECT_EQ(ParseInputOptions("a.xls/l"), "a.xls");
  EXPECT_TRUE(State().rangeLayoutInput);
  EXPECT_EQ(State().rangeOccurrence, 1);

  ResetState();
  EXPECT_EQ(ParseInputOptions("a.xls/l=/y"), "a.xls");
  EXPECT_EQ(State().rangeOccurrence, 0);
  EXPECT_EQ(State().namesRowMode, NamesRowMode::Present);
}

TEST_F(InputOptions, MissingTextStopsAtTheNextSlashAndKeepsEightyCharacters) {
  EXPECT_EQ(ParseInputOptions("a.xls/x=-/w"), "a.xls");
  EXPECT_EQ(State().missingText, "-");
  EXPECT_TRUE(State().listSheets);

  ResetState();
  std::string longText(100, 'm');
  EXPECT_EQ(ParseInputOptions("a.xls/x=" + longText), "a.xls");
  EXPECT_EQ(State().missingText, std::string(80, 'm'));
}

TEST_F(InputOptions, DirectoriesAreNotSearchedForOptions) {
  test::TempDir dir;
  fs::create_directories(dir.path() / "tdir" / "work");
  std::string base = (dir.path() / "tdir").string();
  // Absolute: "/tdir", "/work", "/t..." belong to the path.
  EXPECT_EQ(ParseInputOptions(base + "/work/trial.csv/t=2/v"), base + "/work/trial.csv");
  EXPECT_EQ(State().textToNumberMode, 2);
  EXPECT_TRUE(State().readNamesFile);

  ResetState();
  // The options may still follow a directory part only.
  EXPECT_EQ(ParseInputOptions(base + "/work/in.xls/k"), base + "/work/in.xls");
  EXPECT_EQ(CurrentOptions()->compressBlanks, 0);

  // "/" alone is a directory part.
  ResetState();
  EXPECT_EQ(LeadingDirectoryLength("/no-such-thing/w"), 1u);
  EXPECT_EQ(LeadingDirectoryLength(base + "/work/x.csv/k"), base.size() + 6);
  EXPECT_EQ(LeadingDirectoryLength("no-such-dir/x.csv"), 0u);
}

TEST_F(InputOptions, RelativeDirectoriesAreNotSearchedForOptions) {
  test::TempDir dir;
  fs::create_directories(dir.path() / "data");
  fs::path previous = fs::current_path();
  fs::current_path(dir.path());
  std::string kept = ParseInputOptions("data/trial.csv/y");
  NamesRowMode mode = State().namesRowMode;
  ResetState();
  // Without such a directory the text behaves as one argument: "/t" is taken.
  std::string taken = ParseInputOptions("nodir/trial.csv");
  int textMode = State().textToNumberMode;
  fs::current_path(previous);
  EXPECT_EQ(kept, "data/trial.csv");
  EXPECT_EQ(mode, NamesRowMode::Present);
  EXPECT_EQ(taken, "nodirrial.csv");
  EXPECT_EQ(textMode, 3);
}

TEST_F(OutputOptions, EachOptionIsTakenOutAndRecorded) {
  EXPECT_EQ(ParseOutputOptions("out.crv/*/b/p/q/s/u/-/c"), "out.crv");
  EXPECT_TRUE(State().noClosingCommand);
  EXPECT_TRUE(State().endWithEndbreak);
  EXPECT_TRUE(State().writeNamesFile);
  EXPECT_FALSE(State().echoOnReading);
  EXPECT_EQ(CurrentOptions()->suffixedNames, 1);
  EXPECT_EQ(CurrentOptions()->sortLabels, 0);
  EXPECT_EQ(CurrentOptions()->quoteText, 0);
  EXPECT_FALSE(State().splitColour);

  ResetState();
  CurrentOptions()->sortLabels = 0;
  CurrentOptions()->quoteText = 0;
  EXPECT_EQ(ParseOutputOptions("out.crv"), "out.crv");
  EXPECT_EQ(CurrentOptions()->sortLabels, 1);
  EXPECT_EQ(CurrentOptions()->quoteText, 1);
  EXPECT_FALSE(State().writeNamesFile);
  EXPECT_TRUE(State().echoOnReading);
}

TEST_F(OutputOptions, MetadataLayoutAndSpreadsheetVersion) {
  EXPECT_EQ(ParseOutputOptions("out.xls/l=2/q"), "out.xls");
  EXPECT_TRUE(State().metadataLayoutOutput);
  EXPECT_EQ(State().metadataLayoutValue, 2);
  EXPECT_FALSE(State().echoOnReading);

  struct Case {
    const char* argument;
    int version;
  } cases[] = {{"out.crs/v=0", 3}, {"out.crs/v=1", 1}, {"out.crs/v=2", 2},
               {"out.crs/v=9", 3}, {"out.crs/v=-4", 3}, {"out.crs/v=", 3}, {"out.crs", 3}};
  for (const Case& c : cases) {
    ResetState();
    EXPECT_EQ(ParseOutputOptions(c.argument), "out.crs") << c.argument;
    EXPECT_EQ(State().spreadsheetVersion, c.version) << c.argument;
  }
  ResetState();
  EXPECT_EQ(ParseOutputOptions("out.crv/v=0"), "out.crv");
}

TEST_F(OutputOptions, DirectoryNamesStayInThePath) {
  test::TempDir dir;
  fs::create_directories(dir.path() / "out");
  std::string base = (dir.path() / "out").string();
  EXPECT_EQ(ParseOutputOptions(base + "/put.crv/q"), base + "/put.crv");
  EXPECT_FALSE(State().writeNamesFile);
  EXPECT_FALSE(State().echoOnReading);

  ResetState();
  // No such directory: "/p" is an option (the argument as one text).
  EXPECT_EQ(ParseOutputOptions("no-such-out/put.crv"), "no-such-outut.crv");
  EXPECT_TRUE(State().writeNamesFile);
}

TEST(ChooseOutput, EndingsSelectWriterAndColumnLimit) {
  struct Case {
    const char* name;
    int kind;
    bool comma;
    bool tab;
    int limit;
  } cases[] = {
      {"a.crs", 1, false, false, 250},   {"a.CRS", 1, false, false, 250},
      {"a.dbf", 3, false, false, 511},   {"a.crv", 4, false, false, 2048},
      {"a.xls", 5, false, false, 255},   {"result.CSV", 6, true, false, 2048},
      {"result.TXT", 6, false, false, 2048}, {"result.out", 6, false, false, 2048},
      {"a.wq1", 8, false, false, 255},   {"a.sdd", 14, false, false, 2048},
      {"a.wor", 15, false, false, 224},  {"a.fmt", 18, false, false, 2048},
      {"a.mat", 20, false, false, 2048}, {"a.tpt", 28, false, false, 2048},
      {"a.tab", 29, false, true, 2048},  {"a.rtf", 30, false, false, 2048},
      {"result.html", 31, false, false, 2048}, {"result.HTM", 31, false, false, 2048},
      {".crv", 4, false, false, 2048},   {"crv", 6, false, false, 2048},
      {"a.c", 6, false, false, 2048},    {"", 6, false, false, 2048},
      {"x.crv.bak", 6, false, false, 2048}, {"Trovadex.CRS", 1, false, false, 250},
  };
  for (const Case& c : cases) {
    OutputChoice choice = ChooseOutput(c.name);
    EXPECT_EQ(choice.kind, c.kind) << c.name;
    EXPECT_EQ(choice.comma, c.comma) << c.name;
    EXPECT_EQ(choice.tab, c.tab) << c.name;
    EXPECT_EQ(choice.columnLimit, c.limit) << c.name;
  }
}

TEST(PathHelpers, ReplaceExtensionOnlyInTheFileName) {
  EXPECT_EQ(ReplaceExtension("out.crv", ".$$$"), "out.$$$");
  EXPECT_EQ(ReplaceExtension("out", ".$$$"), "out.$$$");
  EXPECT_EQ(ReplaceExtension("a.b.c", ".VAR"), "a.b.VAR");
  EXPECT_EQ(ReplaceExtension("dir.d/out", ".$$$"), "dir.d/out.$$$");
  EXPECT_EQ(ReplaceExtension("./out", ".$$$"), "./out.$$$");
  EXPECT_EQ(ReplaceExtension("../x/trial.csv", ".VAR"), "../x/trial.VAR");
}

TEST(PathHelpers, CopyArgumentDropsTheQuotePair) {
  EXPECT_EQ(CopyArgument("\"my file.csv\"/k"), "my file.csv/k");
  EXPECT_EQ(CopyArgument("\"open"), "open");
  EXPECT_EQ(CopyArgument("plain\"q\""), "plain\"q\"");
  std::string longPath(600, 'a');
  EXPECT_EQ(CopyArgument(longPath), longPath);  // paths are never cut
}

TEST(PathHelpers, SameFileByTextOrByInode) {
  test::TempDir dir;
  std::string a = dir / "a.xls";
  test::WriteFile(a, "x");
  EXPECT_TRUE(SameFile(a, dir / "A.XLS"));
  EXPECT_TRUE(SameFile(a, (dir.path() / "." / "a.xls").string()));
  std::string linked = dir / "b.xls";
  fs::create_hard_link(a, linked);
  EXPECT_TRUE(SameFile(a, linked));
  test::WriteFile(dir / "c.xls", "x");
  EXPECT_FALSE(SameFile(a, dir / "c.xls"));
  EXPECT_FALSE(SameFile(a, dir / "absent.xls"));
}

TEST(PathHelpers, RemoveRegularFileLeavesDirectories) {
  test::TempDir dir;
  fs::create_directory(dir.path() / "sub.crv");
  EXPECT_FALSE(RemoveRegularFile(dir / "sub.crv"));
  EXPECT_TRUE(fs::is_directory(dir.path() / "sub.crv"));
  test::WriteFile(dir / "f.crv", "x");
  EXPECT_TRUE(RemoveRegularFile(dir / "f.crv"));
  EXPECT_FALSE(fs::exists(dir.path() / "f.crv"));
}

// The run in this process: the settings it records and where it stops.
class RunInProcess : public test::StateTest {
 protected:
  int Run(std::vector<std::string> args) {
    args.insert(args.begin(), "trovadex");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    return RunMain(static_cast<int>(args.size()), argv.data());
  }
  // A file that is always detected and always refused (SAS 7/8).
  static void WriteRefusedInput(const std::string& path) {
    std::string bytes(200, '\0');
    bytes.replace(12, 4, "\xC2\xEA\x81\x60");
    bytes.replace(84, 8, "SAS FILE");
    test::WriteFile(path, bytes);
  }
};

TEST_F(RunInProcess, SettingsOfBothArgumentsAndSelection) {
  test::TempDir dir;
  std::string input = dir / "in.sas7bdat";
  WriteRefusedInput(input);
  std::string sheet(300, 's');
  EXPECT_EQ(Run({input + "/k/x=NA/t=1", dir / "out.CSV/q", sheet, "B2:C9"}), 5);
  EXPECT_EQ(State().inputFileName, input);
  EXPECT_EQ(State().missingText, "NA");
  EXPECT_EQ(State().textToNumberMode, 1);
  EXPECT_FALSE(State().echoOnReading);
  EXPECT_TRUE(State().commaOutput);
  EXPECT_EQ(State().columnLimit, 2048);
  EXPECT_EQ(State().sheet, std::string(256, 's'));
  EXPECT_EQ(State().range, "B2:C9");
  EXPECT_FALSE(State().outputHasQ17X);

  EXPECT_EQ(Run({input, dir / "Q17Xout.crs"}), 5);
  EXPECT_TRUE(State().outputHasQ17X);
  EXPECT_EQ(State().columnLimit, 250);
  EXPECT_TRUE(State().sheet.empty());
}

TEST_F(RunInProcess, LongPathsAreNotCut) {
  test::TempDir dir;
  fs::path deep = dir.path();
  for (int i = 0; i < 6; ++i) deep /= std::string(60, static_cast<char>('a' + i));
  fs::create_directories(deep);
  std::string input = (deep / "in.sas7bdat").string();
  ASSERT_GT(input.size(), 300u);
  WriteRefusedInput(input);
  std::string output = (deep / "out.crv").string();
  test::WriteFile(output, "old");
  EXPECT_EQ(Run({input, output}), 5);
  EXPECT_EQ(State().inputFileName, input);
  // The temporary file was made and removed under the whole name.
  EXPECT_EQ(test::ReadFile(output), "old");
  EXPECT_EQ(std::distance(fs::directory_iterator(deep), fs::directory_iterator()), 2);
}

TEST_F(RunInProcess, TemporaryNameMustNotBeTheInput) {
  test::TempDir dir;
  std::string input = dir / "data.$$$";
  WriteRefusedInput(input);
  EXPECT_EQ(Run({input, dir / "data.crv"}), 6);
  EXPECT_TRUE(fs::exists(input));
}

}  // namespace
}  // namespace trovadex
