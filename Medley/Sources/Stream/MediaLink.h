#pragma once
// Releases decoded pictures of a played stream when they are due. Pictures wait
// in a queue sorted by presentation time (at most kCapacity; a picture beyond
// that is refused and logged, so memory stays bounded whatever the sender does).
// On every display refresh the link reads its clock and releases, in order, the
// pictures whose offset from the first picture has been reached.
//
// The clock is the attached audio player node's play position, so pictures
// follow what is heard. Without one it is the time of the refreshes since the
// start: each tick's targetTimestamp − timestamp, or, for a link that ticks on
// every refresh (where the two are equal), the interval measured since the
// previous tick. Video without sound so plays at its own rate.
#include <memory>
#include <optional>

#include "Medley/Sources/Screen/DisplayLinkChoreographer.h"
#include "Medley/Sources/Stream/AsyncRunner.h"
#include "Medley/Sources/Util/TypedBlockQueue.h"
#include "Platform/Concurrency/Actor.h"
#include "Platform/Concurrency/AsyncStream.h"
#include "Platform/Media/SampleBuffer.h"
#include "Platform/Time/MediaTime.h"

namespace medley {

class AudioPlayerNode;

class MediaLink final : public platform::Actor, public AsyncRunner, public std::enable_shared_from_this<MediaLink> {
 public:
  static constexpr long kCapacity = 90;
  // A picture this close to due counts as due: the host clock's nanosecond grid
  // leaves sums of refresh intervals a few nanoseconds short of a frame time.
  static constexpr double kDueTolerance = 1e-6;
  // Pictures released in one tick before a future one that are worth a log line.
  static constexpr int kDroppedFrameReportCount = 3;

  explicit MediaLink(std::shared_ptr<platform::Runtime> runtime = platform::Runtime::shared());
  ~MediaLink() override;

  // A new sequence of released pictures; the one made before ends.
  platform::Async<platform::AsyncStream<platform::SampleBufferRef>> dequeue();
  // Takes a decoded picture while running; ignored while stopped.
  platform::Async<void> enqueue(platform::SampleBufferRef sampleBuffer);

  platform::Async<bool> isRunning() override;
  platform::Async<void> startRunning() override;
  platform::Async<void> stopRunning() override;

  // The media clock in seconds, moving the tick clock on by `delta`.
  platform::Async<double> advance(double delta);

  // The node whose play position is the clock; none for the tick clock. The
  // node's position 0 is the clock's `startsAt` (the sound played before it);
  // without one a new node counts on from the clock's last reading.
  platform::Async<void> setAudioPlayer(std::weak_ptr<AudioPlayerNode> node,
                                       std::optional<double> startsAt = std::nullopt);

  const std::shared_ptr<DisplayLinkChoreographer>& displayLink() const { return displayLink_; }

 private:
  platform::Async<void> present(platform::AsyncStream<DisplayLinkTime> ticks);
  platform::Async<void> update(DisplayLinkTime tick);

  bool isRunning_ = false;
  std::optional<TypedBlockQueue<platform::SampleBuffer>> storage_;
  std::optional<platform::AsyncStreamWriter<platform::SampleBufferRef>> continuation_;
  double duration_ = 0;
  // The clock when the node changed, and its last reading this run.
  double clockOffset_ = 0;
  double lastClock_ = 0;
  platform::MediaTime presentationTimeStampOrigin_ = platform::MediaTime::invalid();
  const std::shared_ptr<DisplayLinkChoreographer> displayLink_;
  std::weak_ptr<AudioPlayerNode> audioPlayer_;
  std::optional<double> lastTickTimestamp_;
  // Counts runs, so that a tick loop of an earlier run stops touching the state.
  uint64_t generation_ = 0;
};

}  // namespace medley
