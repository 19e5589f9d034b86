// The WAVE reader on files sox writes in the test, compared with what
// Python's wave module reads back; refusals made by changing bytes of them.
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "core/byteorder.h"
#include "core/dataset.h"
#include "readers/readers.h"
#include "test_support.h"

namespace trovadex {
namespace {

using test::TempDir;

constexpr const char* kPython = "/usr/bin/python3";

// Prints every frame as one line of channel values: 8-bit samples unsigned,
// wider ones signed, as the published layout stores them.
constexpr const char* kDumpScript = R"(import sys, wave
w = wave.open(sys.argv[1], 'rb')
n, k, s = w.getnframes(), w.getnchannels(), w.getsampwidth()
data = w.readframes(n)
for f in range(len(data) // (k * s)):
    print(' '.join(str(int.from_bytes(data[(f * k + c) * s:(f * k + c + 1) * s], 'little', signed=s > 1)) for c in range(k)))
)";

std::string CommandOutput(const std::string& command) {
  std::string out;
  if (std::FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[65536];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    pclose(pipe);
  }
  return out;
}

class WaveReaderTest : public test::StateTest {
 protected:
  TempDir dir;
  std::string output;

  void SetUp() override {
    test::StateTest::SetUp();
    if (std::system("sox --version >/dev/null 2>&1") != 0 || !std::filesystem::exists(kPython))
      GTEST_SKIP() << "sox or python3 absent";
    test::WriteFile(dir / "dump.py", kDumpScript);
  }
  // A plain PCM file from sox: `format` such as "-r 8000 -b 16 -c 2", then
  // the synth arguments.
  std::string Sox(const std::string& format, const std::string& synth) {
    const std::string out = dir / "sox.wav";
    std::string command = "sox -D -R -n " + format + " -t wavpcm " + out + " synth " + synth + " 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    return test::ReadFile(out);
  }
  std::string Write(const std::string& bytes) {
    const std::string path = dir / "t.wav";
    test::WriteFile(path, bytes);
    return path;
  }
  int16_t Read(const std::string& bytes, bool split = true) {
    const std::string path = Write(bytes);
    testing::internal::CaptureStdout();
    int16_t ok = ReadWave(path.c_str(), split);
    output = testing::internal::GetCapturedStdout();
    return ok;
  }
  // The frames Python's wave module reads from the bytes.
  std::vector<std::vector<double>> PeerFrames(const std::string& bytes) {
    const std::string path = Write(bytes);
    std::istringstream lines(CommandOutput(std::string(kPython) + " " + (dir / "dump.py") + " " + path));
    std::vector<std::vector<double>> frames;
    std::string line;
    while (std::getline(lines, line)) {
      std::istringstream values(line);
      std::vector<double> frame;
      for (double v; values >> v;) frame.push_back(v);
      frames.push_back(frame);
    }
    return frames;
  }
  void ExpectFrames(const std::vector<std::vector<double>>& frames, bool split) {
    Dataset* d = CurrentDataset();
    ASSERT_NE(d, nullptr);
    ASSERT_EQ(d->rowCount, static_cast<int32_t>(frames.size()));
    const std::size_t channels = frames[0].size();
    const bool oneColumn = !split || channels == 1;
    ASSERT_EQ(d->columnCount, oneColumn ? 1 : static_cast<int32_t>(channels));
    for (std::size_t c = 0; c < (oneColumn ? 1 : channels); ++c) {
      Column* column = ColumnAt(d, static_cast<int32_t>(c + 1));
      EXPECT_EQ(column->name, oneColumn ? std::string("Sound") : "Sound" + std::to_string(c + 1));
      for (std::size_t f = 0; f < frames.size(); ++f) {
        double want = frames[f][c];
        if (oneColumn) {
          want = 0;
          for (double v : frames[f]) want += v;
          want /= static_cast<double>(channels);
        }
        ASSERT_EQ(GetNumber(column, static_cast<int64_t>(f)), want) << "frame " << f << " channel " << c;
      }
    }
  }
};

TEST_F(WaveReaderTest, SampleSizesAndChannelsAsPythonReadsThem) {
  const struct {
    const char* format;
    const char* synth;
  } cases[] = {
      {"-r 8000 -b 8 -c 1", "0.02 sine 440"},
      {"-r 8000 -b 8 -c 2", "0.02 sine 440 sine 660"},
      {"-r 11025 -b 16 -c 2", "0.02 sine 440 square 300"},
      {"-r 8000 -b 24 -c 2", "0.02 sine 440 sawtooth 250"},
      {"-r 8000 -b 32 -c 1", "0.01 sine 300"},
      {"-r 8000 -b 16 -c 4", "0.01 sine 440 sine 660 sine 220 square 100"},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.format);
    const std::string bytes = Sox(k.format, k.synth);
    const auto frames = PeerFrames(bytes);
    ASSERT_FALSE(frames.empty());
    for (bool split : {true, false}) {
      ASSERT_EQ(Read(bytes, split), 1) << output;
      ExpectFrames(frames, split);
      ResetState();
      State().interceptFatal = true;
    }
  }
}

TEST_F(WaveReaderTest, ChunksBeforeTheDataAreSkippedWithTheirPadByte) {
  std::string bytes = Sox("-r 8000 -b 16 -c 2", "0.01 sine 440 sine 660");
  const auto frames = PeerFrames(bytes);
  // A chunk of 3 bytes and its pad byte after the format chunk.
  const std::size_t afterFormat = 20 + LoadU32LE(&bytes[16]);
  bytes.insert(afterFormat, std::string("odd \x03\x00\x00\x00xyz\x00", 12));
  StoreU32LE(&bytes[4], static_cast<uint32_t>(bytes.size() - 8));
  ASSERT_EQ(PeerFrames(bytes), frames);
  ASSERT_EQ(Read(bytes), 1) << output;
  ExpectFrames(frames, true);
}

TEST_F(WaveReaderTest, DurationAndADataChunkLongerThanTheFile) {
  std::string bytes = Sox("-r 8000 -b 8 -c 1", "2 sine 440");
  ASSERT_EQ(Read(bytes), 1);
  EXPECT_EQ(output, "Wave Play duration: 2.00 seconds\n");
  EXPECT_EQ(CurrentDataset()->rowCount, 16000);
  ResetState();
  State().interceptFatal = true;

  // A size that is too large (as a writer streaming to a pipe leaves it):
  // the frames that are there.
  const std::size_t data = bytes.find("data");
  ASSERT_NE(data, std::string::npos);
  StoreU32LE(&bytes[data + 4], 0xFFFFFFFFu);
  StoreU32LE(&bytes[4], 0xFFFFFFFFu);
  bytes.resize(bytes.size() - 6000);
  ASSERT_EQ(Read(bytes), 1) << output;
  EXPECT_EQ(CurrentDataset()->rowCount, 10000);
}

// Above the 16 MB of the checked allocator: 100 seconds of CD-quality stereo.
TEST_F(WaveReaderTest, LongRecordingsRead) {
  const std::string bytes = Sox("-r 44100 -b 16 -c 2", "100 sine 440 sine 660");
  ASSERT_GT(bytes.size(), 16000008u);
  ASSERT_EQ(Read(bytes), 1) << output;
  Dataset* d = CurrentDataset();
  ASSERT_EQ(d->rowCount, 4410000);
  const std::size_t data = bytes.find("data") + 8;
  const int64_t last = d->rowCount - 1;
  EXPECT_EQ(GetNumber(ColumnAt(d, 2), last), LoadI16LE(&bytes[data + 4 * static_cast<std::size_t>(last) + 2]));
}

TEST_F(WaveReaderTest, DamagedHeadersAreRefusedWithTheirMessage) {
  const std::string good = Sox("-r 8000 -b 16 -c 2", "0.01 sine 440");
  struct Damage {
    std::size_t at;
    int bytes;
    uint32_t value;
    const char* message;
  };
  const Damage damages[] = {
      {4, 4, 0, "Error: RIFF Size is Invalid (0)\n"},
      {16, 4, 14, "Error: WAVE Format data Size is Invalid (14)\n"},
      {20, 2, 3, "Error: WAVE Format is not of PC origin (Type 3)\n"},
      {20, 2, 0xFFFE, "Error: WAVE Format is not of PC origin (Type 65534)\n"},
      {22, 2, 3, "Error: WAVE Invalid number of channels (3)\n"},
      {24, 4, 0, "Error: WAVE Sample rate is invalid (0)\n"},
      {32, 2, 0, "Error: Invalid data sample size (0)\n"},
      {32, 2, 3, "Error: WAVE block alignment (3) does not fit 2 channels\n"},
      {32, 2, 10, "Error: Invalid data sample size (5)\n"},
  };
  for (const Damage& d : damages) {
    std::string bytes = good;
    if (d.bytes == 2)
      StoreU16LE(&bytes[d.at], static_cast<uint16_t>(d.value));
    else
      StoreU32LE(&bytes[d.at], d.value);
    EXPECT_EQ(Read(bytes), 0);
    EXPECT_EQ(output, d.message);
  }
  std::string noData = good;
  noData.replace(noData.find("data"), 4, "junk");
  EXPECT_EQ(Read(noData), 0);
  EXPECT_EQ(output, "Error: WAVE data chunk is missing\n");
  EXPECT_EQ(Read(good.substr(0, good.find("data") + 8)), 0);
  EXPECT_EQ(output, "Wave Play duration: 0.00 seconds\nNo Data: Sample duration is zero\n");
}

}  // namespace
}  // namespace trovadex
