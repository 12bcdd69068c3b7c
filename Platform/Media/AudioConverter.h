#pragma once
// Converts linear PCM from one format to another: sample type, packing,
// channels (through a channel map) and sample rate. Rate conversion keeps its
// filter state across calls, so consecutive buffers join without clicks; the
// filter delays the output by a few dozen frames.
//
// Pull model: convert() fills the output buffer by calling the input block
// for as many input packets (frames) as it wants; the block answers with a
// buffer and haveData, with noDataNow (try again later) or endOfStream (the
// converter then drains its delayed frames). One owner at a time; not thread-safe.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Platform/Media/AudioFormat.h"
#include "Platform/Media/PCMBuffer.h"

namespace platform {

class AudioConverter {
 public:
  enum class InputStatus { haveData, noDataNow, endOfStream };
  enum class OutputStatus { haveData, inputRanDry, endOfStream, error };
  static const char* describe(OutputStatus s);

  // packetsWanted is a hint: the block may hand over more or fewer frames.
  using InputBlock = std::function<PCMBufferRef(uint32_t packetsWanted, InputStatus& status)>;

  // nullptr (and a reason in `error`) for formats it cannot convert: non-PCM,
  // big-endian or odd sample types, invalid rates or channel counts.
  static std::unique_ptr<AudioConverter> make(const AudioFormat& from, const AudioFormat& to,
                                              std::string* error = nullptr);
  ~AudioConverter();

  const AudioFormat& inputFormat() const { return from_; }
  const AudioFormat& outputFormat() const { return to_; }

  // Output channel i takes input channel map[i]; -1 makes it silent. The map
  // has one entry per output channel; false (map unchanged) otherwise or for an
  // input channel out of range. Without a map, output channel i takes input
  // channel i (a mono input feeds every output channel; missing inputs are silent).
  bool setChannelMap(const std::vector<int>& map);
  const std::vector<int>& channelMap() const { return map_; }

  // With fewer output than input channels and no map set, mix all input
  // channels down (standard surround-to-stereo and stereo-to-mono weights)
  // instead of dropping the extra ones. Off by default.
  void setDownmix(bool downmix);
  bool downmix() const { return downmix_; }

  // Fills `output` (from frame 0, up to its capacity) and sets its frameLength.
  // haveData: the buffer is full, or end of stream was reached after some frames;
  // inputRanDry: the block said noDataNow first (the buffer holds what could be made);
  // endOfStream: nothing more will come until reset();
  // error: bad output or input buffer (reason in `error`); frameLength is then 0.
  OutputStatus convert(PCMBuffer& output, const InputBlock& input, std::string* error = nullptr);

  // One buffer to another at the same sample rate, frame for frame; false
  // (with a reason) for differing rates, wrong formats or too small an output.
  bool convert(PCMBuffer& output, const PCMBuffer& input, std::string* error = nullptr);

  // Forgets buffered frames, the filter state and end of stream.
  void reset();

  // Frames the rate converter is holding back, at the output rate.
  int64_t delayFrames() const;

 private:
  struct State;
  AudioConverter(const AudioFormat& from, const AudioFormat& to);
  bool rebuild(std::string* error);

  AudioFormat from_;
  AudioFormat to_;
  std::vector<int> map_;
  bool mapSet_ = false;
  bool downmix_ = false;
  std::unique_ptr<State> state_;
};

}  // namespace platform
