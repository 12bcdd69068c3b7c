#pragma once
// The tasks between the encoders and the connection: raw pictures from the
// outgoing stream's input sequence into its video encoder, and the encoded
// pictures and sound out through the stream as RTMP messages, each message
// timed in milliseconds from a common origin (so that picture and sound stamped
// on the host clock share one time line starting near zero).
#include <atomic>
#include <cstdint>
#include <memory>

#include "Medley/Sources/Stream/OutgoingStream.h"
#include "Platform/Concurrency/Concurrency.h"
#include "SmokeStream.h"

namespace rtmpsmoke {

struct Counters {
  std::atomic<int64_t> videoMessages{0};
  std::atomic<int64_t> audioMessages{0};
  std::atomic<int64_t> bytes{0};
};

// Where the stream starts on the wire: at the first picture. Sound encoded
// before it went out waits, and sound stamped before it is dropped; ingests
// take the first message's time as their origin and would pin every earlier
// stamp of the other kind onto it. Touched by both senders on their one queue.
struct WireStart {
  bool video = false;
  uint32_t videoMilliseconds = 0;
  int64_t droppedSoundPackets = 0;
};

// Message times of one chunk stream: milliseconds after `originSeconds` (never
// before it), and deltas that never run backwards (a late stamp goes out with
// delta 0 rather than wrapping round to a time far ahead).
class MessageClock {
 public:
  explicit MessageClock(double originSeconds) : origin_(originSeconds) {}
  uint32_t milliseconds(double seconds) const;
  // Pictures at a constant rate: the time of the grid slot nearest to `seconds`,
  // at least one slot after the previous picture's (host stamps jitter by a few
  // milliseconds; readers that assume the constant rate would see two pictures
  // share one slot).
  uint32_t gridMilliseconds(double seconds, double rate);
  // The delta to the previous message; the first message's time is absolute.
  uint32_t delta(uint32_t ms);
  bool started() const { return started_; }

 private:
  double origin_;
  uint32_t last_ = 0;
  bool started_ = false;
  int64_t lastSlot_ = -1;
};

// Sequence header first, then every frame on the grid of `frameRate`; a new
// format sends a new header.
platform::Async<void> sendVideo(platform::AsyncStream<platform::SampleBufferRef> encoded,
                                std::shared_ptr<SmokeStream> stream, uint32_t id, double originSeconds,
                                double frameRate, Counters* counters, std::shared_ptr<WireStart> start);
// Once the first picture went out: sequence header first, then one message
// per AAC packet, until the sequence ends.
platform::Async<void> sendAudio(platform::AsyncStream<medley::AudioCodec::Output> encoded,
                                std::shared_ptr<SmokeStream> stream, uint32_t id, double originSeconds,
                                Counters* counters, std::shared_ptr<WireStart> start);
// Raw pictures into the video encoder, one at a time, until the input sequence ends.
platform::Async<void> pumpVideo(platform::AsyncStream<platform::SampleBufferRef> input,
                                medley::OutgoingStream* outgoing);

}  // namespace rtmpsmoke
