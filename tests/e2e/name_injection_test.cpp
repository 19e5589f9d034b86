// Column names changed by hand in a Corvist spreadsheet: every line of the
// command file made from it is still one statement with legal names.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "core/names.h"
#include "test_support.h"

namespace trovadex {
namespace {

// The names of one statement line (after "] ", "READ " or "RESTRICT ") and
// what follows them, which may only be clauses of the same statement.
void ExpectOneStatement(const std::string& line) {
  std::size_t start = line.rfind("] ");
  if (line.rfind("READ ", 0) == 0 || line.rfind("RESTRICT ", 0) == 0) start = line.find(' ') - 1;
  ASSERT_NE(start, std::string::npos) << line;
  std::string rest = line.substr(start + 2);
  std::size_t clauses = rest.find("; ");
  std::string names = rest.substr(0, clauses);
  std::stringstream list(names);
  for (std::string name; std::getline(list, name, ',');) EXPECT_TRUE(IsLegalName(name)) << line;
  if (clauses == std::string::npos) return;
  std::string clause = rest.substr(clauses + 2);
  EXPECT_TRUE(clause.rfind("extra='", 0) == 0 || clause.rfind("decimals=", 0) == 0) << line;
  EXPECT_EQ(clause.find(';'), std::string::npos) << line;
}

TEST(NameInjection, HandChangedSpreadsheetNamesStayLegalInTheCommandFile) {
  test::TempDir dir;
  test::WriteFile(dir / "in.csv", "aQPRINTQ,bQX,cQd,eQf\n1,2,x,y\n3,4,z,w\n");
  test::RunResult r = test::RunTrovadex({"in.csv", "made.crs"}, dir.path().string());
  ASSERT_EQ(r.exitCode, 0) << r.output;
  std::string bytes = test::ReadFile(dir / "made.crs");
  for (auto [from, to] : {std::pair<std::string, std::string>{"aQPRINTQ", "a;PRINT "}, {"bQX", "b:X"},
                          {"cQd", "c\nd"}, {"eQf", "e'f"}}) {
    std::size_t at = bytes.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    ASSERT_EQ(bytes.find(from, at + 1), std::string::npos) << from;
    bytes.replace(at, from.size(), to);
  }
  test::WriteFile(dir / "changed.crs", bytes);
  r = test::RunTrovadex({"changed.crs", "out.crv"}, dir.path().string());
  ASSERT_EQ(r.exitCode, 0) << r.output;

  std::stringstream text(test::ReadFile(dir / "out.crv"));
  int statements = 0;
  for (std::string line; std::getline(text, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    EXPECT_NE(line.rfind("PRINT", 0), 0u) << line;
    for (const char* word : {"DELETE ", "VARIATE ", "TEXT ", "READ ", "RESTRICT "}) {
      if (line.rfind(word, 0) != 0) continue;
      ExpectOneStatement(line);
      ++statements;
    }
  }
  // One DELETE, four declarations and four READs, one RESTRICT.
  EXPECT_EQ(statements, 10);
}

}  // namespace
}  // namespace trovadex
