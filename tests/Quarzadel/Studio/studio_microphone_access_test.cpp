// A Studio opened while no sound server runs gets its microphones, without
// being reopened, once a server has come up: the next activation of the
// application reaches the server, fills the lists and puts the default input on
// air, on real time against a private sound server.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Eventually.h"
#include "MainLoop.h"
#include "Platform/Concurrency/Task.h"
#include "Platform/Defaults/UserDefaults.h"
#include "Platform/Dispatch/Runtime.h"
#include "Platform/Log/SystemLog.h"
#include "Quarzadel/App/AppActivation.h"
#include "Quarzadel/Capture/SyntheticSources.h"
#include "Quarzadel/Studio/StudioEngine.h"
#include "TestPaths.h"
#include "peers/PulseAudioPeer.h"

namespace quarzadel {
namespace {

using Permission = StudioEngine::Permission;

using qztest::MainLoop;

// A Studio and its catalogue, made on the main queue as the program makes them.
struct OpenedStudio {
  std::shared_ptr<DeviceCatalog> catalog;
  std::shared_ptr<StudioEngine> engine;
};

OpenedStudio openStudio(MainLoop& main, const std::shared_ptr<platform::ThreadRuntime>& runtime,
                        const decltype(platform::UserDefaults::inMemory())& defaults, const SystemDevices& devices,
                        const std::shared_ptr<AppActivation>& activation, const std::filesystem::path& scratch,
                        const std::string& title) {
  OpenedStudio studio;
  main.sync([&] {
    StudioEngine::Environment env;
    env.runtime = runtime;
    env.defaults = defaults;
    env.devices = devices;
    env.activation = activation;
    env.sessionLog = SessionLog::make(platform::WallClock::system(), scratch, runtime);
    env.uploadLog = [](const std::filesystem::path&) {};
    studio.catalog = DeviceCatalog::make(nullptr, nullptr, runtime->mainQueue());
    auto event = StudioEvent::fromPayload({{"streamKey", "studio"}, {"title", title}});
    studio.engine = StudioEngine::make(*event, studio.catalog, env);
  });
  return studio;
}

// A private sound server whose one microphone is a 1 kHz sine.
std::unique_ptr<qztest::PulseAudioPeer> sineServer() {
  return std::make_unique<qztest::PulseAudioPeer>(std::vector<std::string>{
      "module-sine-source source_name=qz_sine rate=48000 frequency=1000 source_properties=device.description=Sine"});
}

// True once the Studio has the sine on air.
bool sineOnAir(MainLoop& main, StudioEngine& engine) {
  std::optional<std::string> id;
  main.sync([&] { id = engine.onAirMicID().value(); });
  return id == "qz_sine";
}

// The log's permission lines: "Permissions: …" or "Permissions changed: …".
std::vector<std::string> permissionLines(const std::vector<std::string>& messages, const std::string& prefix) {
  std::vector<std::string> found;
  for (const auto& message : messages)
    if (message.starts_with(prefix)) found.push_back(message);
  return found;
}

TEST(StudioMicrophoneAccess, ASoundServerStartedAfterTheStudioPutsItsMicrophoneOnAirAtTheNextActivation) {
  const auto scratch = std::filesystem::path(qztest::binaryDir()) / "peers" / "runs" /
                       ("studio-microphone-access-" + std::to_string(::getpid()));
  std::filesystem::remove_all(scratch);
  std::filesystem::create_directories(scratch);
  platform::ScopedSystemLogCapture logs;
  auto previousDefaults = platform::UserDefaults::standard();
  auto defaults = platform::UserDefaults::inMemory();
  platform::UserDefaults::setStandard(defaults);
  for (const auto& [key, value] : std::vector<std::pair<std::string, nlohmann::json>>{
           {"StreamCodec", "h264"}, {"StudioResolution", "720p"}, {"StudioRecordLocally", false}})
    defaults->set(key, value);
  SyntheticSources::resetFaults();

  // Where the sound server will listen: nothing there until the test starts one.
  std::mutex serverLock;
  std::string server = "unix:" + (scratch / "no-server-yet").string();
  std::atomic<int> tries{0};
  SystemDevices devices;
  devices.soundServer = [&]() -> std::shared_ptr<platform::PulseAudioContext> {
    ++tries;
    platform::PulseAudioContext::Options options;
    std::lock_guard lock(serverLock);
    options.server = server;
    return platform::PulseAudioContext::connect(options);
  };

  auto runtime = std::make_shared<platform::ThreadRuntime>(4);
  std::unique_ptr<qztest::PulseAudioPeer> peer;
  {
    MainLoop main{runtime};
    auto activation = AppActivation::make(runtime);
    auto studio = openStudio(main, runtime, defaults, devices, activation, scratch, "Late Sound");
    auto catalog = std::move(studio.catalog);
    auto engine = std::move(studio.engine);
    // Returns at a failed assertion; the Studio closes after it either way.
    const auto scenario = [&] {
      ASSERT_TRUE(main.run(engine->start()));
      // The try runs off the main queue; its answer is what the Studio says.
      ASSERT_TRUE(qztest::eventually([&] {
        bool denied = false;
        main.sync([&] { denied = engine->microphonePermission().value() == Permission::denied; });
        return denied;
      }));
      main.sync([&] {
        EXPECT_TRUE(engine->microphones().value().empty());
        EXPECT_FALSE(engine->onAirMicID().value());
      });
      ASSERT_TRUE(qztest::eventually([&] { return tries.load() == 1; }));
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      EXPECT_EQ(tries.load(), 1);

      // An activation with still no server: denied as before, and nothing logged.
      activation->notify();
      ASSERT_TRUE(qztest::eventually([&] { return tries.load() == 2; }));
      main.sync([&] { EXPECT_EQ(engine->microphonePermission().value(), Permission::denied); });

      peer = sineServer();
      QZ_SKIP_UNLESS_PULSEAUDIO(*peer);
      {
        std::lock_guard lock(serverLock);
        server = peer->server();
      }
      activation->notify();
      const auto onAir = [&] { return sineOnAir(main, *engine); };
      ASSERT_TRUE(qztest::eventually(onAir, std::chrono::seconds(15))) << "the sine source never went on air";
      main.sync([&] {
        EXPECT_EQ(engine->microphonePermission().value(), Permission::granted);
        ASSERT_EQ(engine->microphones().value().size(), 1u);
        EXPECT_EQ(engine->microphones().value()[0].name, "Sine");
        EXPECT_EQ(catalog->microphones.value(), engine->microphones().value()) << "the catalogue lists them too";
      });
      // Granted, the server is not asked again.
      const int asked = tries.load();
      activation->notify();
      std::this_thread::sleep_for(std::chrono::milliseconds(600));
      EXPECT_EQ(tries.load(), asked);
    };
    scenario();

    EXPECT_TRUE(main.run(engine->close()));
    main.sync([&] {
      engine.reset();
      catalog.reset();
    });
  }
  runtime->stopForExit(platform::seconds(5));
  platform::UserDefaults::setStandard(previousDefaults);
  peer.reset();
  std::filesystem::remove_all(scratch);

  if (IsSkipped() || HasFatalFailure()) return;
  const auto messages = logs.sink().messages();
  // Without a server the microphone is denied, said once; the grant comes as a change.
  const auto first = permissionLines(messages, "Permissions: ");
  ASSERT_EQ(first.size(), 1u);
  EXPECT_TRUE(first[0].ends_with(", microphone denied")) << first[0];
  const auto changes = permissionLines(messages, "Permissions changed:");
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_TRUE(changes[0].ends_with(", microphone granted")) << changes[0];
}

// With a working sound server the session log says the microphone is granted
// from its first permissions line on: the server's first answer writes it.
TEST(StudioMicrophoneAccess, AStudioOpenedWithAWorkingSoundServerNeverLogsTheMicrophoneDenied) {
  auto peer = sineServer();
  QZ_SKIP_UNLESS_PULSEAUDIO(*peer);
  const auto scratch = std::filesystem::path(qztest::binaryDir()) / "peers" / "runs" /
                       ("studio-working-sound-" + std::to_string(::getpid()));
  std::filesystem::remove_all(scratch);
  std::filesystem::create_directories(scratch);
  platform::ScopedSystemLogCapture logs;
  auto previousDefaults = platform::UserDefaults::standard();
  auto defaults = platform::UserDefaults::inMemory();
  platform::UserDefaults::setStandard(defaults);
  for (const auto& [key, value] : std::vector<std::pair<std::string, nlohmann::json>>{
           {"StreamCodec", "h264"}, {"StudioResolution", "720p"}, {"StudioRecordLocally", false}})
    defaults->set(key, value);
  SyntheticSources::resetFaults();

  SystemDevices devices;
  devices.soundServer = [server = peer->server()]() -> std::shared_ptr<platform::PulseAudioContext> {
    platform::PulseAudioContext::Options options;
    options.server = server;
    return platform::PulseAudioContext::connect(options);
  };

  auto runtime = std::make_shared<platform::ThreadRuntime>(4);
  {
    MainLoop main{runtime};
    auto activation = AppActivation::make(runtime);
    auto studio = openStudio(main, runtime, defaults, devices, activation, scratch, "Working Sound");
    auto catalog = std::move(studio.catalog);
    auto engine = std::move(studio.engine);
    const auto scenario = [&] {
      ASSERT_TRUE(main.run(engine->start()));
      main.sync([&] { EXPECT_NE(engine->microphonePermission().value(), Permission::denied); });
      const auto onAir = [&] { return sineOnAir(main, *engine); };
      ASSERT_TRUE(qztest::eventually(onAir, std::chrono::seconds(15))) << "the sine source never went on air";
      main.sync([&] { EXPECT_EQ(engine->microphonePermission().value(), Permission::granted); });
    };
    scenario();

    EXPECT_TRUE(main.run(engine->close()));
    main.sync([&] {
      engine.reset();
      catalog.reset();
    });
  }
  runtime->stopForExit(platform::seconds(5));
  platform::UserDefaults::setStandard(previousDefaults);
  peer.reset();
  std::filesystem::remove_all(scratch);

  if (HasFatalFailure()) return;
  // Each of these lines goes to the session log too.
  const auto messages = logs.sink().messages();
  for (const auto& message : messages) EXPECT_EQ(message.find("microphone denied"), std::string::npos) << message;
  const auto first = permissionLines(messages, "Permissions: ");
  ASSERT_EQ(first.size(), 1u);
  EXPECT_TRUE(first[0].ends_with(", microphone granted")) << first[0];
  EXPECT_TRUE(permissionLines(messages, "Permissions changed:").empty());
}

// A unix socket that takes connections into its backlog and never says a word.
class SilentSoundServer {
 public:
  explicit SilentSoundServer(const std::filesystem::path& path) : path_(path) {
    fd_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    ok_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && ::listen(fd_, 8) == 0;
  }
  ~SilentSoundServer() {
    ::close(fd_);
    ::unlink(path_.c_str());
  }
  bool ok() const { return ok_; }
  std::string server() const { return "unix:" + path_.string(); }

