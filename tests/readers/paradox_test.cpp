#include <cstdlib>
#include <string>
#include <vector>

#include "core/byteorder.h"
#include "core/dataset.h"
#include "readers/readers.h"
#include "test_support.h"

namespace trovadex {
namespace {


class ParadoxReaderTest : public test::ReaderTest<ReadParadox> {
 protected:
  int16_t ReadBytes(const std::string& bytes) {
    test::WriteFile(dir / "t.db", bytes);
    return Read(dir / "t.db");
  }
  std::string Corpus(const std::string& name) { return test::SharedDir() + "/corpus-public/paradox/" + name; }
  Column* Col(int position) { return ColumnAt(CurrentDataset(), position); }
  double Num(int column, int row) { return GetNumber(Col(column), row); }
};

// The public tables with the values their producer's tests assert (dates
// as spreadsheet day numbers, times in seconds).
TEST_F(ParadoxReaderTest, PublicTablesReadWithTheirExpectedValues) {
  TROVADEX_NEED_SHARED();
  struct Case {
    const char* file;
    int rows;
    std::vector<std::string> names;
  };
  const Case cases[] = {{"GENERAL.DB", 3, {"ID", "NAME", "MONEYS"}}, {"STATES.DB", 53, {"Abv", "State", "Zip_From", "Zip_To"}},
                        {"date35.db", 3, {"DATE"}},  {"date4.db", 3, {"DATE"}}, {"date7.db", 5, {"DATE", "TIME"}},
                        {"time.db", 3, {"Time"}},    {"long.db", 3, {"Id", "LONG"}}, {"logical.db", 4, {"BOOL"}},
                        {"memo.db", 2, {"Id"}},      {"DECIMAL.DB", 9, {"DECIMAL"}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    ASSERT_EQ(Read(Corpus(c.file)), 1) << output;
    ASSERT_NE(CurrentDataset(), nullptr);
    EXPECT_EQ(CurrentDataset()->rowCount, c.rows);
    ASSERT_EQ(CurrentDataset()->columnCount, static_cast<int>(c.names.size()));
    for (std::size_t k = 0; k < c.names.size(); ++k) EXPECT_EQ(Col(static_cast<int>(k) + 1)->name, c.names[k]);
    const std::string file = c.file;
    if (file == "GENERAL.DB") {
      const double ids[] = {1, 2, 333333333}, money[] = {100, 150, 75};
      const char* names[] = {"Mari", "Katty", "Elizabet"};
      for (int r = 0; r < 3; ++r) {
        EXPECT_EQ(Num(1, r), ids[r]);
        EXPECT_EQ(GetText(Col(2), r), names[r]);
        EXPECT_EQ(Num(3, r), money[r]);
      }
      EXPECT_EQ(Col(3)->decimals, 2);
    } else if (file == "date7.db") {
      // 2018-01-01, 2018-02-01, 2018-01-02, (none), 2018-01-01; 10:00:00 in row 4.
      const double days[] = {43101, 43132, 43102, kMissingValue, 43101};
      for (int r = 0; r < 5; ++r) EXPECT_EQ(Num(1, r), days[r]) << r;
      EXPECT_EQ(Num(2, 3), 36000);
    } else if (file == "time.db") {
      EXPECT_EQ(Num(1, 0), 3601);
      EXPECT_EQ(Num(1, 1), kMissingValue);
      EXPECT_EQ(Num(1, 2), 10803);
    } else if (file == "long.db") {
      EXPECT_EQ(Num(2, 1), 2);
      EXPECT_EQ(Num(2, 2), kMissingValue);
    } else if (file == "DECIMAL.DB") {
      bool one = false;
      for (int r = 0; r < 9; ++r) one = one || Num(1, r) == 1.0;
      EXPECT_TRUE(one);
    }
  }
}

// Tables written by Gnumeric's Paradox exporter, which takes the field
// specifications from the first row.
TEST_F(ParadoxReaderTest, TablesWrittenByGnumeric) {
  if (std::system("ssconvert --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "ssconvert absent";
  test::WriteFile(dir / "in.csv",
                  "\"name,A,10\",\"count,S,2\",\"big,I,4\",\"price,N,8\",\"ok,L,1\",\"born,D,4\"\n"
                  "Ann,5,100000,1.5,TRUE,2020-01-02\n"
                  "Bob,-5,-100000,-2.25,FALSE,1999-12-31\n"
                  ",,,,,\n"
                  "Cy,0,-1,1e300,TRUE,1900-03-01\n");
  ASSERT_EQ(std::system(("cd " + dir.path().string() +
                         " && ssconvert --export-type=Gnumeric_paradox:paradox in.csv out.db >/dev/null 2>&1")
                            .c_str()),
            0);
  ASSERT_EQ(Read(dir / "out.db"), 1) << output;
  ASSERT_EQ(CurrentDataset()->rowCount, 4);
  const std::vector<std::vector<double>> numbers = {{5, -5, kMissingValue, 0},
                                                    {100000, -100000, kMissingValue, -1},
                                                    {1.5, -2.25, kMissingValue, 1e300},
                                                    {1, 0, kMissingValue, 1},
                                                    {43832, 36525, kMissingValue, 61}};
  for (int k = 0; k < 5; ++k)
    for (int r = 0; r < 4; ++r) EXPECT_EQ(Num(k + 2, r), numbers[static_cast<std::size_t>(k)][static_cast<std::size_t>(r)]) << k << " " << r;
  EXPECT_EQ(GetText(Col(1), 0), "Ann");
  EXPECT_EQ(GetText(Col(1), 2), "");
}

// Damaged copies of GENERAL.DB (header 2048 bytes, blocks of 2 KB, records
// of 37 bytes: Long, Alpha 25, Currency).
TEST_F(ParadoxReaderTest, DamagedTablesEndCleanly) {
  TROVADEX_NEED_SHARED();
  const std::string good = test::ReadFile(Corpus("GENERAL.DB"));
  ASSERT_EQ(good.size(), 4096u);
  auto changed = [&](std::size_t at, std::string bytes) {
    std::string s = good;
    s.replace(at, bytes.size(), bytes);
    return s;
  };
  EXPECT_EQ(ReadBytes(changed(0, std::string("\0\0", 2))), 0);  // record size 0
  EXPECT_EQ(ReadBytes(changed(5, std::string("\0", 1))), 0);    // block size 0
  EXPECT_EQ(ReadBytes(changed(0, std::string("\x05\0", 2))), 0);  // fields longer than the record
  EXPECT_EQ(ReadBytes(changed(120, "\x07")), 0);                 // an unknown type
  // No records, blocks or fields: nothing read, no failure.
  EXPECT_EQ(ReadBytes(changed(6, std::string("\0\0\0\0", 4))), 1);
  EXPECT_EQ(CurrentDataset(), nullptr);
  // A block whose next block is itself: read once.
  ASSERT_EQ(ReadBytes(changed(2048, std::string("\x01\0", 2))), 1);
  EXPECT_EQ(CurrentDataset()->rowCount, 3);
  // A last-record offset far past the block: the records a block can hold.
  EXPECT_EQ(ReadBytes(changed(2052, std::string("\xFF\x7F", 2))), 1);
  EXPECT_EQ(CurrentDataset()->rowCount, 3);
  // An empty block (offset -record size): no data.
  EXPECT_EQ(ReadBytes(changed(2052, std::string("\xDB\xFF", 2))), 1);
  EXPECT_EQ(CurrentDataset(), nullptr);
  // A table cut inside its second record keeps the first and warns.
  ASSERT_EQ(ReadBytes(good.substr(0, 2048 + 6 + 37 + 10)), 1);
  EXPECT_EQ(CurrentDataset()->rowCount, 1);
  EXPECT_NE(output.find("1 of its 3 records"), std::string::npos) << output;
}

}  // namespace
}  // namespace trovadex
