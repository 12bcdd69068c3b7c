#pragma once
// The audio mixer that sums tracks. Each track converts its audio to the
// output format and drops the blocks into a ring of its own; a graph of a
// MixerNode feeding an OutputNode pulls every ring through one input bus,
// applies the track's volume and sums. The main track sets the pace: each
// block it produces renders one block of the same length out of the graph,
// timed from the main track's first block.
//
// Track numbers are the mixer's bus numbers, whichever of 0 to 255 are used.
// A track whose ring has run dry plays silence. A change of the main track's
// format rebuilds every track with its own settings.
#include <map>
#include <memory>
#include <optional>

#include "Medley/Sources/Mixer/AudioMixer.h"
#include "Medley/Sources/Mixer/AudioMixerTrack.h"
#include "Medley/Sources/Mixer/AudioMixerTrackDelegate.h"
#include "Medley/Sources/Mixer/AudioNode.h"
#include "Medley/Sources/Mixer/AudioRingBuffer.h"

namespace medley {

class AudioMixerByMultiTrack final : public AudioMixer, public AudioMixerTrackDelegate {
 public:
  static constexpr uint32_t kBufferCounts = 16;

  AudioMixerByMultiTrack() = default;
  ~AudioMixerByMultiTrack() override;

  std::shared_ptr<AudioMixerDelegate> delegate() const override { return delegate_.lock(); }
  void setDelegate(std::weak_ptr<AudioMixerDelegate> delegate) override { delegate_ = std::move(delegate); }

  const AudioMixerSettings& settings() const override { return settings_; }
  void setSettings(AudioMixerSettings settings) override;

  std::map<uint8_t, platform::AudioFormat> inputFormats() const override;
  const std::optional<platform::AudioFormat>& outputFormat() const override { return outputFormat_; }

  void append(uint8_t track, const platform::SampleBuffer& sampleBuffer) override;
  void append(uint8_t track, const platform::PCMBuffer& buffer, const platform::AudioTime& when) override;

  void trackDidOutput(AudioMixerTrack& track, const platform::PCMBuffer& buffer,
                      const platform::AudioTime& when) override;

  const AudioMixerTrack* track(uint8_t id) const;
  // The graph's summing node, while the graph is set up.
  const MixerNode* mixerNode() const { return mixerNode_.get(); }

 private:
  static int32_t inputRenderCallback(void* refCon, uint32_t bus, uint32_t frames, int64_t sampleTime,
                                     platform::PCMBuffer& ioData);
  int32_t render(uint32_t bus, uint32_t frames, platform::PCMBuffer& ioData);

  AudioMixerTrack* trackFor(uint8_t id);
  std::unique_ptr<AudioMixerTrack> makeTrack(uint8_t id);
  void makeBuffer(uint8_t id);
  void setSourceFormat(platform::FormatDescriptionRef description);
  void setOutputFormat(std::optional<platform::AudioFormat> format);
  void tryToSetupAudioNodes();
  void setupAudioNodes();
  void releaseAudioNodes();
  void mix(uint32_t frames);

  std::weak_ptr<AudioMixerDelegate> delegate_;
  AudioMixerSettings settings_;
  std::optional<platform::AudioFormat> outputFormat_;
  platform::FormatDescriptionRef inSourceFormat_;
  std::map<uint8_t, std::unique_ptr<AudioMixerTrack>> tracks_;
  // The time of the main track's first block since the graph was set up.
  std::optional<platform::AudioTime> anchor_;
  std::map<uint8_t, std::unique_ptr<AudioRingBuffer>> buffers_;
  std::unique_ptr<MixerNode> mixerNode_;
  int64_t sampleTime_ = 0;
  std::unique_ptr<OutputNode> outputNode_;
};

}  // namespace medley