 private:
  std::filesystem::path path_;
  int fd_ = -1;
  bool ok_ = false;
};

// A server that accepts and never answers holds each try until its time-out:
// the Studio opens, and answers the host meanwhile, without waiting for it, and
// the microphone goes on air once a working server has come up.
TEST(StudioMicrophoneAccess, ASoundServerThatNeverAnswersHoldsNeitherTheStartNorTheHost) {
  const auto scratch = std::filesystem::path(qztest::binaryDir()) / "peers" / "runs" /
                       ("studio-silent-sound-" + std::to_string(::getpid()));
  std::filesystem::remove_all(scratch);
  std::filesystem::create_directories(scratch);
  SilentSoundServer silent(scratch / "silent");
  ASSERT_TRUE(silent.ok());
  platform::ScopedSystemLogCapture logs;
  auto previousDefaults = platform::UserDefaults::standard();
  auto defaults = platform::UserDefaults::inMemory();
  platform::UserDefaults::setStandard(defaults);
  for (const auto& [key, value] : std::vector<std::pair<std::string, nlohmann::json>>{
           {"StreamCodec", "h264"}, {"StudioResolution", "720p"}, {"StudioRecordLocally", false}})
    defaults->set(key, value);
  SyntheticSources::resetFaults();

  std::mutex serverLock;
  std::string server = silent.server();
  std::atomic<int> tries{0};
  SystemDevices devices;
  devices.soundServer = [&]() -> std::shared_ptr<platform::PulseAudioContext> {
    ++tries;
    platform::PulseAudioContext::Options options;
    std::lock_guard lock(serverLock);
    options.server = server;  // the real time-out, as the Studio has it
    return platform::PulseAudioContext::connect(options);
  };
  // Generous for a loaded machine; a try that held the main queue would take its whole time-out.
  constexpr auto kAnswered = std::chrono::milliseconds(500);
  using Clock = std::chrono::steady_clock;

  auto runtime = std::make_shared<platform::ThreadRuntime>(4);
  std::unique_ptr<qztest::PulseAudioPeer> peer;
  {
    MainLoop main{runtime};
    auto activation = AppActivation::make(runtime);
    auto studio = openStudio(main, runtime, defaults, devices, activation, scratch, "Silent Sound");
    auto catalog = std::move(studio.catalog);
    auto engine = std::move(studio.engine);
    // Told before the Studio is: a key pressed once focus is back finds the re-check under way.
    std::atomic<int> activations{0};
    std::vector<platform::Subscription> watching;
    activation->activations().sink([&](int64_t) { ++activations; }).store(watching);
    const auto scenario = [&] {
      const auto opening = Clock::now();
      ASSERT_TRUE(main.run(engine->start()));
      bool ready = false;
      main.sync([&] { ready = engine->status().value().isReady(); });
      EXPECT_TRUE(ready);
      EXPECT_LT(Clock::now() - opening, kAnswered) << "the first status waited for the sound server";
      ASSERT_TRUE(qztest::eventually([&] { return tries.load() == 1; }));

      // Focus comes back, then a key: the key is answered while the server is being tried.
      for (int round = 1; round <= 2; ++round) {
        activation->notify();
        ASSERT_TRUE(qztest::eventually([&] { return activations.load() == round; }));
        const auto pressed = Clock::now();
        main.sync([&] { engine->setMuted(round == 1); });
        EXPECT_LT(Clock::now() - pressed, kAnswered) << "round " << round;
      }
      // Still being asked: not denied before the server has answered.
      main.sync([&] { EXPECT_NE(engine->microphonePermission().value(), Permission::granted); });

      peer = sineServer();
      QZ_SKIP_UNLESS_PULSEAUDIO(*peer);
      {
        std::lock_guard lock(serverLock);
        server = peer->server();
      }
      // One activation is enough, even while a try at the silent server still waits.
      activation->notify();
      const auto onAir = [&] { return sineOnAir(main, *engine); };
      ASSERT_TRUE(qztest::eventually(onAir, std::chrono::seconds(20))) << "the sine source never went on air";
      main.sync([&] { EXPECT_EQ(engine->microphonePermission().value(), Permission::granted); });
    };
    scenario();

    EXPECT_TRUE(main.run(engine->close()));
    main.sync([&] {
      watching.clear();
      engine.reset();
      catalog.reset();
    });
  }
  runtime->stopForExit(platform::seconds(5));
  platform::UserDefaults::setStandard(previousDefaults);
  peer.reset();
  std::filesystem::remove_all(scratch);

  if (IsSkipped() || HasFatalFailure()) return;
  const auto messages = logs.sink().messages();
  EXPECT_EQ(std::count(messages.begin(), messages.end(), "Switching microphone to Sine"), 1);
  // The first line waited for the silent server's time-out, which is a denial.
  const auto first = permissionLines(messages, "Permissions: ");
  ASSERT_EQ(first.size(), 1u);
  EXPECT_TRUE(first[0].ends_with(", microphone denied")) << first[0];
}

}  // namespace
}  // namespace quarzadel
