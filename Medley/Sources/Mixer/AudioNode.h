#pragma once
// The pull-render graph that sums the multi-track mixer's tracks. A node has
// numbered input and output buses; rendering an output bus pulls what it needs
// from its input buses, each fed by a connected node's output or by a render
// callback. MixerNode sums its enabled inputs with a volume per bus and keeps
// the sum within full scale with a limiter; OutputNode is the end of a graph,
// rendered on demand into a buffer of its own.
//
// Formats, bus counts and connections are set before initialize(); rendering
// needs an initialised node. Everything runs on the owner's thread: callbacks
// run synchronously inside render(). A connection holds the source node by
// reference; the owner keeps it alive for as long as the connection exists.
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "Platform/Media/AudioFormat.h"
#include "Platform/Media/PCMBuffer.h"

namespace medley {

class AudioNode {
 public:
  enum class BusScope { input, output };

  // Statuses of rendering and of the failed calls reported in Error.
  static constexpr int32_t kNoErr = 0;
  static constexpr int32_t kInvalidProperty = -10879;
  static constexpr int32_t kInvalidElement = -10877;
  static constexpr int32_t kNoConnection = -10876;
  static constexpr int32_t kTooManyFramesToProcess = -10874;
  static constexpr int32_t kFormatNotSupported = -10868;
  static constexpr int32_t kUninitialized = -10867;
  static constexpr int32_t kInvalidPropertyValue = -10851;
  static constexpr int32_t kInitialized = -10849;

  // Frames one render may ask for.
  static constexpr uint32_t kMaximumFramesPerSlice = 4096;

  class Error : public std::runtime_error {
   public:
    enum class Kind {
      unableToCreateAudioUnit,
      unableToInitializeAudioUnit,
      unableToUpdateBus,
      unableToRetrieveValue,
      unableToConnectToNode,
    };
    Error(Kind kind, int32_t status, const std::string& what);
    Kind kind;
    int32_t status;
  };

  // Fills `frames` frames of ioData from frame 0 (its frameLength is already
  // `frames`); a non-zero status means nothing usable was written.
  using RenderCallback = int32_t (*)(void* refCon, uint32_t bus, uint32_t frames, int64_t sampleTime,
                                     platform::PCMBuffer& ioData);

  virtual ~AudioNode() = default;
  AudioNode(const AudioNode&) = delete;
  AudioNode& operator=(const AudioNode&) = delete;

  // Feeds input bus `destinationBus` of `destination` from output bus `sourceBus` of this node.
  virtual void connect(AudioNode& destination, uint32_t sourceBus, uint32_t destinationBus);
  virtual void setBusCount(uint32_t count, BusScope scope);
  virtual uint32_t busCount(BusScope scope) const;

  void setStreamFormat(BusScope scope, uint32_t bus, const platform::AudioFormat& format);
  const platform::AudioFormat& streamFormat(BusScope scope, uint32_t bus) const;
  // Feeds input bus `bus` from the callback (replacing a connection).
  void setRenderCallback(uint32_t bus, RenderCallback callback, void* refCon);

  // Checks the formats and allocates what rendering needs; throws unableToInitializeAudioUnit.
  void initialize();
  void uninitialize() { initialized_ = false; }
  bool isInitialized() const { return initialized_; }

  // Renders `frames` frames of output bus `bus` into ioData, from frame 0.
  int32_t render(uint32_t frames, int64_t sampleTime, uint32_t bus, platform::PCMBuffer& ioData);

 protected:
  AudioNode(uint32_t inputBuses, uint32_t outputBuses, uint32_t maximumInputBuses);

  // Pulls input bus `bus`; silence (and kNoErr) when nothing feeds it.
  int32_t pullInput(uint32_t bus, uint32_t frames, int64_t sampleTime, platform::PCMBuffer& ioData);
  virtual int32_t prepare() { return kNoErr; }
  virtual int32_t renderOutput(uint32_t frames, int64_t sampleTime, uint32_t bus, platform::PCMBuffer& ioData) = 0;
  bool hasInputBus(uint32_t bus) const { return bus < inputs_.size(); }

 private:
  struct Input {
    platform::AudioFormat format;
    RenderCallback callback = nullptr;
    void* refCon = nullptr;
    AudioNode* source = nullptr;
    uint32_t sourceBus = 0;
  };
  std::vector<Input>& busesOf(BusScope scope);
  const std::vector<Input>& busesOf(BusScope scope) const;

  std::vector<Input> inputs_;
  std::vector<Input> outputs_;
  const uint32_t maximumInputBuses_;
  bool initialized_ = false;
};

// Sums its enabled input buses, each scaled by its volume, then scales the sum
// by the output volume. Inputs must be 32-bit float in the output's format.
// Where the sum would leave full scale, a limiter lowers the gain of all
// channels together at once and recovers within about 50 ms, so the mix never
// clips; limitedBlocks() counts the blocks it had to lower.
class MixerNode final : public AudioNode {
 public:
  static constexpr uint32_t kMaximumInputBuses = 256;
  static constexpr float kCeiling = 1.0f;
  static constexpr double kReleaseSeconds = 0.05;

  explicit MixerNode(const platform::AudioFormat& format);

  // Input buses start disabled at volume 1.
  void setBusCount(uint32_t count, BusScope scope) override;
  void setEnabled(uint32_t bus, bool enabled);
  bool isEnabled(uint32_t bus) const;
  // Linear gain of an input bus (input scope) or of the sum (output scope, bus 0).
  void setVolume(BusScope scope, uint32_t bus, float volume);
  float volume(BusScope scope, uint32_t bus) const;

  uint64_t limitedBlocks() const { return limitedBlocks_; }
  float limiterGain() const { return gain_; }

 private:
  struct BusParameters {
    bool enabled = false;
    float volume = 1.0f;
  };
  int32_t prepare() override;
  int32_t renderOutput(uint32_t frames, int64_t sampleTime, uint32_t bus, platform::PCMBuffer& ioData) override;
  void limit(platform::PCMBuffer& ioData, uint32_t frames);

  std::vector<BusParameters> parameters_;
  float outputVolume_ = 1.0f;
  platform::PCMBufferRef busBuffer_;
  std::vector<float> frameGains_;
  float gain_ = 1.0f;
  float releaseFactor_ = 0.0f;
  uint64_t limitedBlocks_ = 0;
};

// The end of a graph: one input bus, rendered on demand into its own buffer.
class OutputNode final : public AudioNode {
 public:
  static constexpr uint32_t kBufferFrames = 1024;

  class Error : public std::runtime_error {
   public:
    enum class Kind { unableToRenderFrames, unableToAllocateBuffer };
    Error(Kind kind, const std::string& what) : std::runtime_error(what), kind(kind) {}
    Kind kind;
  };

  // Throws Error(unableToAllocateBuffer) for a format no buffer can hold.
  explicit OutputNode(const platform::AudioFormat& format);

  // Renders `frames` (at most 1024) at `sampleTime`; returns the node's one
  // buffer, overwritten by the next render. Throws Error(unableToRenderFrames).
  platform::PCMBuffer& render(uint32_t frames, int64_t sampleTime);

 private:
  int32_t renderOutput(uint32_t frames, int64_t sampleTime, uint32_t bus, platform::PCMBuffer& ioData) override;
  platform::PCMBufferRef buffer_;
};

}  // namespace medley
