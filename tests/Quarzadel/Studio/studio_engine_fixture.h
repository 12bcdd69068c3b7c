#pragma once
// A Studio engine on virtual time: the real program pipelines, a publisher
// made with scripted connections, in-memory user defaults, session logs and
// local copies in a scratch folder, and the log lines captured.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "Platform/Concurrency/Task.h"
#include "Platform/Defaults/UserDefaults.h"
#include "Platform/Dispatch/VirtualRuntime.h"
#include "Platform/Log/SystemLog.h"
#include "Quarzadel/Capture/SyntheticSources.h"
#include "Quarzadel/Capture/SyntheticVideoSource.h"
#include "Quarzadel/Studio/StudioEngine.h"
// After the publisher, whose types it fakes.
#include "Quarzadel/Studio/FakePublisherTransport.h"

namespace quarzadel::testing {

inline platform::Nanos ms(int64_t n) { return platform::seconds(double(n) / 1000); }

struct StudioEngineFixture : ::testing::Test {
  std::shared_ptr<platform::VirtualRuntime> runtime = platform::VirtualRuntime::make();
  std::shared_ptr<platform::FixedWallClock> clock =
      std::make_shared<platform::FixedWallClock>(platform::Date(std::chrono::seconds(1'800'000'000)));
  std::shared_ptr<platform::UserDefaults> defaults = platform::UserDefaults::inMemory();
  std::shared_ptr<platform::UserDefaults> previousDefaults = platform::UserDefaults::standard();
  std::shared_ptr<FakeServer> server = std::make_shared<FakeServer>(runtime);
  std::shared_ptr<FakePathMonitor> monitor = std::make_shared<FakePathMonitor>();
  std::filesystem::path folder;
  std::shared_ptr<SessionLog> sessionLog;
  std::shared_ptr<DeviceCatalog> catalog;
  std::shared_ptr<StudioEngine> engine;
  std::vector<std::filesystem::path> uploads;
  std::vector<StudioEngine::Status> reported;
  int64_t freeSpace = 50'000'000'000;
  // Polling goes to a closed loopback port unless a test points it elsewhere.
  std::shared_ptr<platform::HttpClient> pollHttp = platform::HttpClient::make();
  EventStatusPoller::Environment pollerEnvironment{nullptr, pollHttp, [] { return std::string("http://127.0.0.1:9"); }};
  platform::ScopedSystemLogCapture logs;

  std::string streamKey = "abcdefghij";
  StudioEvent event() const {
    return StudioEvent::fromPayload(
               {{"streamKey", streamKey}, {"title", "Town Hall"}, {"rtmpurl", "rtmp://ingest.test/app/" + streamKey}})
        .value();
  }

  void SetUp() override {
    folder = std::filesystem::temp_directory_path() /
             ("studio-engine-" + std::to_string(::getpid()) + "-" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder / "logs");
    platform::UserDefaults::setStandard(defaults);
    defaults->set("SyntheticSources", true);
    defaults->set("SkipPermissionPrompts", true);
    SyntheticSources::resetFaults();
    sessionLog = SessionLog::make(clock, folder / "logs", runtime);
    catalog = DeviceCatalog::make(nullptr, nullptr, runtime->mainQueue());
    makeEngine();
  }

  // Lets a fixture give the engine other devices (and its catalogue) before it is made.
  virtual void configure(StudioEngine::Environment&) {}

  void makeEngine() {
    StudioEngine::Environment env;
    env.runtime = runtime;
    env.wallClock = clock;
    env.defaults = defaults;
    env.devices = SystemDevices{};
    auto& publishing = env.publisherEnvironment;
    publishing.runtime = runtime;
    publishing.clock = clock;
    publishing.makeConnection = server->factory();
    publishing.probe = [](StreamConfig::VideoCodec codec, int, int) { return EncoderSupport{codec == StreamConfig::VideoCodec::h264, true}; };
    publishing.pathMonitor = monitor;
    publishing.demoLiveElapsed = [] { return 0.0; };
    env.recorderEnvironment = LocalRecorder::Environment{folder / "videos", clock, runtime, false, {}};
    env.volumeSpace = [this](const std::filesystem::path&) { return std::optional<int64_t>(freeSpace); };
    env.pollerEnvironment = pollerEnvironment;
    env.pollerEnvironment.runtime = runtime;
    env.sessionLog = sessionLog;
    env.uploadLog = [this](const std::filesystem::path& file) { uploads.push_back(file); };
    configure(env);
    engine = StudioEngine::make(event(), catalog, env);
    engine->onStatusChange = [this](const StudioEngine::Status& status) { reported.push_back(status); };
  }

  void TearDown() override {
    if (engine) {
      run(engine->close());
      engine.reset();
    }
    for (auto& waiter : std::exchange(server->hanging, {})) waiter.resumeThrowing(platform::CancellationError());
    runtime->advance(platform::seconds(10));
    pollHttp->waitForInFlight(platform::seconds(10));
    runtime->runUntilIdle();
    platform::UserDefaults::setStandard(previousDefaults);
    SyntheticSources::resetFaults();
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
  }

  // Starts `work` without waiting for it; returns the flag set at its end.
  std::shared_ptr<bool> launch(platform::Async<void> work) {
    auto done = std::make_shared<bool>(false);
    auto body = [](platform::Async<void> inner, std::shared_ptr<bool> flag) -> platform::Async<void> {
      co_await std::move(inner);
      *flag = true;
    };
    platform::spawnDetached(runtime->mainQueue(), body(std::move(work), done));
    runtime->runUntilIdle();
    return done;
  }
  // Runs `work` on the main queue to its end, on virtual time.
  void run(platform::Async<void> work, platform::Nanos bound = platform::seconds(30)) {
    auto done = launch(std::move(work));
    const auto until = runtime->now() + bound;
    while (!*done && runtime->now() < until) runtime->advance(ms(10));
    EXPECT_TRUE(*done);
  }
  void advance(double seconds) { runtime->advance(platform::seconds(seconds)); }

  // Puts a synthetic camera on air directly in the program picture.
  void putCameraOnAir(const std::string& id = "synthetic-a") {
    auto spec = SyntheticSources::spec(id);
    ASSERT_TRUE(spec) << id;
    engine->video()->switchTo(SyntheticVideoSource::make(*spec, runtime));
  }

  int logCount(const std::string& text) {
    const auto all = logs.sink().messages();
    return static_cast<int>(std::count(all.begin(), all.end(), text));
  }
  bool logged(const std::string& prefix) {
    const auto all = logs.sink().messages();
    return std::any_of(all.begin(), all.end(), [&](const std::string& m) { return m.starts_with(prefix); });
  }
  // The files in `dir` and below.
  std::vector<std::filesystem::path> files(const std::filesystem::path& dir) {
    std::vector<std::filesystem::path> found;
    std::error_code ignored;
    for (auto it = std::filesystem::recursive_directory_iterator(dir, ignored); it != decltype(it)(); ++it)
      if (it->is_regular_file()) found.push_back(it->path());
    return found;
  }
  std::optional<std::string> noticeText() {
    auto notice = engine->notice().value();
    return notice ? std::optional(notice->text()) : std::nullopt;
  }
};

}  // namespace quarzadel::testing
