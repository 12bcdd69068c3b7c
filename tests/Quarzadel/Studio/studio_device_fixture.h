#pragma once
// A Studio engine on virtual time with device lists the test changes: fake
// camera and microphone listings behind a real device catalogue, the real
// program pipelines, cameras and microphones that are synthetic sources under
// the devices' identifiers, and the log lines captured.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "Platform/Concurrency/Task.h"
#include "Platform/Defaults/UserDefaults.h"
#include "Platform/Dispatch/VirtualRuntime.h"
#include "Platform/Log/SystemLog.h"
#include "Quarzadel/Capture/SyntheticSources.h"
#include "Quarzadel/Capture/SyntheticToneSource.h"
#include "Quarzadel/Capture/SyntheticVideoSource.h"
#include "Quarzadel/Studio/StudioEngine.h"
// After the publisher, whose types it fakes.
#include "Quarzadel/Studio/FakePublisherTransport.h"

namespace quarzadel::testing {

// Cameras the test plugs, unplugs and turns off; tells the catalogue at once.
class FakeCameraListing final : public CameraListing {
 public:
  std::vector<Camera> cameras() override { return list; }
  std::unique_ptr<DeviceWatch> watchList(std::function<void()> onChange) override {
    onListChange = std::move(onChange);
    return std::make_unique<FunctionWatch>([this] { onListChange = nullptr; });
  }
  bool isSuspended(const std::string& uniqueID) override {
    for (const auto& c : list)
      if (c.description.uniqueID == uniqueID) return c.description.isSuspended;
    return false;
  }

  static CaptureDeviceDescription describe(const std::string& id, const std::string& name, platform::FourCC transport,
                                           std::string deviceType = CaptureDeviceDescription::kExternal) {
    CaptureDeviceDescription d;
    d.deviceType = std::move(deviceType);
    d.uniqueID = id;
    d.modelID = "model-" + id;
    d.transportType = transport;
    d.localizedName = name;
    return d;
  }
  void plug(CaptureDeviceDescription description) {
    list.push_back({std::move(description), true});
    changed();
  }
  void unplug(const std::string& id) {
    std::erase_if(list, [&](const Camera& c) { return c.description.uniqueID == id; });
    changed();
  }
  void setSuspended(const std::string& id, bool suspended) {
    for (auto& c : list)
      if (c.description.uniqueID == id) c.description.isSuspended = suspended;
    changed();
  }
  void changed() {
    if (onListChange) onListChange();
  }

  std::vector<Camera> list;
  std::function<void()> onListChange;
};

class FakeMicrophoneListing final : public MicrophoneListing {
 public:
  std::vector<Microphone> microphones() override { return list; }
  std::optional<std::string> defaultMicrophoneID() override { return defaultID; }
  std::unique_ptr<DeviceWatch> watchList(std::function<void()> onChange) override {
    onListChange = std::move(onChange);
    return std::make_unique<FunctionWatch>([this] { onListChange = nullptr; });
  }
  std::unique_ptr<DeviceWatch> watchDefaultInput(std::function<void()> onChange, int32_t& status) override {
    status = 0;
    onDefaultChange = std::move(onChange);
    return std::make_unique<FunctionWatch>([this] { onDefaultChange = nullptr; });
  }

  void plug(const std::string& id, const std::string& name) {
    list.push_back({id, name, CaptureDeviceDescription::kTransportUSB, true});
    if (onListChange) onListChange();
  }
  void unplug(const std::string& id) {
    std::erase_if(list, [&](const Microphone& m) { return m.uniqueID == id; });
    if (onListChange) onListChange();
  }
  void setDefault(std::optional<std::string> id) {
    defaultID = std::move(id);
    if (onDefaultChange) onDefaultChange();
  }

