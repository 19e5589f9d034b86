#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "core/byteorder.h"
#include "core/dataset.h"
#include "readers/readers.h"
#include "test_support.h"

namespace trovadex {
namespace {

using test::StateTest;
using test::TempDir;

struct Var {
  int type;
  int length;
  std::string name;
  std::string label = "";
};

void Put(std::string& s, std::size_t at, const std::string& text) { s.replace(at, text.size(), text); }

// A flat (6.03/6.04) data set: header, 106-byte descriptors, observations
// whose variables start at byte 4.
std::string Flat(const std::vector<Var>& vars, const std::string& observations, int count, int obsLength) {
  std::string s(216, '\0');
  Put(s, 0, "SAS");
  Put(s, 8, "6.04");
  StoreU16LE(&s[122], static_cast<uint16_t>(vars.size()));
  StoreU16LE(&s[124], static_cast<uint16_t>(obsLength));
  StoreU32LE(&s[126], static_cast<uint32_t>(count));
  for (const Var& v : vars) {
    std::string d(106, '\0');
    StoreU16LE(&d[0], static_cast<uint16_t>(v.type));
    StoreU16LE(&d[4], static_cast<uint16_t>(v.length));
    Put(d, 8, (v.name + "        ").substr(0, 8));
    Put(d, 16, (v.label + std::string(40, ' ')).substr(0, 40));
    s += d;
  }
  return s + observations;
}

// A paged (6.12) data set with pages of 512 bytes: page 0 is a mixed page
// (the counts subheader, one NAME subheader per variable at the page's end,
// then observations after the pointers), the rest are data pages.
std::string Paged(const std::vector<Var>& vars, const std::vector<int>& positions, int obsLength,
                  const std::vector<std::string>& observations) {
  const int pageSize = 512;
  std::string s(256, '\0');
  Put(s, 0, "SAS");
  Put(s, 8, "6.12");
  StoreU32LE(&s[92], pageSize);
  std::string page(pageSize, '\0');
  const int entries = 1 + static_cast<int>(vars.size());
  StoreU16LE(&page[8], static_cast<uint16_t>(entries));
  StoreU16LE(&page[10], 512);
  int low = pageSize - 120;
  auto pointer = [&](int i, int offset, int length) {
    StoreU32LE(&page[16 + 12 * i], static_cast<uint32_t>(offset));
    StoreU32LE(&page[16 + 12 * i + 4], static_cast<uint32_t>(length));
  };
  pointer(0, low, 120);
  StoreU32LE(&page[low + 8], static_cast<uint32_t>(vars.size()));
  StoreU32LE(&page[low + 20], static_cast<uint32_t>(obsLength));
  StoreU32LE(&page[low + 24], static_cast<uint32_t>(observations.size()));
  for (std::size_t i = 0; i < vars.size(); ++i) {
    low -= 72;
    pointer(static_cast<int>(i) + 1, low, 72);
    Put(page, static_cast<std::size_t>(low), "NAME");
    Put(page, static_cast<std::size_t>(low) + 4, (vars[i].name + "        ").substr(0, 8));
    StoreU16LE(&page[low + 12], static_cast<uint16_t>(vars[i].type));
    Put(page, static_cast<std::size_t>(low) + 20, (vars[i].label + std::string(40, ' ')).substr(0, 40));
    StoreU32LE(&page[low + 64], static_cast<uint32_t>(positions[i]));
    StoreU16LE(&page[low + 68], static_cast<uint16_t>(vars[i].length));
    StoreU16LE(&page[low + 70], static_cast<uint16_t>(i + 1));
  }
  int at = (16 + 12 * entries + 7) / 8 * 8;
  std::size_t next = 0;
  for (; next < observations.size() && at + obsLength <= low; ++next, at += obsLength)
    Put(page, static_cast<std::size_t>(at), observations[next]);
  s += page;
  while (next < observations.size()) {
    std::string data(pageSize, '\0');
    StoreU16LE(&data[10], 256);
    int n = 0;
    for (at = 16; next < observations.size() && at + obsLength <= pageSize; ++next, ++n, at += obsLength)
      Put(data, static_cast<std::size_t>(at), observations[next]);
    StoreU16LE(&data[8], static_cast<uint16_t>(n));
    s += data;
  }
  return s;
}

std::string Double(double x, int length = 8) {
  std::string b(8, '\0');
  StoreF64LE(&b[0], x);
  return b.substr(static_cast<std::size_t>(8 - length));
}

class SasPcReaderTest : public StateTest {
 protected:
  TempDir dir;
  std::string output;

