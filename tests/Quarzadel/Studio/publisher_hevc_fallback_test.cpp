// A probe that found the GPU's HEVC encoder, then an encoder that does not
// start (this machine has no render node): the stream goes out in H.264, and
// the server's metadata, the encoder line and the statistics all say so.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "Eventually.h"
#include "Platform/Log/SystemLog.h"
#include "Quarzadel/Studio/FakePublisherTransport.h"
#include "Quarzadel/Studio/RTMPPublisher.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPDataMessage.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPVideoMessage.h"
#include "peers/ScriptedRTMPTransport.h"

namespace quarzadel {
namespace {

using rtmptest::ScriptedRTMPServer;
using rtmptest::ScriptedSession;

platform::SampleBufferRef picture(double at) {
  auto image = platform::PixelBuffer::make(64, 36, platform::PixelFormat::nv12VideoRange);
  platform::SampleTiming timing;
  timing.presentationTime = platform::MediaTime::fromSeconds(at, 90000);
  return platform::SampleBuffer::makeImage(image, timing);
}

TEST(PublisherHEVCFallback, AnHEVCEncoderThatDoesNotStartIsToldAsH264ToTheServerAndTheHost) {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/dev/dri", ec))
    if (entry.path().filename().string().starts_with("renderD")) GTEST_SKIP() << "this machine has a render node";
  platform::ScopedSystemLogCapture logs;
  auto runtime = platform::VirtualRuntime::make();
  ScriptedRTMPServer server(runtime);
  server.onCommand = [](ScriptedSession& s, const rtmpmedley::RTMPCommandMessage& c) {
    ScriptedRTMPServer::answerLikeAServer(s, c);
    if (c.commandName == "publish") s.sendStatus("onStatus", 0, "NetStream.Publish.Start", "status", "", c.streamId);
  };
  auto env = testing::scriptedEnvironment(runtime, rtmpPublisherConnections(runtime, server.factory()));
  env.probe = [](StreamConfig::VideoCodec, int, int) { return EncoderSupport{true, true}; };
  auto publisher = RTMPPublisher::make(env);
  StreamConfig config;
  config.resolution = StreamConfig::Resolution::hd720;
  publisher->start("rtmp://ingest.test/live", "key", config);
  runtime->runUntilIdle();
  ASSERT_TRUE(publisher->state().isLive());
  auto session = server.last();
  auto videoMessages = [&] { return session->messagesOf<rtmpmedley::RTMPVideoMessage>().size(); };
  for (int i = 0; i < 3; ++i) publisher->gate().append(picture(10.0 + i / 30.0));
  EXPECT_TRUE(qztest::eventually([&] {
    runtime->runUntilIdle();
    return videoMessages() >= 2;
  }));

  // The publish's metadata came before any picture; the first picture brings the codec that runs.
  const auto& records = session->records();
  std::vector<std::string> order;
  std::optional<double> codecId;
  for (const auto& r : records) {
    if (auto data = std::dynamic_pointer_cast<rtmpmedley::RTMPDataMessage>(r.message)) {
      order.push_back("metadata");
      const auto* metadata = data->arguments.size() == 2 ? data->arguments[1].get<rtmpmedley::AMFArray>() : nullptr;
      ASSERT_TRUE(metadata);
      codecId = metadata->get("videocodecid").number();
    } else if (std::dynamic_pointer_cast<rtmpmedley::RTMPVideoMessage>(r.message) && order.back() != "video") {
      order.push_back("video");
    }
  }
  EXPECT_EQ(order, (std::vector<std::string>{"metadata", "metadata", "video"}));
  EXPECT_EQ(codecId, 7.0) << "H.264";

  const auto lines = logs.sink().messages();
  const auto logged = [&](const std::string& line) { return std::count(lines.begin(), lines.end(), line); };
  EXPECT_EQ(logged("Encoder: HEVC 1280x720@30 CBR 1843 kbps, audio 96 kbps"), 1);
  EXPECT_EQ(logged("Encoder: H.264 1280x720@30 CBR 1843 kbps, audio 96 kbps"), 1);
  publisher->updateStats({}, 1843200);
  EXPECT_EQ(publisher->stats().codec, "H.264");

  platform::spawnDetached(runtime->mainQueue(), [](auto p) { return p->stop(); }, publisher);
  runtime->advance(platform::seconds(5));
  runtime->runUntilIdle();
}

}  // namespace
}  // namespace quarzadel
