#include <gtest/gtest.h>

#include "Medley/Sources/Mixer/AudioNode.h"

using medley::AudioNode;
using medley::MixerNode;
using medley::OutputNode;
using platform::AudioFormat;
using platform::CommonFormat;
using Scope = AudioNode::BusScope;

namespace {

const AudioFormat kStereo(CommonFormat::float32, 48000, 2, false);

// Fills every sample with the bus number plus the render's sample time.
int32_t counting(void*, uint32_t bus, uint32_t frames, int64_t sampleTime, platform::PCMBuffer& io) {
  for (uint32_t c = 0; c < io.bufferCount(); ++c)
    for (uint32_t f = 0; f < frames; ++f) io.floatChannelData()[c][f] = static_cast<float>(bus) * 0.1f;
  return sampleTime < 0 ? -1 : AudioNode::kNoErr;
}

int32_t untouched(void*, uint32_t, uint32_t, int64_t, platform::PCMBuffer&) { return AudioNode::kNoErr; }

}  // namespace

TEST(AudioNodeTest, BusesFormatsAndConnections) {
  MixerNode mixer(kStereo);
  mixer.setBusCount(3, Scope::input);
  EXPECT_EQ(3u, mixer.busCount(Scope::input));
  EXPECT_EQ(1u, mixer.busCount(Scope::output));
  EXPECT_THROW(mixer.setBusCount(257, Scope::input), AudioNode::Error);
  EXPECT_THROW(mixer.setEnabled(3, true), AudioNode::Error);
  try {
    mixer.setStreamFormat(Scope::input, 5, kStereo);
    FAIL();
  } catch (const AudioNode::Error& e) {
    EXPECT_EQ(AudioNode::Error::Kind::unableToUpdateBus, e.kind);
    EXPECT_EQ(AudioNode::kInvalidElement, e.status);
  }
  // An enabled bus in another format cannot be summed.
  mixer.setEnabled(1, true);
  mixer.setStreamFormat(Scope::input, 1, AudioFormat(CommonFormat::int16, 48000, 2, false));
  try {
    mixer.initialize();
    FAIL();
  } catch (const AudioNode::Error& e) {
    EXPECT_EQ(AudioNode::Error::Kind::unableToInitializeAudioUnit, e.kind);
  }
  OutputNode output(kStereo);
  EXPECT_THROW(mixer.connect(output, 1, 0), AudioNode::Error);
  EXPECT_THROW(output.render(16, 0), OutputNode::Error);  // not initialised
}

TEST(AudioNodeTest, OutputRendersTheSumIntoItsOneBuffer) {
  MixerNode mixer(kStereo);
  mixer.setBusCount(3, Scope::input);
  for (uint32_t bus : {1u, 2u}) {
    mixer.setEnabled(bus, true);
    mixer.setStreamFormat(Scope::input, bus, kStereo);
    mixer.setRenderCallback(bus, &counting, nullptr);
  }
  mixer.setVolume(Scope::input, 2, 0.5f);
  OutputNode output(kStereo);
  mixer.connect(output, 0, 0);
  mixer.initialize();
  output.initialize();

  auto& first = output.render(256, 0);
  EXPECT_EQ(256u, first.frameLength());
  EXPECT_FLOAT_EQ(0.1f + 0.5f * 0.2f, first.floatChannelData()[1][255]);
  mixer.setVolume(Scope::output, 0, 2.0f);
  auto& second = output.render(128, 256);
  EXPECT_EQ(&first, &second);
  EXPECT_EQ(128u, second.frameLength());
  EXPECT_FLOAT_EQ(0.4f, second.floatChannelData()[0][0]);
  EXPECT_THROW(output.render(1025, 0), OutputNode::Error);
  // A failing bus is left out of the sum.
  EXPECT_FLOAT_EQ(0.0f, output.render(8, -5).floatChannelData()[0][0]);
}

TEST(AudioNodeTest, ABusThatWritesNothingAddsSilence) {
  MixerNode mixer(kStereo);
  mixer.setBusCount(2, Scope::input);
  mixer.setEnabled(0, true);
  mixer.setEnabled(1, true);
  mixer.setStreamFormat(Scope::input, 1, kStereo);
  mixer.setRenderCallback(0, &counting, nullptr);
  mixer.setRenderCallback(1, &untouched, nullptr);
  OutputNode output(kStereo);
  mixer.connect(output, 0, 0);
  mixer.initialize();
  output.initialize();
  // Bus 0 writes 0; bus 1 writes nothing and must not repeat what bus 0 left behind.
  EXPECT_FLOAT_EQ(0.0f, output.render(64, 0).floatChannelData()[0][10]);
}
