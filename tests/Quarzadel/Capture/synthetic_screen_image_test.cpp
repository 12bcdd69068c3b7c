// An image file for the synthetic share whose decoding cannot get the memory it
// needs gives no picture (the share then shows its pattern) instead of writing
// through a null packet.
#include <dlfcn.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "Quarzadel/Capture/SyntheticScreenImage.h"
#include "Quarzadel/Program/program_test_support.h"

namespace {

std::atomic<int> packetRefusals{0};

}  // namespace

// Stands in for the library's allocation, which it calls unless a refusal is due.
extern "C" AVPacket* av_packet_alloc(void) {
  int due = packetRefusals.load();
  while (due > 0 && !packetRefusals.compare_exchange_weak(due, due - 1)) {
  }
  if (due > 0) return nullptr;
  using Alloc = AVPacket* (*)(void);
  static const auto library = reinterpret_cast<Alloc>(dlsym(RTLD_NEXT, "av_packet_alloc"));
  return library();
}

namespace quarzadel {
namespace {

TEST(SyntheticScreenImage, AFileWhosePacketCannotBeMadeGivesNoPictureAndTheNextReadDecodes) {
  testing::ScopedTempDir dir;
  const auto png = dir.path() / "slide.png";
  const std::string cmd = "ffmpeg -loglevel error -y -f lavfi -i color=c=0x3366cc:s=64x48,format=rgb24 -frames:v 1 '" +
                          png.string() + "'";
  ASSERT_EQ(std::system(cmd.c_str()), 0);

  packetRefusals = 1;
  EXPECT_EQ(SyntheticScreenImage::contentsOfFile(png), nullptr);
  EXPECT_EQ(packetRefusals.load(), 0) << "the decoding never asked for its packet";
  packetRefusals = 0;
  const auto image = SyntheticScreenImage::contentsOfFile(png);
  ASSERT_TRUE(image);
  EXPECT_EQ(image->width(), 64);
  EXPECT_EQ(image->height(), 48);
}

}  // namespace
}  // namespace quarzadel
