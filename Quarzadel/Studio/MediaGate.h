#pragma once
// The thread-safe hand-off of program media to the live stream. Armed with a
// sink, it opens at the first picture and from then on passes pictures at or
// after that picture's time and sound from 0.044 s after it (the head of a
// buffer that straddles that moment is cut at the nearest sample). Closed, it
// passes nothing. Pictures and sound come from the program queues; arming,
// closing and the frame count from the publisher. The sink is called outside
// the lock, so a gate closed during a hand-off still delivers that one buffer.
#include <cstdint>
#include <memory>
#include <mutex>

#include "Quarzadel/Studio/MediaSink.h"

namespace quarzadel {

class MediaGate {
 public:
  static constexpr double kSoundOffset = 0.044;

  void append(const platform::SampleBufferRef& video);
  void append(const platform::PCMBufferRef& audio, const platform::AudioTime& when);

  // Waits for the next picture to open with `sink` (whatever was there is dropped).
  void arm(std::shared_ptr<MediaSink> sink);
  void close();
  bool isOpen() const;
  // Pictures passed since the last call, and starts counting again.
  int64_t takeVideoFrames();
  // Pictures passed since the last arm, whatever was taken meanwhile.
  int64_t videoFramesSinceArm() const;

 private:
  enum class Phase { closed, waitingForVideo, open };
  mutable std::mutex lock_;
  Phase phase_ = Phase::closed;
  std::shared_ptr<MediaSink> sink_;
  double start_ = 0;
  int64_t videoFrames_ = 0;
  int64_t videoFramesSinceArm_ = 0;
};

}  // namespace quarzadel
