#include "writers/compound_writer.h"

#include <sys/wait.h>

#include <algorithm>
#include <cctype>
#include <functional>
#include <random>

#include "test_support.h"
#include "writers/xls_test_support.h"

namespace trovadex {
namespace {

using test::StateTest;

class CompoundWriterTest : public StateTest {};

std::vector<uint8_t> RandomBytes(std::size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::vector<uint8_t> out(n);
  for (auto& b : out) b = static_cast<uint8_t>(gen());
  // A plausible first record: the workbook-globals beginning of file.
  const uint8_t bof[8] = {0x09, 0x08, 0x08, 0x00, 0x00, 0x05, 0x05, 0x00};
  for (std::size_t i = 0; i < 8 && i < n; ++i) out[i] = bof[i];
  return out;
}

std::vector<uint8_t> WriteToFile(const std::string& path, const std::vector<uint8_t>& stream) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  EXPECT_NE(f, nullptr);
  EXPECT_TRUE(WriteCompoundDocument(f, stream.data(), static_cast<uint32_t>(stream.size())));
  EXPECT_EQ(std::fclose(f), 0);
  const std::string bytes = test::ReadFile(path);
  return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

TEST_F(CompoundWriterTest, LayoutAtTheMiniStreamCutoff) {
  const CompoundLayout below = PlanCompoundDocument(4095);
  EXPECT_TRUE(below.small);
  EXPECT_EQ(below.bookMiniSectors, 64u);
  EXPECT_EQ(below.dataSectors, 9u);
  EXPECT_EQ(below.fatSectors, 1u);
  EXPECT_EQ(below.bookStart, 3u);
  EXPECT_EQ(below.fileSize, 512u * 13);

  const CompoundLayout at = PlanCompoundDocument(4096);
  EXPECT_FALSE(at.small);
  EXPECT_EQ(at.dataSectors, 8u);
  EXPECT_EQ(at.fatSectors, 1u);
  EXPECT_EQ(at.extensionSectors, 0u);
  EXPECT_EQ(at.bookStart, 4u);
  EXPECT_EQ(at.fileSize, 512u * 13);

  const CompoundLayout tiny = PlanCompoundDocument(1);
  EXPECT_TRUE(tiny.small);
  EXPECT_EQ(tiny.bookMiniSectors, 1u);
  EXPECT_EQ(tiny.dataSectors, 1u);
}

// The table must hold an entry for every sector of the file, its own and
// the extension sectors included; at 15,408,640 bytes the count from the
// data alone comes up one sector short.
TEST_F(CompoundWriterTest, SectorTableCoversEverySector) {
  const CompoundLayout l = PlanCompoundDocument(15408640);
  EXPECT_EQ(l.dataSectors, 30095u);
  EXPECT_EQ(l.fatSectors, 238u);
  EXPECT_EQ(l.extensionSectors, 2u);

  std::vector<uint32_t> lengths = {4096, 65535, 64512 * 2, 15408640 - 1, 15408640, 15408641,
                                   30000000, 70963200};
  for (uint32_t w = 4096; w < 70963200; w += 77777 * 3) lengths.push_back(w);
  for (uint32_t w : lengths) {
    const CompoundLayout p = PlanCompoundDocument(w);
    const uint64_t sectors = p.fileSize / 512 - 1;
    EXPECT_GE(uint64_t{p.fatSectors} * 128, sectors) << w;
    const uint32_t fromData = (p.dataSectors + 3) / 127 + 1;
    EXPECT_GE(p.fatSectors, fromData) << w;
    EXPECT_LE(p.fatSectors, fromData + 1) << w;
    const uint32_t needed = p.fatSectors > 109 ? (p.fatSectors - 110) / 127 + 1 : 0;
    EXPECT_EQ(p.extensionSectors, needed) << w;
    EXPECT_EQ(p.fileSize, (uint64_t{p.bookStart} + p.dataSectors + 1) * 512) << w;
  }
}

TEST_F(CompoundWriterTest, StreamsReadBackSmallAndLarge) {
  test::TempDir dir;
  for (uint32_t w : {1u, 100u, 4095u, 4096u, 4097u, 100000u, 15408640u}) {
    const std::vector<uint8_t> stream = RandomBytes(w, w);
    const std::vector<uint8_t> file = WriteToFile(dir / "t.xls", stream);
    EXPECT_EQ(file.size(), PlanCompoundDocument(w).fileSize) << w;
    const test::CfbFile cfb = test::ParseCfb(file);
    ASSERT_EQ(cfb.error, "") << w;
    ASSERT_EQ(cfb.entries.size(), 4u);
    EXPECT_EQ(cfb.entries[0].name, "Root Entry");
    EXPECT_EQ(cfb.entries[1].name, "Book");
    EXPECT_EQ(cfb.entries[2].name, "\x01" "CompObj");
    EXPECT_EQ(cfb.entries[3].name, "\x05" "SummaryInformation");
    const auto book = test::CfbStream(cfb, "Book");
    ASSERT_TRUE(book.has_value()) << w;
    EXPECT_TRUE(*book == stream) << w;
    const auto compObj = test::CfbStream(cfb, "\x01" "CompObj");
    ASSERT_TRUE(compObj.has_value());
    ASSERT_EQ(compObj->size(), 106u);
    EXPECT_EQ(std::string(compObj->begin() + 32, compObj->begin() + 61), "Microsoft Excel 5.0 Worksheet");
    const auto summary = test::CfbStream(cfb, "\x05" "SummaryInformation");
    ASSERT_TRUE(summary.has_value());
    EXPECT_EQ(summary->size(), 56u);
    // Header fields.
    EXPECT_EQ(LoadU16LE(&file[26]), 3);
    EXPECT_EQ(LoadU16LE(&file[30]), 9);
    EXPECT_EQ(LoadU32LE(&file[56]), 4096u);
    EXPECT_EQ(LoadU32LE(&file[76]), 0u);
  }
}

TEST_F(CompoundWriterTest, SmallStreamFillsTheMiniStream) {
  test::TempDir dir;
  const std::vector<uint8_t> file = WriteToFile(dir / "t.xls", RandomBytes(4095, 3));
  const test::CfbFile cfb = test::ParseCfb(file);
  ASSERT_EQ(cfb.error, "");
  EXPECT_EQ(cfb.entries[0].size, 64u * (3 + 64));
  EXPECT_EQ(cfb.entries[1].start, 3u);
  EXPECT_EQ(cfb.miniFat[0], 1u);
  EXPECT_EQ(cfb.miniFat[1], 0xFFFFFFFEu);
  EXPECT_EQ(cfb.miniFat[2], 0xFFFFFFFEu);
  EXPECT_EQ(cfb.miniFat[3], 4u);
  EXPECT_EQ(cfb.miniFat[66], 0xFFFFFFFEu);
  EXPECT_EQ(cfb.miniFat[67], 0xFFFFFFFFu);
  // The container chain: sectors 3..11.
  for (uint32_t s = 3; s < 11; ++s) EXPECT_EQ(cfb.fat[s], s + 1);
  EXPECT_EQ(cfb.fat[11], 0xFFFFFFFEu);
  EXPECT_EQ(cfb.fat[0], 0xFFFFFFFDu);
}

TEST_F(CompoundWriterTest, FailedWriteIsReported) {
  std::FILE* full = std::fopen("/dev/full", "wb");
  if (!full) GTEST_SKIP() << "no /dev/full";
  std::setvbuf(full, nullptr, _IONBF, 0);
  const std::vector<uint8_t> stream = RandomBytes(5000, 1);
  EXPECT_FALSE(WriteCompoundDocument(full, stream.data(), static_cast<uint32_t>(stream.size())));
  std::fclose(full);
  EXPECT_FALSE(WriteCompoundDocument(nullptr, stream.data(), 10));
  // A directory entry holds 31 characters of name and its terminator.
  std::FILE* f = std::tmpfile();
  ASSERT_NE(f, nullptr);
  EXPECT_FALSE(WriteCompoundDocument(f, stream.data(), 10, ""));
  EXPECT_FALSE(WriteCompoundDocument(f, stream.data(), 10, std::string(32, 'x')));
  EXPECT_EQ(std::ftell(f), 0);
  EXPECT_TRUE(WriteCompoundDocument(f, stream.data(), 10, std::string(31, 'x')));
  std::fclose(f);
}

TEST_F(CompoundWriterTest, OlefileListsTheThreeStreams) {
  if (!test::PythonModuleAvailable("olefile")) GTEST_SKIP() << "python3-olefile absent";
  test::TempDir dir;
  for (uint32_t w : {300u, 4095u, 4096u, 15408640u}) {
    const std::vector<uint8_t> stream = RandomBytes(w, w + 1);
    WriteToFile(dir / "t.xls", stream);
    const std::string script =
        "import olefile,sys,zlib\n"
        "o=olefile.OleFileIO(sys.argv[1])\n"
        "for e in sorted(o.listdir()):\n"
        "  d=o.openstream(e).read()\n"
        "  print(repr('/'.join(e)), len(d), zlib.crc32(d))\n";
    test::WriteFile(dir / "ole.py", script);
    std::string out;
    ASSERT_EQ(test::RunCommand("/usr/bin/python3 " + (dir / "ole.py") + " " + (dir / "t.xls") +
                                   " 2>&1",
                               &out),
              0)
        << out;
    uint32_t crc = 0;
    {
      // crc32 of the stream, computed here without zlib.
      uint32_t c = 0xFFFFFFFFu;
      for (uint8_t b : stream) {
        c ^= b;
        for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
      }
      crc = c ^ 0xFFFFFFFFu;
    }
    const std::string book = "'Book' " + std::to_string(w) + " " + std::to_string(crc) + "\n";
    EXPECT_NE(out.find(book), std::string::npos) << out;
    EXPECT_NE(out.find("'\\x01CompObj' 106 "), std::string::npos) << out;
    EXPECT_NE(out.find("'\\x05SummaryInformation' 56 "), std::string::npos) << out;
  }
}

// Siblings in a directory form a search tree ordered by name length, then
// by upper-cased name; readers that search it find a stream of any name.
TEST_F(CompoundWriterTest, DirectoryTreeIsOrderedForAnyStreamName) {
  test::TempDir dir;
  const std::vector<uint8_t> stream = RandomBytes(300, 7);
  for (const char* name : {"Book", "Worksheet", "Contents", "A", "ZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZ"}) {
    SCOPED_TRACE(name);
    std::FILE* f = std::fopen((dir / "t.doc").c_str(), "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_TRUE(WriteCompoundDocument(f, stream.data(), 300, name));
    ASSERT_EQ(std::fclose(f), 0);
    const std::string bytes = test::ReadFile(dir / "t.doc");
    const std::size_t directory = (LoadU32LE(reinterpret_cast<const uint8_t*>(bytes.data()) + 48) + 1) * 512;
    auto entry = [&](uint32_t id) { return reinterpret_cast<const uint8_t*>(bytes.data()) + directory + 128 * id; };
    auto key = [&](uint32_t id) {
      std::string k;
      for (int i = 0; i + 2 < LoadU16LE(entry(id) + 64); i += 2) k += static_cast<char>(std::toupper(entry(id)[i]));
      return std::make_pair(k.size(), k);
    };
    std::vector<std::pair<std::size_t, std::string>> order;
    std::function<void(uint32_t)> walk = [&](uint32_t id) {
      if (id == 0xFFFFFFFFu || order.size() > 8) return;
      walk(LoadU32LE(entry(id) + 68));
      order.push_back(key(id));
      walk(LoadU32LE(entry(id) + 72));
    };
    walk(LoadU32LE(entry(0) + 76));
    ASSERT_EQ(order.size(), 3u);
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
    EXPECT_NE(std::find(order.begin(), order.end(), key(1)), order.end());
  }
}

}  // namespace
}  // namespace trovadex
