// The whole Studio against a real nginx on loopback, on real time: the engine
// with the real publisher and the real program pipelines on synthetic sources
// opens, goes live, is read back by ffprobe as H.264 and AAC, and stops.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "CommandOutput.h"
#include "Eventually.h"
#include "MainLoop.h"
#include "Platform/Concurrency/Task.h"
#include "Platform/Defaults/UserDefaults.h"
#include "Platform/Dispatch/Runtime.h"
#include "Quarzadel/Capture/SyntheticSources.h"
#include "Quarzadel/Studio/StudioEngine.h"
#include "TestPaths.h"
#include "peers/PeerProcess.h"

namespace quarzadel {
namespace {

using Status = StudioEngine::Status;

using qztest::MainLoop;

TEST(StudioEngineNginx, GoesLiveOnSyntheticSourcesAndStops) {
  rtmptest::PeerProcess nginx("nginx-rtmp.sh", rtmptest::peerDirectory("studio-engine-nginx"));
  ASSERT_TRUE(nginx.ok()) << nginx.output();
  const std::string url = "rtmp://127.0.0.1:" + std::to_string(nginx.port()) + "/live";

  auto previousDefaults = platform::UserDefaults::standard();
  auto defaults = platform::UserDefaults::inMemory();
  platform::UserDefaults::setStandard(defaults);
  for (const auto& [key, value] : std::vector<std::pair<std::string, nlohmann::json>>{
           {"SyntheticSources", true}, {"SkipPermissionPrompts", true}, {"StreamCodec", "h264"},
           {"StudioResolution", "720p"}, {"StudioRecordLocally", false}, {"RTMPServerOverride", url}})
    defaults->set(key, value);
  SyntheticSources::resetFaults();

  auto runtime = std::make_shared<platform::ThreadRuntime>(4);
  auto scratch = rtmptest::peerDirectory("studio-engine-nginx-logs");
  std::mutex statusLock;
  std::vector<std::string> statuses;
  {
    MainLoop main{runtime};
    std::shared_ptr<StudioEngine> engine;
    platform::Subscription watch;
    main.sync([&] {
      StudioEngine::Environment env;
      env.runtime = runtime;
      env.defaults = defaults;
      env.devices = SystemDevices{};
      env.sessionLog = SessionLog::make(platform::WallClock::system(), scratch, runtime);
      env.uploadLog = [](const std::filesystem::path&) {};
      auto catalog = DeviceCatalog::make(nullptr, nullptr, runtime->mainQueue());
      auto event = StudioEvent::fromPayload({{"streamKey", "studio"}, {"title", "Loopback"}});
      engine = StudioEngine::make(*event, catalog, env);
      watch = engine->status().subscribe([&](const Status& s) {
        std::lock_guard lock(statusLock);
        if (statuses.empty() || statuses.back() != s.name()) statuses.emplace_back(s.name());
      });
    });
    ASSERT_TRUE(main.run(engine->start()));
    main.sync([&] {
      // Without device access the Studio has chosen a synthetic camera and the tone.
      EXPECT_TRUE(engine->selectedCameraID().value().value_or("").starts_with("synthetic-"));
      engine->goLive();
    });

    ASSERT_TRUE(qztest::eventually([&] {
      bool live = false;
      main.sync([&] { live = engine->status().value().isLive(); });
      return live;
    }));
    const auto probe = qztest::runCommand("timeout 15 ffprobe -v error -analyzeduration 2000000 -show_entries "
                                          "stream=codec_name -of csv=p=0 " + url + "/studio");
    EXPECT_NE(probe.text.find("h264"), std::string::npos) << probe.text;
    EXPECT_NE(probe.text.find("aac"), std::string::npos) << probe.text;
    main.sync([&] {
      EXPECT_EQ(engine->onAirCameraID().value(), engine->selectedCameraID().value());
      EXPECT_EQ(engine->onAirMicID().value(), "synthetic-tone");
    });

    ASSERT_TRUE(main.run(engine->stop()));
    ASSERT_TRUE(main.run(engine->close()));
    main.sync([&] {
      watch.cancel();
      engine.reset();
    });
  }
  runtime->stopForExit(platform::seconds(5));
  platform::UserDefaults::setStandard(previousDefaults);
  std::filesystem::remove_all(scratch);

  std::lock_guard lock(statusLock);
  EXPECT_EQ(statuses, (std::vector<std::string>{"starting", "ready", "connecting", "live", "stopping", "ready"}));
}

}  // namespace
}  // namespace quarzadel
