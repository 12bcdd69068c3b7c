#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "Platform/Dispatch/VirtualRuntime.h"
#include "Platform/Media/AudioFormat.h"
#include "Quarzadel/Capture/MicCapture.h"
#include "Quarzadel/Program/program_test_support.h"

namespace quarzadel {
namespace {

using Failure = platform::AudioCaptureFailure;
using Kind = Failure::Kind;

// An input the test drives: refuses to open, or delivers and fails on request.
// Its sessions keep it, as a real input's keep their connection: a released
// capture closes its session after the test has let go of the input.
class FakeCapture final : public platform::AudioCapture, public std::enable_shared_from_this<FakeCapture> {
 public:
  struct Session final : platform::AudioCaptureSession {
    std::shared_ptr<FakeCapture> owner;
    uint32_t count;
    Session(std::shared_ptr<FakeCapture> o, uint32_t c) : owner(std::move(o)), count(c) {}
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
    return std::make_unique<Session>(shared_from_this(), channels);
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

// Each way an input can refuse to open is one sentence naming the microphone
// (permission names none), reported and logged once, with no "started" line.
TEST_F(MicCaptureTest, EachRefusalToOpenIsItsOwnSentence) {
  const std::vector<std::pair<Failure, std::string>> cases{
      {{Kind::notAuthorized, "Access denied"}, MicCapture::kNotAuthorized},
      {{Kind::cannotOpen, "No such entity"}, "USB Mic couldn't start: No such entity"},
      {{Kind::inputRefused, "Device or resource busy"}, "USB Mic can't be used right now."},
      {{Kind::outputRefused, "Not supported"}, "USB Mic can't deliver audio."},
  };
  for (const auto& [failure, text] : cases) {
    capture = std::make_shared<FakeCapture>();
    capture->refuse = failure;
    mic = std::make_shared<MicCapture>("usb-mic", "USB Mic", capture);
    failures.clear();
    start();
    EXPECT_EQ(failures, (std::vector<std::string>{text}));
  }
  // Without a sound server there is nothing to open.
  mic = std::make_shared<MicCapture>("usb-mic", "USB Mic", nullptr);
  failures.clear();
  start();
  EXPECT_EQ(failures, (std::vector<std::string>{"USB Mic couldn't start: no sound server"}));

  std::vector<std::string> expected;
  for (const auto& [failure, text] : cases) expected.push_back("[WARN] [MicCapture] Microphone failure: " + text);
  expected.push_back("[WARN] [MicCapture] Microphone failure: USB Mic couldn't start: no sound server");
  EXPECT_EQ(logs.sessionLines(), expected);
}

// While capturing: a broken delivery names its cause ("unknown error" when it
// has none), a lost input says so; only the first of several is reported.
TEST_F(MicCaptureTest, ARunningInputReportsOnlyItsFirstFailure) {
  const std::vector<std::pair<std::vector<Failure>, std::string>> cases{
      {{{Kind::runtimeError, "Connection terminated"}}, "USB Mic stopped: Connection terminated"},
      {{{Kind::runtimeError, ""}}, "USB Mic stopped: unknown error"},
      {{{Kind::disconnected, "the source went away"}, {Kind::runtimeError, "Connection terminated"}},
       "USB Mic was disconnected."},
  };
  for (const auto& [events, text] : cases) {
    capture = std::make_shared<FakeCapture>();
    mic = std::make_shared<MicCapture>("usb-mic", "USB Mic", capture);
    failures.clear();
    start();
    for (const auto& e : events) capture->handlers.onFailure(e);
    runtime->runUntilIdle();
    EXPECT_EQ(failures, (std::vector<std::string>{text}));
    // Buffers that still come are delivered: the program sound decides what to do.
    buffers.clear();
    capture->deliver(3.0);
    runtime->runUntilIdle();
    EXPECT_EQ(buffers.size(), 1u);
  }
  const auto lines = logs.sessionLines();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& l) { return l.find("Microphone failure") != std::string::npos; }),
            3);
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
