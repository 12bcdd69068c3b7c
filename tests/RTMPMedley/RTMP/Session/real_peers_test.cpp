// Sessions against nginx on loopback: a playback session that decodes and
// records what ffmpeg publishes, and a publish session fed by the media mixer
// (the sound server's sine source, a camera) that ffprobe and ffmpeg read back.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <numbers>
#include <regex>
#include <thread>

#include "Medley/Mixer/media_mixer_test_support.h"
#include "Medley/Sources/Stream/StreamRecorder.h"
#include "Platform/Audio/PulseAudioCapture.h"
#include "Platform/Media/PixelBuffer.h"
#include "RTMPMedley/RTMP/PeerTestSupport.h"
#include "RTMPMedley/Sources/RTMP/Session/RTMPSession.h"
#include "peers/PeerProcess.h"
#include "peers/PulseAudioPeer.h"

using namespace rtmptest;
using namespace rtmpmedley;
using medley::StreamSessionMode;
using medley::StreamSessionReadyState;

namespace {

using SessionPeersTest = RealTimeTest<4>;

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

TEST_F(SessionPeersTest, PlaybackSessionDecodesInOrderAndRecordsWhatFfmpegPublishes) {
  PeerProcess nginx("nginx-rtmp.sh", peerDirectory("session-nginx-play"));
  ASSERT_TRUE(nginx.ok()) << nginx.output();
  const std::string url = loopbackURL(nginx.port()) + "/" + freshName("play");
  auto session = std::make_shared<RTMPSession>(RTMPURL(url), StreamSessionMode::playback, nullptr, rt);
  auto stream = wait(session->rtmpStream());
  auto media = std::make_shared<MediaCounter>();
  wait(stream->addOutput(media));
  auto recorder = medley::StreamRecorder::make(rt);
  wait(recorder->setMoviesDirectory(nginx.dir()));
  wait(stream->addOutput(recorder));
  const auto file = nginx.dir() / "played.mp4";
  wait(recorder->startRecording(file, medley::StreamRecorder::defaultSettings()));
  auto errors = wait(recorder->error());
  // nginx starts the play of a name nobody publishes yet and waits for it.
  wait(session->connect([] {}));
  EXPECT_EQ(wait(session->currentReadyState()), StreamSessionReadyState::open);
  const auto published = qztest::runCommand("ffmpeg -v error -re -f lavfi -i testsrc2=size=320x240:rate=30 "
                                            "-f lavfi -i aevalsrc='0.5*sin(2*PI*(200*t+200*t*t))':s=48000 -map 0:v -map 1:a -t 5 "
                                            "-c:v libx264 -preset veryfast -g 30 -pix_fmt yuv420p -c:a aac -b:a 96k -f flv " +
                                            url);
  ASSERT_TRUE(published.succeeded()) << published.text;
  media->settle();
  EXPECT_GE(media->pictures(), 145u);
  EXPECT_LE(media->pictures(), 150u);
  EXPECT_GE(media->soundSeconds(), 4.8);
  EXPECT_LE(media->soundSeconds(), 5.2);
  EXPECT_EQ(media->outOfOrder(), 0);
  EXPECT_EQ(media->soundOutOfOrder(), 0);
  EXPECT_EQ(wait(recorder->stopRecording()), file);
  wait(session->close());

  // What the stream decoded, in an MP4 movie.
  const auto probe = qztest::runCommand("ffprobe -v error -count_frames -show_entries stream=codec_name,width,height,sample_rate,"
                                        "channels,nb_read_frames:format=format_name -of compact=p=0 '" + file.string() + "'");
  ASSERT_TRUE(probe.succeeded()) << probe.text;
  for (const char* text : {"codec_name=h264|width=320|height=240", "codec_name=aac|sample_rate=48000", "format_name=mov,mp4"})
    EXPECT_NE(probe.text.find(text), std::string::npos) << probe.text;
  // A recorder that writes in real time may drop a picture the encoder is too busy to take.
  std::smatch pictures;
  ASSERT_TRUE(std::regex_search(probe.text, pictures, std::regex("h264[^\\n]*nb_read_frames=([0-9]+)")));
  EXPECT_GE(std::stod(pictures[1]), 0.8 * static_cast<double>(media->pictures())) << probe.text;
  expectDecodesCleanly("'" + file.string() + "'");
  EXPECT_EQ(errors.bufferedCount(), 0u);
}

TEST_F(SessionPeersTest, PublishSessionCarriesTheMixersMicrophoneAndCameraToNginx) {
  qztest::PulseAudioPeer sound{{"module-sine-source source_name=qz_mixer_sine rate=48000 frequency=440"}};
  QZ_SKIP_UNLESS_PULSEAUDIO(sound);
  PeerProcess nginx("nginx-rtmp.sh", peerDirectory("session-nginx-publish"));
  ASSERT_TRUE(nginx.ok()) << nginx.output();
  const auto name = freshName("pub");
  auto session = std::make_shared<RTMPSession>(RTMPURL(loopbackURL(nginx.port()) + "/" + name),
                                               StreamSessionMode::publish, nullptr, rt);
  auto stream = wait(session->rtmpStream());
  medley::VideoCodecSettings video;
  video.videoSize = {640, 360};
  video.expectedFrameRate = 30;
  wait(stream->setVideoSettings(video));
  medley::AudioCodecSettings audio;
  audio.sampleRate = 48000;
  wait(stream->setAudioSettings(audio));
  wait(session->connect([] {}));
  ASSERT_EQ(wait(session->currentReadyState()), StreamSessionReadyState::open);

  platform::PulseAudioContext::Options options;
  options.server = sound.server();
  auto microphone = std::make_shared<platform::PulseAudioCapture>(platform::PulseAudioContext::connect(options));
  auto camera = std::make_shared<mixertest::FakeCamera>();
  camera->formats_ = {{platform::v4l2FourCC("NV12"), 640, 360, false, {platform::FrameRateRange::fixed({1, 30})}}};
  auto mixer = std::make_shared<medley::MediaMixer>(medley::MediaMixer::CaptureSessionMode::single, false, rt);
  wait(mixer->addOutput(stream));
  wait(mixer->attachVideo(camera, 0));
  wait(mixer->attachAudio(microphone, "qz_mixer_sine", 0));
  wait(mixer->startRunning());
  // Three seconds of pictures at 30 a second, stamped on the host clock as a camera's are.
  const auto begin = std::chrono::steady_clock::now();
  for (int n = 0; n < 90; ++n) {
    std::this_thread::sleep_until(begin + n * std::chrono::microseconds(33333));
    auto picture = platform::PixelBuffer::make(640, 360, platform::PixelFormat::nv12VideoRange);
    const auto y = picture->plane(0), uv = picture->plane(1);
    for (int r = 0; r < y.height; ++r) std::memset(y.data + r * y.bytesPerRow, 16 + (n * 3 + r) % 200, y.width);
    for (int r = 0; r < uv.height; ++r) std::memset(uv.data + r * uv.bytesPerRow, 128, uv.bytesPerRow);
    camera->deliver(std::move(picture), static_cast<double>(platform::monotonicNow()) / 1e9);
  }
  wait(mixer->stopRunning());
  wait(stream->finishOutgoing());
  wait(session->close());

  const auto recording = settledRecording(nginx.value("RECORD_DIR"), name);
  ASSERT_FALSE(recording.empty());
  const auto probe = qztest::runCommand("ffprobe -v error -show_entries stream=codec_name,width,height,sample_rate -of compact=p=0 '" +
                                        recording.string() + "'");
  EXPECT_NE(probe.text.find("codec_name=h264|width=640|height=360"), std::string::npos) << probe.text;
  EXPECT_NE(probe.text.find("codec_name=aac|sample_rate=48000"), std::string::npos) << probe.text;
  // The tone is what arrived.
  const auto pcm = recording.parent_path() / "mixed.s16";
  ASSERT_TRUE(qztest::runCommand("ffmpeg -v error -y -i '" + recording.string() + "' -vn -ac 1 -ar 48000 -f s16le '" + pcm.string() + "'")
                  .succeeded());
  std::vector<int16_t> decoded(std::filesystem::file_size(pcm) / 2);
  std::ifstream(pcm, std::ios::binary)
      .read(reinterpret_cast<char*>(decoded.data()), static_cast<std::streamsize>(decoded.size() * 2));
  ASSERT_GT(decoded.size(), 48000u);
  const double tone = strengthAt(decoded, 440, 48000);
  EXPECT_GT(tone, 0.02);
  EXPECT_GT(tone, 20 * strengthAt(decoded, 1000, 48000));
}
