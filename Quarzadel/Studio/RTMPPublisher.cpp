#include "Quarzadel/Studio/RTMPPublisher.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <utility>

#include "Platform/Concurrency/Race.h"
#include "Platform/Concurrency/Sleep.h"
#include "Platform/Defaults/UserDefaults.h"
#include "Platform/Dispatch/SerialQueue.h"
#include "Quarzadel/Log/Log.h"
#include "Quarzadel/Log/SessionLog.h"
#include "Quarzadel/Studio/LiveVideoSettings.h"
#include "Quarzadel/Studio/PublisherBitrateStrategy.h"
#include "Quarzadel/Studio/RTMPPublisherDeadline.h"
#include "Quarzadel/Studio/RTMPPublisherFailureReason.h"
#include "RTMPMedley/Sources/RTMP/Connection/RTMPConnectionURL.h"

namespace quarzadel {
namespace {

constexpr std::array<double, 5> kBackoff{0.5, 1.0, 2.0, 3.0, 5.0};
// Until the gate opens the live watch looks this often (a gate not open moves
// the start of a silence); once it is open, only when a rule can fire.
constexpr platform::Nanos kWatchInterval = platform::kNanosPerSecond / 10;
// Longer than this without output while the gate is open is a stall, counted
// from the moment output last moved rather than in whole reports.
constexpr platform::Nanos kLongestSilence = 4 * platform::kNanosPerSecond;
// A report's word on the output is carried forward this long: about two
// reports, so that a monitor that fell silent stalls nothing on its own.
constexpr platform::Nanos kReportHeld = 2 * platform::kNanosPerSecond;
// The stream's own count of what it sent and dropped comes from its queue.
constexpr double kCountsDeadline = 0.5;
constexpr std::array<const char*, 5> kClosingCodes{
    "NetConnection.Connect.Closed", "NetConnection.Connect.Failed", "NetConnection.Connect.IdleTimeOut",
    "NetConnection.Connect.Rejected", "NetConnection.Connect.NetworkChange"};

bool isCancellation(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const platform::CancellationError&) {
    return true;
  } catch (...) {
    return false;
  }
}

platform::Async<bool> taskIsCancelled() {
  auto cancellation = co_await platform::currentCancellation();
  co_return cancellation && cancellation->isCancelled();
}

const char* codecName(StreamConfig::VideoCodec codec) {
  return codec == StreamConfig::VideoCodec::hevc ? "HEVC" : "H.264";
}

std::string fixed(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

}  // namespace

int64_t RTMPPublisher::maximumBitrate(StreamConfig::Resolution resolution) {
  return resolution == StreamConfig::Resolution::hd1080 ? kMaximumBitrate1080 : kMaximumBitrate720;
}

RTMPPublisher::RTMPPublisher(Environment environment) : env_(std::move(environment)) {
  if (!env_.runtime) env_.runtime = platform::Runtime::shared();
  if (!env_.clock) env_.clock = platform::WallClock::system();
  if (!env_.makeConnection) env_.makeConnection = rtmpPublisherConnections(env_.runtime);
  if (!env_.probe) env_.probe = systemEncoderProbe();
  if (!env_.demoLiveElapsed)
    env_.demoLiveElapsed = [] { return platform::UserDefaults::standard()->doubleValue("DemoLiveElapsed"); };
}

std::shared_ptr<RTMPPublisher> RTMPPublisher::make(Environment environment) {
  if (!environment.pathMonitor) environment.pathMonitor = platform::NetworkPathMonitor::makeNetlink();
  auto publisher = std::make_shared<RTMPPublisher>(std::move(environment));
  if (auto monitor = publisher->env_.pathMonitor) {
    std::weak_ptr<RTMPPublisher> weak = publisher;
    auto main = publisher->env_.runtime->mainQueue();
    monitor->start([weak, main](bool usable) {
      main->async([weak, usable] {
        if (auto self = weak.lock()) self->setNetworkAvailable(usable);
      });
    });
  }
  return publisher;
}

RTMPPublisher::~RTMPPublisher() {
  if (env_.pathMonitor) env_.pathMonitor->cancel();
}

void RTMPPublisher::setState(State state) {
  if (state == state_) return;
  state_ = std::move(state);
  if (onState) onState(state_);
}

void RTMPPublisher::problem(std::optional<std::string> text) {
  if (onProblem) onProblem(text);
}

void RTMPPublisher::warn(const std::string& message) {
  Log::logger().error(message);
  SessionLog::shared()->log("WARN", message, __FILE__);
}

void RTMPPublisher::setNetworkAvailable(bool available) {
  if (available == networkAvailable_) return;
  networkAvailable_ = available;
  watchAlarm_.wake();
  Log::networkChanged(available, __FILE__);
  if (available) resumeNetworkWaiters();
}

void RTMPPublisher::resumeNetworkWaiters() {
  auto waiters = std::exchange(networkWaiters_, {});
  for (auto& waiter : waiters) waiter.resume();
}

void RTMPPublisher::start(std::string serverURL, std::string streamKey, StreamConfig config) {
  if (stopTask_) {
    // The session begins when the stop in flight has finished.
    if (!pendingStart_) pendingStart_ = StartRequest{std::move(serverURL), std::move(streamKey), config};
    return;
  }
  if (wantsLive_) return;
  wantsLive_ = true;
  serverURL_ = std::move(serverURL);
  streamKey_ = std::move(streamKey);
  config_ = config;
  liveSince_.reset();
  codecFallback_ = false;
  // The path counts only when it leads to this ingest.
  if (auto url = rtmpmedley::RTMPConnectionURL::parse(serverURL_); url && env_.pathMonitor)
    env_.pathMonitor->setDestination(url->host().value_or(""));
  const uint64_t generation = ++generation_;
  setState(State::connecting());
  Log::publishRequested(serverURL_, streamKey_, config_, __FILE__);
  auto body = [generation](std::shared_ptr<RTMPPublisher> self) -> platform::Async<void> {
    co_await self->run(generation);
  };
  runTask_ = platform::spawnWeak(env_.runtime->mainQueue(), weak_from_this(), std::move(body));
}

platform::Async<void> RTMPPublisher::stop() {
  if (stopTask_) {
    pendingStart_.reset();
    auto inFlight = *stopTask_;
    co_await inFlight.value();
    co_return;
  }
  if (!wantsLive_) co_return;
  wantsLive_ = false;
  gate_.close();
  watchAlarm_.wake();
  setState(State::stopping());
  resumeNetworkWaiters();
  auto body = [](std::shared_ptr<RTMPPublisher> self,
                 std::optional<platform::TaskHandle<void>> run) -> platform::Async<void> {
    if (run) {
      run->cancel();
      auto awaitEnd = [](platform::TaskHandle<void> task) -> platform::Async<void> { co_await task.value(); };
      co_await quarzadel::withDeadline(kStopDeadline, std::move(awaitEnd), *run);
    }
    co_await self->resetAbandoned();
    self->runTask_.reset();
    self->liveSince_.reset();
    self->setState(State::idle());
    self->stats_ = Stats{};
    if (self->onStats) self->onStats(self->stats_);
    self->problem(std::nullopt);
    Log::publishStoppedByUser(__FILE__);
    self->stopTask_.reset();
    if (auto next = std::exchange(self->pendingStart_, std::nullopt))
      self->start(std::move(next->serverURL), std::move(next->streamKey), next->config);
  };
  auto task = platform::spawn(env_.runtime->mainQueue(), std::move(body), shared_from_this(), runTask_);
  stopTask_ = task;
  co_await task.value();
}

platform::Async<void> RTMPPublisher::waitForNetwork() {
  if (networkAvailable_ || !wantsLive_) co_return;
  auto enqueue = [this](platform::Continuation<void> waiter) { networkWaiters_.push_back(std::move(waiter)); };
  co_await platform::withContinuation<void>(std::move(enqueue));
}

platform::Async<void> RTMPPublisher::resetAbandoned() {
  auto connections = std::exchange(abandoned_, {});
  auto abortConnection = [](std::shared_ptr<PublisherConnection> c) { return c->abort(); };
  for (auto& connection : connections)
    co_await quarzadel::withDeadline(kConnectionCloseDeadline, abortConnection, std::move(connection));
}

bool RTMPPublisher::shouldUseH264() const {
  if (config_.videoCodec == StreamConfig::VideoCodec::h264) return true;
  if (codecFallback_) return true;
  return !env_.probe(StreamConfig::VideoCodec::hevc, config_.width(), config_.height()).supported;
}

platform::Async<void> RTMPPublisher::run(uint64_t generation) {
  int64_t attempt = 0;
  std::string reason;
  int64_t failures = 0;
  while (isCurrent(generation) && !co_await taskIsCancelled()) {
    if (!networkAvailable_) {
      setState(State::reconnecting(std::max<int64_t>(attempt, 1), "No internet connection"));
      problem(kOfflineProblem);
      co_await waitForNetwork();
      continue;
    }
    co_await resetAbandoned();
    ++attempt;
    if (attempt < 2 && !liveSince_)
      setState(State::connecting());
    else
      setState(State::reconnecting(attempt, reason));

    auto connection = env_.makeConnection();
    auto stream = connection->makeStream();
    const platform::Nanos began = env_.runtime->now();
    activeCodec_ = shouldUseH264() ? StreamConfig::VideoCodec::h264 : StreamConfig::VideoCodec::hevc;

    std::optional<platform::TaskHandle<std::string>> listener;
    std::optional<std::string> ended;
    std::exception_ptr failure;
    try {
      co_await configureEncoders(stream, liveSince_.has_value());
      if (generation == generation_) {
        activeStream_ = stream;
        watchSentCodec(stream);
      }
      listener = startListener(connection);
      co_await connection->connect(serverURL_);
      if (!isCurrent(generation) || co_await taskIsCancelled()) throw platform::CancellationError();
      co_await stream->publish(streamKey_);
      ended = co_await goLive(attempt, began, stream, *listener);
    } catch (...) {
      failure = std::current_exception();
    }

    if (ended) {
      warn("Publish interrupted: " + *ended);
      if (*ended == "Upload stalled" && activeCodec_ == StreamConfig::VideoCodec::hevc && !codecFallback_) {
        codecFallback_ = true;
        Log::hevcStalledSwitchingToH264(__FILE__);
      }
      if (listener) listener->cancel();
      attempt = 0;
      failures = 0;
      reason = *ended;
    } else {
      // After a stop (or in a session that was replaced) a failure is no news.
      const bool cancelled = isCancellation(failure) || !isCurrent(generation) || co_await taskIsCancelled();
      if (failure && !cancelled) {
        ++failures;
        reason = publishFailureReason(failure);
        double seconds = platform::toSeconds(env_.runtime->now() - began);
        warn("Publish attempt " + std::to_string(attempt) + " failed after " + fixed(seconds, 2) + " s: " + reason);
        if (failures >= 3 && isCurrent(generation))
          problem("Quarzadel can't reach the stream server (" + reason +
                  "). Check that the event is purchased and inside its streaming window, and that nobody else is "
                  "live on it. Still retrying…");
      }
      if (listener) listener->cancel();
    }

    // Teardown. A loop of an older session leaves the gate and the stream alone.
    std::optional<int64_t> picturesMade;
    if (generation == generation_) {
      gate_.close();
      if (std::exchange(gateArmed_, false)) picturesMade = gate_.videoFramesSinceArm();
      activeStream_.reset();
      sentCodecWatch_ = {};
    }
    // An attempt given up while the host still wants to be live is reset: an
    // orderly end would reach the server only behind the unsent backlog, and
    // until then the server keeps the key published and refuses the next
    // attempt. A stop by the host ends in order, the stream first.
    const bool stillWanted = isCurrent(generation);
    if (stillWanted && !networkAvailable_) {
      abandoned_.push_back(std::move(connection));
    } else if (stillWanted) {
      auto abortConnection = [](std::shared_ptr<PublisherConnection> c) { return c->abort(); };
      co_await quarzadel::withDeadline(kConnectionCloseDeadline, std::move(abortConnection), connection);
    } else {
      auto closeStream = [](std::shared_ptr<PublisherStream> s) { return s->close(); };
      co_await quarzadel::withDeadline(kStreamCloseDeadline, std::move(closeStream), stream);
      // An orderly close still under way at its deadline is given up for a reset.
      auto closeConnection = [](std::shared_ptr<PublisherConnection> c) { return c->close(); };
      if (!co_await quarzadel::endedWithin(kConnectionCloseDeadline, std::move(closeConnection), connection)) {
        auto abortConnection = [](std::shared_ptr<PublisherConnection> c) { return c->abort(); };
        co_await quarzadel::withDeadline(kConnectionCloseDeadline, std::move(abortConnection), connection);
      }
    }

    if (picturesMade) co_await logPictures(*picturesMade, stream);

    if (!isCurrent(generation) || co_await taskIsCancelled()) co_return;
    size_t index = static_cast<size_t>(std::clamp<int64_t>(failures - 1, 0, 4));
    try {
      co_await platform::sleepFor(static_cast<platform::Nanos>(kBackoff[index] * 1e9));
    } catch (const platform::CancellationError&) {
      // Stop cut the wait short; the loop's condition ends it.
    }
  }
}

platform::Async<void> RTMPPublisher::logPictures(int64_t made, std::shared_ptr<PublisherStream> stream) {
  // Asked once the stream has let go of them: every picture made is then sent or dropped.
  auto counts = std::make_shared<PictureCounts>();
  auto ask = [](std::shared_ptr<PublisherStream> s, std::shared_ptr<PictureCounts> into) -> platform::Async<void> {
    *into = co_await s->pictureCounts();
  };
  if (co_await quarzadel::endedWithin(kCountsDeadline, std::move(ask), std::move(stream), counts))
    Log::livePeriodPictures(made, counts->sent, counts->dropped, __FILE__);
}

platform::Async<void> RTMPPublisher::configureEncoders(std::shared_ptr<PublisherStream> stream, bool afterLivePeriod) {
  medley::AudioCodecSettings audio(static_cast<int>(config_.audioBitrate), false, std::nullopt,
                                   config_.audioSampleRate, medley::AudioCodecSettings::Format::aac);
  co_await stream->setAudioSettings(audio);

  const int64_t maximum = maximumBitrate(config_.resolution);
  currentVideoBitrate_ = afterLivePeriod ? maximum >> 1 : maximum;
  const EncoderSupport support = env_.probe(activeCodec_, config_.width(), config_.height());
  const auto video = liveVideoSettings(config_, activeCodec_, currentVideoBitrate_, support.constantBitRate);
  co_await stream->setVideoSettings(video);

  std::weak_ptr<RTMPPublisher> weak = weak_from_this();
  auto main = env_.runtime->mainQueue();
  auto report = [weak, main](const medley::NetworkMonitorReport& r, int64_t bitrate) {
    main->async([weak, r, bitrate] {
      if (auto self = weak.lock()) self->updateStats(r, bitrate);
    });
  };
  auto strategy = std::make_shared<PublisherBitrateStrategy>(
      maximum, config_.audioBitrate, std::clamp<int64_t>(currentVideoBitrate_, BitrateController::kMinimum, maximum),
      std::move(report));
  co_await stream->setBitRateStrategy(strategy);

  stats_.targetKbps = currentVideoBitrate_ / 1000;
  stats_.codec = codecName(activeCodec_);
  Log::encoderConfigured(activeCodec_, config_, currentVideoBitrate_, support.constantBitRate, __FILE__);
  constantBitRate_ = support.constantBitRate;
}

void RTMPPublisher::watchSentCodec(const std::shared_ptr<PublisherStream>& stream) {
  std::weak_ptr<RTMPPublisher> weak = weak_from_this();
  std::weak_ptr<PublisherStream> weakStream = stream;
  auto sent = [weak, weakStream](const std::optional<StreamConfig::VideoCodec>& codec) {
    auto self = weak.lock();
    auto sender = weakStream.lock();
    if (self && sender && codec) self->videoCodecSent(*sender, *codec);
  };
  sentCodecWatch_ = stream->sentVideoCodec().receiveOn(env_.runtime->mainQueue()).sink(std::move(sent));
}

void RTMPPublisher::videoCodecSent(const PublisherStream& stream, StreamConfig::VideoCodec codec) {
  if (&stream != activeStream_.get() || codec == activeCodec_) return;
  // The GPU's HEVC encoder did not start and the stream fell back to H.264:
  // the line and the statistics follow, and so do this session's later attempts.
  activeCodec_ = codec;
  if (codec == StreamConfig::VideoCodec::h264) codecFallback_ = true;
  stats_.codec = codecName(codec);
  Log::encoderConfigured(codec, config_, currentVideoBitrate_, constantBitRate_, __FILE__);
}

platform::Async<std::string> RTMPPublisher::goLive(int64_t attempt, platform::Nanos began,
                                                   std::shared_ptr<PublisherStream> stream,
                                                   platform::TaskHandle<std::string> listener) {
  if (!wantsLive_ || co_await taskIsCancelled()) throw platform::CancellationError();
  Log::publishing(attempt, platform::toSeconds(env_.runtime->now() - began), __FILE__);
  gate_.arm(stream->makeSink(config_.frameRate));
  gateArmed_ = true;
  if (!liveSince_) {
    double elapsed = env_.demoLiveElapsed();
    // A value changed in the defaults file after the launch's check is not trusted either.
    if (!(std::fabs(elapsed) <= kMostDemoLiveElapsed)) elapsed = 0;
    liveSince_ = env_.clock->now() -
                 std::chrono::duration_cast<platform::Date::duration>(std::chrono::duration<double>(elapsed));
  }
  setState(State::live(*liveSince_));
  problem(std::nullopt);
  zeroOutputSeconds_ = 0;
  outputAt_ = env_.runtime->now();
  outputReportAt_.reset();
  co_return co_await watchLive(std::move(listener));
}

platform::TaskHandle<std::string> RTMPPublisher::startListener(std::shared_ptr<PublisherConnection> connection) {
  auto body = [](std::shared_ptr<PublisherConnection> c) -> platform::Async<std::string> {
    auto statuses = co_await c->status();
    while (auto status = co_await statuses.next()) {
      for (const char* code : kClosingCodes)
        if (status->code == code) co_return "Connection closed (" + status->code + ")";
    }
    co_return "Connection closed";
  };
  return platform::spawn(env_.runtime->mainQueue(), std::move(body), std::move(connection));
}

platform::Async<std::string> RTMPPublisher::watchLive(platform::TaskHandle<std::string> listener) {
  auto listen = [](platform::TaskHandle<std::string> task) -> platform::Async<std::string> {
    auto cancelTask = [task] { task.cancel(); };
    co_return co_await platform::withTaskCancellationHandler<std::string>(task.value(), std::move(cancelTask));
  };
  auto check = [](std::weak_ptr<RTMPPublisher> weak) -> platform::Async<std::string> {
    for (;;) {
      if (co_await taskIsCancelled()) co_return "Cancelled";
      std::optional<platform::Nanos> due;
      platform::WakeableSleep alarm;
      if (auto self = weak.lock()) {
        due = self->nextWatch();
        alarm = self->watchAlarm_;
      } else {
        co_return "Publisher released";
      }
      try {
        co_await alarm.until(due);
      } catch (const platform::CancellationError&) {
        // Straight on to the checks.
      }
      auto self = weak.lock();
      if (!self) co_return "Publisher released";
      if (!self->wantsLive_) co_return "Stopped";
      if (!self->networkAvailable_) co_return "Network lost";
      if (self->uploadStalled()) co_return "Upload stalled";
    }
  };
  try {
    co_return co_await platform::race<std::string>(listen(std::move(listener)), check(weak_from_this()));
  } catch (const platform::CancellationError&) {
    throw;
  } catch (...) {
    co_return "Unknown";
  }
}

bool RTMPPublisher::uploadStalled() {
  if (zeroOutputSeconds_ > 4) return true;
  const platform::Nanos now = env_.runtime->now();
  // A closed (or paused) gate sends nothing, and that is no stall.
  if (!gate_.isOpen()) {
    outputAt_ = now;
    return false;
  }
  return outputReportAt_ && now - *outputReportAt_ <= kReportHeld && now - outputAt_ > kLongestSilence;
}

std::optional<platform::Nanos> RTMPPublisher::nextWatch() const {
  const platform::Nanos now = env_.runtime->now();
  if (!gate_.isOpen()) return now + kWatchInterval;
  // The silence rule first holds just after this; a report too old by then
  // holds it off, and the next report wakes the watch. So do the rule of
  // silent reports, a lost network and a stop.
  const platform::Nanos silent = outputAt_ + kLongestSilence + 1;
  if (!outputReportAt_ || silent - *outputReportAt_ > kReportHeld) return std::nullopt;
  return std::max(silent, now);
}

void RTMPPublisher::updateStats(const medley::NetworkMonitorReport& report, int64_t videoBitrate) {
  if (!state_.isLive()) return;
  lastReport_ = report;
  currentVideoBitrate_ = videoBitrate;
  const int64_t sent = report.currentBytesOutPerSecond;
  const int64_t queued = report.currentQueueBytesOut;
  if (sent == 0)
    zeroOutputSeconds_ = gate_.isOpen() ? zeroOutputSeconds_ + 1 : 0;
  else
    zeroOutputSeconds_ = 0;
  const platform::Nanos now = env_.runtime->now();
  if (!gate_.isOpen()) outputAt_ = now;
  if (report.nanosSinceOutput) {
    outputAt_ = std::max(outputAt_, now - *report.nanosSinceOutput);
    outputReportAt_ = now;
  }
  watchAlarm_.wake();
  const double queueTime = Stats::queueSeconds(queued, sent, config_.audioBitrate + videoBitrate);
  stats_.uploadKbps = sent / 125;
  stats_.targetKbps = videoBitrate / 1000;
  stats_.queuedKB = queued / 1024;
  stats_.fps = gate_.takeVideoFrames();
  const int64_t fairBelow = config_.resolution == StreamConfig::Resolution::hd1080 ? 1720320 : 1105920;
  stats_.quality = Stats::qualityOf(videoBitrate, queueTime, fairBelow);
  if (onStats) onStats(stats_);
  if (++secondsSinceStatsLog_ >= 10) {
    secondsSinceStatsLog_ = 0;
    Log::uploadStats(stats_, queueTime, __FILE__);
  }
}

platform::Async<void> RTMPPublisher::setVideoBitrate(int64_t bitsPerSecond) {
  auto stream = activeStream_;
  if (!stream) co_return;
  try {
    auto settings = co_await stream->videoSettings();
    settings.bitRate = static_cast<int>(bitsPerSecond);
    co_await stream->setVideoSettings(settings);
  } catch (...) {
    co_return;
  }
  Log::debugVideoBitrate(bitsPerSecond, __FILE__);
}

}  // namespace quarzadel
