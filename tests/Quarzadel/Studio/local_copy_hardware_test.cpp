// A probe that found the GPU's HEVC encoder makes the copy HEVC; where that
// encoder then does not start the copy is H.264, never a second software HEVC
// encode beside the live one, and what names the copy's codec says H.264.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Platform/Files/ScopedEnv.h"
#include "Quarzadel/Log/LogTestSupport.h"
#include "program_copy_support.h"

namespace {

// The average and largest rate the file's bit-rate box declares; none without one.
std::optional<std::pair<uint32_t, uint32_t>> declaredRates(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto at = bytes.find("btrt");
  if (at == std::string::npos || at + 16 > bytes.size()) return std::nullopt;
  auto be32 = [&](size_t i) {
    uint32_t v = 0;
    for (size_t k = 0; k < 4; ++k) v = v << 8 | static_cast<uint8_t>(bytes[i + k]);
    return v;
  };
  // After the name: buffer size, largest rate, average rate.
  return std::pair{be32(at + 12), be32(at + 8)};
}

TEST(LocalCopyHardware, AHardwareAnswerWhoseEncoderDoesNotStartGivesAnH264Copy) {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/dev/dri", ec))
    if (entry.path().filename().string().starts_with("renderD")) GTEST_SKIP() << "this machine has a render node";
  const auto dir = platform::testing::scratchDirectory("local-copy-hardware");
  quarzadel::testing::LogCapture logs;
  studiotest::ProgramCopy live;
  live.hardwareHEVC = true;
  live.start(dir, "Gpu");
  const auto recorder = live.slot->recorder();
  ASSERT_TRUE(recorder);
  EXPECT_TRUE(recorder->isHEVC()) << "as chosen, before any picture";
  live.run(2.0);
  EXPECT_FALSE(recorder->isHEVC());
  const auto url = live.slot->recordingURL();
  ASSERT_TRUE(live.finish());
  ASSERT_TRUE(url);

  // The line given when the copy began is followed by one that tells the codec recorded, once.
  std::vector<std::string> said;
  for (const auto& line : logs.sessionLines()) {
    if (const auto at = line.find("Recording a copy to "); at != std::string::npos) said.push_back(line.substr(at));
  }
  const auto name = url->filename().string();
  EXPECT_EQ(said, (std::vector<std::string>{"Recording a copy to " + name + " (HEVC 6 Mbps)",
                                            "Recording a copy to " + name + " (H.264 10 Mbps)"}));
  EXPECT_EQ(recorder->videoBitRate(), 10'000'000) << "the rate the H.264 encoder was opened with";
  const auto codec = studiotest::runCommand("ffprobe -v error -select_streams v -show_entries stream=codec_name "
                                            "-of csv=p=0 " + studiotest::quoted(*url));
  EXPECT_EQ(codec.text, "h264\n");
  // The container declares the rate the H.264 was encoded at, not the HEVC one.
  EXPECT_EQ(declaredRates(*url), (std::pair<uint32_t, uint32_t>{10'000'000, 10'000'000}));
}

}  // namespace
