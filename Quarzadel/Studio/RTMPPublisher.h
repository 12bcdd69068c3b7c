#pragma once
// Keeps one Studio's program on the air. Between start and stop it runs
// publish attempts: each makes a fresh connection and stream, configures the
// encoders, connects, publishes, opens the media gate and watches the live
// period until it breaks; then it tears the attempt down under short
// deadlines (a reset while the host still wants to be live, so the server
// frees the key at once; in order, stream first, after a stop) and tries
// again after a fixed backoff (0.5, 1, 2, 3, then 5 s).
// While the network is unusable it reports that and waits. Failures never
// reach the owner: it sees `reconnecting` states and a problem text.
//
// Everything but the gate runs on the runtime's main queue. Each start begins
// a new session generation: a loop left over from an earlier session (past
// the stop's deadline) never touches the gate or the stream of a newer one.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Medley/Sources/Network/NetworkMonitorReport.h"
#include "Platform/Concurrency/Continuation.h"
#include "Platform/Concurrency/Task.h"
#include "Platform/Concurrency/WakeableSleep.h"
#include "Platform/Dispatch/Runtime.h"
#include "Platform/Net/NetworkPathMonitor.h"
#include "Platform/Published/Subscription.h"
#include "Platform/Time/Date.h"
#include "Quarzadel/Program/StreamConfig.h"
#include "Quarzadel/Studio/EncoderProbe.h"
#include "Quarzadel/Studio/MediaGate.h"
#include "Quarzadel/Studio/RTMPPublisherState.h"
#include "Quarzadel/Studio/RTMPPublisherStats.h"
#include "Quarzadel/Studio/RTMPPublisherTransport.h"

namespace quarzadel {

class RTMPPublisher : public std::enable_shared_from_this<RTMPPublisher> {
 public:
  using State = RTMPPublisherState;
  using Stats = RTMPPublisherStats;

  static constexpr int64_t kMaximumBitrate720 = 1843200;
  static constexpr int64_t kMaximumBitrate1080 = 2867200;
  static constexpr double kStreamCloseDeadline = 1.0;
  static constexpr double kConnectionCloseDeadline = 1.5;
  static constexpr double kStopDeadline = 3.0;
  static constexpr const char* kOfflineProblem =
      "Your computer is offline. Quarzadel will reconnect as soon as the internet is back.";

  struct Environment {
    std::shared_ptr<platform::Runtime> runtime;           // empty: the shared runtime
    std::shared_ptr<platform::WallClock> clock;           // empty: the system clock
    PublisherConnectionFactory makeConnection;            // empty: RTMP over sockets
    EncoderProbe probe;                                   // empty: this machine's encoders
    std::shared_ptr<platform::NetworkPathMonitor> pathMonitor;  // empty: netlink
    // Seconds a first live period pretends to have run already; empty: the
    // "DemoLiveElapsed" user default.
    std::function<double()> demoLiveElapsed;
  };

  // The most seconds the demo's elapsed time moves the live date either way (a
  // hundred years): further, the date leaves the clock's range.
  static constexpr double kMostDemoLiveElapsed = 100 * 365.25 * 86400;

  static std::shared_ptr<RTMPPublisher> make(Environment environment = {});
  ~RTMPPublisher();

  std::function<void(const State&)> onState;
  std::function<void(const Stats&)> onStats;
  std::function<void(const std::optional<std::string>&)> onProblem;

  // Returns at once; nothing while a session runs. During a stop the new
  // session begins once the stop has finished.
  void start(std::string serverURL, std::string streamKey, StreamConfig config);
  // Returns when the stop is complete, at most about 3 s after it began.
  platform::Async<void> stop();

  // Applies a network-path verdict.
  void setNetworkAvailable(bool available);
  // A monitor report with the controller's bit rate; only while live.
  void updateStats(const medley::NetworkMonitorReport& report, int64_t videoBitrate);
  // A manual video bit rate for the current stream; the controller's next change replaces it.
  platform::Async<void> setVideoBitrate(int64_t bitsPerSecond);

