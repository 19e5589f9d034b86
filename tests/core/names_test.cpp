#include "core/names.h"

#include <random>
#include <string>
#include <utility>
#include <vector>

#include "core/dataset.h"
#include "test_support.h"

namespace trovadex {
namespace {

using test::StateTest;

class NamesTest : public StateTest {};

std::string Legal(std::string name) {
  LegalName(name);
  return name;
}

TEST_F(NamesTest, TrimText) {
  EXPECT_EQ(TrimText("  a   b  ", 40), "a b");
  EXPECT_EQ(TrimText("", 40), "");
  EXPECT_EQ(TrimText("    ", 40), "");
  EXPECT_EQ(TrimText("abcdef", 3), "abc");
  EXPECT_EQ(TrimText("ab   cd", 3), "ab");  // no trailing blank left by the cut
  EXPECT_EQ(TrimText("\ta\t", 40), "\ta\t");  // only the space is a blank
  EXPECT_EQ(TrimText("x", 0), "");
}

TEST_F(NamesTest, MakeDefaultName) {
  EXPECT_EQ(MakeDefaultName(12), "C12");
  EXPECT_EQ(MakeDefaultName(0), "C1");
  EXPECT_EQ(MakeDefaultName(-5), "C2");
  EXPECT_EQ(CurrentOptions()->defaultNameCounter, 2);
  CurrentOptions()->namePrefix = "Column123";
  EXPECT_EQ(MakeDefaultName(7), "Column7");
  CurrentOptions()->suffixedNames = 1;
  EXPECT_EQ(MakeDefaultName(7), "Column12[7]");
  CurrentOptions()->namePrefix = "C";
  EXPECT_EQ(MakeDefaultName(0), "C[3]");
}

TEST_F(NamesTest, IsMissingText) {
  EXPECT_TRUE(IsMissingText(" * "));
  EXPECT_TRUE(IsMissingText(""));
  EXPECT_TRUE(IsMissingText("   "));
  EXPECT_FALSE(IsMissingText("**"));
  EXPECT_FALSE(IsMissingText("a"));
  State().missingText = "NA";
  EXPECT_TRUE(IsMissingText("NA"));
  EXPECT_TRUE(IsMissingText(" Na "));
  EXPECT_FALSE(IsMissingText("na"));
  EXPECT_FALSE(IsMissingText("*"));
  EXPECT_FALSE(IsMissingText("NAN"));
}

TEST_F(NamesTest, LegalNameTable) {
  const std::pair<const char*, const char*> table[] = {
      {"Plant height (cm)", "Plant_height_cm"},
      {"2nd yield", "%2nd_yield"},
      {"x$", "x"},
      {"x!", "x"},
      {"x#", "x"},
      {"x_", "x_"},
      {"__a", "_a"},
      {"x[]", "x"},
      {"x[5", "x[5]"},
      {"x[a1b2]", "x[12]"},
      {"*", "%"},
      {"  yield  ", "yield"},
      {"a'b", "a_b"},
      {"%rate", "%rate"},
      {"a]b", "a_b"},
  };
  for (const auto& [before, after] : table) {
    EXPECT_EQ(Legal(before), after) << before;
  }
}

TEST_F(NamesTest, LegalNameCounters) {
  EXPECT_EQ(Legal(""), "C1");
  EXPECT_EQ(Legal("x[abc]"), "x[1]");
  EXPECT_EQ(Legal("x]y["), "x[2]");
  EXPECT_EQ(Legal("x['a']"), "x[1]");  // the quoted-suffix counter
  EXPECT_EQ(Legal("y['b']"), "y[2]");
  CurrentOptions()->suffixedNames = 1;
  EXPECT_EQ(Legal(""), "C[2]");
  EXPECT_EQ(Legal("_"), "C[3]");  // a lone "_" becomes a default name
}

TEST_F(NamesTest, LegalNameBracketCounterWraps) {
  State().bracketCounter = 99;
  EXPECT_EQ(Legal("a[b]"), "a[99]");
  EXPECT_EQ(Legal("a[b]"), "a[1]");
}

TEST_F(NamesTest, LegalNameLengths) {
  std::string digits39(39, '9');
  std::string result = Legal(digits39);
  EXPECT_EQ(result, "%" + digits39);
  EXPECT_EQ(result.size(), 40u);
  std::string long50 = std::string(50, 'a');
  EXPECT_EQ(Legal(long50), std::string(40, 'a'));
  std::string n40 = std::string(39, 'a') + "[";
  EXPECT_EQ(Legal(n40), std::string(39, 'a') + "_");  // no room for "]": the "[" becomes "_"
  // Every result is a legal identifier of at most 40 characters.
  const char* samples[] = {"[", "]", "][", "''", "'a'", "x['", "x[''", "a b c d", "1[2]3",
                           "é", "x[']", "[[[]]]", "a[b[c]d]", "0", "___"};
  for (const char* s : samples) {
    std::string name = Legal(s);
    EXPECT_FALSE(name.empty()) << s;
    EXPECT_LE(name.size(), 40u) << s;
    for (char c : name) {
      bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                c == '%' || c == '_' || c == '[' || c == ']' || c == '\'';
      EXPECT_TRUE(ok) << s << " -> " << name;
    }
  }
}

TEST_F(NamesTest, LegalNameOfRandomTextsIsAlwaysLegal) {
  std::mt19937 rng(3);
  const char alphabet[] = "ab1_%[]' $#!*-.\xe9";
  for (int i = 0; i < 20000; ++i) {
    std::string text;
    int n = static_cast<int>(rng() % 50);
    for (int k = 0; k < n; ++k) text.push_back(alphabet[rng() % (sizeof alphabet - 1)]);
    std::string name = Legal(text);
    ASSERT_FALSE(name.empty()) << text;
    ASSERT_LE(name.size(), 40u) << text;
    for (char c : name) {
      bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                c == '%' || c == '_' || c == '[' || c == ']' || c == '\'';
      ASSERT_TRUE(ok) << text << " -> " << name;
    }
    char first = name[0];
    ASSERT_TRUE((first >= 'A' && first <= 'Z') || (first >= 'a' && first <= 'z') || first == '_' ||
                first == '%')
        << text << " -> " << name;
  }
}

class MakeNamesUniqueTest : public StateTest {};

TEST_F(MakeNamesUniqueTest, NumbersRepeatedNames) {
  Dataset* d = CreateDataset();
  Column* a = AddColumn(d, ColumnKind::Variate, "yield", 25);
  Column* b = AddColumn(d, ColumnKind::Variate, "yield", 25);
  Column* c = AddColumn(d, ColumnKind::Variate, "yield", 25);
  c->description = "third";
  MakeNamesUnique(d);
  EXPECT_EQ(a->name, "yield");
  EXPECT_EQ(b->name, "yield1");
  EXPECT_EQ(c->name, "yield2");
  EXPECT_EQ(a->description, "");
  EXPECT_EQ(b->description, "yield");
  EXPECT_EQ(c->description, "third");  // old name short: description kept
  EXPECT_EQ(d->firstColumn->name, "Row");
}

TEST_F(MakeNamesUniqueTest, LongNamesAndSuffixes) {
  Dataset* d = CreateDataset();
  std::string name35 = "abcdefghijklmnopqrstuvwxyz123456789";
  Column* a = AddColumn(d, ColumnKind::Variate, name35, 25);
  Column* b = AddColumn(d, ColumnKind::Variate, name35, 25);
  Column* c = AddColumn(d, ColumnKind::Variate, "x[1]", 25);
  Column* e = AddColumn(d, ColumnKind::Variate, "x[1]", 25);
  std::string longSuffix = std::string(34, 'p') + "[12]";
  Column* f = AddColumn(d, ColumnKind::Variate, longSuffix, 25);
  Column* g = AddColumn(d, ColumnKind::Text, "Yield", 90);
  Column* h = AddColumn(d, ColumnKind::Variate, "yield", 25);
  b->description = "0123456789";
  MakeNamesUnique(d);
  EXPECT_EQ(a->name, name35.substr(0, 32));
  EXPECT_EQ(a->description, name35);
  EXPECT_EQ(b->name, name35.substr(0, 31) + "1");
  EXPECT_EQ(b->description, name35 + ": 012");  // 35 > 42 - 10; cut to 40
  EXPECT_EQ(c->name, "x[1]");
  EXPECT_EQ(e->name, "x1[1]");
  EXPECT_EQ(f->name, std::string(32, 'p') + "[12]");
  EXPECT_EQ(g->name, "Yield");
  EXPECT_EQ(h->name, "yield");  // names compare case-sensitively
}

TEST_F(MakeNamesUniqueTest, ManyEqualNamesUseTwoAndThreeDigitNumbers) {
  Dataset* d = CreateDataset();
  State().columnLimit = 2048;
  std::string base(32, 'n');
  std::vector<Column*> columns;
  for (int i = 0; i < 120; ++i) columns.push_back(AddColumn(d, ColumnKind::Variate, base, 25));
  MakeNamesUnique(d);
  EXPECT_EQ(columns[0]->name, base);
  EXPECT_EQ(columns[9]->name, base.substr(0, 31) + "9");
  EXPECT_EQ(columns[10]->name, base.substr(0, 30) + "10");
  EXPECT_EQ(columns[100]->name, base.substr(0, 29) + "100");
}

TEST_F(MakeNamesUniqueTest, OnlyColumnsShape) {
  Dataset* d = CreateDataset();
  d->shape = DatasetShape::Matrix;
  Column* a = AddColumn(d, ColumnKind::MatrixColumn, "m", 25);
  Column* b = AddColumn(d, ColumnKind::MatrixColumn, "m", 25);
  MakeNamesUnique(d);
  EXPECT_EQ(a->name, "m");
  EXPECT_EQ(b->name, "m");
}

}  // namespace
}  // namespace trovadex
