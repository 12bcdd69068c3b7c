// Sessions against nginx on loopback: playing what ffmpeg publishes, and
// publishing what ffprobe then reads back from nginx's recording.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <regex>
#include <iostream>
#include <sstream>
#include <thread>

#include "Platform/Media/PCMBuffer.h"
#include "Platform/Media/PixelBuffer.h"
#include "RTMPMedley/RTMP/PeerTestSupport.h"
#include "RTMPMedley/Sources/RTMP/Session/RTMPSession.h"
#include "peers/PeerProcess.h"

using namespace rtmptest;
using namespace rtmpmedley;
using medley::StreamSessionMode;
using medley::StreamSessionReadyState;

namespace {

platform::SampleBufferRef grey(int width, int height, int64_t index, int fps) {
  auto picture = platform::PixelBuffer::make(width, height, platform::PixelFormat::nv12VideoRange);
  const auto luma = picture->plane(0);
  for (int row = 0; row < height; ++row)
    std::memset(luma.data + row * luma.bytesPerRow, static_cast<int>(16 + (index * 3 + row) % 200), width);
  const auto chroma = picture->plane(1);
  for (int row = 0; row < chroma.height; ++row) std::memset(chroma.data + row * chroma.bytesPerRow, 128, 2 * chroma.width);
  platform::SampleTiming timing;
  timing.presentationTime = platform::MediaTime(index, fps);
  timing.duration = platform::MediaTime(1, fps);
  return platform::SampleBuffer::makeImage(picture, timing);
}

platform::PCMBufferRef tone(int64_t index, uint32_t frames, uint32_t rate) {
  auto buffer = platform::PCMBuffer::make(platform::AudioFormat::standard(rate, 2), frames);
  buffer->setFrameLength(frames);
  for (uint32_t channel = 0; channel < 2; ++channel)
    for (uint32_t i = 0; i < frames; ++i)
      buffer->floatChannelData()[channel][i] =
          static_cast<float>(0.25 * std::sin(2 * M_PI * 440 * static_cast<double>(index * frames + i) / rate));
  return buffer;
}

using SessionPeersTest = RealTimeTest<4>;

}  // namespace

TEST_F(SessionPeersTest, PlaybackSessionDecodesFiveSecondsThatFfmpegPublishesInOrder) {
  PeerProcess nginx("nginx-rtmp.sh", peerDirectory("session-nginx-play"));
  ASSERT_TRUE(nginx.ok()) << nginx.output();
  const std::string url = loopbackURL(nginx.port()) + "/" + freshName("play");
  auto session = std::make_shared<RTMPSession>(RTMPURL(url), StreamSessionMode::playback, nullptr, rt);
  auto stream = wait(session->rtmpStream());
  auto media = std::make_shared<MediaCounter>();
  wait(stream->addOutput(media));
  Collected<RTMPStatus> statuses(rt->globalQueue(), wait(stream->status()));
  // nginx starts the play of a name nobody publishes yet and waits for it.
  wait(session->connect([] {}));
  EXPECT_EQ(wait(session->currentReadyState()), StreamSessionReadyState::open);
  const auto published = run("ffmpeg -v error -re -f lavfi -i testsrc2=size=640x360:rate=30 "
                             "-f lavfi -i aevalsrc='0.5*sin(2*PI*(200*t+200*t*t))':s=48000 -map 0:v -map 1:a -t 5 "
                             "-c:v libx264 -preset veryfast -g 30 -pix_fmt yuv420p -c:a aac -b:a 96k -f flv " +
                             url);
  ASSERT_TRUE(published.succeeded()) << published.output;
  media->settle();
  const auto codes = rtmptest::codes(statuses.values());
  EXPECT_NE(std::find(codes.begin(), codes.end(), "NetStream.Play.Start"), codes.end());
  EXPECT_GE(media->pictures(), 145u);
  EXPECT_LE(media->pictures(), 150u);
  EXPECT_GE(media->soundSeconds(), 4.8);
  EXPECT_LE(media->soundSeconds(), 5.2);
  EXPECT_EQ(media->outOfOrder(), 0);
  EXPECT_EQ(media->soundOutOfOrder(), 0);
  wait(session->close());
  EXPECT_EQ(wait(session->currentReadyState()), StreamSessionReadyState::closed);
}

TEST_F(SessionPeersTest, PublishSessionIsReadBackByFfprobe) {
  PeerProcess nginx("nginx-rtmp.sh", peerDirectory("session-nginx-publish"));
  ASSERT_TRUE(nginx.ok()) << nginx.output();
  const auto name = freshName("pub");
  const std::string url = loopbackURL(nginx.port()) + "/" + name;
  auto session = std::make_shared<RTMPSession>(RTMPURL(url), StreamSessionMode::publish, nullptr, rt);
  auto stream = wait(session->rtmpStream());
  constexpr int kWidth = 640, kHeight = 360, kFps = 30, kSeconds = 3;
  constexpr uint32_t kRate = 48000, kBlock = 1024;
  medley::VideoCodecSettings video;
  video.videoSize = {kWidth, kHeight};
  video.bitRate = 800'000;
  video.setProfileLevel("H264_Main_AutoLevel");
  video.expectedFrameRate = kFps;
  video.allowFrameReordering = false;
  wait(stream->setVideoSettings(video));
  medley::AudioCodecSettings audio;
  audio.bitRate = 96'000;
  audio.sampleRate = kRate;
  wait(stream->setAudioSettings(audio));
  wait(session->connect([] {}));
  ASSERT_EQ(wait(session->currentReadyState()), StreamSessionReadyState::open);

  const auto begin = std::chrono::steady_clock::now();
  int64_t blocks = 0;
  for (int64_t i = 0; i < kFps * kSeconds; ++i) {
    std::this_thread::sleep_until(begin + std::chrono::nanoseconds(i * 1'000'000'000LL / kFps));
    wait(stream->append(grey(kWidth, kHeight, i, kFps)));
    while (blocks * kBlock < (i + 1) * kRate / kFps) {
      const int64_t frames = blocks * kBlock;
      wait(stream->append(platform::AudioBufferRef(tone(blocks, kBlock, kRate)),
                          platform::AudioTime::with(frames * 1'000'000'000LL / kRate, frames, kRate)));
      ++blocks;
    }
  }
  wait(stream->finishOutgoing());
  wait(session->close());

  const auto recording = std::filesystem::path(nginx.value("RECORD_DIR")) / (name + ".flv");
  ASSERT_TRUE(eventually([&] { return std::filesystem::exists(recording); }, platform::seconds(5)));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const auto probe = run("ffprobe -v error -count_frames -show_entries "
                         "stream=codec_name,width,height,sample_rate,nb_read_frames -of compact=p=0 " +
                         recording.string());
  ASSERT_TRUE(probe.succeeded()) << probe.output;
  EXPECT_NE(probe.output.find("codec_name=h264|width=640|height=360"), std::string::npos) << probe.output;
  EXPECT_NE(probe.output.find("codec_name=aac|sample_rate=48000"), std::string::npos) << probe.output;
  std::smatch frames;
  const std::string text = probe.output;
  ASSERT_TRUE(std::regex_search(text, frames, std::regex("codec_name=h264[^\\n]*nb_read_frames=([0-9]+)")));
  EXPECT_GE(std::stoi(frames[1]), kFps * kSeconds - 3);
}
