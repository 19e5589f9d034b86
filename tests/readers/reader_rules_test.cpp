// The rule for readers: every reader source (a file under src/readers that
// defines a Read... entry point taking a path) has its fuzz target, its seeds
// and its entry in the truncation and corruption sweep.
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "readers/damaged_support.h"
#include "test_support.h"

namespace trovadex {
namespace {

namespace fs = std::filesystem;

std::string ReadWhole(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The stems of the reader sources: files defining "int16_t ReadX(const char* path) {"
// (or with one more argument, as "bool splitColour").
std::vector<std::string> ReaderSources() {
  const std::regex entry(R"((^|\n)int16_t Read[A-Za-z0-9]+\(const char\* [A-Za-z]+(, [a-z]+ [A-Za-z]+)?\) \{)");
  std::vector<std::string> stems;
  for (const auto& item : fs::directory_iterator(fs::path(test::SourceDir()) / "src" / "readers")) {
    if (!item.is_regular_file() || item.path().extension() != ".cpp") continue;
    if (std::regex_search(ReadWhole(item.path()), entry)) stems.push_back(item.path().stem().string());
  }
  return stems;
}

TEST(ReaderRules, EveryReaderHasItsFuzzTargetSeedsAndSweepEntry) {
  const fs::path root(test::SourceDir());
  const std::vector<std::string> readers = ReaderSources();
  // The readers built so far; the list grows with every reader.
  EXPECT_GE(readers.size(), 4u);
  // The target names in fuzz/make-seeds.sh, a line "targets=(detect delimited ...)".
  std::smatch list;
  const std::string seedScript = ReadWhole(root / "fuzz" / "make-seeds.sh");
  ASSERT_TRUE(std::regex_search(seedScript, list, std::regex(R"(\ntargets=\(([^)]*)\))")));
  const std::string seeds = " " + list[1].str() + " ";
  for (const std::string& name : readers) {
    SCOPED_TRACE(name);
    EXPECT_TRUE(fs::exists(root / "fuzz" / (name + "_fuzz.cpp"))) << "no fuzz/" << name << "_fuzz.cpp";
    EXPECT_NE(seeds.find(" " + name + " "), std::string::npos) << "not among the targets of fuzz/make-seeds.sh";
    EXPECT_NE(test::FindSweepEntry(name), nullptr) << "no entry in SweepEntries()";
  }
  // The container layer has a target of its own.
  if (fs::exists(root / "src" / "readers" / "compound")) {
    EXPECT_TRUE(fs::exists(root / "fuzz" / "compound_fuzz.cpp"));
  }
}

}  // namespace
}  // namespace trovadex
