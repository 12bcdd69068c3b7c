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

struct Target {
  const char* name;
  void (*driver)(const uint8_t*, size_t);
};

void PrintTo(const Target& t, std::ostream* os) { *os << t.name; }

class SeedCorpusTest : public ::testing::TestWithParam<Target> {};

TEST_P(SeedCorpusTest, EverySeedRunsThroughItsParser) {
  const fs::path dir = corpusDir(GetParam().name);
  ASSERT_TRUE(fs::is_directory(dir)) << dir;
  size_t seeds = 0;
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (!entry.is_regular_file()) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    SCOPED_TRACE(entry.path().filename().string());
    EXPECT_NO_THROW(GetParam().driver(bytes.data(), bytes.size()));
    ++seeds;
  }
  EXPECT_GT(seeds, 2u);
}

INSTANTIATE_TEST_SUITE_P(Parsers, SeedCorpusTest,
                         ::testing::Values(Target{"rtmp_chunk", rtmpfuzz::chunkStream}, Target{"amf0", rtmpfuzz::amf0},
                                           Target{"amf3", rtmpfuzz::amf3},
                                           Target{"rtmp_message", rtmpfuzz::message},
                                           Target{"avc_record", rtmpfuzz::avcRecord},
                                           Target{"hevc_record", rtmpfuzz::hevcRecord}),
                         [](const auto& info) { return std::string(info.param.name); });

// The seeds that reproduce known malformed inputs give the sound results, not just no crash.
TEST(SeedCorpusTest, ChunkRegressionsDeliverWhatTheyShould) {
  auto load = [&](const char* name) {
    std::ifstream in(corpusDir("rtmp_chunk") / name, std::ios::binary);
    std::vector<uint8_t> b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return std::vector<uint8_t>(b.begin() + 1, b.end());
  };
  auto count = [](const std::vector<uint8_t>& bytes) {
    rtmpmedley::RTMPChunkReader reader;
    std::vector<rtmpmedley::RTMPMessagePtr> out;
    reader.put(bytes);
    for (auto r = reader.read(); r.status == rtmpmedley::RTMPChunkReader::Status::message; r = reader.read())
      out.push_back(r.received.message);
    return out;
  };
  auto malformed = [](const std::vector<uint8_t>& bytes) {
    rtmpmedley::RTMPChunkReader reader;
    return reader.append(bytes, nullptr) == rtmpmedley::RTMPChunkReader::Status::malformed;
  };
  EXPECT_EQ(count(load("session")).size(), 7u);
  EXPECT_EQ(count(load("chunk_size_1")).back()->payload().size(), 40u);
  EXPECT_EQ(count(load("chunk_size_7fffffff")).back()->payload().size(), 40u);
  const auto changed = count(load("type1_length_change"));
  ASSERT_EQ(changed.size(), 1u);
  EXPECT_EQ(changed[0]->payload().size(), 4u);
  EXPECT_EQ(count(load("extended_timestamp_no_repeat")).at(0)->timestamp, 0x1000000u);
  EXPECT_EQ(count(load("csid_65599")).size(), 1u);
  EXPECT_TRUE(count(load("csid_320_truncated_basic")).empty());
  EXPECT_FALSE(malformed(load("session")));
  // Continuations of a header the chunk stream never had end the reading after what came before.
  EXPECT_EQ(count(load("type3_without_header")).size(), 1u);
  EXPECT_TRUE(malformed(load("type3_without_header")));
  EXPECT_TRUE(malformed(load("type2_without_header")));
}

}  // namespace
