#include "Medley/Sources/Stream/MediaLink.h"

#include <gtest/gtest.h>

#include "Medley/Sources/Stream/AudioPlayer.h"
#include "Medley/Sources/Stream/AudioPlayerNode.h"
#include "Logwell/ScopedLogCapture.h"
#include "Medley/Stream/playback_test_support.h"
#include "Medley/Util/virtual_run.h"
#include "Platform/Audio/VirtualAudioOutput.h"

namespace medley {
namespace {

using namespace playbacktest;
using medleytest::Collector;
using medleytest::runNow;
using platform::SampleBufferRef;

struct MediaLinkTest : ::testing::Test {
  std::shared_ptr<platform::VirtualRuntime> rt = platform::VirtualRuntime::make();
  std::shared_ptr<MediaLink> link = std::make_shared<MediaLink>(rt);
  std::unique_ptr<Collector<SampleBufferRef>> released;
  logwell::testing::ScopedLogCapture log{medley::logger()};

  void SetUp() override { start(); }
  void TearDown() override {
    runNow(rt, link->stopRunning());
    released.reset();
  }
  void start() {
    released = std::make_unique<Collector<SampleBufferRef>>(rt, runNow(rt, link->dequeue()));
    runNow(rt, link->startRunning());
  }
  void enqueue(int index, int startSeconds = 0) { runNow(rt, link->enqueue(picture(index, startSeconds))); }
  void ticks(int n) {
    for (int i = 0; i < n; ++i) rt->advance(kRefresh);
    rt->runUntilIdle();
  }
  std::vector<int> indices(int startSeconds = 0) { return frameIndices(released->values(), startSeconds); }
};

TEST_F(MediaLinkTest, TheFirstPictureIsDueAtOnceAndVideoAloneKeepsItsFrameRate) {
  for (int i = 0; i < 30; ++i) enqueue(i, 7);
  std::vector<size_t> counts;
  for (int tick = 1; tick <= 60; ++tick) {
    ticks(1);
    counts.push_back(released->values().size());
  }
  // The first tick releases the first picture (offset 0); after that the clock is
  // the time of the refreshes, so a 30 fps picture leaves on every second tick.
  for (int tick = 1; tick <= 59; ++tick) EXPECT_EQ(counts[tick - 1], size_t((tick + 1) / 2)) << "tick " << tick;
  EXPECT_EQ(indices(7).back(), 29);
  EXPECT_TRUE(log.messages(logwell::LWLogLevel::info).empty());
}

TEST_F(MediaLinkTest, OutOfOrderPicturesLeaveInPresentationOrder) {
  for (int i : {0, 3, 1, 4, 2}) enqueue(i);
  ticks(12);
  EXPECT_EQ(indices(), (std::vector<int>{0, 1, 2, 3, 4}));
}

TEST_F(MediaLinkTest, APictureBeyondTheCapacityIsRefusedAndLogged) {
  for (int i = 0; i <= MediaLink::kCapacity; ++i) enqueue(i);
  EXPECT_EQ(log.messages(logwell::LWLogLevel::error), std::vector<std::string>{"buffer queue is full"});
  ticks(200);
  ASSERT_EQ(released->values().size(), size_t(MediaLink::kCapacity));
  EXPECT_EQ(indices().back(), MediaLink::kCapacity - 1) << "the newest picture is the one refused";
}

TEST_F(MediaLinkTest, ABurstBeforeAFuturePictureIsReportedButOneThatEmptiesTheQueueIsNot) {
  enqueue(0);
  ticks(9);  // the clock reaches 8 refreshes, past four frame times
  for (int i = 1; i <= 4; ++i) enqueue(i);
  enqueue(100);
  ticks(1);
  EXPECT_EQ(indices(), (std::vector<int>{0, 1, 2, 3, 4}));
  EXPECT_EQ(log.messages(logwell::LWLogLevel::info), std::vector<std::string>{"droppedFrame: 4"});

  runNow(rt, link->stopRunning());
  start();
  enqueue(0);
  ticks(9);
  for (int i = 1; i <= 4; ++i) enqueue(i);
  ticks(1);
  EXPECT_EQ(released->values().size(), 5u);
  EXPECT_EQ(log.messages(logwell::LWLogLevel::info).size(), 1u) << "four released and nothing left: no line";
}

TEST_F(MediaLinkTest, ARestartTakesANewOriginAndPicturesWhileStoppedAreIgnored) {
  enqueue(0, 10);
  ticks(1);
  ASSERT_EQ(released->values().size(), 1u);
  runNow(rt, link->stopRunning());
  EXPECT_TRUE(released->ended());
  enqueue(0, 15);
  start();
  enqueue(0, 20);
  enqueue(1, 20);
  ticks(1);
  EXPECT_EQ(indices(20), (std::vector<int>{0})) << "the picture given while stopped is not there";
  ticks(2);
  EXPECT_EQ(indices(20), (std::vector<int>{0, 1}));
}

TEST_F(MediaLinkTest, WithAPlayerNodeTheClockIsWhatWasHeard) {
  auto player = std::make_shared<AudioPlayer>(std::make_shared<platform::VirtualAudioOutput>(rt), rt);
  auto node = runNow(rt, player->makePlayerNode());
  runNow(rt, node->startRunning());
  runNow(rt, link->setAudioPlayer(node));
  for (int i = 0; i < 60; ++i) enqueue(i);
  ticks(20);
  EXPECT_EQ(indices(), (std::vector<int>{0})) << "a node that is not playing holds the clock at 0";

  const auto format = platform::AudioFormat::standard(48000, 2);
  for (int i = 0; i < 100; ++i) runNow(rt, node->enqueue(tone(format, i * 1024, 1024)));  // about 2 s
  for (int tick = 0; tick < 60; ++tick) {
    ticks(1);
    const double heard = runNow(rt, node->currentTime());
    const auto& frames = released->values();
    const double newest = frames.back()->presentationTime().seconds();
    EXPECT_LE(newest, heard + 1e-6);
    EXPECT_GT(newest, heard - 1.0 / 30 - 0.0101) << "within a frame interval (and the output's period)";
  }
  EXPECT_GT(runNow(rt, node->currentTime()), 0.9);
  EXPECT_GE(released->values().size(), 28u);
}

}  // namespace
}  // namespace medley
