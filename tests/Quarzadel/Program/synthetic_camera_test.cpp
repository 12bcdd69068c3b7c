#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "Platform/Dispatch/VirtualRuntime.h"
#include "PostCountingRuntime.h"
#include "Quarzadel/Capture/SyntheticSources.h"
#include "program_test_support.h"

namespace quarzadel {
namespace {

using Spec = SyntheticVideoSource::Spec;
using testing::colorAt;
using testing::lumaAt;

Spec specOf(const std::string& id) {
  auto spec = SyntheticSources::spec(id);
  EXPECT_TRUE(spec) << id;
  return *spec;
}

class SyntheticCameraTest : public ::testing::Test {
 protected:
  std::shared_ptr<SyntheticVideoSource> camera(const std::string& id) {
    return SyntheticVideoSource::make(specOf(id), rt, nullptr);
  }
  std::shared_ptr<platform::VirtualRuntime> rt = platform::VirtualRuntime::make();
};

TEST_F(SyntheticCameraTest, RecycledBuffersHoldExactlyWhatAFreshDrawingWould) {
  // A camera redraws only where the bar moved in a buffer it drew before; every
  // picture must still equal one drawn from scratch, across flashes, jumps back
  // in time and buffers held by the consumer while others are recycled.
  // Camera A flashes white at every even second; a second on, its bar is half-way across.
  auto a = camera("synthetic-a");
  for (int x : {0, 640, 1279}) EXPECT_EQ(colorAt(*a->render(100.0), x, 360), (YCbCr{235, 128, 128}));
  EXPECT_EQ(lumaAt(*a->render(101.0 + 1.0 / 60), 608 + 10, 100), 235);
  for (const char* id : {"synthetic-a", "synthetic-b"}) {
    auto reused = camera(id);
    std::vector<platform::PixelBufferRef> held;
    const double interval = 1.0 / specOf(id).fps;
    int step = 0;
    for (double t : {99.5, 99.9, 100.0, 100.0 + interval, 100.7, 100.3, 101.9, 102.0, 102.0 + 3 * interval,
                     103.5, 103.5, 98.0, 98.4}) {
      auto picture = reused->render(t);
      ASSERT_TRUE(picture);
      auto fresh = camera(id)->render(t);
      ASSERT_TRUE(testing::samePicture(*picture, *fresh)) << id << " at " << t;
      if (++step % 3 == 0) held.push_back(picture);  // the pool hands out a new buffer meanwhile
    }
  }
  // A stall downstream holds many pictures; once they are let go and idle, the
  // pool frees what it grew by, and new buffers may take the freed addresses.
  auto stalled = camera("synthetic-a");
  double t = 200;
  for (int round = 0; round < 4; ++round) {
    std::vector<platform::PixelBufferRef> held;
    for (int i = 0; i < 20; ++i, t += 1.0 / 60) {
      auto picture = stalled->render(t);
      ASSERT_TRUE(picture);
      ASSERT_TRUE(testing::samePicture(*picture, *camera("synthetic-a")->render(t))) << "round " << round << " at " << t;
      held.push_back(picture);
    }
    held.clear();
    rt->advance(platform::seconds(SyntheticVideoSource::kPoolIdleReleaseSeconds + 1));
  }
}

// A started camera on virtual time, with what reached its consumer and when.
class SyntheticCameraTimingTest : public ::testing::Test {
 protected:
  struct Delivery {
    double pts;
    double at;
    bool onQueue;
  };
  void start(const std::string& id) {
    cam = SyntheticVideoSource::make(specOf(id), rt, nullptr);
    startedAt = rt->nowSeconds();
    queue->async([this] {
      cam->start(
          queue,
          [this](const platform::PixelBufferRef& b, double pts) {
            if (b) got.push_back({pts, rt->nowSeconds(), queue->isCurrent()});
          },
          [](const std::string&) { ADD_FAILURE() << "no failure expected"; });
    });
    rt->runUntilIdle();
  }
  void TearDown() override { SyntheticSources::resetFaults(); }

