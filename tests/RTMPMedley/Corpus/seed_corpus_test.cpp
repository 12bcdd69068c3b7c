#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "TestPaths.h"
#include "fuzz/RTMPFuzzDrivers.h"

namespace {

namespace fs = std::filesystem;

// The corpus beside the fuzz targets: from the source tree ctest names, else from this file's place.
fs::path corpusDir(const char* name) {
  fs::path root = qztest::sourceDir();
  if (!fs::is_directory(root / "fuzz" / "corpus")) root = fs::path(__FILE__).parent_path().parent_path().parent_path().parent_path();
  return root / "fuzz" / "corpus" / name;
}

TEST(SeedCorpusTest, EverySeedRunsThroughItsParser) {
  const std::vector<std::pair<const char*, void (*)(const uint8_t*, size_t)>> targets = {
      {"rtmp_chunk", rtmpfuzz::chunkStream}, {"amf0", rtmpfuzz::amf0},
      {"amf3", rtmpfuzz::amf3},              {"rtmp_message", rtmpfuzz::message},
      {"avc_record", rtmpfuzz::avcRecord},   {"hevc_record", rtmpfuzz::hevcRecord}};
  for (const auto& [name, driver] : targets) {
    const fs::path dir = corpusDir(name);
    ASSERT_TRUE(fs::is_directory(dir)) << dir;
    size_t seeds = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
      std::ifstream in(entry.path(), std::ios::binary);
      const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      SCOPED_TRACE(entry.path().string());
      EXPECT_NO_THROW(driver(bytes.data(), bytes.size()));
      ++seeds;
    }
    EXPECT_GT(seeds, 2u) << name;
  }
}

}  // namespace
