#include <gtest/gtest.h>

#include <deque>

#include "Medley/Mixer/audio_mixer_test_support.h"
#include "Medley/Sources/Mixer/AudioMonitor.h"
#include "Medley/Sources/Mixer/MediaMixer.h"
#include "Medley/Util/virtual_run.h"

using medley::AudioMonitor;
using mixertest::AudioFormat;
using mixertest::CommonFormat;

namespace {

const AudioFormat kStereo(CommonFormat::float32, 48000, 2, true);

// An output that plays only when the test says so.
class ManualUnit final : public platform::AudioPlayerUnit {
 public:
  void connect(const AudioFormat& format) override { format_ = format; }
  void disconnect() override {
    ++disconnects;
    format_.reset();
    drop();
  }
  bool isConnected() const override { return format_.has_value(); }
  std::optional<AudioFormat> format() const override { return format_; }
  void scheduleBuffer(std::shared_ptr<const platform::PCMBuffer> buffer, Completion completion) override {
    queue.push_back({std::move(buffer), std::move(completion)});
  }
  void play() override { playing = true; }
  void stop() override {
    playing = false;
    drop();
  }
  bool isPlaying() const override { return playing; }
  std::optional<int64_t> playedFrames() const override { return std::nullopt; }
  void setVolume(float) override {}
  void setPan(float) override {}

  // Plays the oldest queued buffer: its samples (channel 0), then its completion.
  std::vector<float> playOne() {
    auto [buffer, completion] = std::move(queue.front());
    queue.pop_front();
    std::vector<float> samples;
    for (uint32_t f = 0; f < buffer->frameLength(); ++f) samples.push_back(buffer->floatChannelData()[0][f * 2]);
    completion();
    return samples;
  }
  void drop() {
    auto dropped = std::move(queue);
    queue.clear();
    for (auto& [b, c] : dropped) c();
  }

  std::deque<std::pair<std::shared_ptr<const platform::PCMBuffer>, Completion>> queue;
  bool playing = false;
  int disconnects = 0;
  std::optional<AudioFormat> format_;
};

class ManualOutput final : public platform::AudioOutput {
 public:
  std::shared_ptr<platform::AudioPlayerUnit> makePlayerUnit() override {
    units.push_back(std::make_shared<ManualUnit>());
    return units.back();
  }
  std::string description() const override { return "manual"; }
  std::vector<std::shared_ptr<ManualUnit>> units;
};

}  // namespace

TEST(AudioMonitorTest, RunsWithoutAFormatButMakesNoUnit) {
  auto output = std::make_shared<ManualOutput>();
  auto monitor = std::make_shared<AudioMonitor>(output);
  monitor->startRunning();
  EXPECT_TRUE(monitor->isRunning());
  EXPECT_TRUE(output->units.empty());
  monitor->stopRunning();
  EXPECT_FALSE(monitor->isRunning());

  // Without an output at all it runs silently too.
  auto silent = std::make_shared<AudioMonitor>(nullptr);
  silent->setInputFormat(kStereo);
  silent->startRunning();
  EXPECT_TRUE(silent->isRunning());
}

TEST(AudioMonitorTest, PlaysTheRingAtTheOutputsPaceAndSilenceWhenItRunsDry) {
  auto output = std::make_shared<ManualOutput>();
  auto monitor = std::make_shared<AudioMonitor>(output);
  monitor->setInputFormat(kStereo);
  ASSERT_TRUE(monitor->hasRingBuffer());
  monitor->startRunning();
  monitor->startRunning();
  ASSERT_EQ(1u, output->units.size());  // starting twice makes one unit
  auto& unit = *output->units.front();
  EXPECT_TRUE(unit.playing);
  ASSERT_EQ(size_t{AudioMonitor::kPeriodsInFlight}, unit.queue.size());

  // The periods queued before any sound arrived are silence.
  EXPECT_EQ(std::vector<float>(AudioMonitor::kFramesPerPeriod, 0.0f), unit.playOne());

  auto sound = mixertest::tone(kStereo, 440, 0.5, 0, 2048);
  monitor->append(*sound, platform::AudioTime::withSampleTime(100, 48000));
  EXPECT_EQ(2048, monitor->bufferedFrames());
  // Each played period pulls the next from the ring: what was queued before
  // the sound came plays first, then the sound, then silence, never older
  // sound again.
  for (int i = 0; i < AudioMonitor::kPeriodsInFlight; ++i) EXPECT_EQ(0.0f, mixertest::peakOf(unit.playOne()));
  const auto first = unit.playOne();
  EXPECT_FLOAT_EQ(sound->floatChannelData()[0][2 * 10], first[10]);
  EXPECT_FLOAT_EQ(sound->floatChannelData()[0][2 * 970], unit.playOne()[10]);
  const auto last = unit.playOne();
  EXPECT_FLOAT_EQ(sound->floatChannelData()[0][2 * 1930], last[10]);
  EXPECT_EQ(0.0f, mixertest::peakOf(std::vector<float>(last.begin() + 128, last.end())));
  std::vector<float> after;
  for (int i = 0; i < AudioMonitor::kPeriodsInFlight; ++i) after = unit.playOne();
  EXPECT_EQ(0.0f, mixertest::peakOf(after));
  EXPECT_EQ(0, monitor->bufferedFrames());

  // Sound in another format is not taken.
  monitor->append(*mixertest::tone(AudioFormat(CommonFormat::int16, 48000, 2, true), 440, 0.5, 0, 512),
                  platform::AudioTime::withSampleTime(5000, 48000));
  EXPECT_EQ(0, monitor->bufferedFrames());

  monitor->stopRunning();
  monitor->stopRunning();
  EXPECT_EQ(1, unit.disconnects);  // stopping twice disposes once
  EXPECT_TRUE(unit.queue.empty());  // the dropped periods asked for no more
}

TEST(AudioMonitorTest, TheMixersMonitorPlaysWhatIsMixedInTheMixersFormat) {
  auto rt = platform::VirtualRuntime::make();
  auto output = std::make_shared<ManualOutput>();
  auto mixer = std::make_shared<medley::MediaMixer>(medley::MediaMixer::CaptureSessionMode::manual, false, rt,
                                                    nullptr, output);
  medleytest::runNow(rt, mixer->startRunning());
  medleytest::runNow(rt, mixer->setMonitoringEnabled(true));
  for (int i = 0; i < 4; ++i) {
    mixer->append(mixertest::tone(kStereo, 440, 0.5, i * 1024, 1024),
                  platform::AudioTime::withSampleTime(i * 1024, 48000));
  }
  rt->runUntilIdle();
  ASSERT_FALSE(output->units.empty());
  auto& unit = *output->units.back();
  ASSERT_TRUE(unit.format_);
  EXPECT_EQ(unit.format_->sampleRate(), 48000);
  EXPECT_TRUE(unit.playing);
  float peak = 0;
  for (int i = 0; i < 2 * AudioMonitor::kPeriodsInFlight && !unit.queue.empty(); ++i) {
    peak = std::max(peak, mixertest::peakOf(unit.playOne()));
  }
  EXPECT_GT(peak, 0.25f);

  medleytest::runNow(rt, mixer->setMonitoringEnabled(false));
  EXPECT_FALSE(unit.playing);
  medleytest::runNow(rt, mixer->stopRunning());
}