  std::shared_ptr<qztest::PostCountingRuntime> rt = qztest::PostCountingRuntime::make(platform::seconds(1000.25));
  std::shared_ptr<platform::SerialQueue> queue = platform::SerialQueue::make("program", rt);
  std::shared_ptr<SyntheticVideoSource> cam;
  double startedAt = 0;
  std::vector<Delivery> got;
};

TEST_F(SyntheticCameraTimingTest, EachPictureIsDrawnAndHandedOverInOneJobOfTheDeliveryQueueOncePerSlot) {
  for (const char* id : {"synthetic-a", "synthetic-d"}) {
    got.clear();
    start(id);
    const auto spec = specOf(id);
    const long postsBefore = rt->posts();
    rt->advance(platform::seconds(1.4 + spec.latency));
    cam->stop();
    // From the first slot at least 0.4 s after the start, every slot once.
    ASSERT_EQ(got.size(), static_cast<size_t>(spec.fps)) << id;
    EXPECT_GE(got[0].pts, startedAt + 0.4 - SyntheticVideoSource::kFireAfterSlot) << id;
    EXPECT_LT(got[0].pts, startedAt + 0.4 + 1 / spec.fps) << id;
    for (size_t i = 0; i < got.size(); ++i) {
      EXPECT_NEAR(got[i].pts, got[0].pts + static_cast<double>(i) / spec.fps, 1e-6) << id << " #" << i;
      // Delivered its latency after its stamp (and the moment that keeps a fire in its slot).
      EXPECT_NEAR(got[i].at - got[i].pts, spec.latency + SyntheticVideoSource::kFireAfterSlot, 1e-6) << id;
      EXPECT_TRUE(got[i].onQueue) << id;
    }
    // One worker's job per picture: nothing drawn elsewhere and passed on.
    EXPECT_EQ(rt->posts() - postsBefore, static_cast<long>(got.size())) << id;
    // A stopped camera leaves nothing behind.
    const size_t delivered = got.size();
    rt->advance(platform::seconds(1));
    EXPECT_EQ(got.size(), delivered) << id;
    EXPECT_EQ(rt->pendingTimers(), 0u) << id;
  }
}

TEST_F(SyntheticCameraTimingTest, FreezesAndFaultsSkipSlotsAndTheCameraResumesOnTheGrid) {
  start("synthetic-d");  // 30 fps, 150 ms latency
  rt->advance(platform::seconds(1));
  ASSERT_FALSE(got.empty());
  // Frozen to an instant between slots: the next picture is stamped at or after
  // it, though delivered 150 ms later.
  const double until = rt->nowSeconds() + 0.51;
  cam->freezeUntil(until);
  got.clear();
  rt->advance(platform::seconds(1));
  ASSERT_FALSE(got.empty());
  EXPECT_GE(got[0].pts, until);
  EXPECT_LT(got[0].pts, until + 1.0 / 30);

  SyntheticSources::setFault("synthetic-d", SyntheticSources::Fault::hung);
  rt->advance(platform::seconds(0.2));
  got.clear();
  rt->advance(platform::seconds(0.5));
  EXPECT_TRUE(got.empty());
  SyntheticSources::clearFault("synthetic-d");
  const double cleared = rt->nowSeconds();
  rt->advance(platform::seconds(0.5));
  ASSERT_FALSE(got.empty());
  // The next slot that falls due is drawn; none is made up for.
  EXPECT_LE(got[0].at - cleared, 1.0 / 30);
  EXPECT_EQ(got.size(), 15u);

  // A released camera makes no more pictures.
  cam.reset();
  got.clear();
  rt->advance(platform::seconds(1));
  EXPECT_TRUE(got.empty());
}

class SyntheticClipTest : public ::testing::Test {
 protected:
  std::filesystem::path writeClip(int frames, size_t extraBytes = 0) {
    path = std::filesystem::temp_directory_path() / ("qz-clip-" + std::to_string(::getpid()) + ".nv12");
    std::ofstream out(path, std::ios::binary);
    const size_t frameBytes = SyntheticClip::frameBytes(1920, 1080);
    std::vector<char> frame(frameBytes);
    for (int i = 0; i < frames; ++i) {
      std::fill(frame.begin(), frame.begin() + 1920 * 1080, static_cast<char>(20 + 10 * i));
      std::fill(frame.begin() + 1920 * 1080, frame.end(), static_cast<char>(128));
      out.write(frame.data(), static_cast<std::streamsize>(frame.size()));
    }
    std::vector<char> extra(extraBytes, 99);
    out.write(extra.data(), static_cast<std::streamsize>(extra.size()));
    return path;
  }
  void TearDown() override { std::filesystem::remove(path); }
  std::filesystem::path path;
  std::shared_ptr<platform::VirtualRuntime> rt = platform::VirtualRuntime::make();
};

TEST_F(SyntheticClipTest, NoiseCameraPlaysTheClipByTheHostClock) {
  auto clip = SyntheticClip::load(writeClip(10, 1000));
  ASSERT_TRUE(clip);
  EXPECT_EQ(clip->frameCount(1920, 1080), 10u);  // the partial frame does not count
  auto noise = SyntheticVideoSource::make(specOf("synthetic-noise"), rt, clip);
  EXPECT_EQ(lumaAt(*noise->render(1000.0), 5, 5), 20);           // 30000 mod 10 = 0
  EXPECT_EQ(lumaAt(*noise->render(1000.1), 5, 5), 20 + 10 * 3);  // 30003
  EXPECT_EQ(lumaAt(*noise->render(1000.0 + 1.0 / 3), 5, 5), 20);  // wraps every 1/3 s
  EXPECT_EQ(colorAt(*noise->render(1000.2), 100, 100).cb, 128);

  // A clip shorter than a frame leaves the noise.
  noise = SyntheticVideoSource::make(specOf("synthetic-noise"), rt, SyntheticClip::load(writeClip(0, 5000)));
  auto frame = noise->render(1000.5);
  ASSERT_TRUE(frame);
  int distinct = 0;
  for (int x = 200; x < 260; ++x) distinct += lumaAt(*frame, x, 3) != lumaAt(*frame, x + 1, 3);
  EXPECT_GT(distinct, 30);
  EXPECT_FALSE(SyntheticClip::load(path.string() + ".missing"));
}

}  // namespace
}  // namespace quarzadel
