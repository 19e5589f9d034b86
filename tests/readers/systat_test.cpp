#include <bit>
#include <cmath>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "core/byteorder.h"
#include "core/dataset.h"
#include "matrix_support.h"
#include "readers/readers.h"
#include "test_support.h"

namespace trovadex {
namespace {

using test::StateTest;

constexpr double kM = kMissingValue;

std::string Record(const std::string& bytes) {
  const char n = static_cast<char>(bytes.size());
  return n + bytes + n;
}
std::string Int32(int32_t v) {
  std::string b(4, '\0');
  StoreU32LE(b.data(), static_cast<uint32_t>(v));
  return b;
}
std::string Float(float v) {
  std::string b(4, '\0');
  StoreU32LE(b.data(), std::bit_cast<uint32_t>(v));
  return b;
}
std::string Name(const std::string& n) { return n + std::string(12 - n.size(), ' '); }

class SystatReaderTest : public StateTest {
 protected:
  test::TempDir dir;
  std::string output;
  int16_t Read(const std::string& path) {
    testing::internal::CaptureStdout();
    const int16_t ok = ReadSystat(path.c_str());
    output = testing::internal::GetCapturedStdout();
    return ok;
  }
  int16_t ReadBytes(const std::string& bytes) {
    test::WriteFile(dir / "t.sys", bytes);
    return Read(dir / "t.sys");
  }

  // Singles: X, Y and AGE$, a property block describing X, three cases.
  std::string Sample(int32_t entryLength = 9) {
    std::string block = Int32(0) + Int32(100) + Int32(4) + Int32(entryLength) + Int32(1) + "yield" +
                        Int32(4) + Int32(8) + Int32(9) + "none";  // a position past the variables
    block.resize(72, '\0');
    std::string f("\x4B\x06\x1E\0\0\0\0\0\x06", 9);
    f += Record(block) + Record(std::string("\x03\0\0\0\0\0", 6));
    f += Record(Name("X")) + Record(Name("AGE$")) + Record(Name("Y"));
    f += Record(Float(1.5f) + Float(2) + Name("old"));
    f += Record(Float(-1e36f) + Float(std::nanf("")) + Name(""));
    f += Record(Float(-0.25f) + Float(1e30f) + Name("young"));
    return f;
  }
};

// Every value R's foreign::read.systat reads from the public files.
TEST_F(SystatReaderTest, PublicFilesAsRReadsThem) {
  TROVADEX_NEED_SHARED();
  if (!test::Available("Rscript -e 'library(foreign)'")) GTEST_SKIP() << "R foreign absent";
  for (const char* name : {"Iris.syd", "HillRace.SYD"}) {
    SCOPED_TRACE(name);
    const std::string path = test::SharedDir() + "/corpus-public/systat/" + name;
    std::string out;
    ASSERT_EQ(test::RunCommand("Rscript -e 'library(foreign); x <- read.systat(\"" + path +
                              "\"); for (v in x) cat(if (is.numeric(v)) sprintf(\"%.17g\", v) else "
                              "sub(\" +$\", \"\", v), sep = \"\\n\")' 2>/dev/null",
                          &out),
              0);
    ResetState();
    ASSERT_EQ(Read(path), 1) << output;
    Dataset* d = CurrentDataset();
    std::ostringstream ours;
    char buf[40];
    for (Column* c = d->firstColumn->next; c; c = c->next) {
      for (int64_t r = 0; r < c->valueCount; ++r) {
        if (c->kind == ColumnKind::Text) {
          ours << GetText(c, r) << "\n";
        } else {
          std::snprintf(buf, sizeof buf, "%.17g", GetNumber(c, r));
          ours << buf << "\n";
        }
      }
    }
    EXPECT_EQ(ours.str(), out);
  }
}

TEST_F(SystatReaderTest, SinglesTextsAndDescriptions) {
  ASSERT_EQ(ReadBytes(Sample()), 1) << output;
  Dataset* d = CurrentDataset();
  ASSERT_EQ(d->columnCount, 3);
  EXPECT_EQ(ColumnAt(d, 2)->kind, ColumnKind::Text);
  EXPECT_EQ(ColumnAt(d, 2)->name, "AGE");
  EXPECT_EQ(test::Numbers(ColumnAt(d, 1)), (std::vector<double>{1.5, kM, -0.25}));
  EXPECT_EQ(test::Numbers(ColumnAt(d, 3)), (std::vector<double>{2, kM, static_cast<double>(1e30f)}));
  EXPECT_EQ(test::Texts(ColumnAt(d, 2)), (std::vector<std::string>{"old", "", "young"}));
  EXPECT_EQ(ColumnAt(d, 1)->description, "yield");
  // Entries shorter than their position field, or past the block, are not read.
  for (int32_t length : {-100, 3, 1000}) {
    ASSERT_EQ(ReadBytes(Sample(length)), 1) << length;
    EXPECT_EQ(ColumnAt(CurrentDataset(), 1)->description, "");
  }
  State().columnLimit = 1;
  ASSERT_EQ(ReadBytes(Sample()), 1);
  EXPECT_EQ(CurrentDataset()->columnCount, 1);
  EXPECT_EQ(output, "Maximum number of columns (1) exceeded.\nIgnoring extra columns.\n");
}

TEST_F(SystatReaderTest, DamagedMarkers) {
  const std::string good = Sample();
  const std::size_t names = good.find(Name("X")) - 1;
  for (char bad : {'\0', '\x82', '\xFF'}) {
    std::string header = good;
    header[names] = bad;
    EXPECT_EQ(ReadBytes(header), 0);
    EXPECT_EQ(output, "Systat record size mismatch.\n");
  }
  std::string cases = good;
  cases[good.size() - 22] = '\0';  // the last case's opening length byte
  EXPECT_EQ(ReadBytes(cases), 0);
  EXPECT_EQ(output, "Error in reading Systat File: Invalid record marker.\n");
  EXPECT_EQ(ReadBytes(good.substr(0, good.size() - 3 * 22)), 0);
  EXPECT_EQ(output, "Error reading Systat file: No valid data found.\n");
}

}  // namespace
}  // namespace trovadex

namespace trovadex {
namespace {

TEST(SystatEndToEnd, SystatToCorvist) {
  TROVADEX_NEED_SHARED();
  test::TempDir dir;
  std::filesystem::copy_file(test::SharedDir() + "/corpus-public/systat/HillRace.SYD", dir / "hill.sys");
  auto run = test::RunTrovadex({"hill.sys", "hill.crv"}, dir.path().string());
  ASSERT_EQ(run.exitCode, 0) << run.output;
  EXPECT_NE(run.output.find(" 35 records transferred."), std::string::npos) << run.output;
  EXPECT_NE(test::ReadFile(dir / "hill.crv").find("TEXT [nvalues=35] RACE"), std::string::npos);
}

}  // namespace
}  // namespace trovadex