  MediaGate& gate() { return gate_; }
  const State& state() const { return state_; }
  const Stats& stats() const { return stats_; }
  StreamConfig::VideoCodec activeCodec() const { return activeCodec_; }
  int64_t currentVideoBitrate() const { return currentVideoBitrate_; }
  // Whole silent reports in a row with the gate open.
  int zeroOutputSeconds() const { return zeroOutputSeconds_; }
  bool networkAvailable() const { return networkAvailable_; }
  static int64_t maximumBitrate(StreamConfig::Resolution resolution);

  explicit RTMPPublisher(Environment environment);

 private:
  struct StartRequest {
    std::string serverURL;
    std::string streamKey;
    StreamConfig config;
  };

  void setState(State state);
  void problem(std::optional<std::string> text);
  void resumeNetworkWaiters();
  bool isCurrent(uint64_t generation) const { return wantsLive_ && generation == generation_; }
  bool shouldUseH264() const;
  platform::Async<void> run(uint64_t generation);
  platform::Async<void> waitForNetwork();
  // Resets the connections given up while the network was unusable.
  platform::Async<void> resetAbandoned();
  platform::Async<void> configureEncoders(std::shared_ptr<PublisherStream> stream, bool afterLivePeriod);
  // Says what became of the `made` pictures a live period's gate passed to `stream`.
  platform::Async<void> logPictures(int64_t made, std::shared_ptr<PublisherStream> stream);
  // Follows the codec the stream's pictures go out in, which is not the one
  // configured where the encoder had to fall back.
  void watchSentCodec(const std::shared_ptr<PublisherStream>& stream);
  void videoCodecSent(const PublisherStream& stream, StreamConfig::VideoCodec codec);
  platform::Async<std::string> goLive(int64_t attempt, platform::Nanos began, std::shared_ptr<PublisherStream> stream,
                                      platform::TaskHandle<std::string> listener);
  platform::Async<std::string> watchLive(platform::TaskHandle<std::string> listener);
  bool uploadStalled();
  // When the live watch looks next; none until something wakes it.
  std::optional<platform::Nanos> nextWatch() const;
  platform::TaskHandle<std::string> startListener(std::shared_ptr<PublisherConnection> connection);
  void warn(const std::string& message);

  Environment env_;
  State state_;
  MediaGate gate_;
  bool gateArmed_ = false;  // by the current attempt, until its teardown
  std::optional<platform::TaskHandle<void>> runTask_;
  std::optional<platform::TaskHandle<void>> stopTask_;
  std::optional<StartRequest> pendingStart_;
  uint64_t generation_ = 0;
  bool wantsLive_ = false;
  std::string serverURL_;
  std::string streamKey_;
  StreamConfig config_;
  std::optional<platform::Date> liveSince_;
  bool networkAvailable_ = true;
  std::vector<platform::Continuation<void>> networkWaiters_;
  Stats stats_;
  int zeroOutputSeconds_ = 0;
  // The last moment output is known to have moved, or the gate was seen not
  // open; and when the last report that knew the output's age came.
  platform::Nanos outputAt_ = 0;
  std::optional<platform::Nanos> outputReportAt_;
  // Ends the live watch's wait when a report, a verdict on the network or a
  // stop may have changed what it finds.
  platform::WakeableSleep watchAlarm_;
  std::optional<medley::NetworkMonitorReport> lastReport_;
  int64_t currentVideoBitrate_ = 0;
  std::shared_ptr<PublisherStream> activeStream_;
  // Given up while the network was unusable: a reset then would be lost on
  // the way, and the server would keep the key published. Each is reset once
  // the network is back, before the next attempt.
  std::vector<std::shared_ptr<PublisherConnection>> abandoned_;
  StreamConfig::VideoCodec activeCodec_ = StreamConfig::VideoCodec::hevc;
  bool constantBitRate_ = true;  // as the active stream's encoder was configured
  platform::Subscription sentCodecWatch_;
  bool codecFallback_ = false;
  int secondsSinceStatsLog_ = 0;
};

}  // namespace quarzadel
