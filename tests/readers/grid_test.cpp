// Cell grid to columns: the name row, kinds, name suffixes and markers, factor
// notes, the metadata layout, the column limit, texts and numbers, the
// description, the Range argument and the choice of sheet or range.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <variant>

#include "core/convert.h"
#include "readers/grid.h"
#include "test_support.h"

namespace trovadex {
namespace {

using Cell = std::variant<std::monostate, double, std::string>;
using Rows = std::vector<std::vector<Cell>>;

class GridTest : public test::StateTest {
 protected:
  // A grid whose first slot is (row0, col0), filled row by row.
  void Fill(const Rows& rows, int32_t row0 = 0, int32_t col0 = 0) {
    int32_t width = 0;
    for (const auto& r : rows) width = std::max<int32_t>(width, static_cast<int32_t>(r.size()));
    InitCellGrid(grid_, row0, col0, static_cast<int32_t>(rows.size()), width);
    for (std::size_t r = 0; r < rows.size(); ++r)
      for (std::size_t c = 0; c < rows[r].size(); ++c) {
        if (auto* d = std::get_if<double>(&rows[r][c])) StoreNumber(grid_, row0 + r, col0 + c, *d);
        if (auto* s = std::get_if<std::string>(&rows[r][c])) StoreText(grid_, row0 + r, col0 + c, *s);
      }
    selection_.sheets = {{"SHEET1", 0, 0}};
  }
  int16_t Convert(int kind = kMessageExcel) {
    testing::internal::CaptureStdout();
    int16_t result = GridToColumns(selection_, "book.xls", grid_, kind);
    output_ = testing::internal::GetCapturedStdout();
    return result;
  }
  Column* Col(int position) { return ColumnAt(CurrentDataset(), position); }
  std::vector<std::string> Names() {
    std::vector<std::string> names;
    for (Column* c = CurrentDataset()->firstColumn->next; c; c = c->next) names.push_back(c->name);
    return names;
  }
  CellGrid grid_;
  SheetSelection selection_;
  std::string output_;
};

const Cell E{};
Cell N(double v) { return v; }
Cell T(const char* s) { return std::string(s); }

TEST_F(GridTest, FirstRowOfTextsNamesTheColumns) {
  Fill({{T("height"), T("weight")}, {N(1.5), N(60)}, {N(1.7), N(72)}});
  ASSERT_EQ(Convert(), 1);
  Dataset* d = CurrentDataset();
  EXPECT_EQ(d->rowCount, 2);
  EXPECT_EQ(Names(), (std::vector<std::string>{"height", "weight"}));
  EXPECT_EQ(Col(1)->kind, ColumnKind::Variate);
  EXPECT_EQ(GetNumber(Col(1), 1), 1.7);
  EXPECT_EQ(State().sourceDescription, "Data read from book.xls [SHEET1]A1:B3");
  EXPECT_EQ(output_, "Data read from book.xls [SHEET1]A1:B3\n");
}

TEST_F(GridTest, NumberInFirstRowMeansNoNameRow) {
  Fill({{T("a"), N(1)}, {T("b"), N(2)}, {T("c"), N(3)}});
  ASSERT_EQ(Convert(), 1);
  EXPECT_EQ(CurrentDataset()->rowCount, 3);
  EXPECT_EQ(Col(1)->kind, ColumnKind::Text);
  EXPECT_EQ(GetText(Col(1), 0), "a");
  EXPECT_EQ(Col(1)->name, "C1");
  EXPECT_EQ(Col(2)->name, "C2");
}

TEST_F(GridTest, OneRowIsData) {
  Fill({{T("x"), T("y")}});
  ASSERT_EQ(Convert(), 1);
  EXPECT_EQ(CurrentDataset()->rowCount, 1);
  EXPECT_EQ(GetText(Col(1), 0), "x");
  EXPECT_EQ(Col(1)->name, "C1");
}

TEST_F(GridTest, NamesRowOptionsForceTheDecision) {
  Fill({{N(10), N(20)}, {N(1), N(2)}});
  State().namesRowMode = NamesRowMode::Present;
  ASSERT_EQ(Convert(), 1);
  EXPECT_EQ(CurrentDataset()->rowCount, 1);
  EXPECT_EQ(Col(1)->name, "%10");
  State().namesRowMode = NamesRowMode::Absent;
  Fill({{T("a"), T("b")}, {N(1), N(2)}});
  ASSERT_EQ(Convert(), 1);
  EXPECT_EQ(CurrentDataset()->rowCount, 2);
}

TEST_F(GridTest, SuffixesAndMarkers) {
  Fill({{T("Dose:2"), T("Date:D"), T("Block!"), T("Code$"), T("Plot!#"), T("Rate:e"), T("Odd:x")},
        {N(1.234), N(40000), T("a"), N(17), N(3), N(0.5), N(1)},
        {N(2), N(40001), T("b"), N(18), N(1), N(0.25), N(2)},
        {N(3), N(40002), T("a"), N(1234567890123.0), N(3), N(0.125), N(3)}});
  ASSERT_EQ(Convert(), 1);
  Column* dose = Col(1);
  EXPECT_EQ(dose->name, "Dose");
  EXPECT_EQ(dose->kind, ColumnKind::Variate);
  EXPECT_EQ(dose->valueFormat, 3);
  EXPECT_EQ(dose->decimals, 2);
  Column* date = Col(2);
  EXPECT_EQ(date->name, "Date");
  EXPECT_EQ(date->valueFormat, 5);
  EXPECT_EQ(date->dateRepresentation, 4);
  Column* block = Col(3);
  EXPECT_EQ(block->name, "Block");
  EXPECT_EQ(block->kind, ColumnKind::Factor);
  EXPECT_EQ(block->levelCount, 2);
  Column* code = Col(4);
  EXPECT_EQ(code->name, "Code");
  EXPECT_EQ(code->kind, ColumnKind::Text);
  EXPECT_EQ(GetText(code, 0), "17");
  EXPECT_EQ(GetText(code, 2), "1234567890123");  // every digit, no exponent
  Column* plot = Col(5);
  EXPECT_EQ(plot->name, "Plot");
  EXPECT_EQ(plot->kind, ColumnKind::Factor);
  EXPECT_EQ(plot->levelCount, 2);
  EXPECT_EQ(Col(6)->name, "Rate");
  EXPECT_EQ(Col(6)->valueFormat, 2);
  EXPECT_EQ(Col(7)->name, "Odd_x");  // other characters after ":" leave the name (then made legal)
}

TEST_F(GridTest, NumbersInTextColumnsReadBackExactly) {
  Fill({{T("id")}, {N(1234567890123.0)}, {N(0.1)}, {N(9007199254740992.0)}, {N(1e20)}, {N(-0.0)}, {T("x")}, {N(2.5e-7)}});
  ASSERT_EQ(Convert(), 1);
  Column* c = Col(1);
  ASSERT_EQ(c->kind, ColumnKind::Text);
  EXPECT_EQ(GetText(c, 0), "1234567890123");
  EXPECT_EQ(GetText(c, 1), "0.1");
  EXPECT_EQ(GetText(c, 2), "9007199254740992");
  EXPECT_EQ(std::stod(std::string(GetText(c, 3))), 1e20);
  EXPECT_EQ(GetText(c, 4), "0");
  EXPECT_EQ(std::stod(std::string(GetText(c, 6))), 2.5e-7);
}

TEST_F(GridTest, MissingTextStaysVariate) {
  Fill({{T("v")}, {N(1)}, {T("*")}, {N(3)}});
  ASSERT_EQ(Convert(), 1);
  EXPECT_EQ(Col(1)->kind, ColumnKind::Variate);
  EXPECT_TRUE(IsMissing(CurrentDataset(), GetNumber(Col(1), 1)));
  EXPECT_EQ(output_.find("Labels"), std::string::npos);
}

TEST_F(GridTest, LabelsInNumericColumnAreReported) {
  test::TempDir dir;
  auto old = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  Fill({{T("a"), T("n#")}, {N(1), N(5)}, {N(2), T("7")}, {N(3), T("n/a")}, {N(4), T("1,5")}});
  ASSERT_EQ(Convert(), 1);
  Column* n = Col(2);
  EXPECT_EQ(n->kind, ColumnKind::Variate);
  EXPECT_EQ(GetNumber(n, 1), 7);
  EXPECT_NE(output_.find("Warning: Labels in numeric column at: R3C3, R4C3, R5C3\n"), std::string::npos) << output_;
  CloseWarningsFile();
  EXPECT_EQ(test::ReadFile(dir / kWarningsFileName),
            "Text to Number Conversion Warnings\n \n"
            "Column n Row    3 (From Cell B4): n/a read as *\n"
            "Column n Row    4 (From Cell B5): 1,5 read as 1.5\n");
  std::filesystem::current_path(old);
}

TEST_F(GridTest, ColumnLimitWarning) {
  State().columnLimit = 255;
  std::vector<Cell> names, values;
  for (int i = 0; i < 300; ++i) {
    names.push_back(T(("c" + std::to_string(i)).c_str()));
    values.push_back(N(i));
  }
  Fill({names, values});
  ASSERT_EQ(Convert(), 1);
  EXPECT_EQ(CurrentDataset()->columnCount, 255);
  EXPECT_NE(output_.find("Warning Columns above 255 NOT transfered!\n"), std::string::npos);
  // Exactly at the limit nothing is lost and nothing is said.
  names.resize(255), values.resize(255);
  Fill({names, values});
  ASSERT_EQ(Convert(), 1);
  EXPECT_EQ(output_.find("NOT transfered"), std::string::npos);
}

TEST_F(GridTest, EmptyColumnsAreDroppedAndSelectionRectangleApplies) {
  Fill({{T("a"), T("empty"), T("c"), T("d")}, {N(1), E, N(3), N(4)}, {N(2), E, N(5), N(6)}});
  selection_.colFirst = 0;
  selection_.colLast = 2;
  ASSERT_EQ(Convert(), 1);
  EXPECT_EQ(Names(), (std::vector<std::string>{"a", "c"}));
}

TEST_F(GridTest, NotesGiveDescriptionAndFactorLabels) {
  Fill({{T("Dose!"), T("Weight")}, {N(1), N(50)}, {N(2), N(60)}, {N(1), N(70)}});
  grid_.notes.push_back({0, 0, "!T(low,high)\nDose given"});
  grid_.notes.push_back({0, 1, "Body weight"});
  ASSERT_EQ(Convert(), 1);
  Column* dose = Col(1);
  ASSERT_EQ(dose->kind, ColumnKind::Factor);
  ASSERT_EQ(dose->labelCount, 2);
  EXPECT_EQ(dose->labels.Get(0), "low");
  EXPECT_EQ(dose->labels.Get(1), "high");
  EXPECT_EQ(dose->description, "Dose given");
  EXPECT_EQ(Col(2)->description, "Body weight");
}

TEST_F(GridTest, FactorNoteLevelValuesAndOrder) {
  Fill({{T("A!"), T("B!"), T("C!")},
        {N(1), T("x"), N(10)},
        {N(2), T("y"), N(20)},
        {N(1), T("z"), N(30)}});
  grid_.notes.push_back({0, 0, "!(5.5,7)"});
  grid_.notes.push_back({0, 1, "!T(z,x)"});
  grid_.notes.push_back({0, 2, "!(30,10)"});
  ASSERT_EQ(Convert(), 1);
  Column* a = Col(1);
  ASSERT_EQ(a->levelValueCount, 2);
  EXPECT_EQ(a->levelValues.Get(0), 5.5);
  EXPECT_EQ(a->levelValues.Get(1), 7);
  Column* b = Col(2);  // labels x, y, z reordered z, x, y
  ASSERT_EQ(b->labelCount, 3);
  EXPECT_EQ(b->labels.Get(0), "z");
  EXPECT_EQ(b->labels.Get(1), "x");
  EXPECT_EQ(b->labels.Get(2), "y");
  EXPECT_EQ(GetNumber(b, 0), 2);  // "x" is now level 2
  Column* c = Col(3);  // level values 10, 20, 30 reordered 30, 10, 20
  ASSERT_EQ(c->levelValueCount, 3);
  EXPECT_EQ(c->levelValues.Get(0), 30);
  EXPECT_EQ(c->levelValues.Get(1), 10);
  EXPECT_EQ(GetNumber(c, 2), 1);
}

TEST_F(GridTest, ApplyFactorNoteNeedsAFactor) {
  Fill({{T("v")}, {N(1)}, {N(2)}});
  ASSERT_EQ(Convert(), 1);
  EXPECT_FALSE(ApplyFactorNote(Col(1), "!T(a,b)"));
  EXPECT_FALSE(ApplyFactorNote(nullptr, "!T(a,b)"));
}

// The layout the program's own Excel writer makes with "/l=": key rows, then
// type, title, units, date and name rows, the range "column_row" over them.
TEST_F(GridTest, MetadataLayout) {
  Fill({{T("study"), T("Trial 7")},
        {T("site"), N(12)},
        {T("variable_type"), T("factor"), T("measurement"), T("treatment")},
        {T("variable_title"), T("Plot"), T("Yield in t/ha"), T("Variety")},
        {T("units"), E, T("t/ha")},
        {T("date")},
        {T("variable_name"), T("plot"), T("yield"), T("variety")},
        {E, N(1), N(5.5), T("A")},
        {E, N(2), N(6.5), T("B")},
        {E, N(3), E, T("A")}});
  selection_.useColumnRow = 1;
  selection_.colFirst = 1, selection_.rowFirst = 2, selection_.colLast = 1, selection_.rowLast = 6;
  ASSERT_EQ(Convert(), 1);
  Dataset* d = CurrentDataset();
  EXPECT_EQ(d->rowCount, 3);
  ASSERT_EQ(d->columnCount, 3);
  std::vector<std::string> names;
  for (Column* c = d->firstColumn->next; c; c = c->next) names.push_back(c->name);
  EXPECT_EQ(names, (std::vector<std::string>{"plot", "yield", "variety"}));
  Column* plot = d->firstColumn->next;
  EXPECT_EQ(plot->kind, ColumnKind::VariateUnits);  // a classification column with one level per row
  EXPECT_EQ(plot->description, " Plot");
  Column* yield = plot->next;
  EXPECT_EQ(yield->kind, ColumnKind::Variate);
  EXPECT_EQ(yield->description, " Yield in t/ha");
  Column* variety = yield->next;
  EXPECT_EQ(variety->kind, ColumnKind::Factor);  // "treatment" in the type row
  EXPECT_EQ(d->notes, (std::vector<std::string>{"study: Trial 7", "site: 12"}));
}

TEST_F(GridTest, MetadataTraitTitleRowBecomesTheTitleRow) {
  Fill({{T("trait_name"), T("a"), T("b")},
        {T("trait_title"), T("Alpha"), T("Beta")},
        {E, N(1), N(2)},
        {E, N(3), N(4)}});
  selection_.useColumnRow = 1;
  selection_.colFirst = 1, selection_.rowFirst = 0, selection_.colLast = 1, selection_.rowLast = 1;
  ASSERT_EQ(Convert(), 1);
  Dataset* d = CurrentDataset();
  EXPECT_EQ(d->rowCount, 2);
  Column* a = d->firstColumn->next;
  EXPECT_EQ(a->name, "a");
  EXPECT_EQ(a->description, " Alpha");
  EXPECT_EQ(a->next->name, "b");
  EXPECT_EQ(a->next->description, " Beta");
}

TEST_F(GridTest, SlotsOutsideTheGridAreEmpty) {
  Fill({{T("a")}, {N(1)}});
  EXPECT_EQ(GridSlot(grid_, 2, 0), -1);  // the cell count itself is outside
  EXPECT_EQ(GridSlot(grid_, 0, 1), -1);
  EXPECT_EQ(GridSlot(grid_, -1, 0), -1);
  EXPECT_FALSE(StoreNumber(grid_, 5, 5, 1));
  EXPECT_EQ(GridKind(grid_, 2), CellKind::Empty);
}

TEST_F(GridTest, NothingToConvert) {
  Fill({{T("a"), T("b")}});
  grid_ = CellGrid{};
  EXPECT_EQ(Convert(), 0);
  InitCellGrid(grid_, 0, 0, 3, 3);
  EXPECT_EQ(Convert(), 0);  // no cells stored
}

TEST_F(GridTest, DescriptionForOtherSpreadsheets) {
  Fill({{T("a")}, {N(1)}}, 4, 27);
  selection_.selected = 1;
  selection_.sheets.push_back({"SECOND", 0, 1});
  ASSERT_EQ(Convert(8), 1);
  EXPECT_EQ(State().sourceDescription, "Data read from book.xls - B:AB5..AB6");
}

TEST(ColumnLettersTest, Letters) {
  std::pair<int, const char*> cases[] = {{0, "A"}, {25, "Z"}, {26, "AA"}, {27, "AB"}, {51, "AZ"}, {52, "BA"}, {255, "IV"}};
  for (auto [n, letters] : cases) EXPECT_EQ(ColumnLetters(n), letters) << n;
}

TEST(RangeArgumentTest, Parsing) {
  struct Case {
    const char* text;
    int32_t c0, r0, c1, r1;
  } cases[] = {
      {"C1:K100", 2, 0, 10, 99},
      {"B3", 1, 2, 0xFFFF, 0xFFFF},
      {"AB2:AZ1201", 27, 1, 51, 1200},
      {"b3:d12", 1, 2, 3, 11},
      {"B3..D12", 1, 2, 3, 11},
      {"B3.D12", 1, 2, 3, 11},
      {"B3 D12", 1, 2, 3, 11},
      {"3:10", 0, 2, 255, 9},  // rows only: the last column goes to the limit
      {"B:D", 1, 0, 3, 0xFFFF},
      {"ZZ5:ZZ9", 255, 4, 255, 8},  // columns are limited to 255 when a row follows
      {"B3-D12", 1, 2, 0xFFFF, 0xFFFF},
      {"A1:$C$4", 0, 0, 2, 0xFFFF},  // "$" skipped before C; "$4" stops the reference
  };
  for (const Case& c : cases) {
    SheetSelection s;
    ParseRangeArgument(c.text, s);
    EXPECT_EQ(s.colFirst, c.c0) << c.text;
    EXPECT_EQ(s.rowFirst, c.r0) << c.text;
    EXPECT_EQ(s.colLast, c.c1) << c.text;
    EXPECT_EQ(s.rowLast, c.r1) << c.text;
  }
}

TEST(SelectionTest, ByNumberNameAndPrefix) {
  SheetSelection base;
  base.sheets = {{"DATA LONG", 0, 0}, {"DATA", 0, 1}, {"OTHER", 0, 2}};
  base.ranges = {{"BLOCK", 3, 0, 0, 1, 1}, {"BLOCK", 1, 2, 2, 3, 3}, {"COLUMN_ROW", 0, 0, 0, 0, 0}};
  struct Case {
    std::string argument;
    long occurrence;
    int32_t selected;
  } cases[] = {
      {"", 1, 0},        {"2", 1, 1},        {"4", 1, 3},         {"02", 1, 0},   {"0", 1, 0},
      {"S:DATA", 1, 1},  {"S:data", 1, 1},   {"S:DAT", 1, 0},     {"S:OTH", 1, 2},
      {"DATA", 1, 1},    {"other", 1, 2},    {"BLOCK", 1, 3},     {"R:BLOCK", 1, 3},
      {"R:BLOCK", 2, 4}, {"R:BLOCK", 0, 4},  {"R:column_row", 1, 5}, {"99", 1, 5},
  };
  for (const Case& c : cases) {
    SheetSelection s = base;
    ASSERT_TRUE(SelectByArgument(s, c.argument, c.occurrence));
    EXPECT_EQ(s.selected, c.selected) << c.argument << " " << c.occurrence;
  }
  SheetSelection s = base;
  SelectByArgument(s, "R:BLOCK", 2);
  ASSERT_TRUE(ResolveSelection(s, "A1:B2"));
  EXPECT_EQ(s.selected, 1);  // the sheet with ordinal 1
  EXPECT_EQ(s.colFirst, 2);
  EXPECT_EQ(s.rowLast, 3);   // the range's rectangle, not the Range argument
  s = base;
  SelectByArgument(s, "BLOCK", 1);
  EXPECT_FALSE(ResolveSelection(s, ""));  // no sheet has ordinal 3
}

}  // namespace
}  // namespace trovadex
