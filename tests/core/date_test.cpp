#include <cstdio>
#include <string>
#include <utility>

#include "core/dataset.h"
#include "core/format.h"
#include "test_support.h"

namespace trovadex {
namespace {

using test::StateTest;

class DateTest : public StateTest {};

constexpr double kMissing = kMissingValue;

TEST_F(DateTest, ExamplesOfTheLayouts) {
  EXPECT_EQ(FormatDate(36892, 0, 25, kMissing), "2001-01-01");
  EXPECT_EQ(FormatDate(36892, 0, 3, kMissing), "01/01/2001");
  EXPECT_EQ(FormatDate(36161, 0, 3, kMissing), "01/01/99");
  EXPECT_EQ(FormatDate(36161, 0, 4, kMissing), "01/01/1999");
  EXPECT_EQ(FormatDate(36892.75, 0, 27, kMissing), "2001-01-01 18:00:00");
  EXPECT_EQ(FormatDate(36892.75, 0, 30, kMissing), " 6:00:00 pm");
  EXPECT_EQ(FormatDate(kMissing, 0, 3, kMissing), "*");
  EXPECT_EQ(FormatDate(-2e307, 0, 25, kMissing), "*");
}

TEST_F(DateTest, EveryLayout) {
  // 5 March 1999 14:07:09.25 and 7 August 2003 09:05:03.5 as spreadsheet serials.
  const double march = 36224 + (14 * 3600 + 7 * 60 + 9.25) / 86400.0;
  const double august = 37840 + (9 * 3600 + 5 * 60 + 3.5) / 86400.0;
  const std::pair<int, std::pair<const char*, const char*>> table[] = {
      {1, {"050399", "07082003"}},
      {2, {"05031999", "07082003"}},
      {3, {"05/03/99", "07/08/2003"}},
      {4, {"05/03/1999", "07/08/2003"}},
      {5, {"5/3/99", "7/8/2003"}},
      {6, {"5/3/1999", "7/8/2003"}},
      {7, {"05Mar99", "07Aug2003"}},
      {8, {"05Mar1999", "07Aug2003"}},
      {9, {"05-Mar-99", "07-Aug-2003"}},
      {10, {"05-Mar-1999", "07-Aug-2003"}},
      {11, {"5Mar99", "7Aug2003"}},
      {12, {"5Mar1999", "7Aug2003"}},
      {13, {"5-Mar-99", "7-Aug-2003"}},
      {14, {"5-Mar-1999", "7-Aug-2003"}},
      {15, {"5-March-99", "7-August-2003"}},
      {16, {"5-March-1999", "7-August-2003"}},
      {17, {"990305", "20030807"}},
      {18, {"19990305", "20030807"}},
      {19, {"99/03/05", "2003/08/07"}},
      {20, {"1999/03/05", "2003/08/07"}},
      {21, {"030599", "08072003"}},
      {22, {"03051999", "08072003"}},
      {23, {"03/05/99", "08/07/2003"}},
      {24, {"03/05/1999", "08/07/2003"}},
      {25, {"1999-03-05", "2003-08-07"}},
      {26, {"05/03/99 14:07:09.25", "07/08/2003 09:05:03.50"}},
      {27, {"1999-03-05 14:07:09", "2003-08-07 09:05:03"}},
      {28, {"5-Mar-1999 2:07:09 pm", "7-Aug-2003 9:05:03 am"}},
      {29, {"14:07:09", " 9:05:03"}},
      {30, {" 2:07:09 pm", " 9:05:03 am"}},
      {0, {"050399", "07082003"}},
      {99, {"050399", "07082003"}},
  };
  for (const auto& [rep, texts] : table) {
    EXPECT_EQ(FormatDate(march, 0, rep, kMissing), texts.first) << rep;
    EXPECT_EQ(FormatDate(august, 0, rep, kMissing), texts.second) << rep;
  }
  // Total hours, seconds and the plain number.
  EXPECT_EQ(FormatDate(1.5, 0, 31, kMissing), "36:00:00");
  EXPECT_EQ(FormatDate(0.25, 0, 31, kMissing), " 6:00:00");
  EXPECT_EQ(FormatDate(1.5, 0, 32, kMissing), "129600.000");
  EXPECT_EQ(FormatDate(36892.75, 0, 33, kMissing), "36892.75");
  EXPECT_EQ(FormatDate(1234567.125, 1, 33, kMissing), "1234567.125");
}

TEST_F(DateTest, TimesRoundToTheHundredth) {
  // Whole minutes whose fraction of the day is just below the exact value.
  for (int minute = 0; minute < 24 * 60; ++minute) {
    double value = 40000 + minute / 1440.0;
    char expected[48];
    std::snprintf(expected, sizeof expected, "%2d:%02d:00", minute / 60, minute % 60);
    ASSERT_EQ(FormatDate(value, 0, 29, kMissing), expected) << minute;
  }
  // 23:59:59.999 carries into the next day.
  EXPECT_EQ(FormatDate(36891 + (86400 - 0.001) / 86400.0, 0, 27, kMissing), "2001-01-01 00:00:00");
  EXPECT_EQ(FormatDate(36891 + (86400 - 0.006) / 86400.0, 0, 26, kMissing),
            "31/12/2000 23:59:59.99");
}

TEST_F(DateTest, NoonAndMidnight) {
  const std::pair<double, const char*> table[] = {
      {0.0, "12:00:00 am"},       {0.5 / 24, "12:30:00 am"}, {1.0 / 24, " 1:00:00 am"},
      {11.5 / 24, "11:30:00 am"}, {0.5, "12:00:00 pm"},      {12.5 / 24, "12:30:00 pm"},
      {13.0 / 24, " 1:00:00 pm"}, {23.5 / 24, "11:30:00 pm"}};
  for (const auto& [fraction, text] : table) {
    EXPECT_EQ(FormatDate(36892 + fraction, 0, 30, kMissing), text) << fraction;
  }
  EXPECT_EQ(FormatDate(36892.5 + 0.5 / 24, 0, 28, kMissing), "1-Jan-2001 12:30:00 pm");
  EXPECT_EQ(FormatDate(36892 + 0.5 / 24, 0, 28, kMissing), "1-Jan-2001 12:30:00 am");
}

TEST_F(DateTest, DayCountFromDateCases) {
  SetCurrentDateBase(0);
  EXPECT_NE(DayCountFromDate(29, 2, 1900), kMissing);
  EXPECT_EQ(DayCountFromDate(29, 2, 1901), kMissing);
  EXPECT_EQ(DayCountFromDate(31, 4, 2001), kMissing);
  EXPECT_EQ(DayCountFromDate(1, 3, 2001), 36951);
  EXPECT_EQ(DayCountFromDate(28, 2, 2001), 36950);
  EXPECT_EQ(DayCountFromDate(1, 1, 2001), 36892);
  EXPECT_EQ(DayCountFromDate(1, 1, 99), 36161);
  EXPECT_EQ(DayCountFromDate(0, 1, 2001), kMissing);
  EXPECT_EQ(DayCountFromDate(32, 1, 2001), kMissing);
  EXPECT_EQ(DayCountFromDate(1, 0, 2001), kMissing);
  EXPECT_EQ(DayCountFromDate(1, 13, 2001), kMissing);
  EXPECT_EQ(DayCountFromDate(1, 1, -1), kMissing);
  EXPECT_EQ(DayCountFromDate(31, 12, 1599), kMissing);  // a full year before 1600
  EXPECT_EQ(DayCountFromDate(1, 1, 100), kMissing);
  EXPECT_NE(DayCountFromDate(1, 1, 1600), kMissing);
  // Spreadsheet serials around the spreadsheets' 29 February 1900.
  EXPECT_EQ(DayCountFromDate(1, 1, 1900), 1);
  EXPECT_EQ(DayCountFromDate(31, 1, 1900), 31);
  EXPECT_EQ(DayCountFromDate(28, 2, 1900), 59);
  EXPECT_EQ(DayCountFromDate(29, 2, 0), 60);
  EXPECT_EQ(DayCountFromDate(1, 3, 1900), 61);
  EXPECT_EQ(DayCountFromDate(31, 12, 1899), 0);
  EXPECT_EQ(FormatDate(1, 0, 25, kMissing), "1900-01-01");
  EXPECT_EQ(FormatDate(59, 0, 25, kMissing), "1900-02-28");
  EXPECT_EQ(FormatDate(60, 0, 25, kMissing), "1900-02-29");
  EXPECT_EQ(FormatDate(61, 0, 25, kMissing), "1900-03-01");
  EXPECT_EQ(FormatDate(60.5, 0, 27, kMissing), "1900-02-29 12:00:00");
  EXPECT_EQ(FormatDate(0, 0, 25, kMissing), "1899-12-31");
}

TEST_F(DateTest, SerialsOneToSixtyOneFollowTheSpreadsheetCalendar) {
  SetCurrentDateBase(0);
  const int daysIn[] = {31, 29};  // January, the spreadsheets' February 1900
  long serial = 1;
  for (int month = 1; month <= 2; ++month) {
    for (int day = 1; day <= daysIn[month - 1]; ++day, ++serial) {
      char expected[48];
      std::snprintf(expected, sizeof expected, "1900-%02d-%02d", month, day);
      ASSERT_EQ(FormatDate(static_cast<double>(serial), 0, 25, kMissing), expected) << serial;
      ASSERT_EQ(DayCountFromDate(day, month, 1900), static_cast<double>(serial)) << expected;
    }
  }
  EXPECT_EQ(serial, 61);
  EXPECT_EQ(FormatDate(61, 0, 25, kMissing), "1900-03-01");
}

bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

TEST_F(DateTest, DayCountAndLayoutAreInverseFrom1900To2100) {
  SetCurrentDateBase(0);
  const int lengths[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  double previous = 0;
  int checked = 0;
  for (int year = 1900; year <= 2100; ++year) {
    for (int month = 1; month <= 12; ++month) {
      int length = lengths[month - 1] + (month == 2 && IsLeap(year) ? 1 : 0);
      for (int day = 1; day <= length; ++day) {
        double serial = DayCountFromDate(day, month, year);
        ASSERT_NE(serial, kMissing);
        char expected[48];
        std::snprintf(expected, sizeof expected, "%04d-%02d-%02d", year, month, day);
        ASSERT_EQ(FormatDate(serial, 0, 25, kMissing), expected) << serial;
        ASSERT_EQ(FormatDate(serial + 0.999, 0, 25, kMissing), expected) << serial;
        // Consecutive days have consecutive serials, except for the
        // spreadsheets' extra 29 February 1900.
        if (checked > 0) {
          double step = (year == 1900 && month == 3 && day == 1) ? 2 : 1;
          ASSERT_EQ(serial - previous, step) << expected;
        }
        previous = serial;
        ++checked;
      }
    }
  }
  EXPECT_EQ(checked, 73414);
  EXPECT_EQ(DayCountFromDate(31, 12, 2100), 73415);
}

TEST_F(DateTest, PackageBaseIsInverseToo) {
  SetCurrentDateBase(1);
  double jan1 = DayCountFromDate(1, 1, 1600);
  double d = jan1;
  for (int i = 0; i < 200000; ++i, d += 1) {
    char text[600];
    FormatDate(text, d, 1, 25, kMissing);
    int year = 0, month = 0, day = 0;
    ASSERT_EQ(std::sscanf(text, "%d-%d-%d", &year, &month, &day), 3) << text;
    ASSERT_EQ(DayCountFromDate(day, month, year), d) << text;
  }
  EXPECT_EQ(FormatDate(DayCountFromDate(29, 2, 2000), 1, 25, kMissing), "2000-02-29");
  EXPECT_EQ(FormatDate(DayCountFromDate(1, 3, 2000), 1, 25, kMissing), "2000-03-01");
}

TEST_F(DateTest, SpreadsheetToDayCount) {
  double v = 36892;
  SpreadsheetToDayCount(v, kMissing);
  EXPECT_EQ(FormatDate(v, 1, 25, kMissing), "2001-01-01");
  v = 1.25;
  SpreadsheetToDayCount(v, kMissing);
  EXPECT_EQ(FormatDate(v, 1, 27, kMissing), "1900-01-01 06:00:00");
  v = 59;
  SpreadsheetToDayCount(v, kMissing);
  EXPECT_EQ(FormatDate(v, 1, 25, kMissing), "1900-02-28");
  v = 61;
  SpreadsheetToDayCount(v, kMissing);
  EXPECT_EQ(FormatDate(v, 1, 25, kMissing), "1900-03-01");
  v = -1;
  SpreadsheetToDayCount(v, kMissing);
  EXPECT_EQ(v, kMissing);
}

TEST_F(DateTest, HugeValuesDoNotOverflow) {
  EXPECT_EQ(FormatDate(1e300, 0, 25, kMissing), "1e+300");
  EXPECT_EQ(FormatDate(9.99999e307, 0, 31, kMissing), "9.99999e+307");
  EXPECT_EQ(FormatDate(-1e306, 0, 3, kMissing), "-1e+306");
  EXPECT_NE(FormatDate(5e8, 1, 25, kMissing), "");
  EXPECT_NE(DayCountFromDate(1, 1, 2147483647L), kMissing);
}

TEST_F(DateTest, CurrentSettings) {
  EXPECT_EQ(CurrentDateBase(), 0);
  EXPECT_EQ(CurrentDateRepresentation(), 3);
  SetCurrentDateBase(1);
  SetCurrentDateRepresentation(25);
  EXPECT_EQ(State().currentDateBase, 1);
  EXPECT_EQ(CurrentDateRepresentation(), 25);
}

}  // namespace
}  // namespace trovadex
