#pragma once
// The audio codec's converter: PCM to AAC or Opus packets (encoding), AAC or
// Opus packets to PCM (decoding), or PCM to PCM. Pull model: convert() asks
// the input block for input until the output buffer is full.
//
// - Encoding fills a compressed buffer with exactly one packet (1024 frames
//   for AAC, 20 ms for Opus). Input frames that do not make a whole packet yet
//   are kept for the next call.
// - PCM output is handed out only in full buffers (frameCapacity frames), so
//   a caller that drops a buffer on inputRanDry loses nothing: the frames made
//   so far wait inside the converter.
//
// AAC goes through FFmpeg's native encoder and decoder, Opus through libopus,
// sample-type, channel and rate changes through the platform converter.
// One owner at a time; not thread-safe.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Platform/Media/AudioBuffer.h"
#include "Platform/Media/AudioFormat.h"

namespace medley {

class AudioCodecConverter {
 public:
  enum class InputStatus { haveData, noDataNow, endOfStream };
  enum class OutputStatus { haveData, inputRanDry, endOfStream, error };
  static const char* describe(OutputStatus status);

  // `packets` is the number of input packets (frames for PCM) wanted; the
  // block may hand over fewer or more. Encoding and PCM conversion take PCM
  // buffers, decoding takes compressed buffers of one packet.
  using InputBlock = std::function<platform::AudioBufferRef(uint32_t packets, InputStatus& status)>;

  // nullptr (with a reason) when no conversion between the formats exists
  // here: e.g. compressed to compressed, an AAC layout the encoder has no
  // configuration for, an Opus rate libopus does not take.
  static std::unique_ptr<AudioCodecConverter> make(const platform::AudioFormat& from,
                                                   const platform::AudioFormat& to, std::string* error = nullptr);
  ~AudioCodecConverter();
  AudioCodecConverter(const AudioCodecConverter&) = delete;
  AudioCodecConverter& operator=(const AudioCodecConverter&) = delete;

  const platform::AudioFormat& inputFormat() const { return from_; }
  const platform::AudioFormat& outputFormat() const { return to_; }
  bool isEncoder() const;
  bool isDecoder() const;

  // Encoders: the target bit rate, applied to the running encoder.
  int bitRate() const { return bitRate_; }
  void setBitRate(int bitRate);
  // The bit rates the encoder takes, lowest first; empty when not encoding.
  std::vector<int> applicableEncodeBitRates() const;

  // Whether fewer output than input channels are mixed down (true) or the
  // first input channels are kept (false). A channel map overrides it.
  bool downmix() const { return downmix_; }
  void setDownmix(bool downmix);

  // For each output channel the input channel feeding it (-1: silent).
  // False (unchanged) when the map does not fit the formats.
  const std::vector<int>& channelMap() const { return channelMap_; }
  bool setChannelMap(const std::vector<int>& map);

  OutputStatus convert(platform::AudioBuffer& output, const InputBlock& input, std::string* error = nullptr);

  // Forgets buffered input and output, codec state and end of stream.
  void reset();

  std::string description() const;

 private:
  struct Engine;
  struct PCMStage;
  struct PassEngine;
  struct EncodeEngine;
  struct DecodeEngine;
  AudioCodecConverter(platform::AudioFormat from, platform::AudioFormat to);

  platform::AudioFormat from_;
  platform::AudioFormat to_;
  int bitRate_ = 64000;
  bool downmix_ = true;
  std::vector<int> channelMap_;
  std::unique_ptr<Engine> engine_;
};

}  // namespace medley
