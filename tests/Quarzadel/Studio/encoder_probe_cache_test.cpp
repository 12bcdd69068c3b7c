// The probe's answers kept: one question per codec and size, however many ask
// and from whichever thread, and a probe that fails counting as no.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <thread>

#include "Quarzadel/Studio/EncoderProbeCache.h"

namespace quarzadel {
namespace {

using Codec = StreamConfig::VideoCodec;

TEST(EncoderProbeCache, AsksOncePerCodecAndSize) {
  int asked = 0;
  auto cache = std::make_shared<EncoderProbeCache>([&](Codec codec, int width, int) {
    ++asked;
    return EncoderSupport{codec == Codec::hevc, width > 1280};
  });
  const auto probe = cache->probe();
  EXPECT_EQ(probe(Codec::hevc, 1920, 1080), (EncoderSupport{true, true}));
  EXPECT_EQ(probe(Codec::hevc, 1920, 1080), (EncoderSupport{true, true}));
  EXPECT_EQ(probe(Codec::hevc, 1280, 720), (EncoderSupport{true, false}));
  EXPECT_EQ(probe(Codec::h264, 1920, 1080), (EncoderSupport{false, true}));
  EXPECT_EQ(asked, 3);
}

TEST(EncoderProbeCache, ACallerWhileTheQuestionIsOpenWaitsForItsAnswer) {
  std::atomic<int> asked{0};
  std::mutex m;
  std::condition_variable cv;
  bool release = false;
  auto cache = std::make_shared<EncoderProbeCache>([&](Codec, int, int) {
    ++asked;
    std::unique_lock lock(m);
    cv.wait(lock, [&] { return release; });
    return EncoderSupport{true, true};
  });
  EncoderSupport first, second;
  std::thread warm([&] { first = (*cache)(Codec::hevc, 1920, 1080); });
  while (asked == 0) std::this_thread::yield();
  std::thread late([&] { second = (*cache)(Codec::hevc, 1920, 1080); });
  {
    std::lock_guard lock(m);
    release = true;
  }
  cv.notify_all();
  warm.join();
  late.join();
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(second, (EncoderSupport{true, true}));
  EXPECT_EQ(first, second);
}

TEST(EncoderProbeCache, AProbeThatThrowsSaysNoAndIsNotAskedAgain) {
  int asked = 0;
  EncoderProbeCache cache([&](Codec, int, int) -> EncoderSupport {
    ++asked;
    throw std::runtime_error("no device");
  });
  EXPECT_EQ(cache(Codec::hevc, 1920, 1080), EncoderSupport{});
  EXPECT_EQ(cache(Codec::hevc, 1920, 1080), EncoderSupport{});
  EXPECT_EQ(asked, 1);
}

}  // namespace
}  // namespace quarzadel
