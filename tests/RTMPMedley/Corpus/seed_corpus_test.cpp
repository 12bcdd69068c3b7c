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

// The seeds that reproduce known malformed inputs give the sound results, not just no crash.
TEST(SeedCorpusTest, ChunkRegressionsDeliverWhatTheyShould) {
  struct Read {
    std::vector<rtmpmedley::RTMPMessagePtr> messages;
    bool malformed = false;
  };
  auto read = [&](const char* name) {
    std::ifstream in(corpusDir("rtmp_chunk") / name, std::ios::binary);
    const std::vector<uint8_t> b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    rtmpmedley::RTMPChunkReader reader;
    Read out;
    out.malformed = reader.append(std::span<const uint8_t>(b).subspan(1), [&](const auto& r) {
      out.messages.push_back(r.message);
    }) == rtmpmedley::RTMPChunkReader::Status::malformed;
    return out;
  };
  // (Continuations without a header, type 1 lengths and unrepeated extended
  // timestamps have their own cases in the chunk reader's tests.)
  EXPECT_EQ(read("session").messages.size(), 7u);
  EXPECT_FALSE(read("session").malformed);
  EXPECT_EQ(read("chunk_size_7fffffff").messages.back()->payload().size(), 40u);
  EXPECT_TRUE(read("csid_320_truncated_basic").messages.empty());
  EXPECT_FALSE(read("csid_320_truncated_basic").malformed);
}

}  // namespace
