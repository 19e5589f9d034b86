// Reading a stream as its producer saves it: inside a compound document
// under the producer's stream name (no "Book" stream), found by detection
// and handed on by the compound-document layer to the reader.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include "driver/detect.h"
#include "driver/run.h"
#include "test_support.h"
#include "writers/compound_writer.h"

namespace trovadex::test {

inline void WriteDocument(const std::string& path, const char* streamName, const std::string& stream) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  EXPECT_TRUE(WriteCompoundDocument(f, reinterpret_cast<const uint8_t*>(stream.data()),
                                    static_cast<uint32_t>(stream.size()), streamName));
  EXPECT_EQ(std::fclose(f), 0);
}

struct DocumentRead {
  int format = -1;
  int16_t result = -1;
  std::string output;
};

// Detects and reads `dir`/`fileName` as the driver does; the extracted
// stream goes into `dir` and must be gone afterwards.
inline DocumentRead ReadDocument(const TempDir& dir, const std::string& fileName) {
  const std::string path = dir / fileName;
  DocumentRead r;
  setenv("TMP", dir.path().c_str(), 1);
  r.format = DetectFormat(path.c_str());
  testing::internal::CaptureStdout();
  r.result = ReadInput(path.c_str(), r.format);
  r.output = testing::internal::GetCapturedStdout();
  unsetenv("TMP");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
  EXPECT_TRUE(State().inputFileName.empty());
  return r;
}

}  // namespace trovadex::test
