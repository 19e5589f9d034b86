// End to end: dBase tables through the built program, into Corvist command
// files, out of delimited text, and dBase to dBase.
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

namespace trovadex {
namespace {

using test::TempDir;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

std::vector<std::string> Split(const std::string& line, char separator) {
  std::vector<std::string> cells;
  std::string cell;
  std::istringstream in(line);
  while (std::getline(in, cell, separator)) cells.push_back(cell);
  if (!line.empty() && line.back() == separator) cells.emplace_back();
  return cells;
}

std::vector<std::string> CorpusTables() {
  std::vector<std::string> files;
  for (const char* folder : {"/corpus-public/dbase", "/corpus/dbase"}) {
    std::string dir = test::SharedDir() + folder;
    if (!std::filesystem::is_directory(dir)) continue;
    for (auto& e : std::filesystem::directory_iterator(dir))
      if (e.path().extension() == ".dbf") files.push_back(e.path().string());
  }
  return files;
}

TEST(DbaseEndToEnd, DbaseToCorvistCommandFile) {
  TROVADEX_NEED_SHARED();
  TempDir dir;
  std::filesystem::copy_file(test::SharedDir() + "/corpus-public/dbase/dbase_03_cyrillic.dbf",
                             dir / "in.dbf");
  auto run = test::RunTrovadex({"in.dbf", "out.crv"}, dir.path().string());
  ASSERT_EQ(run.exitCode, 0) << run.output;
  EXPECT_NE(run.output.find(" 2 records transferred."), std::string::npos) << run.output;
  std::string crv = test::ReadFile(dir / "out.crv");
  EXPECT_NE(crv.find("TEXT [nvalues=2]"), std::string::npos) << crv;
  EXPECT_NE(crv.find("VARIATE [nvalues=2]"), std::string::npos) << crv;
}

// Every table of the corpus, copied dBase to dBase, lists the same values as
// the original.
TEST(DbaseEndToEnd, DbaseToDbaseKeepsEveryValue) {
  TROVADEX_NEED_SHARED();
  for (const std::string& file : CorpusTables()) {
    SCOPED_TRACE(file);
    TempDir dir;
    std::filesystem::copy_file(file, dir / "in.dbf");
    auto first = test::RunTrovadex({"in.dbf", "copy.dbf"}, dir.path().string());
    ASSERT_EQ(first.exitCode, 0) << first.output;
    auto direct = test::RunTrovadex({"in.dbf", "direct.tab"}, dir.path().string());
    ASSERT_EQ(direct.exitCode, 0) << direct.output;
    auto copied = test::RunTrovadex({"copy.dbf", "copied.tab"}, dir.path().string());
    ASSERT_EQ(copied.exitCode, 0) << copied.output;
    auto a = Lines(test::ReadFile(dir / "direct.tab"));
    auto b = Lines(test::ReadFile(dir / "copied.tab"));
    ASSERT_EQ(a.size(), b.size());
    ASSERT_FALSE(a.empty());
    // Field names keep at most 10 characters and are made unique there.
    EXPECT_EQ(Split(a[0], '\t').size(), Split(b[0], '\t').size());
    for (std::size_t r = 1; r < a.size(); ++r) ASSERT_EQ(a[r], b[r]) << "line " << r;
  }
}

// Delimited text into dBase, read back by dbfread.
TEST(DbaseEndToEnd, DelimitedTextToDbase) {
  if (std::system("/usr/bin/python3 -c 'import dbfread' >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "no dbfread";
  TempDir dir;
  test::WriteFile(dir / "in.csv",
                  "name,count,share,big\r\n"
                  "alpha,1,0.5,1e15\r\n"
                  "beta,22,-1.25,123456789012\r\n"
                  "gamma,,3.125,\r\n"
                  "delta,4000,0.0001,7\r\n");
  auto run = test::RunTrovadex({"in.csv", "out.dbf"}, dir.path().string());
  ASSERT_EQ(run.exitCode, 0) << run.output;
  test::WriteFile(dir / "dump.py", R"PY(
import sys
from dbfread import DBF
for rec in DBF(sys.argv[1]):
    print('|'.join('-' if v is None else (v if isinstance(v, str) else repr(float(v)))
                   for v in rec.values()))
)PY");
  std::string cmd = "cd '" + dir.path().string() + "' && /usr/bin/python3 dump.py out.dbf";
  std::string out;
  FILE* pipe = popen(cmd.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
  pclose(pipe);
  EXPECT_EQ(out,
            "alpha|1.0|0.5|1000000000000000.0\n"
            "beta|22.0|-1.25|123456789012.0\n"
            "gamma|-|3.125|-\n"
            "delta|4000.0|0.0001|7.0\n");
}

}  // namespace
}  // namespace trovadex
