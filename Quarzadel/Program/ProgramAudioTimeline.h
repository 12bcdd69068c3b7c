#pragma once
// The program sound's output timeline: one continuous 48 kHz stereo stream whose
// frame k belongs to host second anchorHost + k / 48000. Source buffers land
// where their host stamps say: gaps and overlaps beyond 50 ms (or beyond half a
// sample right after a resync) are repaired at once with silence or a cut; smaller
// disagreements count as clock drift and are worked off one sample per buffer.
// The first buffer after a resync that arrives after its place was handed on is
// not cut: it lands whole at the end, and the buffers after it keep its delay.
// Every output buffer starts where the previous one ended.
#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "Platform/Media/AudioFormat.h"
#include "Platform/Media/PCMBuffer.h"
#include "Platform/Time/AudioTime.h"

namespace quarzadel {

class ProgramAudioTimeline {
 public:
  using Output = std::function<void(const platform::PCMBufferRef& buffer, const platform::AudioTime& time)>;

  static constexpr double kSampleRate = 48000;
  static constexpr int64_t kMaxSilenceBuffer = 4096;
  static constexpr double kDriftLimit = 2400;      // 50 ms
  static constexpr double kResyncLimit = 0.5;      // samples
  static constexpr double kDriftThreshold = 24;    // 0.5 ms
  static constexpr double kDriftSmoothing = 0.05;
  static constexpr int64_t kFadeInFrames = 480;    // 10 ms

  // 48 kHz stereo, 32-bit float, planar.
  static const platform::AudioFormat& outputFormat();

  explicit ProgramAudioTimeline(Output output = {}) : output_(std::move(output)) {}
  void setOutput(Output output) { output_ = std::move(output); }

  bool hasAnchor() const { return anchorHost_.has_value(); }
  std::optional<double> anchorHost() const { return anchorHost_; }
  int64_t anchorSample() const { return anchorSample_; }
  int64_t emittedSamples() const { return emittedSamples_; }
  double smoothedError() const { return smoothedError_; }
  // Seconds by which source stamps are placed later, set at each resync.
  double delay() const { return delay_; }
  // Host seconds of the end of what was handed on; none before the anchor.
  std::optional<double> endHost() const;

  // Frame 0 of the timeline; the anchor never moves once set.
  void setAnchor(double hostSeconds);

  // The next placed buffer lands exactly where its stamp says.
  void requestResync() { resyncNext_ = true; }
  bool resyncPending() const { return resyncNext_; }
  // Output is zero while muted; the meter is not affected.
  void setMuted(bool muted) { muted_ = muted; }
  bool isMuted() const { return muted_; }
  // The next frames ramp up linearly from silence, 1/480 per frame; 0 cancels.
  void setFadeInRemaining(int64_t frames) { fadeInRemaining_ = std::max<int64_t>(frames, 0); }
  int64_t fadeInRemaining() const { return fadeInRemaining_; }

  // Places a buffer in the output format whose first sample belongs to
  // `hostSeconds`; anchors the timeline at it when there is no anchor yet.
  void place(const platform::PCMBuffer& buffer, double hostSeconds);
  // Hands on `frames` silent frames (not faded, not muted).
  void insertSilence(int64_t frames);
  // Applies mute or fade-in, stamps and hands on a buffer in the output format.
  void emit(const platform::PCMBufferRef& buffer);

 private:
  platform::AudioTime stampForNextFrame() const;
  void handOn(const platform::PCMBufferRef& buffer);

  Output output_;
  std::optional<double> anchorHost_;
  int64_t anchorSample_ = 0;
  int64_t emittedSamples_ = 0;
  double smoothedError_ = 0;
  double delay_ = 0;
  bool resyncNext_ = false;
  bool muted_ = false;
  int64_t fadeInRemaining_ = 0;
};

}  // namespace quarzadel
