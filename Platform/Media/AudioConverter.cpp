#include "Platform/Media/AudioConverter.h"

#include "Platform/Media/FFmpegBridge.h"

#include <cmath>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}

namespace platform {
namespace {

constexpr uint32_t kMaxChannels = 64;

// Rates the resampler takes: whole numbers of hertz.
bool integralRate(double rate) { return rate >= 1 && rate <= 1e7 && std::floor(rate) == rate; }

std::string why(const char* what, int err) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(err, buf, sizeof buf);
  return std::string(what) + ": " + buf;
}

void setError(std::string* error, std::string text) {
  if (error) *error = std::move(text);
}

std::string unsupported(const char* side, const AudioFormat& f) {
  return std::string("cannot convert ") + side + " format " + f.description() +
         ": only native-endian Float32, Float64, Int16 or Int32 PCM with 1 to 64 channels at a whole-hertz rate";
}

}  // namespace

struct AudioConverter::State {
  SwrContext* swr = nullptr;
  bool endOfStream = false;
  ~State() { swr_free(&swr); }
};

const char* AudioConverter::describe(OutputStatus s) {
  switch (s) {
    case OutputStatus::haveData: return "haveData";
    case OutputStatus::inputRanDry: return "inputRanDry";
    case OutputStatus::endOfStream: return "endOfStream";
    case OutputStatus::error: return "error";
  }
  return "?";
}

AudioConverter::AudioConverter(const AudioFormat& from, const AudioFormat& to)
    : from_(from), to_(to), state_(std::make_unique<State>()) {}

AudioConverter::~AudioConverter() = default;

std::unique_ptr<AudioConverter> AudioConverter::make(const AudioFormat& from, const AudioFormat& to,
                                                     std::string* error) {
  auto usable = [](const AudioFormat& f) {
    return f.isValid() && f.isPCM() && ffmpeg::avSampleFormat(f) != AV_SAMPLE_FMT_NONE && integralRate(f.sampleRate()) &&
           f.channelCount() <= kMaxChannels;
  };
  if (!usable(from)) {
    setError(error, unsupported("input", from));
    return nullptr;
  }
  if (!usable(to)) {
    setError(error, unsupported("output", to));
    return nullptr;
  }
  std::unique_ptr<AudioConverter> c(new AudioConverter(from, to));
  const uint32_t in = from.channelCount();
  for (uint32_t o = 0; o < to.channelCount(); ++o)
    c->map_.push_back(o < in ? static_cast<int>(o) : (in == 1 ? 0 : -1));
  if (!c->rebuild(error)) return nullptr;
  return c;
}

bool AudioConverter::rebuild(std::string* error) {
  swr_free(&state_->swr);
  state_->endOfStream = false;
  AVChannelLayout inLayout, outLayout;
  av_channel_layout_default(&inLayout, static_cast<int>(from_.channelCount()));
  av_channel_layout_default(&outLayout, static_cast<int>(to_.channelCount()));
  int err = swr_alloc_set_opts2(&state_->swr, &outLayout, ffmpeg::avSampleFormat(to_), static_cast<int>(to_.sampleRate()),
                                &inLayout, ffmpeg::avSampleFormat(from_), static_cast<int>(from_.sampleRate()), 0, nullptr);
  av_channel_layout_uninit(&inLayout);
  av_channel_layout_uninit(&outLayout);
  if (err < 0 || !state_->swr) {
    setError(error, why("cannot allocate the resampler", err));
    return false;
  }
  // The channel map as a mixing matrix of ones and zeros, so that mapping,
  // silencing and duplicating channels happen inside the one conversion pass.
  const size_t nIn = from_.channelCount();
  std::vector<double> matrix(nIn * to_.channelCount(), 0.0);
  for (size_t o = 0; o < map_.size(); ++o)
    if (map_[o] >= 0) matrix[static_cast<size_t>(map_[o]) + nIn * o] = 1.0;
  const bool mixDown = downmix_ && !mapSet_ && to_.channelCount() < from_.channelCount();
  err = mixDown ? 0 : swr_set_matrix(state_->swr, matrix.data(), static_cast<int>(nIn));
  if (err >= 0) err = swr_init(state_->swr);
  if (err < 0) {
    swr_free(&state_->swr);
    setError(error, why("cannot set up the resampler", err));
    return false;
  }
  return true;
}

bool AudioConverter::setChannelMap(const std::vector<int>& map) {
  if (map.size() != to_.channelCount()) return false;
  for (int m : map)
    if (m < -1 || m >= static_cast<int>(from_.channelCount())) return false;
  std::vector<int> previous = std::move(map_);
  const bool previousSet = mapSet_;
  map_ = map;
  mapSet_ = true;
  if (!rebuild(nullptr)) {
    map_ = std::move(previous);
    mapSet_ = previousSet;
    rebuild(nullptr);
    return false;
  }
  return true;
}

void AudioConverter::setDownmix(bool downmix) {
  if (downmix == downmix_) return;
  downmix_ = downmix;
  if (!mapSet_ && to_.channelCount() < from_.channelCount()) rebuild(nullptr);
}

