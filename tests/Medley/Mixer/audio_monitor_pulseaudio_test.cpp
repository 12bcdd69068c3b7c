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
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
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

// Starts, in seconds, of up to ten windows of 0.1 s of the capture (16-bit stereo at 48 kHz)
// where the sound plays steadily: half a second past its start, with sound in the two windows on
// either side. A loaded machine starts the recorder and the player late by a varying amount, and a
// stall of the producer, or of this whole process while the sound server plays on, leaves a gap of
// silence in the middle: the level the mix plays at is measured where it plays.
std::vector<double> steadyWindows(const std::filesystem::path& file) {
  constexpr int kFrames = 4800;
  std::vector<bool> sounding;
  std::ifstream in(file, std::ios::binary);
  std::vector<int16_t> window(2 * kFrames);
  while (in.read(reinterpret_cast<char*>(window.data()), std::streamsize(window.size() * sizeof(int16_t)))) {
    double sum = 0;
    for (int i = 0; i < kFrames; ++i) sum += double(window[2 * i]) * window[2 * i];
    sounding.push_back(std::sqrt(sum / kFrames) / 32768 > 0.1);  // the mix plays at 0.32
  }
  std::vector<double> starts;
  const auto first = std::find(sounding.begin(), sounding.end(), true) - sounding.begin();
  for (auto w = first + 5; w + 2 < int64_t(sounding.size()) && starts.size() < 10; ++w)
    if (std::all_of(sounding.begin() + w - 2, sounding.begin() + w + 3, [](bool b) { return b; }))
      starts.push_back(0.1 * double(w));
  return starts;
}

// RMS amplitude of the capture's left channel within a band (a long sinc filter, so that a band
// 80 Hz wide passes its tone whole) at `windows`: their median, or -1 with fewer than five. The
// windows' levels are added to `seen`, to tell what a failure heard.
double bandRMS(const std::filesystem::path& file, const std::string& band, const std::vector<double>& windows,
               std::string& seen) {
  const auto filtered = file.string() + ".band.raw";
  run("sox -t raw -r 48000 -e signed -b 16 -c 2 '" + file.string() + "' -t raw -e signed -b 16 '" + filtered +
      "' remix 1 sinc -n 16384 " + band);
  std::vector<double> levels;
  seen += band + " Hz:";
  for (const double at : windows) {
    const std::string stat = run("sox -t raw -r 48000 -e signed -b 16 -c 1 '" + filtered + "' -n trim " +
                                 std::to_string(at) + " 0.1 stat");
    std::smatch m;
    if (!std::regex_search(stat, m, std::regex(R"(RMS\s+amplitude:\s+(-?[0-9.]+))"))) return -1;
    levels.push_back(std::stod(m[1]));
    seen += " " + std::to_string(levels.back()) + " at " + std::to_string(at) + " s";
  }
  seen += "\n";
  if (levels.size() < 5) return -1;
  std::sort(levels.begin(), levels.end());
  return levels.size() % 2 ? levels[levels.size() / 2]
                           : (levels[levels.size() / 2 - 1] + levels[levels.size() / 2]) / 2;
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
  const auto begun = std::chrono::steady_clock::now();
  const auto deadline = begun + std::chrono::seconds(15);
  constexpr int kBlocks = 2500 * 48 / 1024;
  int b = 0;
  while (b < kBlocks && std::chrono::steady_clock::now() < deadline) {
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
  const auto played = std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count();
  const int64_t left = monitor->bufferedFrames();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  capture.stop();
  monitor->stopRunning();

  // A sine of peak a has an RMS of a / sqrt 2: 0.4 and 0.2 were mixed.
  std::string seen;
  const auto windows = steadyWindows(file);
  const double low = bandRMS(file, "400-480", windows, seen);
  const double high = bandRMS(file, "840-920", windows, seen);
  const double between = bandRMS(file, "600-700", windows, seen);
  const auto late = monitor->shortPeriods();
  // What was heard, for a failure: the capture, what the producer made and when, the windows.
  seen += std::to_string(std::filesystem::file_size(file) / 4 / 48000.0) + " s captured, " +
          std::to_string(windows.size()) + " windows of steady sound; " + std::to_string(b) + " of " +
          std::to_string(kBlocks) +
          " blocks made and played in " + std::to_string(played) + " s, " + std::to_string(left) +
          " frames left unplayed; periods the producer was late for: " + std::to_string(late);
  EXPECT_NEAR(0.4 / std::sqrt(2.0), low, 0.01) << "440 Hz\n" << seen;
  EXPECT_NEAR(0.2 / std::sqrt(2.0), high, 0.01) << "880 Hz\n" << seen;
  EXPECT_LT(between, 0.01) << "nothing between them\n" << seen;
  EXPECT_GE(between, 0) << "at least half a second of steady sound\n" << seen;
}
