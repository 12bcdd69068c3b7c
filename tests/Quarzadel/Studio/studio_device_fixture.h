#pragma once
// A Studio engine on virtual time with device lists the test changes: fake
// camera and microphone listings behind a real device catalogue, and cameras
// and microphones that are synthetic sources under the devices' identifiers.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "Quarzadel/Capture/SyntheticToneSource.h"
#include "Quarzadel/Studio/studio_engine_fixture.h"

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
    return std::any_of(list.begin(), list.end(), [&](const Camera& c) {
      return c.description.uniqueID == uniqueID && c.description.isSuspended;
    });
  }
  void setSuspended(const std::string& id, bool suspended) {
    for (auto& c : list)
      if (c.description.uniqueID == id) c.description.isSuspended = suspended;
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

  void setDefault(std::optional<std::string> id) {
    defaultID = std::move(id);
    if (onDefaultChange) onDefaultChange();
  }

  std::vector<Microphone> list;
  std::optional<std::string> defaultID;
  std::function<void()> onListChange, onDefaultChange;
};

// The engine fixture with these device lists; the engine is made at the first
// startEngine(), after the test has set up its devices and defaults.
struct DeviceStudioFixture : StudioEngineFixture {
  std::shared_ptr<FakeCameraListing> cameraListing = std::make_shared<FakeCameraListing>();
  std::shared_ptr<FakeMicrophoneListing> microphoneListing = std::make_shared<FakeMicrophoneListing>();
  // What the system grants; what opens.
  StudioEngine::Permission cameraAccess = StudioEngine::Permission::granted;
  StudioEngine::Permission microphoneAccess = StudioEngine::Permission::granted;
  std::set<std::string> unopenable;
  // Sources made per device identifier.
  std::map<std::string, int> camerasMade, microphonesMade;

  void SetUp() override {
    StudioEngineFixture::SetUp();
    // The catalogue made with it would clear the fake lists' watches when it goes later.
    engine.reset();
    catalog.reset();
    defaults->remove("SyntheticSources");
    defaults->remove("SkipPermissionPrompts");
    // A small program picture keeps rendering cheap on virtual time.
    defaults->set("StudioResolution", "720p");
  }

  void useSyntheticSources() { defaults->set("SyntheticSources", true); }
  // Plugs cameras in by identifier, in this order, from a laptop's and a desk's usual set.
  void plugCameras(const std::vector<std::string>& ids) {
    using D = CaptureDeviceDescription;
    const std::map<std::string, std::tuple<std::string, platform::FourCC, std::string>> known{
        {"cam-usb", {"Desk Webcam", D::kTransportUSB, D::kExternal}},
        {"cam-lid", {"Built-in Camera", D::kTransportBuiltIn, D::kBuiltInWideAngleCamera}},
        {"cam-phone", {"Phone Camera", 0, D::kContinuityCamera}},
        {"cam-card", {"Capture Card", 0, D::kExternal}}};
    for (const auto& id : ids) {
      D d;
      std::tie(d.localizedName, d.transportType, d.deviceType) = known.at(id);
      d.uniqueID = id;
      d.modelID = "model-" + id;
      cameraListing->list.push_back({d});
    }
  }

  void configure(StudioEngine::Environment& env) override {
    catalog = DeviceCatalog::make(cameraListing, microphoneListing, runtime->mainQueue());
    env.devices = SystemDevices{cameraListing, microphoneListing, nullptr, nullptr};
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
  }

  // Makes and starts the engine, then lets the first choices go on air.
  void startEngine() {
    if (!engine) makeEngine();
    run(engine->start());
    settle();
  }
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
};

// The synthetic cameras by their names.
inline std::string syntheticName(const std::string& id) { return SyntheticSources::spec(id).value().name; }

}  // namespace quarzadel::testing