void AudioConverter::reset() {
  if (!rebuild(nullptr)) state_->endOfStream = true;  // not reached with formats make() accepted
}

int64_t AudioConverter::delayFrames() const {
  return state_->swr ? swr_get_delay(state_->swr, static_cast<int64_t>(to_.sampleRate())) : 0;
}

namespace {

struct OutCursor {
  PCMBuffer& buffer;
  uint8_t* pointers[kMaxChannels];
  uint8_t** at(uint32_t frame) {
    const size_t offset = size_t{frame} * buffer.bytesPerFrameInBuffer();
    for (uint32_t i = 0; i < buffer.bufferCount(); ++i) pointers[i] = buffer.rawChannelData()[i] + offset;
    return pointers;
  }
};

}  // namespace

AudioConverter::OutputStatus AudioConverter::convert(PCMBuffer& output, const InputBlock& input, std::string* error) {
  output.setFrameLength(0);
  if (!(output.format().streamDescription() == to_.streamDescription())) {
    setError(error, "output buffer format " + output.format().description() + " is not the converter's " +
                        to_.description());
    return OutputStatus::error;
  }
  if (output.frameCapacity() == 0) {
    setError(error, "output buffer has no capacity");
    return OutputStatus::error;
  }
  if (!state_->swr) {
    setError(error, "converter is not set up");
    return OutputStatus::error;
  }
  SwrContext* swr = state_->swr;
  const uint32_t capacity = output.frameCapacity();
  uint32_t produced = 0;
  OutCursor out{output, {}};

  // Delayed frames that the end of the stream released, until none are left.
  auto drain = [&]() -> OutputStatus {
    while (produced < capacity) {
      const int n = swr_convert(swr, out.at(produced), static_cast<int>(capacity - produced), nullptr, 0);
      if (n <= 0) break;
      produced += static_cast<uint32_t>(n);
    }
    output.setFrameLength(produced);
    return produced > 0 ? OutputStatus::haveData : OutputStatus::endOfStream;
  };

  if (state_->endOfStream) return drain();

  const uint8_t* noInput[kMaxChannels] = {};  // one (null) pointer per possible input plane
  while (produced < capacity) {
    // What the resampler holds already, without feeding it.
    int n = swr_convert(swr, out.at(produced), static_cast<int>(capacity - produced), noInput, 0);
    if (n < 0) {
      setError(error, why("conversion failed", n));
      return OutputStatus::error;
    }
    produced += static_cast<uint32_t>(n);
    if (produced >= capacity) break;

    const double wanted = std::ceil((capacity - produced) * from_.sampleRate() / to_.sampleRate());
    InputStatus status = InputStatus::haveData;
    PCMBufferRef in = input(static_cast<uint32_t>(std::max(1.0, wanted)), status);
    if (status == InputStatus::noDataNow) {
      output.setFrameLength(produced);
      return OutputStatus::inputRanDry;
    }
    if (status == InputStatus::endOfStream) {
      state_->endOfStream = true;
      return drain();
    }
    if (!in || !(in->format().streamDescription() == from_.streamDescription())) {
      output.setFrameLength(0);
      setError(error, in ? "input buffer format " + in->format().description() + " is not the converter's " +
                               from_.description()
                         : std::string("input block said haveData but gave no buffer"));
      return OutputStatus::error;
    }
    if (in->frameLength() == 0) {
      // No progress is possible with empty buffers; give the caller its turn.
      output.setFrameLength(produced);
      return OutputStatus::inputRanDry;
    }
    n = swr_convert(swr, out.at(produced), static_cast<int>(capacity - produced),
                    const_cast<const uint8_t**>(in->rawChannelData()), static_cast<int>(in->frameLength()));
    if (n < 0) {
      output.setFrameLength(0);
      setError(error, why("conversion failed", n));
      return OutputStatus::error;
    }
    produced += static_cast<uint32_t>(n);
  }
  output.setFrameLength(produced);
  return OutputStatus::haveData;
}

bool AudioConverter::convert(PCMBuffer& output, const PCMBuffer& input, std::string* error) {
  output.setFrameLength(0);
  if (from_.sampleRate() != to_.sampleRate()) {
    setError(error, "buffer-to-buffer conversion needs equal sample rates; use the input-block form");
    return false;
  }
  if (!(input.format().streamDescription() == from_.streamDescription()) ||
      !(output.format().streamDescription() == to_.streamDescription())) {
    setError(error, "buffer formats do not match the converter's");
    return false;
  }
  if (output.frameCapacity() < input.frameLength()) {
    setError(error, "output buffer holds " + std::to_string(output.frameCapacity()) + " frames, input has " +
                        std::to_string(input.frameLength()));
    return false;
  }
  if (input.frameLength() == 0) return true;
  OutCursor out{output, {}};
  const int n = swr_convert(state_->swr, out.at(0), static_cast<int>(output.frameCapacity()),
                            const_cast<const uint8_t**>(input.rawChannelData()),
                            static_cast<int>(input.frameLength()));
  if (n < 0) {
    setError(error, why("conversion failed", n));
    return false;
  }
  output.setFrameLength(static_cast<uint32_t>(n));
  return true;
}

}  // namespace platform