  int16_t Read(const std::string& bytes) {
    test::WriteFile(dir / "t.sd2", bytes);
    SetCurrentDataset(nullptr);
    testing::internal::CaptureStdout();
    const int16_t ok = ReadSasPc((dir / "t.sd2").c_str());
    output = testing::internal::GetCapturedStdout();
    return ok;
  }
  Column* Col(int position) { return ColumnAt(CurrentDataset(), position); }
};

const std::vector<Var> kFlatVars = {{1, 4, "X", "the x"}, {2, 120, "TEXT"}, {1, 8, "Y"}, {1, 8, "   "}};

std::string FlatSample() {
  std::string obs;
  obs += std::string(4, '\0') + Double(1.0, 4) + std::string(100, 'a') + std::string(20, 'b') + Double(-2.5) + Double(1e300);
  obs += std::string(4, '\0') + Double(0.5, 4) + "  two  words" + std::string(108, ' ') + Double(NAN) + Double(7);
  return Flat(kFlatVars, obs, 2, 4 + 4 + 120 + 8 + 8);
}

std::string PagedSample(int rows) {
  std::vector<std::string> obs;
  for (int i = 0; i < rows; ++i)
    obs.push_back(Double(i + 0.25) + (std::string("row") + std::to_string(i) + "   ").substr(0, 5) + Double(i, 3));
  return Paged({{1, 8, "A"}, {2, 5, "B"}, {1, 3, "C"}}, {0, 8, 13}, 16, obs);
}

TEST_F(SasPcReaderTest, FlatLayout) {
  ASSERT_EQ(Read(FlatSample()), 1) << output;
  Dataset* d = CurrentDataset();
  ASSERT_EQ(d->rowCount, 2);
  ASSERT_EQ(d->columnCount, 4);
  EXPECT_EQ(GetNumber(Col(1), 0), 1.0);  // 00 00 F0 3F
  EXPECT_EQ(GetNumber(Col(1), 1), 0.5);
  EXPECT_EQ(Col(1)->description, "the x");
  EXPECT_EQ(GetText(Col(2), 0), std::string(90, 'a'));
  EXPECT_EQ(GetText(Col(2), 1), "two words");
  EXPECT_EQ(Col(2)->levelCount, 90);
  EXPECT_EQ(GetNumber(Col(3), 0), -2.5);
  EXPECT_EQ(GetNumber(Col(3), 1), kMissingValue);  // NaN
  EXPECT_EQ(Col(4)->name, "C3");
  EXPECT_EQ(GetNumber(Col(4), 0), 1e300);
}

TEST_F(SasPcReaderTest, PagedLayoutOverSeveralPages) {
  // Page 0 holds 7 observations before its subheaders, the next 31 each.
  ASSERT_EQ(Read(PagedSample(50)), 1) << output;
  Dataset* d = CurrentDataset();
  ASSERT_EQ(d->rowCount, 50);
  ASSERT_EQ(d->columnCount, 3);
  EXPECT_EQ(Col(2)->name, "B");
  for (int r = 0; r < 50; ++r) {
    EXPECT_EQ(GetNumber(Col(1), r), r + 0.25) << r;
    EXPECT_EQ(GetText(Col(2), r), (std::string("row") + std::to_string(r)).substr(0, 5)) << r;
    EXPECT_EQ(GetNumber(Col(3), r), r) << r;
  }
}

TEST_F(SasPcReaderTest, DamagedDataSetsAreRefused) {
  const std::string flat = FlatSample();
  auto changed = [](std::string s, std::size_t at, const std::string& bytes) {
    s.replace(at, bytes.size(), bytes);
    return s;
  };
  EXPECT_EQ(Read(changed(flat, 8, "6.05")), 0);
  EXPECT_EQ(Read(changed(flat, 124, std::string("\x80\0", 2))), 0);  // variables overrun the observation
  EXPECT_EQ(Read(changed(flat, 216 + 4, std::string("\x02\0", 2))), 0);  // numeric length 2
  EXPECT_EQ(Read(changed(flat, 126, std::string("\x03\0", 2))), 0);  // more observations than bytes
  EXPECT_EQ(Read(flat.substr(0, 300)), 0);

  const std::string paged = PagedSample(10);
  const std::size_t page = 256, nameB = page + 512 - 120 - 2 * 72;
  ASSERT_EQ(paged.substr(nameB, 4), "NAME");
  EXPECT_EQ(Read(paged), 1) << output;
  EXPECT_EQ(Read(changed(paged, nameB + 70, std::string("\x01\0", 2))), 0);  // variable 1 twice
  EXPECT_EQ(Read(changed(paged, nameB + 70, std::string("\x09\0", 2))), 0);  // no variable 9
  EXPECT_EQ(Read(changed(paged, nameB + 64, std::string("\x0C\0", 2))), 0);  // position 12 + 5 > 16
  EXPECT_EQ(Read(changed(paged, 92, std::string("\0\0\0\0", 4))), 0);        // page size 0
  EXPECT_EQ(Read(changed(paged, page + 8, std::string("\xFF\x7F", 2))), 0);  // pointers past the page
  EXPECT_EQ(Read(changed(paged, page + 10, std::string("\0\x01", 2))), 0);   // page 0 a data page
  EXPECT_EQ(Read(changed(paged, page + 512 - 120 + 112, "CMP")), 0);
  EXPECT_EQ(Read(paged.substr(0, 256 + 512 + 20)), 0);  // ends early
}

// The damaged-file sweep reads tests/data/sas_pc: the two samples above.
// TROVADEX_MAKE_SAMPLES=1 writes them there.
TEST(SasPcSamples, SweepInputsAreTheSamples) {
  const std::string folder = test::SourceDir() + "/tests/data/sas_pc/";
  if (std::getenv("TROVADEX_MAKE_SAMPLES")) {
    test::WriteFile(folder + "flat.sd2", FlatSample());
    test::WriteFile(folder + "paged.sd2", PagedSample(40));
  }
  EXPECT_EQ(test::ReadFile(folder + "flat.sd2"), FlatSample());
  EXPECT_EQ(test::ReadFile(folder + "paged.sd2"), PagedSample(40));
}

// The three old formats through the program, and the refusal of the
// releases this reader does not read.
TEST(OldFormatsEndToEnd, RunsThroughTheProgram) {
  TempDir dir;
  test::WriteFile(dir / "x.sd2", FlatSample());
  auto run = test::RunTrovadex({"x.sd2", "x.crv"}, dir.path().string());
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_NE(test::ReadFile(dir / "x.crv").find("VARIATE [nvalues=2] X"), std::string::npos);
  TROVADEX_NEED_SHARED();
  std::filesystem::copy_file(test::SharedDir() + "/corpus-public/paradox/GENERAL.DB", dir / "g.db");
  std::filesystem::copy_file(test::SharedDir() + "/corpus/sas7bdat/readstat.sas7bdat", dir / "r.sas7bdat");
  run = test::RunTrovadex({"g.db", "g.crv"}, dir.path().string());
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_NE(test::ReadFile(dir / "g.crv").find("'Elizabet'"), std::string::npos);
  // The Epi Info samples are not redistributed with the tree (no licence).
  const std::string rec = test::SharedDir() + "/corpus-public/epiinfo/P1.rec";
  if (std::filesystem::exists(rec)) {
    std::filesystem::copy_file(rec, dir / "p.rec");
    run = test::RunTrovadex({"p.rec", "p.csv"}, dir.path().string());
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find(" 206 records transferred."), std::string::npos);
  }
  run = test::RunTrovadex({"r.sas7bdat", "r.csv"}, dir.path().string());
  EXPECT_NE(run.exitCode, 0);
  EXPECT_NE(run.output.find("Sorry, SAS Version 7/8 files not yet supported.\n"), std::string::npos) << run.output;
}

}  // namespace
}  // namespace trovadex
