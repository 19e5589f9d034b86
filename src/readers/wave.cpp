// Uncompressed PCM sound in RIFF WAVE files (".wav") into the Dataset: one
// row per sample frame, one column per channel ("Sound1", ...), or one
// "Sound" column with the mean of the channels.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "core/byteorder.h"
#include "core/dataset.h"
#include "readers/readers.h"

namespace trovadex {

namespace {

constexpr int64_t kHeaderBytes = 36;  // RIFF header, "fmt " chunk head and its 16 bytes
constexpr int64_t kFrameBlockBytes = int64_t{1} << 20;

struct WaveFile {
  std::FILE* file = nullptr;
  int64_t size = 0;
  ~WaveFile() {
    if (file) std::fclose(file);
  }
};

bool ReadAt(WaveFile& f, int64_t offset, unsigned char* out, int64_t count) {
  if (offset < 0 || count < 0 || offset > f.size || count > f.size - offset) return false;
  if (fseeko(f.file, static_cast<off_t>(offset), SEEK_SET) != 0) return false;
  return count == 0 || std::fread(out, 1, static_cast<std::size_t>(count), f.file) == static_cast<std::size_t>(count);
}

// One channel's sample of `bytes` bytes: 8-bit samples are unsigned
// (silence at 128), wider ones two's complement.
double Sample(const unsigned char* p, int bytes) {
  switch (bytes) {
    case 1: return p[0];
    case 2: return LoadI16LE(p);
    case 3: return static_cast<int32_t>(static_cast<uint32_t>(p[0] | (p[1] << 8) | (p[2] << 16)) << 8) >> 8;
    default: return LoadI32LE(p);
  }
}

}  // namespace

int16_t ReadWave(const char* path, bool splitChannels) {
  WaveFile f;
  if (!path || !(f.file = std::fopen(path, "rb"))) return 0;
  if (fseeko(f.file, 0, SEEK_END) != 0) return 0;
  f.size = static_cast<int64_t>(ftello(f.file));
  if (f.size < 0) return 0;

  // A file that ends early reads as zeros here and fails the first check
  // that needs the missing bytes.
  unsigned char h[kHeaderBytes] = {};
  if (!ReadAt(f, 0, h, std::min(f.size, kHeaderBytes))) return 0;
  if (std::memcmp(h, "RIFF", 4) != 0) {
    std::printf("Error: %s is NOT a WAVE file!\n", path);
    return 0;
  }
  // Not used further; writers that stream to a pipe leave it (and the data
  // chunk's size) with all bits set, which is no reason to refuse the file.
  const uint32_t riffSize = LoadU32LE(h + 4);
  if (riffSize == 0) {
    std::printf("Error: RIFF Size is Invalid (%li)\n", static_cast<long>(riffSize));
    return 0;
  }
  if (std::memcmp(h + 8, "WAVE", 4) != 0) {
    std::printf("Error: %s is NOT a simple WAVE file!\n", path);
    return 0;
  }
  if (std::memcmp(h + 12, "fmt ", 4) != 0) {
    std::printf("Error: WAVE format chunk is missing\n");
    return 0;
  }
  const int32_t formatSize = LoadI32LE(h + 16);
  if (formatSize < 16) {
    std::printf("Error: WAVE Format data Size is Invalid (%li)\n", static_cast<long>(formatSize));
    return 0;
  }
  // Only plain PCM; the extensible form (65534) is refused too.
  const int formatTag = LoadU16LE(h + 20);
  if (formatTag != 1) {
    std::printf("Error: WAVE Format is not of PC origin (Type %i)\n", formatTag);
    return 0;
  }
  const int channels = LoadU16LE(h + 22);
  if (channels != 1 && channels != 2 && channels != 4) {
    std::printf("Error: WAVE Invalid number of channels (%i)\n", channels);
    return 0;
  }
  const int64_t sampleRate = LoadU32LE(h + 24);
  if (sampleRate == 0) {
    std::printf("Error: WAVE Sample rate is invalid (0)\n");
    return 0;
  }
  // The block alignment is the bytes of one frame, all channels together.
  const int blockAlign = LoadU16LE(h + 32);
  if (blockAlign % channels != 0) {
    std::printf("Error: WAVE block alignment (%i) does not fit %i channels\n", blockAlign, channels);
    return 0;
  }
  const int sampleBytes = blockAlign / channels;
  if (sampleBytes == 0 || sampleBytes > 4) {
    std::printf("Error: Invalid data sample size (%i)\n", sampleBytes);
    return 0;
  }

  // Chunks up to "data"; each odd-sized chunk is followed by a pad byte.
  int64_t at = 20 + int64_t{formatSize} + (formatSize & 1);
  int64_t dataBytes = -1;
  while (dataBytes < 0) {
    unsigned char chunk[8];
    if (!ReadAt(f, at, chunk, 8)) {
      std::printf("Error: WAVE data chunk is missing\n");
      return 0;
    }
    at += 8;
    const uint32_t size = LoadU32LE(chunk + 4);
    if (std::memcmp(chunk, "data", 4) == 0) {
      // A size past the end (unknown, all bits set, from a streaming
      // writer; or a cut file) is taken as what the file holds.
      dataBytes = std::min<int64_t>(size, f.size - at);
    } else if (static_cast<int32_t>(size) < 0) {
      std::printf("Error: WAVE data chunk - invalid data size\n");
      return 0;
    } else {
      at += int64_t{size} + (size & 1);
    }
  }

  const int64_t frameBytes = int64_t{channels} * sampleBytes;
  std::printf("Wave Play duration: %.2f seconds\n",
              static_cast<double>(dataBytes) / static_cast<double>(frameBytes * sampleRate));
  const int64_t frames = dataBytes / frameBytes;
  if (frames <= 0) {
    std::printf("No Data: Sample duration is zero\n");
    return 0;
  }
  if (frames > std::numeric_limits<int32_t>::max()) {
    std::printf("Error: WAVE file has too many samples for one table (%lli)\n", static_cast<long long>(frames));
    return 0;
  }

  Dataset* dataset = CreateDataset();
  dataset->rowCount = static_cast<int32_t>(frames);
  if (!CreateRows(dataset)) return 0;
  const bool split = splitChannels && channels > 1;
  std::vector<Column*> columns;
  for (int c = 0; c < (split ? channels : 1); ++c) {
    char name[16];
    if (split)
      std::snprintf(name, sizeof name, "Sound%li", static_cast<long>(c + 1));
    else
      std::snprintf(name, sizeof name, "Sound");
    Column* column = AddColumnWithValues(dataset, ColumnKind::Variate, name, dataset->rowCount);
    if (!column) return 0;
    columns.push_back(column);
  }

  const int64_t blockFrames = std::max<int64_t>(1, kFrameBlockBytes / frameBytes);
  std::vector<unsigned char> block;
  LargeResize(block, static_cast<std::size_t>(std::min(blockFrames, frames) * frameBytes));
  for (int64_t first = 0; first < frames; first += blockFrames) {
    const int64_t count = std::min(blockFrames, frames - first);
    if (!ReadAt(f, at + first * frameBytes, block.data(), count * frameBytes)) {
      std::printf("Error: WAVE file %s ends inside its data.\n", path);
      return 0;
    }
    for (int64_t i = 0; i < count; ++i) {
      const unsigned char* frame = block.data() + i * frameBytes;
      if (split) {
        for (int c = 0; c < channels; ++c) SetNumber(columns[c], first + i, Sample(frame + c * sampleBytes, sampleBytes));
      } else {
        double sum = 0;
        for (int c = 0; c < channels; ++c) sum += Sample(frame + c * sampleBytes, sampleBytes);
        SetNumber(columns[0], first + i, sum / channels);
      }
    }
  }
  return 1;
}

}  // namespace trovadex
