// Mixes four raw stereo 48 kHz files with the multi-track mixer, for
// audio_mix_compare.py: the first two 32-bit float, the other two 16-bit
// integer (converted on the way), all interleaved, track 0 the main one. The
// mix is discarded; its peak is printed so that none of it can be skipped.
// Files are read in appends of 8192 frames, the other tracks before the main one.
//   audio_mix_files a.f32 b.f32 c.s16 d.s16
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <vector>

#include "Medley/Sources/Mixer/AudioMixerByMultiTrack.h"
#include "Platform/Dispatch/RuntimeExit.h"
#include "Platform/Media/PCMBuffer.h"

namespace {

using platform::AudioFormat;
using platform::CommonFormat;

class Peak final : public medley::AudioMixerDelegate {
 public:
  void audioMixerDidOutput(medley::AudioMixer&, const platform::PCMBuffer& buffer,
                           const platform::AudioTime&) override {
    const float* s = buffer.floatChannelData()[0];
    for (size_t i = 0; i < size_t{buffer.frameLength()} * 2; ++i) peak = std::max(peak, std::fabs(s[i]));
    frames += buffer.frameLength();
  }
  float peak = 0;
  int64_t frames = 0;
};

}  // namespace

int main(int argc, char** argv) {
  // The runtime's workers stop before the static objects go.
  platform::RuntimeStopAtReturn stopRuntime;
  if (argc != 5) {
    std::fprintf(stderr, "usage: %s a.f32 b.f32 c.s16 d.s16\n", argv[0]);
    return 2;
  }
  const AudioFormat formats[] = {
      AudioFormat(CommonFormat::float32, 48000, 2, true), AudioFormat(CommonFormat::float32, 48000, 2, true),
      AudioFormat(CommonFormat::int16, 48000, 2, true), AudioFormat(CommonFormat::int16, 48000, 2, true)};
  constexpr uint32_t kChunk = 8192;
  int files[4];
  platform::PCMBufferRef chunks[4];
  for (int t = 0; t < 4; ++t) {
    files[t] = ::open(argv[t + 1], O_RDONLY);
    chunks[t] = platform::PCMBuffer::make(formats[t], kChunk);
    if (files[t] < 0) {
      std::fprintf(stderr, "cannot read %s\n", argv[t + 1]);
      return 1;
    }
  }
  auto peak = std::make_shared<Peak>();
  medley::AudioMixerByMultiTrack mixer;
  mixer.setDelegate(peak);
  int64_t at = 1;
  for (;;) {
    bool all = true;
    for (int t = 0; t < 4; ++t) {
      const size_t frameBytes = formats[t].bytesPerFrame();
      auto* data = reinterpret_cast<char*>(chunks[t]->rawChannelData()[0]);
      size_t got = 0;
      while (got < kChunk * frameBytes) {
        const ssize_t n = ::read(files[t], data + got, kChunk * frameBytes - got);
        if (n <= 0) break;
        got += static_cast<size_t>(n);
      }
      chunks[t]->setFrameLength(static_cast<uint32_t>(got / frameBytes));
      all = all && got == kChunk * frameBytes;
    }
    if (!all) break;
    for (int t = 3; t >= 0; --t)
      mixer.append(static_cast<uint8_t>(t), *chunks[t], platform::AudioTime::withSampleTime(at, 48000));
    at += kChunk;
  }
  std::printf("mixed %.1f s, peak %.3f\n", static_cast<double>(peak->frames) / 48000, peak->peak);
  return 0;
}
