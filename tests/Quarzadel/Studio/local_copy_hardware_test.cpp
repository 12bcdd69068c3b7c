// A probe that found the GPU's HEVC encoder makes the copy HEVC; where that
// encoder then does not start the copy is H.264, never a second software HEVC
// encode beside the live one.
#include <gtest/gtest.h>

#include <filesystem>

#include "Platform/Files/ScopedEnv.h"
#include "program_copy_support.h"

namespace {

TEST(LocalCopyHardware, AHardwareAnswerWhoseEncoderDoesNotStartGivesAnH264Copy) {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/dev/dri", ec))
    if (entry.path().filename().string().starts_with("renderD")) GTEST_SKIP() << "this machine has a render node";
  const auto dir = platform::testing::scratchDirectory("local-copy-hardware");
  studiotest::ProgramCopy live;
  live.hardwareHEVC = true;
  live.start(dir, "Gpu");
  ASSERT_TRUE(live.slot->recorder());
  live.run(2.0);
  const auto url = live.slot->recordingURL();
  ASSERT_TRUE(live.finish());
  ASSERT_TRUE(url);
  const auto codec = studiotest::runCommand("ffprobe -v error -select_streams v -show_entries stream=codec_name "
                                            "-of csv=p=0 " + studiotest::quoted(*url));
  EXPECT_EQ(codec.text, "h264\n");
}

}  // namespace
