// Tables written as HTML and RTF, bitmaps and sound read, through the
// built program.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "test_support.h"

namespace trovadex {
namespace {

namespace fs = std::filesystem;

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(MediaTablesEndToEnd, CsvToHtmlAndSpreadsheetToRtf) {
  test::TempDir dir;
  test::WriteFile(dir / "x.csv", "plot,variety\r\n1,\"A<B & C\"\r\n2,{x}\r\n");
  test::RunResult run = test::RunTrovadex({"x.csv", "x.html"}, dir.path().string());
  ASSERT_EQ(run.exitCode, 0) << run.output;
  const std::string page = test::ReadFile(dir / "x.html");
  EXPECT_TRUE(Contains(page, "<TITLE>x.$$$ </TITLE>")) << page;
  EXPECT_TRUE(Contains(page, "<P>A&lt;B &amp; C </TD>")) << page;

  run = test::RunTrovadex({"x.csv", "x.crs"}, dir.path().string());
  ASSERT_EQ(run.exitCode, 0) << run.output;
  run = test::RunTrovadex({"x.crs", "x.rtf"}, dir.path().string());
  ASSERT_EQ(run.exitCode, 0) << run.output;
  EXPECT_EQ(run.output, " 2 records transferred.\n");
  const std::string document = test::ReadFile(dir / "x.rtf");
  EXPECT_TRUE(Contains(document, "{\\b plot\\b0\\cell \\b variety\\b0\\cell }")) << document;
  EXPECT_TRUE(Contains(document, "{2\\cell \\{x\\}\\cell }")) << document;
}

TEST(MediaTablesEndToEnd, BitmapToCsvAndWaveToCommandFile) {
  TROVADEX_NEED_SHARED();
  test::TempDir dir;
  fs::copy_file(test::SharedDir() + "/corpus/bmp/bits24.bmp", dir / "x.bmp");
  fs::copy_file(test::SharedDir() + "/corpus/wav/stereo_s16.wav", dir / "x.wav");
  test::RunResult run = test::RunTrovadex({"x.bmp", "x.csv"}, dir.path().string());
  ASSERT_EQ(run.exitCode, 0) << run.output;
  EXPECT_EQ(run.output, " 15 records transferred.\n");
  EXPECT_TRUE(Contains(test::ReadFile(dir / "x.csv"), "X,Y,Red,Green,Blue\r\n"));
  run = test::RunTrovadex({"x.bmp", "y.csv/c"}, dir.path().string());
  ASSERT_EQ(run.exitCode, 0) << run.output;
  EXPECT_EQ(test::ReadFile(dir / "y.csv").substr(0, 17), "X,Y,        RGB\r\n");

  run = test::RunTrovadex({"x.wav", "x.crv"}, dir.path().string());
  ASSERT_EQ(run.exitCode, 0) << run.output;
  EXPECT_EQ(run.output, "Wave Play duration: 0.01 seconds\n 80 records transferred.\n");
  const std::string commands = test::ReadFile(dir / "x.crv");
  EXPECT_TRUE(Contains(commands, "Sound1") && Contains(commands, "Sound2")) << commands;
}

}  // namespace
}  // namespace trovadex
