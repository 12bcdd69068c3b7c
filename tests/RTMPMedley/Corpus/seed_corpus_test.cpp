#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "TestPaths.h"
#include "fuzz/RTMPFuzzDrivers.h"

namespace {

namespace fs = std::filesystem;

TEST(SeedCorpusTest, EverySeedRunsThroughItsParser) {
  const std::vector<std::pair<const char*, void (*)(const uint8_t*, size_t)>> targets = {
      {"rtmp_chunk", rtmpfuzz::chunkStream}, {"amf0", rtmpfuzz::amf0},
      {"amf3", rtmpfuzz::amf3},              {"rtmp_message", rtmpfuzz::message},
      {"avc_record", rtmpfuzz::avcRecord},   {"hevc_record", rtmpfuzz::hevcRecord}};
  for (const auto& [name, driver] : targets) {
    const fs::path dir = fs::path(qztest::sourceDir()) / "fuzz" / "corpus" / name;
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
