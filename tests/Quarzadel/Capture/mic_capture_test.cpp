#include <gtest/gtest.h>

#include "Platform/Dispatch/VirtualRuntime.h"
#include "Platform/Media/AudioFormat.h"
#include "Quarzadel/Capture/MicCapture.h"
#include "Quarzadel/Program/program_test_support.h"

namespace quarzadel {
namespace {

using Failure = platform::AudioCaptureFailure;
using Kind = Failure::Kind;

// An input the test drives: refuses to open, or delivers and fails on request.
class FakeCapture final : public platform::AudioCapture {
 public:
  struct Session final : platform::AudioCaptureSession {
    FakeCapture* owner;
    uint32_t count;
    Session(FakeCapture* o, uint32_t c) : owner(o), count(c) {}
    uint32_t channels() const override { return count; }
    void stop() override { ++owner->stops; }
  };
  std::optional<Failure> refuse;
  uint32_t channels = 2;
  int opens = 0, stops = 0;
  Handlers handlers;

  std::unique_ptr<platform::AudioCaptureSession> open(const std::string&, Handlers h) override {
    ++opens;
    if (refuse) throw platform::AudioCaptureError(*refuse);
    handlers = std::move(h);
    return std::make_unique<Session>(this, channels);
  }
  void deliver(double time) {
    auto buffer = platform::PCMBuffer::make(platform::AudioFormat::standard(48000, channels), 480);
    buffer->setFrameLength(480);
    handlers.onBuffer(buffer, time);
  }
};

class MicCaptureTest : public ::testing::Test {
 protected:
  std::shared_ptr<platform::VirtualRuntime> runtime = platform::VirtualRuntime::make();
  std::shared_ptr<platform::SerialQueue> queue = platform::SerialQueue::make("program-audio", runtime);
  std::shared_ptr<FakeCapture> capture = std::make_shared<FakeCapture>();
  std::shared_ptr<MicCapture> mic = std::make_shared<MicCapture>("usb-mic", "USB Mic", capture);
  std::vector<double> buffers;
  std::vector<std::string> failures;
  testing::LogCapture logs;

  // A released capture closes its input on the session queue: run it, or the job
  // left on the virtual runtime holds the runtime through its queue.
  void TearDown() override {
    mic.reset();
    runtime->runUntilIdle();
  }
  void start() {
    queue->async([this] {
      mic->start(queue, [this](PCMBufferRef, double t) { buffers.push_back(t); },
                 [this](const std::string& r) { failures.push_back(r); });
    });
    runtime->runUntilIdle();
  }
};

TEST_F(MicCaptureTest, StartsOnTheSessionQueueLogsItsChannelsAndDeliversOnTheDeliveryQueue) {
  capture->channels = 1;
  start();
  EXPECT_EQ(capture->opens, 1);
  EXPECT_EQ(mic->sourceID(), "usb-mic");
  capture->deliver(12.5);
  EXPECT_TRUE(buffers.empty()) << "handed over, not called on the capture's thread";
  runtime->runUntilIdle();
  EXPECT_EQ(buffers, (std::vector<double>{12.5}));
  EXPECT_EQ(logs.sessionLines(), (std::vector<std::string>{"[INFO] [MicCapture] Microphone started: USB Mic (1 ch)"}));
}

TEST_F(MicCaptureTest, PermissionRefusedIsOneFailureNamingNoMicrophoneAndNoStartedLine) {
  capture->refuse = Failure{Kind::notAuthorized, "Access denied"};
  start();
  EXPECT_EQ(failures, (std::vector<std::string>{MicCapture::kNotAuthorized}));
  EXPECT_EQ(logs.sessionLines(),
            (std::vector<std::string>{std::string("[WARN] [MicCapture] Microphone failure: ") + MicCapture::kNotAuthorized}));
}

// The capture's thread may still be finishing a buffer or a failure after the stop.
TEST_F(MicCaptureTest, StopRightAfterStartLetsNothingThroughAndClosesTheInput) {
  queue->async([this] {
    mic->start(queue, [this](PCMBufferRef, double t) { buffers.push_back(t); },
               [this](const std::string& r) { failures.push_back(r); });
    mic->stop();
  });
  runtime->runUntilIdle();
  // The open may still run; the close queued behind it leaves the input closed.
  EXPECT_EQ(capture->opens, 1);
  EXPECT_EQ(capture->stops, 1);
  capture->deliver(1.0);
  capture->handlers.onFailure({Kind::disconnected, ""});
  runtime->runUntilIdle();
  EXPECT_TRUE(buffers.empty());
  EXPECT_TRUE(failures.empty());
}

TEST_F(MicCaptureTest, ReleasedWithoutStopStillClosesTheInput) {
  start();
  mic.reset();
  runtime->runUntilIdle();
  EXPECT_EQ(capture->stops, 1);
}

}  // namespace
}  // namespace quarzadel
