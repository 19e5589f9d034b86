// The ZIP container of workbooks: archives written by Python's zipfile
// (stored and deflated entries) read back entry by entry, and refusals made
// by changing the bytes of such an archive.
#include "readers/zip.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "core/byteorder.h"
#include "test_support.h"

namespace trovadex {
namespace {

class ZipTest : public test::StateTest {
 protected:
  // Writes an archive of "[Content_Types].xml" (stored) and "xl/big.xml"
  // (deflated, 200,000 bytes) with Python; false when python3 is absent.
  bool MakeArchive() {
    test::WriteFile(dir_ / "make.py",
                    "import sys, zipfile\n"
                    "z = zipfile.ZipFile(sys.argv[1], 'w')\n"
                    "z.writestr(zipfile.ZipInfo('[Content_Types].xml'), '<Types/>')\n"
                    "z.writestr('xl/big.xml', ''.join('<r n=\"%d\"/>' % i for i in range(20000))[:200000],"
                    " zipfile.ZIP_DEFLATED)\n"
                    "z.close()\n");
    const std::string cmd = "/usr/bin/python3 " + (dir_ / "make.py") + " " + path_;
    return std::system(cmd.c_str()) == 0;
  }
  ZipStatus ReadAll(const std::string& bytes, const char* name, std::string& out) {
    test::WriteFile(path_, bytes);
    ZipArchive zip;
    ZipStatus status = OpenZip(path_.c_str(), zip);
    if (status != ZipStatus::Ok) return status;
    const ZipEntry* entry = FindZipEntry(zip, name);
    if (!entry) return ZipStatus::BadDirectory;
    return ReadZipEntryWhole(zip, *entry, out, int64_t{1} << 30);
  }
  test::TempDir dir_;
  std::string path_ = dir_ / "a.zip";
};

TEST_F(ZipTest, StoredAndDeflatedEntriesAndRefusals) {
  if (!MakeArchive()) GTEST_SKIP() << "python3 not available";
  const std::string archive = test::ReadFile(path_);
  std::string out;
  ASSERT_EQ(ReadAll(archive, "[Content_Types].xml", out), ZipStatus::Ok);
  EXPECT_EQ(out, "<Types/>");
  ASSERT_EQ(ReadAll(archive, "xl/big.xml", out), ZipStatus::Ok);
  ASSERT_EQ(out.size(), 200000u);
  EXPECT_EQ(out.substr(0, 20), "<r n=\"0\"/><r n=\"1\"/>");

  // The central directory entry of xl/big.xml: its sizes and offset.
  const std::size_t central = archive.rfind("PK\x01\x02", std::string::npos);
  ASSERT_NE(central, std::string::npos);
  auto changed = [&](std::size_t at, uint32_t value) {
    std::string b = archive;
    for (int k = 0; k < 4; ++k) b[at + k] = static_cast<char>((value >> (8 * k)) & 0xFF);
    return b;
  };
  const uint32_t size = LoadU32LE(archive.data() + central + 24);
  EXPECT_EQ(ReadAll(changed(central + 24, size - 1), "xl/big.xml", out), ZipStatus::BadData);
  EXPECT_EQ(ReadAll(changed(central + 24, size + 1), "xl/big.xml", out), ZipStatus::BadData);
  EXPECT_EQ(ReadAll(changed(central + 16, 0), "xl/big.xml", out), ZipStatus::BadData);  // checksum
  // A declared size past 100 times the file is a bomb, refused unread.
  EXPECT_EQ(ReadAll(changed(central + 24, 0x7FFFFFFF), "xl/big.xml", out), ZipStatus::TooLarge);
  EXPECT_EQ(ReadAll(changed(central + 42, 0x7FFFFFF0), "xl/big.xml", out), ZipStatus::BadDirectory);
  EXPECT_EQ(ReadAll(archive.substr(0, archive.size() - 30), "xl/big.xml", out), ZipStatus::NotZip);
  EXPECT_EQ(ReadAll("PK\x03\x04 not an archive", "xl/big.xml", out), ZipStatus::NotZip);
}

}  // namespace
}  // namespace trovadex
