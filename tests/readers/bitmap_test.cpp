// The bitmap reader on pictures ImageMagick writes in the test: every bit
// depth, both header sizes, odd widths, top-down rows, and refusals made by
// changing bytes of such files. Expected colours come from the picture the
// test made (or, for 16 bits, from the stored pixel words).
#include <array>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "core/byteorder.h"
#include "core/dataset.h"
#include "readers/readers.h"
#include "test_support.h"

namespace trovadex {
namespace {

using test::TempDir;
using Rgb = std::array<int, 3>;

constexpr const char* kConvert = "/usr/bin/convert";

// A picture, rows top to bottom.
struct Picture {
  int width = 9;
  int height = 5;
  std::vector<Rgb> pixels;
  Rgb At(int x, int row) const { return pixels[static_cast<std::size_t>(row * width + x)]; }
};

// `colours` distinct random colours spread over the picture (black and
// white for 2), or every pixel its own random colour for 0.
Picture MakePicture(int colours, unsigned seed) {
  Picture p;
  std::mt19937 random(seed);
  std::vector<Rgb> palette;
  if (colours == 2) palette = {{0, 0, 0}, {255, 255, 255}};
  for (int i = static_cast<int>(palette.size()); i < colours; ++i)
    palette.push_back({static_cast<int>(random() % 256), static_cast<int>(random() % 256), static_cast<int>(random() % 256)});
  for (int i = 0; i < p.width * p.height; ++i) {
    if (colours > 0)
      p.pixels.push_back(palette[static_cast<std::size_t>((i * 7 + i / 3) % colours)]);
    else
      p.pixels.push_back({static_cast<int>(random() % 256), static_cast<int>(random() % 256), static_cast<int>(random() % 256)});
  }
  return p;
}

void WritePpm(const std::string& path, const Picture& p) {
  std::string text = "P3\n" + std::to_string(p.width) + " " + std::to_string(p.height) + "\n255\n";
  for (const Rgb& c : p.pixels) text += std::to_string(c[0]) + " " + std::to_string(c[1]) + " " + std::to_string(c[2]) + "\n";
  test::WriteFile(path, text);
}

class BitmapReaderTest : public test::StateTest {
 protected:
  TempDir dir;
  std::string output;

