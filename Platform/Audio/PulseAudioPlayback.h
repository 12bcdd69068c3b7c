#pragma once
// A playback stream on a sound server as a player unit. Buffers are converted to
// interleaved 32-bit float and written as the server asks for more; the server
// keeps about kTargetLatency of them. The play position is the stream's time
// (what has been heard), so an underrun stalls it. Completions run on the queue
// given at creation once the stream's time passed the end of their buffer.
#include <pulse/stream.h>

#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Audio/AudioPlayerUnit.h"
#include "Platform/Audio/PulseAudioContext.h"
#include "Platform/Dispatch/SerialQueue.h"

namespace platform {

class PulseAudioPlayback final : public AudioPlayerUnit {
 public:
  static constexpr Nanos kTargetLatency = milliseconds(100);

  // `sink` empty: the server's default sink.
  PulseAudioPlayback(std::shared_ptr<PulseAudioContext> context, std::shared_ptr<SerialQueue> completions,
                     std::string sink = {});
  ~PulseAudioPlayback() override;

  void connect(const AudioFormat& format) override;
  void disconnect() override;
  bool isConnected() const override;
  std::optional<AudioFormat> format() const override;
  void scheduleBuffer(std::shared_ptr<const PCMBuffer> buffer, Completion completion) override;
  void play() override;
  void stop() override;
  bool isPlaying() const override;
  std::optional<int64_t> playedFrames() const override;
  void setVolume(float volume) override;
  void setPan(float pan) override;

  // The server's index of the stream (a sink input), for tools; none while disconnected.
  std::optional<uint32_t> sinkInputIndex() const;

  // Interleaved 32-bit float samples of any PCM buffer.
  static std::vector<float> interleavedFloat(const PCMBuffer& buffer);

 private:
  struct Pending {
    std::vector<float> samples;
    size_t writtenBytes = 0;
    int64_t endFrame = 0;
    Completion completion;
  };

  static void onState(pa_stream* stream, void* userdata);
  static void onWrite(pa_stream* stream, size_t bytes, void* userdata);
  static void onTiming(pa_stream* stream, void* userdata);
  static void onUnderflow(pa_stream* stream, void* userdata);

  // Under the mainloop lock.
  void open(const AudioFormat& format);
  void close(std::vector<Completion>& dropped);
  void write();
  void complete();
  int64_t positionLocked() const;
  void applyVolume();
  void post(std::vector<Completion> completions);

  const std::shared_ptr<PulseAudioContext> context_;
  const std::shared_ptr<SerialQueue> completions_;
  const std::string sink_;

  pa_stream* stream_ = nullptr;
  std::optional<AudioFormat> format_;
  std::deque<Pending> unwritten_;
  std::deque<Pending> unplayed_;
  int64_t writtenFrames_ = 0;
  // Reached by an underrun with nothing left to write: all of it was heard.
  int64_t drainedFrames_ = 0;
  bool playing_ = false;
  float volume_ = 1;
  float pan_ = 0;
};

}  // namespace platform