  std::vector<Microphone> list;
  std::optional<std::string> defaultID;
  std::function<void()> onListChange, onDefaultChange;
};

struct DeviceStudioFixture : ::testing::Test {
  std::shared_ptr<platform::VirtualRuntime> runtime = platform::VirtualRuntime::make();
  std::shared_ptr<platform::FixedWallClock> clock =
      std::make_shared<platform::FixedWallClock>(platform::Date(std::chrono::seconds(1'800'000'000)));
  std::shared_ptr<platform::UserDefaults> defaults = platform::UserDefaults::inMemory();
  std::shared_ptr<platform::UserDefaults> previousDefaults = platform::UserDefaults::standard();
  std::shared_ptr<FakeServer> server = std::make_shared<FakeServer>(runtime);
  std::shared_ptr<FakeCameraListing> cameraListing = std::make_shared<FakeCameraListing>();
  std::shared_ptr<FakeMicrophoneListing> microphoneListing = std::make_shared<FakeMicrophoneListing>();
  std::filesystem::path folder;
  std::shared_ptr<SessionLog> sessionLog;
  std::shared_ptr<DeviceCatalog> catalog;
  std::shared_ptr<StudioEngine> engine;
  platform::ScopedSystemLogCapture logs;

  // What the system grants; what opens.
  StudioEngine::Permission cameraAccess = StudioEngine::Permission::granted;
  StudioEngine::Permission microphoneAccess = StudioEngine::Permission::granted;
  std::set<std::string> unopenable;
  // Sources made per device identifier.
  std::map<std::string, int> camerasMade, microphonesMade;

  void SetUp() override {
    folder = std::filesystem::temp_directory_path() /
             ("studio-devices-" + std::to_string(::getpid()) + "-" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder / "logs");
    platform::UserDefaults::setStandard(defaults);
    // A small program picture keeps rendering cheap on virtual time.
    defaults->set("StudioResolution", "720p");
    SyntheticSources::resetFaults();
    sessionLog = SessionLog::make(clock, folder / "logs", runtime);
  }

  void TearDown() override {
    if (engine) {
      run(engine->close());
      engine.reset();
    }
    catalog.reset();
    runtime->advance(platform::seconds(10));
    platform::UserDefaults::setStandard(previousDefaults);
    SyntheticSources::resetFaults();
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
  }

  void useSyntheticSources() { defaults->set("SyntheticSources", true); }

  void makeEngine() {
    catalog = DeviceCatalog::make(cameraListing, microphoneListing, runtime->mainQueue());
    StudioEngine::Environment env;
    env.runtime = runtime;
    env.wallClock = clock;
    env.defaults = defaults;
    env.devices = SystemDevices{cameraListing, microphoneListing, nullptr, nullptr};
    env.publisherEnvironment.runtime = runtime;
    env.publisherEnvironment.clock = clock;
    env.publisherEnvironment.makeConnection = server->factory();
    env.publisherEnvironment.pathMonitor = std::make_shared<FakePathMonitor>();
    env.publisherEnvironment.demoLiveElapsed = [] { return 0.0; };
    env.sessionLog = sessionLog;
    env.uploadLog = [](const std::filesystem::path&) {};
    env.access = [this](platform::MediaType type) {
      return type == platform::MediaType::video ? cameraAccess : microphoneAccess;
    };
    // A device's camera is a synthetic source under the device's identifier and name.
    env.makeCamera = [this](const std::string& id, const StreamConfig&) -> std::shared_ptr<VideoFrameSource> {
      for (const auto& c : cameraListing->list) {
        if (c.description.uniqueID != id || unopenable.count(id)) continue;
        ++camerasMade[id];
        SyntheticVideoSource::Spec spec{id, c.description.localizedName, 320, 180, 30, {0.2, 0.4, 0.6}, 0, false};
        return SyntheticVideoSource::make(spec, runtime);
      }
      return nullptr;
    };
    env.makeMicrophone = [this](const std::string& id) -> std::shared_ptr<AudioFrameSource> {
      for (const auto& m : microphoneListing->list) {
        if (m.uniqueID != id || unopenable.count(id)) continue;
        ++microphonesMade[id];
        return std::make_shared<SyntheticToneSource>(ToneSpec{id, m.localizedName});
      }
      return nullptr;
    };
    engine = StudioEngine::make(event(), catalog, env);
  }

  StudioEvent event() const {
    return StudioEvent::fromPayload({{"streamKey", "abcdefghij"}, {"title", "Rehearsal"}}).value();
  }

  // Makes and starts the engine, then lets the first choices go on air.
  void startEngine() {
    if (!engine) makeEngine();
    run(engine->start());
    settle();
  }

  // Runs `work` on the main queue to its end, on virtual time.
  void run(platform::Async<void> work) {
    bool done = false;
    auto body = [](platform::Async<void> inner, bool* flag) -> platform::Async<void> {
      co_await std::move(inner);
      *flag = true;
    };
    platform::spawnDetached(runtime->mainQueue(), body(std::move(work), &done));
    runtime->runUntilIdle();
    for (int i = 0; !done && i < 3000; ++i) runtime->advance(platform::seconds(0.01));
    EXPECT_TRUE(done);
  }
  void advance(double seconds) { runtime->advance(platform::seconds(seconds)); }
  // Long enough for a switch to go on air and for events to reach the engine.
  void settle() { advance(1.5); }
  // Runs `f` on the main queue, where the engine lives.
  void onMain(std::function<void()> f) {
    runtime->mainQueue()->async(std::move(f));
    runtime->runUntilIdle();
  }

  std::optional<std::string> onAirCamera() const { return engine->onAirCameraID().value(); }
  std::optional<std::string> selectedCamera() const { return engine->selectedCameraID().value(); }
  std::optional<std::string> onAirMicrophone() const { return engine->onAirMicID().value(); }
  std::optional<std::string> noticeText() const {
    auto notice = engine->notice().value();
    return notice ? std::optional(notice->text()) : std::nullopt;
  }
  // How long the current notice stays: advances to just before and just after.
  bool noticeLastsFor(double seconds) {
    const auto shown = engine->notice().value();
    if (!shown) return false;
    advance(seconds - 0.05);
    const auto before = engine->notice().value();
    if (!before || before->id() != shown->id()) return false;
    advance(0.1);
    return !engine->notice().value().has_value();
  }
  int logCount(const std::string& text) {
    int n = 0;
    for (const auto& m : logs.sink().messages()) n += m == text;
    return n;
  }
};

// The synthetic cameras by their names.
inline std::string syntheticName(const std::string& id) { return SyntheticSources::spec(id).value().name; }

}  // namespace quarzadel::testing
