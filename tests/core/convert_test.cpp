#include "core/convert.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "core/dataset.h"
#include "test_support.h"

namespace trovadex {
namespace {

constexpr double M = kMissingValue;

// Every test runs in its own directory: conversions may write "TxtToNum.ERR".
class ConvertTest : public test::StateTest {
 protected:
  void SetUp() override {
    test::StateTest::SetUp();
    dir_ = std::make_unique<test::TempDir>();
    previous_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_->path());
  }
  void TearDown() override {
    CloseWarningsFile();
    std::filesystem::current_path(previous_);
    dir_.reset();
    test::StateTest::TearDown();
  }

  std::string WarningsText() {
    CloseWarningsFile();
    if (!std::filesystem::exists(kWarningsFileName)) return "<none>";
    return test::ReadFile(kWarningsFileName);
  }

  Dataset* NewDataset(int32_t rows) {
    Dataset* d = CreateDataset();
    d->rowCount = rows;
    EXPECT_TRUE(CreateRows(d));
    return d;
  }

  Column* TextColumn(Dataset* d, const std::string& name, const std::vector<std::string>& values) {
    Column* c = AddColumnWithValues(d, ColumnKind::Text, name, static_cast<int32_t>(values.size()));
    for (std::size_t i = 0; i < values.size(); ++i) SetText(c, i, values[i]);
    return c;
  }

  Column* NumberColumn(Dataset* d, ColumnKind kind, const std::string& name,
                       const std::vector<double>& values) {
    Column* c = AddColumnWithValues(d, kind, name, static_cast<int32_t>(values.size()));
    for (std::size_t i = 0; i < values.size(); ++i) SetNumber(c, i, values[i]);
    return c;
  }

  static std::vector<double> Numbers(const Column* c) {
    std::vector<double> out;
    for (int64_t i = 0; i < c->valueCount; ++i) out.push_back(GetNumber(c, i));
    return out;
  }
  static std::vector<std::string> Texts(const Column* c) {
    std::vector<std::string> out;
    for (int64_t i = 0; i < c->valueCount; ++i) out.emplace_back(GetText(c, i));
    return out;
  }
  static std::vector<std::string> Labels(const Column* c) {
    std::vector<std::string> out;
    for (int64_t i = 0; i < c->labelCount; ++i) out.emplace_back(c->labels.Get(i));
    return out;
  }
  static std::vector<double> LevelValues(const Column* c) {
    std::vector<double> out;
    for (int64_t i = 0; i < c->levelValueCount; ++i) out.push_back(c->levelValues.Get(i));
    return out;
  }

