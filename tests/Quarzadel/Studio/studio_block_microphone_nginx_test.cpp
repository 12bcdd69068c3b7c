// A microphone that delivers its sound in blocks of about two seconds (the sound
// server's sine source) is carried whole: the Studio goes live on a synthetic
// camera with that source as microphone to a real nginx on loopback, and the
// ingest's own recording, decoded by ffmpeg, holds the tone in nearly every
// tenth of a second (where the block's late arrival used to leave only a
// tenth or two of every two seconds).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <thread>
#include <vector>

#include "CommandOutput.h"
#include "Eventually.h"
#include "MainLoop.h"
#include "Platform/Concurrency/Task.h"
#include "Platform/Defaults/UserDefaults.h"
#include "Platform/Dispatch/Runtime.h"
#include "Platform/Log/SystemLog.h"
#include "Quarzadel/Capture/SyntheticSources.h"
#include "Quarzadel/Studio/StudioEngine.h"
#include "TestPaths.h"
#include "peers/PeerProcess.h"
#include "peers/PulseAudioPeer.h"

namespace quarzadel {
namespace {

using qztest::MainLoop;

constexpr int kWindow = 4800;  // a tenth of a second at 48 kHz

// A window holds the 1 kHz tone when it is loud and crosses zero about 200 times.
bool holdsTone(const int16_t* samples) {
  double energy = 0;
  int crossings = 0;
  for (int i = 0; i < kWindow; ++i) {
    energy += static_cast<double>(samples[i]) * samples[i];
    if (i > 0 && (samples[i - 1] < 0) != (samples[i] < 0)) ++crossings;
  }
  const double rms = std::sqrt(energy / kWindow) / 32768.0;
  return rms > 0.01 && crossings >= 180 && crossings <= 220;
}

TEST(StudioBlockMicrophone, ASourceThatDeliversInLargeBlocksReachesTheIngestWhole) {
  qztest::PulseAudioPeer sound({"module-sine-source source_name=qz_sine rate=48000 frequency=1000 "
                                "source_properties=device.description=Sine"});
  QZ_SKIP_UNLESS_PULSEAUDIO(sound);
  platform::ScopedSystemLogCapture logs;
  rtmptest::PeerProcess nginx("nginx-rtmp.sh", rtmptest::peerDirectory("studio-block-microphone"));
  ASSERT_TRUE(nginx.ok()) << nginx.output();
  const std::string url = "rtmp://127.0.0.1:" + std::to_string(nginx.port()) + "/live";

  auto previousDefaults = platform::UserDefaults::standard();
  auto defaults = platform::UserDefaults::inMemory();
  platform::UserDefaults::setStandard(defaults);
  for (const auto& [key, value] : std::vector<std::pair<std::string, nlohmann::json>>{
           {"SyntheticSources", true}, {"StreamCodec", "h264"}, {"StudioResolution", "720p"},
           {"StudioRecordLocally", false}, {"RTMPServerOverride", url}, {"StudioMicSelection", "qz_sine"}})
    defaults->set(key, value);
  SyntheticSources::resetFaults();

  SystemDevices devices;
  devices.soundServer = [server = sound.server()] {
    platform::PulseAudioContext::Options options;
    options.server = server;
    return platform::PulseAudioContext::connect(options);
  };

  auto runtime = std::make_shared<platform::ThreadRuntime>(4);
  auto scratch = rtmptest::peerDirectory("studio-block-microphone-logs");
  {
    MainLoop main{runtime};
    std::shared_ptr<StudioEngine> engine;
    main.sync([&] {
      StudioEngine::Environment env;
      env.runtime = runtime;
      env.defaults = defaults;
      env.devices = devices;
      env.sessionLog = SessionLog::make(platform::WallClock::system(), scratch, runtime);
      env.uploadLog = [](const std::filesystem::path&) {};
      auto catalog = DeviceCatalog::make(nullptr, nullptr, runtime->mainQueue());
      auto event = StudioEvent::fromPayload({{"streamKey", "studio"}, {"title", "Blocks"}});
      engine = StudioEngine::make(*event, catalog, env);
    });
    // Returns at a failed assertion; the Studio closes after it either way.
    const auto scenario = [&] {
      ASSERT_TRUE(main.run(engine->start()));
      const auto sineOnAir = [&] {
        std::optional<std::string> id;
        main.sync([&] { id = engine->onAirMicID().value(); });
        return id == "qz_sine";
      };
      ASSERT_TRUE(qztest::eventually(sineOnAir, std::chrono::seconds(15))) << "the sine source never went on air";
      // The program sound learns how late the blocks come from the first one
      // after the source's opening backlog; the host goes live after that.
      std::this_thread::sleep_for(std::chrono::milliseconds(3500));
      main.sync([&] { engine->goLive(); });
      ASSERT_TRUE(qztest::eventually(
          [&] {
            bool live = false;
            main.sync([&] { live = engine->status().value().isLive(); });
            return live;
          },
          std::chrono::seconds(20)));
      std::this_thread::sleep_for(std::chrono::seconds(12));
      ASSERT_TRUE(main.run(engine->stop()));
    };
    scenario();
    EXPECT_TRUE(main.run(engine->close()));
    main.sync([&] { engine.reset(); });
  }
  runtime->stopForExit(platform::seconds(5));
  platform::UserDefaults::setStandard(previousDefaults);
  std::filesystem::remove_all(scratch);
  if (HasFatalFailure()) return;

  const auto recording = std::filesystem::path(nginx.value("RECORD_DIR")) / "studio.flv";
  const auto raw = std::filesystem::path(nginx.value("RECORD_DIR")) / "studio.s16";
  const auto decode = qztest::runCommand("ffmpeg -v error -y -i '" + recording.string() +
                                         "' -vn -ac 1 -ar 48000 -f s16le '" + raw.string() + "'");
  ASSERT_TRUE(decode.succeeded()) << decode.text;
  std::ifstream in(raw, std::ios::binary);
  std::vector<int16_t> samples(std::filesystem::file_size(raw) / sizeof(int16_t));
  in.read(reinterpret_cast<char*>(samples.data()), static_cast<std::streamsize>(samples.size() * sizeof(int16_t)));

  const size_t windows = samples.size() / kWindow;
  ASSERT_GE(windows, 80u) << "the recording holds " << samples.size() / 48000.0 << " s of sound";
  size_t withTone = 0;
  std::string map;
  for (size_t w = 0; w < windows; ++w) {
    const bool tone = holdsTone(samples.data() + w * kWindow);
    withTone += tone ? 1 : 0;
    map += tone ? '#' : '.';
  }
  EXPECT_GE(withTone * 10, windows * 9) << withTone << " of " << windows << " windows hold the tone: " << map;
  // Nor is the source, which is silent between its blocks, taken for stalled.
  const auto messages = logs.sink().messages();
  EXPECT_EQ(std::count(messages.begin(), messages.end(), "Microphone on air: Sine"), 1);
  for (const auto& message : messages) {
    EXPECT_FALSE(message.starts_with("On-air microphone stalled")) << message;
    EXPECT_FALSE(message.starts_with("Microphone failure")) << message;
  }
}

}  // namespace
}  // namespace quarzadel
