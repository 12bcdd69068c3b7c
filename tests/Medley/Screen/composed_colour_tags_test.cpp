#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "CommandOutput.h"
#include "Medley/Screen/ScreenTestSupport.h"
#include "Medley/Sources/Screen/Screen.h"
#include "Medley/Sources/Screen/StreamScreenObject.h"

namespace medley {
namespace {

// The names ffmpeg gives the tags a picture carries.
std::string primariesName(platform::ColorPrimaries p) {
  return p == platform::ColorPrimaries::itu_r_709_2 ? "bt709" : p == platform::ColorPrimaries::itu_r_2020 ? "bt2020" : "unknown";
}
std::string transferName(platform::TransferFunction t) {
  return t == platform::TransferFunction::itu_r_709_2      ? "bt709"
         : t == platform::TransferFunction::itu_r_2100_hlg ? "arib-std-b67"
                                                           : "unknown";
}
std::string matrixName(platform::YCbCrMatrix m) {
  return m == platform::YCbCrMatrix::itu_r_709_2 ? "bt709" : m == platform::YCbCrMatrix::itu_r_2020 ? "bt2020nc" : "unknown";
}

// Composed SDR frames written as a stream with the tags they carry, read back by ffprobe.
TEST(ComposedColourTags, AStreamOfComposedSDRPicturesReadsAsBT709) {
  const auto dir = std::filesystem::path(::testing::TempDir()) / ("composed-tags-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  Screen screen;
  screen.setSize({320, 180});
  auto stream = std::make_shared<StreamScreenObject>();
  stream->setSampleBuffer(testing::frameAt(0, 640, 360, 120));
  screen.addChild(stream);
  std::ofstream raw(dir / "composed.nv12", std::ios::binary);
  platform::ColorAttachments tags;
  for (int i = 0; i < 10; ++i) {
    const auto frame = screen.makeSampleBuffer({1 + i / 30.0, 1 + (i + 1) / 30.0});
    ASSERT_TRUE(frame);
    const auto& picture = *frame->imageBuffer();
    if (i == 0) tags = picture.colorAttachments();
    EXPECT_EQ(picture.colorAttachments(), tags) << "every frame carries the same tags";
    for (int p = 0; p < 2; ++p)
      for (int r = 0; r < picture.plane(p).height; ++r)
        raw.write(reinterpret_cast<const char*>(picture.plane(p).data + r * picture.plane(p).bytesPerRow), 320);
  }
  raw.close();
  const auto file = (dir / "composed.mkv").string();
  const auto encode = qztest::runCommand(
      "ffmpeg -v error -y -f rawvideo -pix_fmt nv12 -s 320x180 -r 30 -i " + (dir / "composed.nv12").string() +
      " -c:v ffv1 -color_primaries " + primariesName(tags.primaries) + " -color_trc " + transferName(tags.transfer) +
      " -colorspace " + matrixName(tags.matrix) + " " + file);
  ASSERT_TRUE(encode.succeeded()) << encode.text;
  const auto probe = qztest::runCommand(
      "ffprobe -v error -select_streams v:0 -show_entries stream=color_space,color_transfer,color_primaries "
      "-of default=nw=1:nk=1 " + file);
  ASSERT_TRUE(probe.succeeded()) << probe.text;
  EXPECT_EQ(probe.text, "bt709\nbt709\nbt709\n");
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace medley
