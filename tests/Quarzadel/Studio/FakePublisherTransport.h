#pragma once
// Scripted connections and streams for the publisher's attempt loop, on
// virtual time: each attempt takes the next script (the last one repeats).
#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Concurrency/Continuation.h"
#include "Platform/Concurrency/Sleep.h"
#include "Platform/Dispatch/VirtualRuntime.h"
#include "Platform/Net/NetworkPathMonitor.h"
#include "Platform/Published/Published.h"
#include "Quarzadel/Studio/RTMPPublisher.h"
#include "Quarzadel/Studio/RTMPPublisherTransport.h"
#include "RTMPMedley/Sources/RTMP/Connection/RTMPConnection.h"

namespace quarzadel::testing {

// What one step does: succeed, fail with the error, or never end (nothing
// cancels it); a delay comes first, also uncancellable.
struct Step {
  enum class Kind { succeed, fail, hang } kind = Kind::succeed;
  std::exception_ptr error;
  platform::Nanos delay = 0;
  static Step ok(platform::Nanos delay = 0) { return {Kind::succeed, nullptr, delay}; }
  static Step hang() { return {Kind::hang, nullptr, 0}; }
  template <class E>
  static Step fail(E e, platform::Nanos delay = 0) {
    return {Kind::fail, std::make_exception_ptr(std::move(e)), delay};
  }
};

struct AttemptScript {
  Step connect = Step::ok();
  Step publish = Step::ok();
  Step setAudio = Step::ok();
  Step streamClose = Step::ok();
  Step connectionClose = Step::ok();
};

// Counts the pictures it is given; of those, the stream's count says it
// dropped the first `drops`.
struct CountingSink final : MediaSink {
  int video = 0;
  int drops = 0;
  void append(const platform::SampleBufferRef&) override { ++video; }
  void append(const platform::PCMBufferRef&, const platform::AudioTime&) override {}
};

class FakeServer : public std::enable_shared_from_this<FakeServer> {
 public:
  explicit FakeServer(std::shared_ptr<platform::VirtualRuntime> runtime) : runtime(std::move(runtime)) {}

  std::shared_ptr<platform::VirtualRuntime> runtime;
  std::vector<AttemptScript> scripts{AttemptScript{}};
  // Per attempt.
  std::vector<platform::Nanos> connectTimes;
  std::vector<medley::VideoCodecSettings> videoSettings;
  int streamCloses = 0, connectionCloses = 0, connectionAborts = 0;
  // "connect N", "abort N", "close N" by attempt, in order.
  std::vector<std::string> connectionEvents;
  std::vector<std::shared_ptr<CountingSink>> sinks;
  // What every attempt's encoder sends, as its stream tells it.
  platform::Published<std::optional<StreamConfig::VideoCodec>> sentVideoCodec;
  std::optional<platform::AsyncStreamWriter<rtmpmedley::RTMPStatus>> statusWriter;
  std::vector<platform::Continuation<void>> hanging;

  const AttemptScript& script(size_t attempt) const { return scripts[std::min(attempt, scripts.size() - 1)]; }

  platform::Async<void> perform(Step step) {
    if (step.delay > 0)
      co_await platform::withContinuation<void>([this, step](platform::Continuation<void> c) {
        runtime->postAt(runtime->now() + step.delay, [c] { c.resume(); });
      });
    if (step.kind == Step::Kind::fail) std::rethrow_exception(step.error);
    if (step.kind == Step::Kind::hang)
      co_await platform::withContinuation<void>([this](platform::Continuation<void> c) { hanging.push_back(c); });
  }

  void sendStatus(std::string code) {
    if (statusWriter) statusWriter->yield(rtmpmedley::RTMPStatus{code, "status", "", std::nullopt});
  }