 private:
  std::unique_ptr<test::TempDir> dir_;
  std::filesystem::path previous_;
};

// ---------------------------------------------------------------- TextToNumber

struct NumberCase {
  int mode;
  const char* text;
  double expected;  // M: the fallback (missing)
  bool doubtful;
};

TEST_F(ConvertTest, TextToNumberInEveryMode) {
  const NumberCase cases[] = {
      // default mode 3
      {3, "12kg", 12, false},
      {3, "1O", 10, true},
      {3, "1,5", 1.5, true},
      {3, "1,000.5", 1, true},
      {3, "1.2.3", M, true},
      {3, "", M, false},
      {3, "1e999", M, true},
      {3, "-1e308", M, true},
      {3, "9.999995e307", kNumberCap, true},
      {3, "  42", 42, false},
      {3, "-7.25e-2", -0.0725, false},
      {3, "1.5d3", 1.5, false},  // 'd' is not an exponent outside mode 4
      {3, "(12)", 12, true},
      {3, "12:5", 12.5, true},
      {3, "@5", 5, true},
      {3, "zS", 25, true},
      // decimal only: no hexadecimal, infinity or NaN forms
      {3, "0x1A", 0, false},
      {3, "Infected", 1, true},  // the I reads as a one, the rest is ignored
      {0, "inf", M, true},
      {0, "nan", M, true},
      {0, "infinity", M, true},
      {0, "0x10", M, true},
      {3, "NaN", M, true},
      // mode 0: nothing may follow, no clean-up
      {0, "12kg", M, true},
      {0, "12", 12, false},
      {0, "12 ", M, true},
      {0, "1O", M, true},
      {0, "  3.5", 3.5, false},
      // mode 1: blanks may follow, at most one substitution
      {1, "12 kg", 12, false},
      {1, "12kg", M, true},
      {1, "1O", 10, true},
      {1, "lO", M, true},
      {1, "1,5", 1.5, true},
      // mode 2: fewer substitutions, blanks may follow
      {2, "12 kg", 12, false},
      {2, "S5", M, true},
      {2, "1;5", M, true},
      {2, "1,5", 1.5, true},
      {2, "@5", M, true},
      {2, "1O", 10, true},
      // mode 4: keep only what can belong to a number
      {4, "$1,234.5", 1234.5, true},
      {4, "1.5D3", 1500, false},
      {4, "USD 5", 5e5, true},
      {4, "12", 12, false},
      {4, "abc", M, true},
      {4, "1.2.3", 1.23, true},  // only the first point is kept
  };
  for (const NumberCase& c : cases) {
    State().textToNumberMode = c.mode;
    bool doubtful = !c.doubtful;
    double v = TextToNumber(c.text, M, &doubtful);
    EXPECT_EQ(v, c.expected) << "mode " << c.mode << " text '" << c.text << "'";
    EXPECT_EQ(doubtful, c.doubtful) << "mode " << c.mode << " text '" << c.text << "'";
  }
}

TEST_F(ConvertTest, TextToNumberFallbackAndLongText) {
  bool doubtful = true;
  EXPECT_EQ(TextToNumber("", 7.5, &doubtful), 7.5);
  EXPECT_FALSE(doubtful);
  EXPECT_EQ(TextToNumber("x", 7.5, &doubtful), 7.5);
  EXPECT_TRUE(doubtful);
  // below the fallback: the fallback, doubtful
  EXPECT_EQ(TextToNumber("3", 7.5, &doubtful), 7.5);
  EXPECT_TRUE(doubtful);
  // only the first 90 characters are read
  std::string longText(89, '1');
  longText += "23";
  EXPECT_EQ(TextToNumber(longText, M, &doubtful), std::stod(std::string(89, '1') + "2"));
  EXPECT_FALSE(doubtful);
  EXPECT_EQ(TextToNumber("5", M, nullptr), 5);
}

TEST_F(ConvertTest, TextToVariateWritesWarningsFile) {
  Dataset* d = NewDataset(5);
  Column* c = TextColumn(d, "yield", {"12kg", "1O", "", "1.2.3", "2.5"});
  ASSERT_TRUE(TextToVariate(c));
  EXPECT_EQ(c->kind, ColumnKind::Variate);
  EXPECT_EQ(c->valueFormat, 1);
  EXPECT_EQ(c->decimals, -1);
  EXPECT_EQ(c->maxTextLength, 25);
  EXPECT_EQ(c->valueCount, 5);
  EXPECT_EQ(c->changed, 1);
  EXPECT_EQ(Numbers(c), (std::vector<double>{12, 10, M, M, 2.5}));
  EXPECT_EQ(WarningsText(),
            "Text to Number Conversion Warnings\n \n"
            "Column yield Row    2: 1O read as 10\n"
            "Column yield Row    4: 1.2.3 read as *\n");
  EXPECT_TRUE(CloseWarningsFile());
}

TEST_F(ConvertTest, WarningsFileLineFormats) {
  EXPECT_FALSE(CloseWarningsFile());
  EXPECT_FALSE(std::filesystem::exists(kWarningsFileName));
  WriteConversionWarning("a", 12345, nullptr, "1/3", 0.1234567890123456, false);
  WriteConversionWarning("b", 7, "B8", "n/a", M, true);
  WriteConversionWarning("c", 3, "AA4", "1e5x", 100000, false);
  EXPECT_TRUE(State().warningsFileOpened);
  EXPECT_EQ(WarningsText(),
            "Text to Number Conversion Warnings\n \n"
            "Column a Row 12345: 1/3 read as 0.123456789012\n"
            "Column b Row    7 (From Cell B8): n/a read as *\n"
            "Column c Row    3 (From Cell AA4): 1e5x read as 100000\n");
  EXPECT_TRUE(CloseWarningsFile());
  // a warning after the close is added to the file, not written over it
  WriteConversionWarning("d", 1, nullptr, "-", -2.5, false);
  EXPECT_EQ(WarningsText(),
            "Text to Number Conversion Warnings\n \n"
            "Column a Row 12345: 1/3 read as 0.123456789012\n"
            "Column b Row    7 (From Cell B8): n/a read as *\n"
            "Column c Row    3 (From Cell AA4): 1e5x read as 100000\n"
            "Column d Row    1: - read as -2.5\n");
}

TEST_F(ConvertTest, WarningsFileThatCannotBeCreatedIsDropped) {
  std::filesystem::create_directory(kWarningsFileName);  // a directory blocks the file
  WriteConversionWarning("a", 1, nullptr, "x", M, true);
  EXPECT_FALSE(State().warningsFileOpened);
  Dataset* d = NewDataset(1);
  Column* c = TextColumn(d, "t", {"x"});
  EXPECT_TRUE(TextToVariate(c));
  EXPECT_FALSE(CloseWarningsFile());
}

// ---------------------------------------------------------------- numbers to text

TEST_F(ConvertTest, VariateToText) {
  Dataset* d = NewDataset(4);
  Column* c = NumberColumn(d, ColumnKind::Variate, "v", {1.5, M, 1234567, -2});
  ASSERT_TRUE(VariateToText(c));
  EXPECT_EQ(c->kind, ColumnKind::Text);
  EXPECT_EQ(c->valueFormat, 4);
  EXPECT_EQ(c->maxTextLength, 91);
  EXPECT_EQ(Texts(c), (std::vector<std::string>{"1.5", "", "1234567", "-2"}));
  EXPECT_EQ(c->levelCount, 7);
  EXPECT_FALSE(VariateToText(c));  // now text
}

TEST_F(ConvertTest, FactorToTextByDisplay) {
  struct Case {
    int display;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {0, {"1", "2", "", "7"}},
      {1, {"10.5", "20", "", "*"}},
      {2, {"low", "high", "", ""}},
  };
  for (const Case& k : cases) {
    Dataset* d = NewDataset(4);
    Column* c = NumberColumn(d, ColumnKind::Factor, "f", {1, 2, M, 7});
    c->levelCount = 2;
    SetLevelValueList(c, {10.5, 20});
    SetLabelList(c, {"low", "high"});
    c->factorDisplay = k.display;
    ASSERT_TRUE(FactorToText(c));
    EXPECT_EQ(Texts(c), k.expected) << "display " << k.display;
    EXPECT_EQ(c->kind, ColumnKind::Text);
    EXPECT_EQ(c->valueFormat, 4);
    EXPECT_EQ(c->labelCount, 0);
    EXPECT_EQ(c->levelValueCount, 0);
    EXPECT_EQ(c->levelCount, k.display == 2 ? 4 : k.display == 1 ? 4 : 1);
  }
}

TEST_F(ConvertTest, FactorToVariateValuesOutsideLevelsBecomeMissing) {
  Dataset* d = NewDataset(7);
  Column* c = NumberColumn(d, ColumnKind::Factor, "f", {1, 2, 3, 0.5, M, 2.7, 1e10});
  c->levelCount = 2;
  SetLevelValueList(c, {10, 20});
  SetLabelList(c, {"a", "b"});
  c->valueFormat = 4;
  ASSERT_TRUE(FactorToVariate(c, true));
  EXPECT_EQ(Numbers(c), (std::vector<double>{10, 20, M, M, M, 20, M}));
  EXPECT_EQ(c->kind, ColumnKind::Variate);
  EXPECT_EQ(c->valueFormat, 1);
  EXPECT_EQ(c->labelCount, 0);
  EXPECT_EQ(c->levelValueCount, 0);

  Column* g = NumberColumn(d, ColumnKind::Factor, "g", {1, 3, 4, -1, M, 3.5, -3e10});
  g->levelCount = 3;
  ASSERT_TRUE(FactorToVariate(g, false));
  EXPECT_EQ(Numbers(g), (std::vector<double>{1, 3, M, M, M, 3.5, M}));
}

// ---------------------------------------------------------------- to factors

TEST_F(ConvertTest, TextToFactorCaseAndOrder) {
  struct Case {
    std::vector<std::string> values;
    bool caseInsensitive;
    bool compress;
    bool sortLabels;
    std::vector<std::string> labels;
    std::vector<double> numbers;
  };
  const std::string long41(41, 'q');
  const Case cases[] = {
      {{"b", "a", "B"}, true, true, true, {"a", "b"}, {2, 1, 2}},
      {{"b", "a", "B"}, true, true, false, {"b", "a"}, {1, 2, 1}},
      {{"b", "a", "B"}, false, true, true, {"B", "a", "b"}, {3, 2, 1}},
      {{"  a  b ", "a b", ""}, true, true, true, {"a b"}, {1, 1, M}},
      {{"  a  b ", "a b"}, true, false, true, {"  a  b ", "a b"}, {1, 2}},
      {{long41, long41.substr(0, 40) + "z"}, true, true, true, {std::string(40, 'q')}, {1, 1}},
      // calendar families
      {{"Wed", "Mon", "Fri"}, true, true, true, {"Mon", "Wed", "Fri"}, {2, 1, 3}},
      {{"December", "January"}, true, true, true, {"January", "December"}, {2, 1}},
      {{"N", "S", "E"}, true, true, true, {"N", "E", "S"}, {1, 3, 2}},
      {{"mar", "JAN", "Feb"}, true, true, true, {"JAN", "Feb", "mar"}, {3, 1, 2}},
      {{"SUNDAY", "tuesday"}, true, true, true, {"tuesday", "SUNDAY"}, {2, 1}},
      {{"NW", "NNE", "W"}, true, true, true, {"NNE", "W", "NW"}, {3, 1, 2}},
      // not a family: stays sorted
      {{"North", "East"}, true, true, true, {"East", "North"}, {2, 1}},
      {{"Mon", "Holiday"}, true, true, true, {"Holiday", "Mon"}, {2, 1}},
      // without sorting no calendar order either
      {{"Wed", "Mon"}, true, true, false, {"Wed", "Mon"}, {1, 2}},
  };
  for (const Case& k : cases) {
    ResetState();
    State().interceptFatal = true;
    State().options.sortLabels = k.sortLabels;
    Dataset* d = NewDataset(static_cast<int32_t>(k.values.size()));
    Column* c = TextColumn(d, "t", k.values);
    ASSERT_TRUE(TextToFactor(c, k.caseInsensitive, k.compress));
    std::string what = "first value '" + k.values[0] + "'";
    EXPECT_EQ(c->kind, ColumnKind::Factor) << what;
    EXPECT_EQ(Labels(c), k.labels) << what;
    EXPECT_EQ(Numbers(c), k.numbers) << what;
    EXPECT_EQ(c->levelCount, static_cast<int32_t>(k.labels.size())) << what;
    EXPECT_EQ(c->factorDisplay, 2) << what;
    EXPECT_EQ(c->valueFormat, 4) << what;
    EXPECT_EQ(c->maxTextLength, 41) << what;
    EXPECT_EQ(c->levelValueCount, 0) << what;
    std::size_t longest = 0;
    for (const std::string& l : k.labels) longest = std::max(longest, l.size());
    EXPECT_EQ(c->longestLabel, static_cast<int32_t>(longest)) << what;
  }
}

TEST_F(ConvertTest, TextToFactorWithoutLabels) {
  Dataset* d = NewDataset(2);
  Column* c = TextColumn(d, "t", {"", ""});
  ASSERT_TRUE(TextToFactor(c, true, true));
  EXPECT_EQ(c->levelCount, 2);
  EXPECT_EQ(c->labelCount, 0);
  EXPECT_EQ(c->factorDisplay, 0);
  EXPECT_EQ(c->valueFormat, 1);
  EXPECT_EQ(Numbers(c), (std::vector<double>{M, M}));
  EXPECT_FALSE(TextToFactor(c, true, true));  // no longer text
}

TEST_F(ConvertTest, TextToFactorManyLabelsKeepsFirstAppearanceIndex) {
  // 200,000 values over 50,000 labels, unsorted: the level of each value is
  // the place of its label's first appearance.
  State().options.sortLabels = 0;
  const int32_t n = 200000;
  Dataset* d = NewDataset(n);
  Column* c = AddColumnWithValues(d, ColumnKind::Text, "id", n);
  char buf[32];
  for (int32_t i = 0; i < n; ++i) {
    std::snprintf(buf, sizeof buf, "Plot %d", (i * 7919) % 50000);
    SetText(c, i, buf);
  }
  ASSERT_TRUE(TextToFactor(c, true, true));
  ASSERT_EQ(c->labelCount, 50000);
  for (int32_t i = 0; i < n; i += 997) {
    std::snprintf(buf, sizeof buf, "Plot %d", (i * 7919) % 50000);
    int64_t level = static_cast<int64_t>(GetNumber(c, i));
    ASSERT_GE(level, 1);
    EXPECT_EQ(c->labels.Get(level - 1), buf);
  }
}

TEST_F(ConvertTest, CollectionLimits) {
  // Labels: 41 bytes an entry, growing 20 at a time, at most 16,000,000 bytes.
  struct Case {
    bool text;
    int32_t distinct;
    bool ok;
  };
  const Case cases[] = {
      {true, 390240, true},
      {true, 390241, false},
      {false, 2000000, true},
      {false, 2000001, false},
  };
  for (const Case& k : cases) {
    ResetState();
    State().interceptFatal = true;
    State().options.sortLabels = 0;
    Dataset* d = NewDataset(k.distinct);
    Column* c;
    if (k.text) {
      c = AddColumnWithValues(d, ColumnKind::Text, "t", k.distinct);
      char buf[16];
      for (int32_t i = 0; i < k.distinct; ++i) {
        std::snprintf(buf, sizeof buf, "%d", i);
        SetText(c, i, buf);
      }
      EXPECT_EQ(TextToFactor(c, false, false), k.ok) << k.distinct;
      EXPECT_EQ(c->kind, k.ok ? ColumnKind::Factor : ColumnKind::Text);
      if (!k.ok) {
        EXPECT_EQ(GetText(c, 5), "5");
      }
    } else {
      c = AddColumnWithValues(d, ColumnKind::Variate, "v", k.distinct);
      for (int32_t i = 0; i < k.distinct; ++i) SetNumber(c, i, i * 0.5);
      EXPECT_EQ(VariateToFactor(c, true), k.ok) << k.distinct;
      EXPECT_EQ(c->kind, k.ok ? ColumnKind::Factor : ColumnKind::Variate);
      if (!k.ok) {
        EXPECT_EQ(GetNumber(c, 5), 2.5);
      }
    }
  }
}

TEST_F(ConvertTest, VariateToFactorDistinct) {
  struct Case {
    std::vector<double> values;
    bool sortLabels;
    std::vector<double> numbers;
    std::vector<double> levelValues;
    int32_t levelCount;
    int display;
  };
  const Case cases[] = {
      {{3, 1, 3}, true, {2, 1, 2}, {1, 3}, 2, 1},
      {{1, 2, 1}, true, {1, 2, 1}, {}, 2, 0},
      {{2, 1, 2}, false, {1, 2, 1}, {2, 1}, 2, 1},
      {{M, M}, true, {M, M}, {}, 2, 0},
      {{0.0, -0.0, 2.5, M}, true, {1, 1, 2, M}, {0, 2.5}, 2, 1},
      {{NAN, 4}, true, {M, 1}, {4}, 1, 1},
  };
  for (const Case& k : cases) {
    ResetState();
    State().interceptFatal = true;
    State().options.sortLabels = k.sortLabels;
    Dataset* d = NewDataset(static_cast<int32_t>(k.values.size()));
    Column* c = NumberColumn(d, ColumnKind::Variate, "v", k.values);
    ASSERT_TRUE(VariateToFactor(c, true));
    EXPECT_EQ(c->kind, ColumnKind::Factor);
    EXPECT_EQ(Numbers(c), k.numbers);
    EXPECT_EQ(LevelValues(c), k.levelValues);
    EXPECT_EQ(c->levelCount, k.levelCount);
    EXPECT_EQ(c->factorDisplay, k.display);
    EXPECT_EQ(c->labelCount, 0);
    EXPECT_EQ(c->maxTextLength, 41);
  }
}

TEST_F(ConvertTest, VariateToFactorRounding) {
  Dataset* d = NewDataset(4);
  Column* c = NumberColumn(d, ColumnKind::Variate, "v", {1.4, 2.5, M, 0.2});
  ASSERT_TRUE(VariateToFactor(c, false));
  EXPECT_EQ(Numbers(c), (std::vector<double>{1, 3, M, 0}));
  EXPECT_EQ(c->levelCount, 3);
  EXPECT_EQ(c->factorDisplay, 0);
  EXPECT_EQ(c->kind, ColumnKind::Factor);

  // no positive level: fails, the values stay rounded
  Column* g = NumberColumn(d, ColumnKind::Variate, "g", {-1.2, 0.3, M, M});
  EXPECT_FALSE(VariateToFactor(g, false));
  EXPECT_EQ(g->kind, ColumnKind::Variate);
  EXPECT_EQ(Numbers(g), (std::vector<double>{-1, 0, M, M}));

  // a value beyond the 32-bit range fails the conversion and changes nothing
  Column* h = NumberColumn(d, ColumnKind::Variate, "h", {1.4, 3e9, 2, 2});
  EXPECT_FALSE(VariateToFactor(h, false));
  EXPECT_EQ(h->kind, ColumnKind::Variate);
  EXPECT_EQ(Numbers(h), (std::vector<double>{1.4, 3e9, 2, 2}));
}

// ---------------------------------------------------------------- level operations

TEST_F(ConvertTest, ReorderLevels) {
  Dataset* d = NewDataset(6);
  Column* c = NumberColumn(d, ColumnKind::Factor, "f", {1, 2, 3, 0, 4, M});
  c->levelCount = 3;
  SetLabelList(c, {"a", "b", "c"});
  SetLevelValueList(c, {10, 20, 30});
  c->factorDisplay = 2;
  EXPECT_FALSE(ReorderLevels(c, {0, 0, 1}));
  EXPECT_FALSE(ReorderLevels(c, {0, 1}));
  EXPECT_FALSE(ReorderLevels(c, {0, 1, 3}));
  EXPECT_TRUE(ReorderLevels(c, {0, 1, 2}));
  EXPECT_EQ(Numbers(c), (std::vector<double>{1, 2, 3, 0, 4, M}));  // identity: untouched

  ASSERT_TRUE(ReorderLevels(c, {2, 0, 1}));
  EXPECT_EQ(Labels(c), (std::vector<std::string>{"c", "a", "b"}));
  EXPECT_EQ(LevelValues(c), (std::vector<double>{30, 10, 20}));
  EXPECT_EQ(Numbers(c), (std::vector<double>{2, 3, 1, M, M, M}));

  // a table with margins keeps the margin level
  Dataset* t = NewDataset(3);
  t->shape = DatasetShape::Table;
  t->hasMargins = 1;
  Column* m = NumberColumn(t, ColumnKind::Factor, "m", {1, 2, 3});
  m->levelCount = 2;
  ASSERT_TRUE(ReorderLevels(m, {1, 0}));
  EXPECT_EQ(Numbers(m), (std::vector<double>{2, 1, 3}));

  // locked column or Dataset
  c->locked = 1;
  EXPECT_FALSE(ReorderLevels(c, {1, 0, 2}));
  c->locked = 0;
  d->locked = 1;
  EXPECT_FALSE(ReorderLevels(c, {1, 0, 2}));
  d->locked = 0;

  // fewer than two levels: nothing to do
  Column* one = NumberColumn(d, ColumnKind::Factor, "one", {1});
  one->levelCount = 1;
  EXPECT_TRUE(ReorderLevels(one, {}));
}

TEST_F(ConvertTest, CalendarFamilyTests) {
  struct Case {
    std::vector<std::string> labels;
    LabelFamily family;
    bool follows;
    std::vector<std::string> ordered;
  };
  const Case cases[] = {
      {{"S", "N", "E"}, LabelFamily::Compass, true, {"N", "E", "S"}},
      {{"North"}, LabelFamily::Compass, false, {"North"}},
      {{"sun", "MONDAY", "Wednesday"}, LabelFamily::Weekdays, true, {"MONDAY", "Wednesday", "sun"}},
      {{"Mo", "Tu"}, LabelFamily::Weekdays, false, {"Mo", "Tu"}},
      // test length 4 accepts "Dece", the reordering length 12 does not find it
      {{"Dece", "March", "January"}, LabelFamily::MonthNames, true, {"January", "March", "Dece"}},
      {{"Jan"}, LabelFamily::MonthNames, false, {"Jan"}},
      {{"Sep", "aug", "Xyz"}, LabelFamily::MonthAbbreviations, false, {"aug", "Sep", "Xyz"}},
      {{"Sept", "aug"}, LabelFamily::MonthAbbreviations, true, {"aug", "Sept"}},
  };
  for (const Case& k : cases) {
    Dataset* d = NewDataset(static_cast<int32_t>(k.labels.size()));
    std::vector<double> values;
    for (std::size_t i = 0; i < k.labels.size(); ++i) values.push_back(i + 1.0);
    Column* c = NumberColumn(d, ColumnKind::Factor, "f", values);
    c->levelCount = static_cast<int32_t>(k.labels.size());
    SetLabelList(c, k.labels);
    c->factorDisplay = 2;
    EXPECT_EQ(LabelsFollowFamily(c, k.family), k.follows) << k.labels[0];
    ASSERT_TRUE(OrderLabelsByFamily(c, k.family)) << k.labels[0];
    EXPECT_EQ(Labels(c), k.ordered) << k.labels[0];
    // every value still names its own label
    for (std::size_t i = 0; i < k.labels.size(); ++i)
      EXPECT_EQ(c->labels.Get(static_cast<int64_t>(GetNumber(c, i)) - 1), k.labels[i]);
  }
}

TEST_F(ConvertTest, FactorLevelText) {
  Dataset* d = NewDataset(1);
  Column* c = NumberColumn(d, ColumnKind::Factor, "f", {1});
  c->levelCount = 3;
  SetLevelValueList(c, {1.25, 7});
  SetLabelList(c, {"alpha", "beta"});
  struct Case {
    int display;
    long level;
    bool ok;
    const char* text;
  };
  const Case cases[] = {
      {0, 2, true, "2"},     {0, 0, true, "*"},      {0, 4, false, ""},
      {1, 1, true, "1.25"},  {1, 2, true, "7"},      {1, 0, true, "*"},
      {1, 3, false, ""},     {2, 2, true, "beta"},   {2, 0, true, ""},
      {2, 3, false, ""},     {2, 4, false, ""},
  };
  for (const Case& k : cases) {
    c->factorDisplay = k.display;
    std::string text = "junk";
    EXPECT_EQ(FactorLevelText(c, k.level, text), k.ok) << k.display << "/" << k.level;
    EXPECT_EQ(text, k.text) << k.display << "/" << k.level;
  }
  d->shape = DatasetShape::Table;
  c->factorDisplay = 0;
  std::string text;
  EXPECT_FALSE(FactorLevelText(c, 0, text));
}

TEST_F(ConvertTest, MakeLabelsAndSetLevelValues) {
  Dataset* d = NewDataset(1);
  Column* c = NumberColumn(d, ColumnKind::Factor, "f", {1});
  c->levelCount = 3;
  ASSERT_TRUE(MakeLabelsFromLevels(c));
  EXPECT_EQ(Labels(c), (std::vector<std::string>{"1", "2", "3"}));
  EXPECT_EQ(c->factorDisplay, 2);
  EXPECT_EQ(c->valueFormat, 4);
  EXPECT_EQ(c->longestLabel, 1);

  const double values[] = {0.5, 12.75, -3};
  ASSERT_TRUE(SetLevelValues(c, values));
  EXPECT_EQ(LevelValues(c), (std::vector<double>{0.5, 12.75, -3}));
  EXPECT_EQ(c->factorDisplay, 1);
  EXPECT_EQ(c->valueFormat, 1);
  ASSERT_TRUE(MakeLabelsFromLevels(c));
  EXPECT_EQ(Labels(c), (std::vector<std::string>{"0.5", "12.75", "-3"}));
  EXPECT_EQ(c->longestLabel, 5);

  ASSERT_TRUE(SetLevelValues(c, nullptr));
  EXPECT_EQ(LevelValues(c), (std::vector<double>{1, 2, 3}));

  // level values that run out fall back to the level number
  SetLevelValueList(c, {9.5});
  c->valueFormat = 1;
  ASSERT_TRUE(MakeLabelsFromLevels(c));
  EXPECT_EQ(Labels(c), (std::vector<std::string>{"9.5", "2", "3"}));

  Column* v = NumberColumn(d, ColumnKind::Variate, "v", {1});
  EXPECT_FALSE(MakeLabelsFromLevels(v));
  EXPECT_FALSE(SetLevelValues(v, nullptr));
}

// ---------------------------------------------------------------- ConvertColumn

TEST_F(ConvertTest, ConvertColumnLockedChangesNothing) {
  Dataset* d = NewDataset(2);
  Column* c = TextColumn(d, "t", {"1", "2"});
  d->locked = 1;
  ConvertColumn(c, ColumnKind::Text, ColumnKind::Variate, true, true);
  EXPECT_EQ(c->kind, ColumnKind::Text);
  EXPECT_EQ(c->changed, 0);
  EXPECT_EQ(Texts(c), (std::vector<std::string>{"1", "2"}));
  d->locked = 0;
  c->locked = 1;
  ConvertColumn(c, ColumnKind::Text, ColumnKind::Factor, true, true);
  EXPECT_EQ(c->kind, ColumnKind::Text);
  c->locked = 0;
  // a conversion from another kind than the column's does not apply
  ConvertColumn(c, ColumnKind::Factor, ColumnKind::Variate, true, true);
  EXPECT_EQ(c->kind, ColumnKind::Text);
  ConvertColumn(c, ColumnKind::Text, ColumnKind::Variate, true, true);
  EXPECT_EQ(c->kind, ColumnKind::Variate);
  EXPECT_EQ(Numbers(c), (std::vector<double>{1, 2}));
}

TEST_F(ConvertTest, ConvertColumnTable) {
  struct Case {
    ColumnKind from;
    ColumnKind to;
    ColumnKind result;
  };
  const Case cases[] = {
      {ColumnKind::Factor, ColumnKind::Text, ColumnKind::Text},
      {ColumnKind::Factor, ColumnKind::Variate, ColumnKind::Variate},
      {ColumnKind::Factor, ColumnKind::VariateUnits, ColumnKind::VariateUnits},
      {ColumnKind::Factor, ColumnKind::TextUnits, ColumnKind::TextUnits},
      {ColumnKind::Text, ColumnKind::Variate, ColumnKind::Variate},
      {ColumnKind::Text, ColumnKind::Factor, ColumnKind::Factor},
      {ColumnKind::Text, ColumnKind::TextUnits, ColumnKind::TextUnits},
      {ColumnKind::Text, ColumnKind::VariateUnits, ColumnKind::VariateUnits},
      {ColumnKind::Variate, ColumnKind::Factor, ColumnKind::Factor},
      {ColumnKind::Variate, ColumnKind::Text, ColumnKind::Text},
      {ColumnKind::Variate, ColumnKind::VariateUnits, ColumnKind::VariateUnits},
      {ColumnKind::Variate, ColumnKind::MatrixColumn, ColumnKind::MatrixColumn},
      {ColumnKind::Scalar, ColumnKind::Factor, ColumnKind::Factor},
      {ColumnKind::MatrixColumn, ColumnKind::TableColumn, ColumnKind::TableColumn},
      {ColumnKind::TableColumn, ColumnKind::Scalar, ColumnKind::Variate},
      {ColumnKind::Variate, ColumnKind::TextUnits, ColumnKind::Variate},
      {ColumnKind::Text, ColumnKind::MatrixColumn, ColumnKind::Text},
  };
  for (const Case& k : cases) {
    ResetState();
    State().interceptFatal = true;
    Dataset* d = NewDataset(3);
    NumberColumn(d, ColumnKind::Variate, "first", {1, 2, 3});
    Column* c;
    if (IsTextKind(k.from)) {
      c = TextColumn(d, "c", {"3", "1", "3"});
    } else {
      c = NumberColumn(d, k.from, "c", {3, 1, 3});
      if (k.from == ColumnKind::Factor) c->levelCount = 3;
    }
    ConvertColumn(c, k.from, k.to, true, true);
    std::string what = std::to_string(static_cast<int>(k.from)) + "->" +
                       std::to_string(static_cast<int>(k.to));
    EXPECT_EQ(c->kind, k.result) << what;
    bool units = k.result == ColumnKind::VariateUnits || k.result == ColumnKind::TextUnits;
    EXPECT_EQ(c->position, units ? 1 : 2) << what;
    EXPECT_EQ(d->unitsColumnCount, units ? 2 : 1) << what;
    if (IsTextKind(k.result)) {
      EXPECT_EQ(c->texts.size(), 3) << what;
      EXPECT_EQ(c->valueFormat, 4) << what;
    } else {
      EXPECT_EQ(c->numbers.size(), 3) << what;
    }
  }
}

TEST_F(ConvertTest, UnitsColumnsComeAndGo) {
  Dataset* d = NewDataset(2);
  Column* a = TextColumn(d, "a", {"x", "y"});
  Column* b = TextColumn(d, "b", {"p", "q"});
  ConvertColumn(b, ColumnKind::Text, ColumnKind::TextUnits, true, true);
  EXPECT_EQ(b->kind, ColumnKind::TextUnits);
  EXPECT_EQ(b->position, 1);
  EXPECT_EQ(a->position, 2);
  EXPECT_EQ(d->unitsColumnCount, 2);
  // only one units column
  ConvertColumn(a, ColumnKind::Text, ColumnKind::TextUnits, true, true);
  EXPECT_EQ(a->kind, ColumnKind::Text);
  EXPECT_FALSE(MakeTextUnits(a));
  // back to an ordinary column
  ConvertColumn(b, ColumnKind::TextUnits, ColumnKind::Factor, true, true);
  EXPECT_EQ(b->kind, ColumnKind::Factor);
  EXPECT_EQ(d->unitsColumnCount, 1);
  EXPECT_EQ(Labels(b), (std::vector<std::string>{"p", "q"}));
  EXPECT_TRUE(MakeTextUnits(a));
  EXPECT_TRUE(UnitsToText(a));
  EXPECT_FALSE(UnitsToText(a));
  EXPECT_EQ(d->unitsColumnCount, 1);
}

}  // namespace
}  // namespace trovadex