  void SetUp() override {
    test::StateTest::SetUp();
    if (!std::filesystem::exists(kConvert)) GTEST_SKIP() << "ImageMagick absent";
  }
  // The picture as ImageMagick writes it with `options` ("... bmp3:").
  std::string Convert(const Picture& p, const std::string& options) {
    WritePpm(dir / "in.ppm", p);
    const std::string out = dir / "out.bmp";
    std::filesystem::remove(out);
    std::string command = std::string(kConvert) + " " + (dir / "in.ppm") + " " + options + (dir / "out.bmp") + " 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    return test::ReadFile(out);
  }
  int16_t Read(const std::string& bytes, bool split = true) {
    const std::string path = dir / "t.bmp";
    test::WriteFile(path, bytes);
    testing::internal::CaptureStdout();
    int16_t ok = ReadBitmap(path.c_str(), split);
    output = testing::internal::GetCapturedStdout();
    return ok;
  }
  // Every pixel of the Dataset against `colour(x, y)`, y in file order.
  template <class Colour>
  void ExpectPixels(int width, int height, Colour colour) {
    Dataset* d = CurrentDataset();
    ASSERT_NE(d, nullptr);
    ASSERT_EQ(d->rowCount, width * height);
    std::vector<Column*> c;
    for (int i = 1; i <= 5; ++i) c.push_back(ColumnAt(d, i));
    EXPECT_EQ(c[0]->name, "X");
    EXPECT_EQ(c[2]->name, "Red");
    EXPECT_EQ(c[4]->name, "Blue");
    for (int y = 0, at = 0; y < height; ++y) {
      for (int x = 0; x < width; ++x, ++at) {
        const Rgb want = colour(x, y);
        ASSERT_EQ(GetNumber(c[0], at), x);
        ASSERT_EQ(GetNumber(c[1], at), y);
        ASSERT_EQ((Rgb{static_cast<int>(GetNumber(c[2], at)), static_cast<int>(GetNumber(c[3], at)),
                       static_cast<int>(GetNumber(c[4], at))}),
                  want)
            << "pixel " << x << "," << y;
      }
    }
  }
};

struct ConvertCase {
  const char* name;
  const char* options;
  int colours;
  int bits;        // what the file must hold, so that the case tests what it says
  int headerSize;
};

TEST_F(BitmapReaderTest, EveryDepthAndHeaderImageMagickWritesUncompressed) {
  const ConvertCase cases[] = {
      {"bits1", "-type Bilevel -compress None bmp3:", 2, 1, 40},
      {"bits4", "-type Palette -compress None bmp3:", 12, 4, 40},
      {"bits8", "-type Palette -compress None bmp3:", 40, 8, 40},
      {"bits24", "-type TrueColor bmp3:", 0, 24, 40},
      {"bits32", "-alpha set -define bmp3:alpha=true bmp3:", 0, 32, 40},
      // The palette follows the larger header, not a 40-byte one.
      {"bits4_large_header", "-type Palette -compress None bmp:", 12, 4, 124},
      {"bits8_large_header", "-type Palette -compress None bmp:", 40, 8, 124},
      {"bits24_large_header", "-type TrueColor bmp:", 0, 24, 124},
  };
  unsigned seed = 1;
  for (const ConvertCase& k : cases) {
    SCOPED_TRACE(k.name);
    const Picture p = MakePicture(k.colours, seed++);
    const std::string bytes = Convert(p, k.options);
    ASSERT_GE(bytes.size(), 54u);
    ASSERT_EQ(LoadU16LE(&bytes[28]), k.bits);
    ASSERT_EQ(LoadU32LE(&bytes[14]), static_cast<uint32_t>(k.headerSize));
    ASSERT_EQ(LoadU32LE(&bytes[30]), 0u);
    ASSERT_EQ(Read(bytes), 1) << output;
    // Bottom-up rows: the first stored row is the picture's last.
    ExpectPixels(p.width, p.height, [&](int x, int y) { return p.At(x, p.height - 1 - y); });
    ResetState();
    State().interceptFatal = true;
  }
}

TEST_F(BitmapReaderTest, OneColourColumnTopDownRowsAndAShortPalette) {
  const Picture p = MakePicture(40, 7);
  std::string bytes = Convert(p, "-type Palette -compress None bmp3:");
  ASSERT_EQ(LoadU16LE(&bytes[28]), 8);

  ASSERT_EQ(Read(bytes, false), 1) << output;
  Column* rgb = ColumnAt(CurrentDataset(), 3);
  EXPECT_EQ(rgb->name, "RGB");
  const Rgb first = p.At(0, p.height - 1);
  EXPECT_EQ(GetNumber(rgb, 0), first[0] * 65536.0 + first[1] * 256.0 + first[2]);
  ResetState();
  State().interceptFatal = true;

  // The palette cut to the 40 colours used, as the colours-used field says.
  const uint32_t offset = LoadU32LE(&bytes[10]);
  const std::size_t rowBytes = 12;  // 9 pixels of one byte, padded
  for (std::size_t i = offset; i < bytes.size(); ++i) {
    if ((i - offset) % rowBytes < 9) {
      ASSERT_LT(static_cast<unsigned char>(bytes[i]), 40);
    }
  }
  std::string cut = bytes.substr(0, 54 + 40 * 4) + bytes.substr(offset);
  StoreU32LE(&cut[10], 54 + 40 * 4);
  StoreU32LE(&cut[46], 40);
  ASSERT_EQ(Read(cut), 1) << output;
  ExpectPixels(p.width, p.height, [&](int x, int y) { return p.At(x, p.height - 1 - y); });
  ResetState();
  State().interceptFatal = true;

  // Top-down: a negative height and the rows stored top first; Y still
  // counts rows in file order.
  const Picture q = MakePicture(0, 8);
  std::string down = Convert(q, "-type TrueColor bmp3:");
  const std::size_t start = LoadU32LE(&down[10]), row = 28;  // 9 x 3 bytes, padded
  std::string rows;
  for (int y = q.height - 1; y >= 0; --y) rows += down.substr(start + static_cast<std::size_t>(y) * row, row);
  down.replace(start, rows.size(), rows);
  StoreU32LE(&down[22], static_cast<uint32_t>(-q.height));
  ASSERT_EQ(Read(down), 1) << output;
  ExpectPixels(q.width, q.height, [&](int x, int y) { return q.At(x, y); });
}

// ImageMagick writes 16-bit pixels with bit-field masks (compression 3) for
// the usual 5-5-5 layout; with the compression field cleared the same bytes
// are an uncompressed 16-bit bitmap.
TEST_F(BitmapReaderTest, SixteenBitPixelsKeepTheirFiveBitChannels) {
  const Picture p = MakePicture(0, 11);
  std::string bytes = Convert(p, "-define bmp:subtype=RGB555 bmp3:");
  ASSERT_EQ(LoadU16LE(&bytes[28]), 16);
  ASSERT_NE(LoadU32LE(&bytes[30]), 0u);
  EXPECT_EQ(Read(bytes), 0);
  EXPECT_EQ(output, "Sorry: RLE Compressed Bitmaps not yet supported!\n");
  ResetState();
  State().interceptFatal = true;

  StoreU32LE(&bytes[30], 0);
  ASSERT_EQ(Read(bytes), 1) << output;
  const std::size_t start = LoadU32LE(&bytes[10]), row = 20;  // 9 x 2 bytes, padded
  ExpectPixels(p.width, p.height, [&](int x, int y) {
    const uint16_t v = LoadU16LE(&bytes[start + static_cast<std::size_t>(y) * row + 2 * static_cast<std::size_t>(x)]);
    return Rgb{(v >> 10) & 31, (v >> 5) & 31, v & 31};
  });
}

TEST_F(BitmapReaderTest, DamagedHeadersAndCompressionAreRefusedWithAMessage) {
  const std::string good = Convert(MakePicture(0, 3), "-type TrueColor bmp3:");
  struct Damage {
    std::size_t at;
    uint32_t value;
    const char* message;
  };
  const Damage damages[] = {
      {14, 12, "Error: Bitmap header size is invalid (12)\n"},
      {18, 0, "Error: Bitmap size is invalid (0 x 5)\n"},
      {18, static_cast<uint32_t>(-9), "Error: Bitmap size is invalid (-9 x 5)\n"},
      {22, 6, "Error: Bitmap of 9 x 6 pixels is larger than the file holds\n"},
      {22, 0x7FFFFFFF, "Error: Bitmap of 9 x 2147483647 pixels is larger than the file holds\n"},
      {30, 1, "Sorry: RLE Compressed Bitmaps not yet supported!\n"},
  };
  for (const Damage& d : damages) {
    std::string bytes = good;
    StoreU32LE(&bytes[d.at], d.value);
    EXPECT_EQ(Read(bytes), 0);
    EXPECT_EQ(output, d.message);
  }
  EXPECT_EQ(Read(good.substr(0, good.size() - 1)), 0);
  EXPECT_EQ(output, "Error: Bitmap of 9 x 5 pixels is larger than the file holds\n");
  EXPECT_EQ(Read(Convert(MakePicture(40, 4), "-type Palette -compress RLE bmp3:")), 0);
  EXPECT_EQ(output, "Sorry: RLE Compressed Bitmaps not yet supported!\n");
}

}  // namespace
}  // namespace trovadex