  PublisherConnectionFactory factory();
};

class FakeStream final : public PublisherStream {
 public:
  FakeStream(std::shared_ptr<FakeServer> server, size_t attempt) : server_(std::move(server)), attempt_(attempt) {}
  platform::Async<void> setAudioSettings(medley::AudioCodecSettings) override {
    co_await server_->perform(server_->script(attempt_).setAudio);
  }
  platform::Async<void> setVideoSettings(medley::VideoCodecSettings settings) override {
    server_->videoSettings.push_back(settings_ = settings);
    co_return;
  }
  platform::Async<medley::VideoCodecSettings> videoSettings() override { co_return settings_; }
  platform::Async<void> setBitRateStrategy(std::shared_ptr<medley::StreamBitRateStrategy>) override { co_return; }
  platform::Async<void> publish(std::string) override { co_await server_->perform(server_->script(attempt_).publish); }
  platform::Async<void> close() override {
    ++server_->streamCloses;
    co_await server_->perform(server_->script(attempt_).streamClose);
  }
  std::shared_ptr<MediaSink> makeSink(double) override {
    auto sink = std::make_shared<CountingSink>();
    server_->sinks.push_back(sink);
    sink_ = sink;
    return sink;
  }
  platform::Publisher<std::optional<StreamConfig::VideoCodec>> sentVideoCodec() override {
    return server_->sentVideoCodec.publisher();
  }
  platform::Async<PictureCounts> pictureCounts() override {
    if (!sink_) co_return PictureCounts{};
    const int dropped = std::min(sink_->drops, sink_->video);
    co_return PictureCounts{sink_->video - dropped, dropped};
  }

 private:
  std::shared_ptr<FakeServer> server_;
  size_t attempt_;
  medley::VideoCodecSettings settings_;
  std::shared_ptr<CountingSink> sink_;
};

class FakeConnection final : public PublisherConnection {
 public:
  FakeConnection(std::shared_ptr<FakeServer> server, size_t attempt) : server_(std::move(server)), attempt_(attempt) {
    auto [stream, writer] = platform::AsyncStream<rtmpmedley::RTMPStatus>::make();
    stream_.emplace(std::move(stream));
    server_->statusWriter.emplace(std::move(writer));
  }
  platform::Async<void> connect(std::string) override {
    server_->connectTimes.push_back(server_->runtime->now());
    server_->connectionEvents.push_back("connect " + std::to_string(attempt_));
    co_await server_->perform(server_->script(attempt_).connect);
  }
  platform::Async<void> close() override {
    ++server_->connectionCloses;
    server_->connectionEvents.push_back("close " + std::to_string(attempt_));
    co_await server_->perform(server_->script(attempt_).connectionClose);
  }
  platform::Async<void> abort() override {
    ++server_->connectionAborts;
    server_->connectionEvents.push_back("abort " + std::to_string(attempt_));
    co_return;
  }
  platform::Async<platform::AsyncStream<rtmpmedley::RTMPStatus>> status() override { co_return *stream_; }
  std::shared_ptr<PublisherStream> makeStream() override { return std::make_shared<FakeStream>(server_, attempt_); }

 private:
  std::shared_ptr<FakeServer> server_;
  size_t attempt_;
  std::optional<platform::AsyncStream<rtmpmedley::RTMPStatus>> stream_;
};

inline PublisherConnectionFactory FakeServer::factory() {
  std::weak_ptr<FakeServer> weak = shared_from_this();
  auto counter = std::make_shared<size_t>(0);
  return [weak, counter]() -> std::shared_ptr<PublisherConnection> {
    return std::make_shared<FakeConnection>(weak.lock(), (*counter)++);
  };
}

struct FakePathMonitor final : platform::NetworkPathMonitor {
  Handler handler;
  std::string destination;
  void start(Handler h) override { handler = std::move(h); }
  void setDestination(const std::string& host) override { destination = host; }
  void cancel() override {}
};

// A publisher's surroundings for a scripted run: its connections, H.264 only (at
// constant bit rate), a network that stays up, and a clock that stands still.
inline RTMPPublisher::Environment scriptedEnvironment(std::shared_ptr<platform::Runtime> runtime,
                                                      PublisherConnectionFactory connections) {
  RTMPPublisher::Environment env;
  env.runtime = std::move(runtime);
  env.clock = std::make_shared<platform::FixedWallClock>(platform::Date(std::chrono::seconds(1'800'000'000)));
  env.makeConnection = std::move(connections);
  env.probe = [](StreamConfig::VideoCodec codec, int, int) {
    return EncoderSupport{codec == StreamConfig::VideoCodec::h264, true};
  };
  env.pathMonitor = std::make_shared<FakePathMonitor>();
  env.demoLiveElapsed = [] { return 0.0; };
  return env;
}

}  // namespace quarzadel::testing
