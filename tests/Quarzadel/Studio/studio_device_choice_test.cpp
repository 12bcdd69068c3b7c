// Which cameras and microphones the Studio offers, starts with and puts on air
// when the host chooses, on virtual time with fake device lists.
#include <gtest/gtest.h>

#include <fstream>

#include "studio_device_fixture.h"

namespace quarzadel {
namespace {

using testing::DeviceStudioFixture;
using D = CaptureDeviceDescription;

struct DeviceChoice : DeviceStudioFixture {
  void plugLaptopCameras() { plugCameras({"cam-lid", "cam-usb"}); }
  void plugMicrophones() {
    microphoneListing->list = {{"mic-usb", "USB Microphone", D::kTransportUSB, true},
                               {"mic-headset", "Headset", D::kTransportUSB, true}};
    microphoneListing->defaultID = "mic-headset";
  }
  std::string storedCamera() { return defaults->string("StudioCameraID").value_or("(none)"); }
};

// ---- The camera the Studio starts with

TEST_F(DeviceChoice, TheStartingCameraIsTheInitialOneElseTheStoredOneElseThePreferredOne) {
  plugLaptopCameras();
  using Row = std::tuple<std::string, std::string, bool, std::string>;  // initial, stored, lid closed, on air
  for (const auto& [initial, stored, lidClosed, onAir] : std::vector<Row>{{"cam-lid", "cam-usb", false, "cam-lid"},
                                                                        {"cam-unplugged", "cam-lid", false, "cam-lid"},
                                                                        {"", "cam-lid", true, "cam-usb"}}) {
    SCOPED_TRACE(initial + " " + stored);
    initial.empty() ? defaults->remove("InitialCamera") : defaults->set("InitialCamera", initial);
    defaults->set("StudioCameraID", stored);
    cameraListing->list[0].description.isSuspended = lidClosed;
    startEngine();
    EXPECT_EQ(selectedCamera(), onAir);
    EXPECT_EQ(onAirCamera(), onAir);
    EXPECT_EQ(storedCamera(), stored) << "the initial camera is read, never written";
    run(engine->close());
    engine.reset();
  }
}

// ---- The host's choice

TEST_F(DeviceChoice, ChoosingACameraPutsItOnAirAndStoresOnlyRealDevices) {
  plugLaptopCameras();
  useSyntheticSources();
  startEngine();
  ASSERT_EQ(onAirCamera(), "cam-usb");

  onMain([&] { engine->selectCamera("cam-lid"); });
  EXPECT_EQ(engine->switchingToCameraID().value(), "cam-lid");
  settle();
  EXPECT_EQ(onAirCamera(), "cam-lid");
  EXPECT_EQ(storedCamera(), "cam-lid");

  onMain([&] { engine->selectCamera("synthetic-c"); });
  settle();
  EXPECT_EQ(onAirCamera(), "synthetic-c");
  EXPECT_EQ(storedCamera(), "cam-lid") << "a synthetic camera is never stored";

  // The camera already chosen and on air: nothing is reopened.
  onMain([&] { engine->selectCamera("cam-lid"); });
  settle();
  const int made = camerasMade["cam-lid"];
  onMain([&] { engine->selectCamera("cam-lid"); });
  EXPECT_EQ(camerasMade["cam-lid"], made);

  // A camera that is gone: said so, and the picture stays.
  onMain([&] { engine->selectCamera("cam-gone"); });
  EXPECT_EQ(noticeText(), "That camera is no longer connected.");
  EXPECT_EQ(selectedCamera(), "cam-gone");
  EXPECT_TRUE(noticeLastsFor(6));
  EXPECT_EQ(onAirCamera(), "cam-lid");
}

TEST_F(DeviceChoice, AChoiceThatCannotBeStoredIsStillMade) {
  plugLaptopCameras();
  // The defaults file's folder is a plain file: every write fails.
  std::ofstream(folder / "blocker") << "x";
  defaults = platform::UserDefaults::withFile(folder / "blocker" / "defaults.json");
  defaults->registerDefaults({{"StudioResolution", "720p"}});
  platform::UserDefaults::setStandard(defaults);
  startEngine();
  onMain([&] { engine->selectCamera("cam-lid"); });
  onMain([&] { engine->selectMicrophone(std::nullopt); });
  settle();
  EXPECT_EQ(onAirCamera(), "cam-lid");
  EXPECT_FALSE(defaults->string("StudioCameraID"));
}

// ---- Microphones

TEST_F(DeviceChoice, MicrophonesFollowTheSystemUntilOneIsChosen) {
  plugMicrophones();
  microphoneListing->defaultID = "mic-elsewhere";
  useSyntheticSources();
  startEngine();
  // With the default input missing the first by name stands in.
  EXPECT_EQ(engine->systemMicrophoneLabel(), "Same as System");
  EXPECT_EQ(onAirMicrophone(), "mic-headset");
  // The system's default changes: the program follows it.
  microphoneListing->setDefault("mic-usb");
  settle();
  EXPECT_EQ(onAirMicrophone(), "mic-usb");
  EXPECT_EQ(engine->systemMicrophoneLabel(), "Same as System (USB Microphone)");

  onMain([&] { engine->selectMicrophone("mic-headset"); });
  settle();
  EXPECT_EQ(onAirMicrophone(), "mic-headset");
  EXPECT_EQ(defaults->string("StudioMicSelection"), "mic-headset");
  onMain([&] { engine->selectMicrophone(SyntheticToneSource::kID); });
  settle();
  EXPECT_EQ(onAirMicrophone(), SyntheticToneSource::kID);
  EXPECT_EQ(defaults->string("StudioMicSelection"), "mic-headset") << "a synthetic microphone is never stored";
  onMain([&] { engine->selectMicrophone(std::nullopt); });
  settle();
  EXPECT_EQ(defaults->string("StudioMicSelection"), "system");
  EXPECT_EQ(onAirMicrophone(), "mic-usb");
}

// ---- Access

TEST_F(DeviceChoice, AccessGrantedLaterFillsTheListsAndPutsTheInitialChoicesOnAir) {
  plugLaptopCameras();
  plugMicrophones();
  cameraAccess = microphoneAccess = StudioEngine::Permission::denied;
  startEngine();
  onMain([&] { engine->refreshPermissions(); });
  EXPECT_TRUE(engine->cameras().value().empty()) << "nothing changed: nothing happens";
  EXPECT_FALSE(onAirCamera() || selectedCamera());
  EXPECT_TRUE(engine->status().value().isReady()) << "ready without any camera";

  cameraAccess = microphoneAccess = StudioEngine::Permission::granted;
  onMain([&] { engine->refreshPermissions(); });
  settle();
  EXPECT_EQ(engine->cameras().value().size(), 2u);
  EXPECT_EQ(onAirCamera(), "cam-usb");
  EXPECT_EQ(onAirMicrophone(), "mic-headset");
}

// A sound server that answers only at the re-check brings its default input
// and the grant at once: the microphone is switched to once, with one source.
struct LateMicrophones : DeviceChoice {
  bool serverUp = false;
  void configure(StudioEngine::Environment& env) override {
    DeviceChoice::configure(env);
    catalog = DeviceCatalog::make(cameraListing, nullptr, runtime->mainQueue());
    env.access = [this](platform::MediaType type) {
      if (type == platform::MediaType::video) return StudioEngine::Permission::granted;
      if (!serverUp) return StudioEngine::Permission::denied;
      catalog->adoptMicrophones(microphoneListing);
      return StudioEngine::Permission::granted;
    };
  }
};

TEST_F(LateMicrophones, TheReCheckSwitchesToTheDefaultInputOnce) {
  plugMicrophones();
  startEngine();
  EXPECT_FALSE(onAirMicrophone());
  serverUp = true;
  onMain([&] { engine->refreshPermissions(); });
  EXPECT_EQ(logCount("Switching microphone to Headset"), 1);
  EXPECT_EQ(microphonesMade["mic-headset"], 1);
  settle();
  EXPECT_EQ(onAirMicrophone(), "mic-headset");
  // Asked for again while it is being switched to, and once on air: still one.
  onMain([&] { engine->selectMicrophone("mic-usb"); });
  onMain([&] { engine->selectMicrophone("mic-usb"); });
  settle();
  EXPECT_EQ(onAirMicrophone(), "mic-usb");
  onMain([&] { engine->selectMicrophone("mic-usb"); });
  EXPECT_EQ(microphonesMade["mic-usb"], 1);
  EXPECT_EQ(logCount("Switching microphone to USB Microphone"), 1);
}

}  // namespace
}  // namespace quarzadel
