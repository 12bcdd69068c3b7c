// The monitor on a real sound server started for the test: two tones are
// mixed, played into a null sink, captured from its monitor with parec and
// measured with sox, band by band.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <thread>
#include <vector>

#include "Medley/Mixer/audio_mixer_test_support.h"
#include "Medley/Sources/Mixer/AudioMixerByMultiTrack.h"
#include "Medley/Sources/Mixer/AudioMonitor.h"
#include "Platform/Audio/PulseAudioOutput.h"
#include "peers/PulseAudioPeer.h"

extern char** environ;

namespace {

using mixertest::AudioFormat;
using mixertest::CommonFormat;

using Capture = qztest::MonitorCapture;
using qztest::run;

// Seconds into the capture (16-bit stereo at 48 kHz) where the sound begins: a loaded machine
// starts the recorder and the player late by a varying amount.
double soundStart(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  int16_t frame[2];
  for (int64_t n = 0; in.read(reinterpret_cast<char*>(frame), sizeof frame); ++n)
    if (std::abs(frame[0]) > 1000) return double(n) / 48000;
  return 0;
}

// RMS amplitude of the capture's left channel within a band (a long sinc filter, so that a band
// 80 Hz wide passes its tone whole), the median of ten windows of 0.1 s over the sound's second
// half second to its second and a half: a gap the sound server's or the producer's late wake-up
// left in the sound lowers a window or two, not the level the mix plays at.
double bandRMS(const std::filesystem::path& file, const std::string& band) {
  const auto filtered = file.string() + ".band.raw";
  run("sox -t raw -r 48000 -e signed -b 16 -c 2 '" + file.string() + "' -t raw -e signed -b 16 '" + filtered +
      "' remix 1 sinc -n 16384 " + band);
  const double from = soundStart(file) + 0.5;
  std::vector<double> windows;
  for (int w = 0; w < 10; ++w) {
    const std::string stat = run("sox -t raw -r 48000 -e signed -b 16 -c 1 '" + filtered + "' -n trim " +
                                 std::to_string(from + 0.1 * w) + " 0.1 stat");
    std::smatch m;
    if (!std::regex_search(stat, m, std::regex(R"(RMS\s+amplitude:\s+(-?[0-9.]+))"))) return -1;
    windows.push_back(std::stod(m[1]));
  }
  std::sort(windows.begin(), windows.end());
  return (windows[4] + windows[5]) / 2;
}

// Hands each mixed block to the monitor, as the capture unit does.
class ToMonitor final : public medley::AudioMixerDelegate {
 public:
  explicit ToMonitor(std::shared_ptr<medley::AudioMonitor> monitor) : monitor_(std::move(monitor)) {}
  void audioMixerDidOutput(medley::AudioMixer& mixer, const platform::PCMBuffer& buffer,
                           const platform::AudioTime& when) override {
    if (!monitor_->inputFormat()) {
      monitor_->setInputFormat(buffer.format());
      monitor_->startRunning();
    }
    monitor_->append(buffer, when);
  }

 private:
  std::shared_ptr<medley::AudioMonitor> monitor_;
};

}  // namespace

TEST(AudioMonitorOnASoundServer, BothMixedTonesAreHeard) {
  qztest::PulseAudioPeer peer;
  QZ_SKIP_UNLESS_PULSEAUDIO(peer);
  auto context = platform::PulseAudioContext::connect({.server = peer.server()});
  auto output = std::make_shared<platform::PulseAudioOutput>(context, platform::Runtime::shared(), peer.sink());
  auto monitor = std::make_shared<medley::AudioMonitor>(output);
  auto toMonitor = std::make_shared<ToMonitor>(monitor);

  medley::AudioMixerByMultiTrack mixer;
  mixer.setDelegate(toMonitor);
  medley::AudioMixerSettings settings;
  settings.tracks[0].volume = 0.8f;
  settings.tracks[1].volume = 0.4f;
  mixer.setSettings(settings);

  const auto file = peer.dir() / "capture.raw";
  Capture capture(peer, file);
  ASSERT_TRUE(capture.ok());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // parec connected and recording

  // 2.5 s of mix, made as fast as the monitor plays it: a real output sets the pace. A quarter
  // second is kept ahead, most of the ring, so that a loaded machine's late wake-ups of this
  // loop do not leave the output short (a gap of silence would lower the levels measured).
  const AudioFormat stereo(CommonFormat::float32, 48000, 2, true);
  const AudioFormat cd(CommonFormat::int16, 44100, 2, true);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  for (int b = 0; b < 2500 * 48 / 1024 && std::chrono::steady_clock::now() < deadline;) {
    if (monitor->bufferedFrames() > 12000) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      continue;
    }
    const int64_t at = int64_t{b} * 1024;
    mixer.append(1, *mixertest::tone(cd, 880, 0.5, int64_t{b} * 941, 941),
                 platform::AudioTime::withSampleTime(1 + int64_t{b} * 941, 44100));
    mixer.append(0, *mixertest::tone(stereo, 440, 0.5, at, 1024), platform::AudioTime::withSampleTime(1 + at, 48000));
    ++b;
  }
  while (monitor->bufferedFrames() > 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  capture.stop();
  monitor->stopRunning();

  // A sine of peak a has an RMS of a / sqrt 2: 0.4 and 0.2 were mixed.
  const double low = bandRMS(file, "400-480");
  const double high = bandRMS(file, "840-920");
  const double between = bandRMS(file, "600-700");
  const auto late = monitor->shortPeriods();
  EXPECT_NEAR(0.4 / std::sqrt(2.0), low, 0.01) << "440 Hz; periods the producer was late for: " << late;
  EXPECT_NEAR(0.2 / std::sqrt(2.0), high, 0.01) << "880 Hz; periods the producer was late for: " << late;
  EXPECT_LT(between, 0.01) << "nothing between them";
}
