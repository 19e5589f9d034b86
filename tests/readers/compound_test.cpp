// Compound document reader: stream selection, the mini stream, the search for
// a misplaced workbook stream, untrusted header fields, cycles, temporary files.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "readers/compound/compound.h"
#include "readers/excel.h"
#include "readers/xls_builder.h"
#include "test_support.h"

namespace trovadex {
namespace {

using test::Bytes;

class CompoundTest : public test::StateTest {
 protected:
  void TearDown() override {
    CfbReset();
    test::StateTest::TearDown();
  }
};

Bytes SmallWorkbook(bool biff8) {
  Bytes sheet;
  test::Rec(sheet, 0x0200, biff8 ? test::Dimensions8(0, 2, 0, 1) : test::Dimensions5(0, 2, 0, 1));
  test::Rec(sheet, 0x0204, test::LabelCell5(0, 0, "x"));
  test::Rec(sheet, 0x0203, test::NumberCell(1, 0, 2.5));
  return test::Workbook(biff8, {}, {{"Data", sheet}});
}

Bytes LargeWorkbook() {
  Bytes sheet;
  test::Rec(sheet, 0x0200, test::Dimensions8(0, 600, 0, 1));
  test::Rec(sheet, 0x0204, test::LabelCell5(0, 0, "v"));
  for (uint16_t r = 1; r < 600; ++r) test::Rec(sheet, 0x0203, test::NumberCell(r, 0, r * 0.5));
  return test::Workbook(true, {}, {{"Data", sheet}});
}

TEST_F(CompoundTest, MiniStreamWorkbookIsReadInOnePiece) {
  Bytes book = SmallWorkbook(true);
  ASSERT_LT(book.size(), 4096u);
  int16_t handOff = 0;
  ASSERT_EQ(CfbOpenWorkbookBytes(test::CompoundDocument(book), "mini.xls", &handOff), 0);
  EXPECT_EQ(handOff, -1);
  EXPECT_TRUE(Cfb().inMini);
  EXPECT_TRUE(Cfb().biff8);
  Bytes read(book.size());
  int16_t error = 0;
  EXPECT_EQ(CfbRead(read.data(), static_cast<int64_t>(read.size()), &error), 0);
  EXPECT_EQ(error, 0);
  EXPECT_EQ(read, book);
  // Reading past the stream's end sets the flag.
  EXPECT_EQ(CfbRead(read.data(), 1, &error), 1);
  EXPECT_EQ(error, 1);
}

TEST_F(CompoundTest, RegularStreamReadsAndSeeks) {
  Bytes book = LargeWorkbook();
  ASSERT_GT(book.size(), 4096u);
  ASSERT_EQ(CfbOpenWorkbookBytes(test::CompoundDocument(book), "big.xls", nullptr), 0);
  EXPECT_FALSE(Cfb().inMini);
  EXPECT_EQ(Cfb().stream.size(), book.size());
  ASSERT_EQ(CfbSeek(1000), 0);
  uint8_t b[10];
  int16_t error = 0;
  ASSERT_EQ(CfbRead(b, 10, &error), 0);
  EXPECT_TRUE(std::equal(b, b + 10, book.begin() + 1000));
  EXPECT_EQ(CfbSeek(static_cast<int64_t>(book.size()) + 1), 1);
}

TEST_F(CompoundTest, BookStreamIsExcel5) {
  test::CfbOptions o;
  o.streamName = u"Book";
  ASSERT_EQ(CfbOpenWorkbookBytes(test::CompoundDocument(SmallWorkbook(false), o), "b5.xls", nullptr), 0);
  EXPECT_FALSE(Cfb().biff8);
  EXPECT_FALSE(Cfb().plainFile);
}

TEST_F(CompoundTest, ChainHeadSearchFindsMisplacedWorkbook) {
  test::CfbOptions o;
  o.wrongStart = true;
  o.forceRegular = true;
  Bytes book = LargeWorkbook();
  ASSERT_EQ(CfbOpenWorkbookBytes(test::CompoundDocument(book, o), "moved.xls", nullptr), 0);
  uint8_t head[8];
  int16_t error = 0;
  ASSERT_EQ(CfbRead(head, 8, &error), 0);
  EXPECT_TRUE(std::equal(head, head + 8, book.begin()));
}

TEST_F(CompoundTest, ChainHeadsAreUnnamedUsedSectors) {
  // 0 -> 1 -> end; 2 free; 3 table; 4 -> 5 -> end; 6 -> 6 (cycle, named by itself)
  std::vector<uint32_t> fat = {1, kCfbEndOfChain, kCfbFreeSector, kCfbTableSector, 5, kCfbEndOfChain, 6};
  EXPECT_EQ(CfbChainHeads(fat, 7), (std::vector<uint32_t>{0, 4}));
  // Only the first fatCount entries count.
  EXPECT_EQ(CfbChainHeads(fat, 4), (std::vector<uint32_t>{0}));
}

TEST_F(CompoundTest, OnlyTheFirstDirectoryEntriesAreSearched) {
  test::CfbOptions near;
  near.entriesBefore = 30;  // the stream is entry 31
  EXPECT_EQ(CfbOpenWorkbookBytes(test::CompoundDocument(SmallWorkbook(true), near), "a.xls", nullptr), 0);
  test::CfbOptions far;
  far.entriesBefore = 32;  // the stream is entry 33, beyond the first 32
  EXPECT_EQ(CfbOpenWorkbookBytes(test::CompoundDocument(SmallWorkbook(true), far), "a.xls", nullptr), 1);
}

TEST_F(CompoundTest, UntrustedHeaderFieldsAreRefused) {
  Bytes doc = test::CompoundDocument(SmallWorkbook(true));
  struct Case {
    std::size_t offset;
    int width;
    uint32_t value;
    int expected;
  } cases[] = {
      {30, 2, 9, 0},      {30, 2, 12, 1},  // 12 is legal, but this document's sectors are 512 bytes
      {30, 2, 7, 1},      {30, 2, 20, 1},  {30, 2, 0xFFFF, 1}, {32, 2, 5, 1},
      {32, 2, 9, 1},      {56, 4, 0, 1},   {56, 4, 0x7FFFFFFF, 1},
      {44, 4, 0xFFFFFFF0, 0},  // the table count is limited to what the file holds
  };
  for (const Case& c : cases) {
    Bytes d = doc;
    if (c.width == 2)
      StoreU16LE(&d[c.offset], static_cast<uint16_t>(c.value));
    else
      StoreU32LE(&d[c.offset], c.value);
    EXPECT_EQ(CfbOpenWorkbookBytes(d, "h.xls", nullptr), c.expected) << c.offset << " " << c.value;
  }
}

TEST_F(CompoundTest, CyclicChainsEnd) {
  Bytes book = LargeWorkbook();
  test::CfbOptions o;
  Bytes doc = test::CompoundDocument(book, o);
  // Make the stream's last sector point back to its first one.
  uint8_t* fat = &doc[512];
  for (int i = 0; i < 128; ++i) {
    if (LoadU32LE(fat + 4 * i) == kCfbEndOfChain && i > 3) StoreU32LE(fat + 4 * i, 3);
  }
  // Directory chain cycling on itself.
  StoreU32LE(fat + 4 * 1, 1);
  int result = CfbOpenWorkbookBytes(doc, "cycle.xls", nullptr);
  if (result == 0) {
    EXPECT_LE(Cfb().stream.size(), book.size());
  }
  // A mini table that cycles.
  Bytes mini = test::CompoundDocument(SmallWorkbook(true));
  uint8_t* miniFat = &mini[512 * 3];  // header, table, directory, then the mini table
  StoreU32LE(miniFat + 4, 0);
  EXPECT_NO_THROW(CfbOpenWorkbookBytes(mini, "cycle2.xls", nullptr));
}

TEST_F(CompoundTest, PlainFilesByTheirFirstRecord) {
  struct Case {
    Bytes start;
    int expected;
    bool biff2;
  } cases[] = {
      {{0x09, 0x00, 0x04, 0x00, 0x07, 0x00, 0x10, 0x00}, 0, true},
      {{0x09, 0x00, 0x04, 0x00, 0x02, 0x00, 0x10, 0x00}, 0, true},
      {{0x09, 0x02, 0x06, 0x00, 0x00, 0x00, 0x10, 0x00}, 0, false},
      {{0x09, 0x04, 0x06, 0x00, 0x00, 0x00, 0x10, 0x00}, 0, false},
      {{0x09, 0x08, 0x08, 0x00, 0x00, 0x05, 0x05, 0x00}, 1, false},  // Excel 5 outside a container
      {{0x09, 0x08, 0x10, 0x00, 0x00, 0x06, 0x05, 0x00}, 1, false},  // Excel 8 outside a container
      {{0x09, 0x04, 0x06, 0x00, 0x00, 0x00, 0x20, 0x00}, 1, false},
  };
  for (const Case& c : cases) {
    Bytes file = c.start;
    file.resize(600, 0);
    ASSERT_EQ(CfbOpenWorkbookBytes(file, "p.xls", nullptr), c.expected);
    if (c.expected == 0) {
      EXPECT_TRUE(Cfb().plainFile);
      EXPECT_EQ(Cfb().biff2, c.biff2);
      EXPECT_EQ(Cfb().stream.size(), 600u);
    }
  }
}

TEST_F(CompoundTest, TemporaryFileHasSeparatorUniqueNameAndExtension) {
  test::TempDir dir;
  setenv("TMP", dir.path().c_str(), 1);
  std::string a, b;
  std::FILE* fa = CfbCreateTemporaryFile("temp.qpw", &a);
  std::FILE* fb = CfbCreateTemporaryFile("temp.qpw", &b);
  unsetenv("TMP");
  ASSERT_TRUE(fa && fb);
  std::fclose(fa);
  std::fclose(fb);
  EXPECT_NE(a, b);
  for (const std::string& p : {a, b}) {
    std::filesystem::path path(p);
    EXPECT_EQ(path.parent_path(), dir.path());
    EXPECT_NE(path.filename().string().find("Q17X"), std::string::npos);
    EXPECT_EQ(path.filename().string().rfind("Q17X", 0), 0u);
    EXPECT_EQ(path.extension(), ".qpw");
  }
}

TEST_F(CompoundTest, EmbeddedStreamsAreHandedOnAndTheirFileRemoved) {
  // The readers of these streams are not part of this build's tests: the
  // hand-off still copies the stream, calls the reader, returns its result
  // and removes the temporary file.
  test::TempDir dir;
  const std::u16string names[] = {u"NativeContent_MAIN", u"PerfectOffice_MAIN", u"Worksheet", u"Contents"};
  for (const auto& name : names) {
    test::CfbOptions o;
    o.streamName = name;
    Bytes payload(700, 0x41);
    setenv("TMP", dir.path().c_str(), 1);
    int16_t result = -1;
    testing::internal::CaptureStdout();
    int opened = CfbOpenWorkbookBytes(test::CompoundDocument(payload, o), "notebook.qpw", &result);
    testing::internal::GetCapturedStdout();
    unsetenv("TMP");
    EXPECT_EQ(opened, 1);
    EXPECT_GE(result, 0);
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
    EXPECT_TRUE(State().temporaryFiles.empty());
    EXPECT_TRUE(State().inputFileName.empty());
  }
}

TEST_F(CompoundTest, ShortEmbeddedStreamIsNotHandedOn) {
  test::TempDir dir;
  test::CfbOptions o;
  o.streamName = u"NativeContent_MAIN";
  Bytes payload(5000, 0x41);
  Bytes doc = test::CompoundDocument(payload, o);
  doc.resize(doc.size() - 1500);  // the stream's last sectors are missing
  setenv("TMP", dir.path().c_str(), 1);
  int16_t result = -1;
  int opened = CfbOpenWorkbookBytes(doc, "cut.qpw", &result);
  unsetenv("TMP");
  EXPECT_EQ(opened, 1);
  EXPECT_EQ(result, 0);
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST_F(CompoundTest, HandOffWithoutTmpUsesWorkingDirectory) {
  test::TempDir dir;
  auto old = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  const char* tmp = std::getenv("TMP");
  const char* temp = std::getenv("TEMP");
  std::string savedTmp = tmp ? tmp : "", savedTemp = temp ? temp : "";
  unsetenv("TMP");
  unsetenv("TEMP");
  std::string path;
  std::FILE* f = CfbCreateTemporaryFile("temp.qpw", &path);
  ASSERT_TRUE(f);
  std::fclose(f);
  EXPECT_EQ(path.rfind("Q17X", 0), 0u);
  EXPECT_TRUE(std::filesystem::exists(dir.path() / path));
  std::filesystem::remove(dir.path() / path);
  if (tmp) setenv("TMP", savedTmp.c_str(), 1);
  if (temp) setenv("TEMP", savedTemp.c_str(), 1);
  std::filesystem::current_path(old);
}

}  // namespace
}  // namespace trovadex
