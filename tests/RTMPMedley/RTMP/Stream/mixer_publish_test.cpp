// A microphone and a camera captured through the media mixer into an
// RTMPStream publishing to nginx on loopback: the sound server's sine source,
// a synthetic camera on its own thread, the mixer's capture units in
// passthrough, and the recording read back by ffprobe and ffmpeg.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <fstream>
#include <numbers>
#include <thread>

#include "Medley/Sources/Mixer/MediaMixer.h"
#include "Platform/Audio/PulseAudioCapture.h"
#include "RTMPMedley/RTMP/PeerTestSupport.h"
#include "StreamTestSupport.h"
#include "TestPaths.h"
#include "peers/PeerProcess.h"
#include "peers/PulseAudioPeer.h"

using namespace rtmptest;
using namespace rtmpmedley;
using platform::blockingWait;

namespace {

// A camera whose pictures (a moving bar on grey) come from a thread of its own at 30 fps, stamped on the host clock.
class SyntheticCamera final : public platform::VideoCaptureDevice {
 public:
  SyntheticCamera() { info_.uniqueID = "synthetic:0"; }
  ~SyntheticCamera() override { stopStreaming(); }
  const platform::VideoCaptureDeviceInfo& info() const override { return info_; }
  void open() override {}
  std::vector<platform::VideoCaptureFormat> formats() const override {
    return {{platform::v4l2FourCC("NV12"), 640, 360, false, {platform::FrameRateRange::fixed({1, 30})}}};
  }
  std::optional<size_t> activeFormatIndex() const override { return 0; }
  platform::FrameDuration activeMinFrameDuration() const override { return {1, 30}; }
  void configure(size_t, std::optional<platform::FrameDuration>) override {}
  void startStreaming(FrameHandler onFrame, EventHandler) override {
    stopStreaming();
    running_ = true;
    thread_ = std::thread([this, onFrame = std::move(onFrame)] {
      for (int n = 0; running_; ++n) {
        auto picture = platform::PixelBuffer::make(640, 360, platform::PixelFormat::nv12VideoRange);
        const auto y = picture->plane(0), uv = picture->plane(1);
        for (int r = 0; r < y.height; ++r) {
          std::memset(y.data + r * y.bytesPerRow, 120, y.width);
          std::memset(y.data + r * y.bytesPerRow + (n * 8) % 600, 235, 40);
        }
        for (int r = 0; r < uv.height; ++r) std::memset(uv.data + r * uv.bytesPerRow, 128, uv.bytesPerRow);
        onFrame(std::move(picture), platform::MediaTime::fromNanos(platform::monotonicNow()));
        std::this_thread::sleep_for(std::chrono::microseconds(33333));
      }
    });
  }
  void stopStreaming() override {
    running_ = false;
    if (thread_.joinable()) thread_.join();
  }
  void close() override { stopStreaming(); }

 private:
  platform::VideoCaptureDeviceInfo info_;
  std::atomic<bool> running_{false};
  std::thread thread_;
};

// Strength of `hz` in mono 16-bit samples (Goertzel), relative to full scale.
double strengthAt(const std::vector<int16_t>& samples, double hz, double rate) {
  const double w = 2 * std::numbers::pi * hz / rate, c = 2 * std::cos(w);
  double s1 = 0, s2 = 0;
  for (int16_t v : samples) {
    const double s = v / 32768.0 + c * s1 - s2;
    s2 = s1;
    s1 = s;
  }
  return std::sqrt(s1 * s1 + s2 * s2 - c * s1 * s2) * 2 / static_cast<double>(samples.size());
}

}  // namespace

TEST(MediaMixerPublishTest, ASineMicrophoneAndASyntheticCameraReachNginxAsH264AndAacWithTheTone) {
  qztest::PulseAudioPeer sound{{"module-sine-source source_name=qz_mixer_sine rate=48000 frequency=440"}};
  QZ_SKIP_UNLESS_PULSEAUDIO(sound);
  PeerProcess nginx("nginx-rtmp.sh", peerDirectory("mixer-nginx"));
  ASSERT_TRUE(nginx.ok()) << nginx.output();
  auto rt = std::make_shared<platform::ThreadRuntime>(4);
  auto wait = [&](auto work) { return blockingWait(std::move(work), rt->globalQueue()); };

  auto connection = RTMPConnection::make(rt);
  auto stream = RTMPStream::make(connection);
  wait(connection->connect(loopbackURL(nginx.port())));
  medley::VideoCodecSettings video;
  video.videoSize = {640, 360};
  video.expectedFrameRate = 30;
  wait(stream->setVideoSettings(video));
  medley::AudioCodecSettings audio;
  audio.sampleRate = 48000;
  wait(stream->setAudioSettings(audio));
  wait(stream->publish("mixed", RTMPStream::HowToPublish::live));

  platform::PulseAudioContext::Options options;
  options.server = sound.server();
  auto microphone = std::make_shared<platform::PulseAudioCapture>(platform::PulseAudioContext::connect(options));
  auto mixer = std::make_shared<medley::MediaMixer>(medley::MediaMixer::CaptureSessionMode::single, false, rt);
  wait(mixer->addOutput(stream));
  wait(mixer->attachVideo(std::make_shared<SyntheticCamera>(), 0));
  wait(mixer->attachAudio(microphone, "qz_mixer_sine", 0));
  wait(mixer->startRunning());
  std::this_thread::sleep_for(std::chrono::seconds(3));
  wait(mixer->stopRunning());
  EXPECT_EQ(wait(mixer->liveTaskCount()), 0u);
  const auto sent = wait(stream->snapshot());
  EXPECT_GT(sent.videoMessages, 30u);
  EXPECT_GT(sent.audioMessages, 50u);
  wait(stream->finishOutgoing());
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  try {
    wait(connection->close());
  } catch (...) {
  }

  const auto recording = settledRecording(nginx.value("RECORD_DIR"), "mixed");
  ASSERT_FALSE(recording.empty());
  const auto probe = run("ffprobe -v error -show_entries stream=codec_name -of csv=p=0 '" + recording.string() + "'");
  EXPECT_NE(probe.output.find("h264"), std::string::npos) << probe.output;
  EXPECT_NE(probe.output.find("aac"), std::string::npos) << probe.output;

  const auto pcm = recording.parent_path() / "mixed.s16";
  ASSERT_TRUE(run("ffmpeg -v error -y -i '" + recording.string() + "' -vn -ac 1 -ar 48000 -f s16le '" + pcm.string() + "'")
                  .succeeded());
  std::vector<int16_t> decoded(std::filesystem::file_size(pcm) / 2);
  std::ifstream again(pcm, std::ios::binary);
  again.read(reinterpret_cast<char*>(decoded.data()), static_cast<std::streamsize>(decoded.size() * 2));
  ASSERT_GT(decoded.size(), 48000u);
  const double tone = strengthAt(decoded, 440, 48000);
  const double other = strengthAt(decoded, 1000, 48000);
  EXPECT_GT(tone, 0.02);
  EXPECT_GT(tone, 20 * other);
}
