// Which cameras and microphones the Studio offers, starts with and puts on air
// when the host chooses, on virtual time with fake device lists.
#include <gtest/gtest.h>

#include <fstream>

#include "Quarzadel/Studio/CameraPreference.h"
#include "studio_device_fixture.h"

namespace quarzadel {
namespace {

using testing::DeviceStudioFixture;
using testing::FakeCameraListing;
using testing::syntheticName;
using D = CaptureDeviceDescription;
using Kind = CameraDevice::Kind;

CameraDevice camera(std::string id, Kind kind, bool suspended = false) {
  return {id, "Camera " + id, kind, "model", suspended};
}

TEST(CameraPreference, RanksUsbOverOtherOverBuiltInOverContinuityOverVirtualOverDeskView) {
  std::vector<CameraDevice> cameras{camera("desk", Kind::deskView),    camera("virtual", Kind::virtual_),
                                    camera("phone", Kind::continuity), camera("lid", Kind::builtIn),
                                    camera("card", Kind::other),       camera("usb-off", Kind::usb, true),
                                    camera("usb", Kind::usb),          camera("usb-2", Kind::usb),
                                    camera("screen-share", Kind::screen)};
  std::vector<std::string> order;
  std::set<std::string> excluded;
  while (auto best = CameraPreference::preferred(cameras, excluded)) {
    order.push_back(best->id);
    excluded.insert(best->id);
  }
  // Ties go by list order; suspended cameras and the shared screen are never taken by preference.
  EXPECT_EQ(order, (std::vector<std::string>{"usb", "usb-2", "card", "lid", "phone", "virtual", "desk"}));
}

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
  struct Row {
    const char* initial;
    const char* stored;
    bool lidClosed;
    std::string onAir;
  };
  for (const auto& row : std::vector<Row>{{"cam-lid", "cam-usb", false, "cam-lid"},
                                          {"cam-unplugged", "cam-lid", false, "cam-lid"},
                                          {"", "cam-lid", true, "cam-usb"}}) {
    SCOPED_TRACE(std::string(row.initial) + " " + row.stored);
    *row.initial ? defaults->set("InitialCamera", row.initial) : defaults->remove("InitialCamera");
    defaults->set("StudioCameraID", row.stored);
    cameraListing->list[0].description.isSuspended = row.lidClosed;
    startEngine();
    EXPECT_EQ(selectedCamera(), row.onAir);
    EXPECT_EQ(onAirCamera(), row.onAir);
    EXPECT_EQ(storedCamera(), row.stored) << "the initial camera is read, never written";
    run(engine->close());
    engine.reset();
  }
}

TEST_F(DeviceChoice, WithNoCameraAtAllNothingIsSelectedAndTheStudioIsStillReady) {
  startEngine();
  EXPECT_FALSE(selectedCamera());
  EXPECT_FALSE(onAirCamera());
  EXPECT_TRUE(engine->status().value().isReady());
  EXPECT_EQ(logCount("No camera available"), 1);
}

TEST_F(DeviceChoice, DeviceChangesBeforeTheStudioIsReadyUpdateTheListsAndSwitchNothing) {
  useSyntheticSources();
  makeEngine();
  SyntheticSources::setFault("synthetic-b", SyntheticSources::Fault::suspended);
  onMain([&] { engine->devicesDidChange(); });
  EXPECT_EQ(engine->cameras().value().size(), 5u);
  EXPECT_EQ(engine->suspendedCameraIDs(), (std::set<std::string>{"synthetic-b"}));

  SyntheticSources::setFault("synthetic-a", SyntheticSources::Fault::unplugged);
  SyntheticSources::clearFault("synthetic-b");
  onMain([&] { engine->devicesDidChange(); });
  advance(2);
  EXPECT_EQ(engine->cameras().value().size(), 4u);
  EXPECT_TRUE(engine->suspendedCameraIDs().empty());
  EXPECT_FALSE(selectedCamera());
  EXPECT_FALSE(engine->switchingToCameraID().value());
  EXPECT_FALSE(onAirCamera());
  EXPECT_FALSE(engine->notice().value());
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
  EXPECT_FALSE(engine->switchingToCameraID().value());
  EXPECT_EQ(storedCamera(), "cam-lid");
  EXPECT_EQ(logCount("Switching camera to Built-in Camera"), 1);

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
  EXPECT_EQ(engine->notice().value()->kind(), StudioNotice::Kind::warning);
  EXPECT_FALSE(engine->switchingToCameraID().value());
  EXPECT_EQ(selectedCamera(), "cam-gone");
  EXPECT_TRUE(noticeLastsFor(6));
  EXPECT_EQ(onAirCamera(), "cam-lid");
}

TEST_F(DeviceChoice, ChoosingASuspendedCameraKeepsThePictureAndSaysWhenItComesOn) {
  plugLaptopCameras();
  plugCameras({"cam-cover"});
  startEngine();
  ASSERT_EQ(onAirCamera(), "cam-usb");

  cameraListing->setSuspended("cam-lid", true);
  runtime->runUntilIdle();
  onMain([&] { engine->selectCamera("cam-lid"); });
  EXPECT_EQ(noticeText(), "Built-in Camera is off while the lid is closed. It comes on when you open the lid.");
  EXPECT_EQ(engine->notice().value()->kind(), StudioNotice::Kind::info);
  EXPECT_EQ(selectedCamera(), "cam-lid");
  EXPECT_EQ(storedCamera(), "cam-lid");
  EXPECT_TRUE(noticeLastsFor(10));
  EXPECT_EQ(onAirCamera(), "cam-usb");

  cameraListing->setSuspended("cam-cover", true);
  runtime->runUntilIdle();
  onMain([&] { engine->selectCamera("cam-cover"); });
  EXPECT_EQ(noticeText(), "Room Camera is turned off. It comes on as soon as it's available again.");

  // The chosen camera goes on air when it resumes.
  cameraListing->setSuspended("cam-cover", false);
  runtime->runUntilIdle();
  settle();
  EXPECT_EQ(onAirCamera(), "cam-cover");
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

TEST_F(DeviceChoice, NextCameraStartsAtTheFirstAndWrapsFromTheLast) {
  useSyntheticSources();
  makeEngine();
  defaults->set("InitialCamera", "synthetic-noise");  // the last of the list
  run(engine->start());
  settle();
  ASSERT_EQ(onAirCamera(), "synthetic-noise");
  onMain([&] { engine->selectNextCamera(); });
  EXPECT_EQ(selectedCamera(), "synthetic-a");
  onMain([&] { engine->selectNextCamera(); });
  EXPECT_EQ(selectedCamera(), "synthetic-b") << "counts from the camera being switched to";
}

// ---- Microphones

TEST_F(DeviceChoice, MicrophonesFollowTheSystemUntilOneIsChosen) {
  plugMicrophones();
  useSyntheticSources();
  startEngine();
  EXPECT_EQ(onAirMicrophone(), "mic-headset");
  EXPECT_EQ(engine->systemMicrophoneLabel(), "Same as System (Headset)");

  onMain([&] { engine->selectMicrophone("mic-usb"); });
  settle();
  EXPECT_EQ(onAirMicrophone(), "mic-usb");
  EXPECT_EQ(defaults->string("StudioMicSelection"), "mic-usb");
  EXPECT_EQ(logCount("Switching microphone to USB Microphone"), 1);

  onMain([&] { engine->selectMicrophone(SyntheticToneSource::kID); });
  settle();
  EXPECT_EQ(onAirMicrophone(), SyntheticToneSource::kID);
  EXPECT_EQ(engine->micSelection().value(), MicSelection::device(SyntheticToneSource::kID));
  EXPECT_EQ(defaults->string("StudioMicSelection"), "mic-usb") << "a synthetic microphone is never stored";

  onMain([&] { engine->selectMicrophone(std::nullopt); });
  settle();
  EXPECT_EQ(defaults->string("StudioMicSelection"), "system");
  EXPECT_EQ(onAirMicrophone(), "mic-headset");
}

TEST_F(DeviceChoice, WithTheDefaultInputMissingTheFirstMicrophoneStandsIn) {
  plugMicrophones();
  microphoneListing->defaultID = "mic-elsewhere";
  startEngine();
  EXPECT_EQ(engine->systemMicrophoneLabel(), "Same as System");
  ASSERT_EQ(engine->microphones().value().front().id, "mic-headset") << "listed by name";
  EXPECT_EQ(onAirMicrophone(), "mic-headset");

  // The system's default changes: the program follows it.
  microphoneListing->setDefault("mic-usb");
  runtime->runUntilIdle();
  settle();
  EXPECT_EQ(onAirMicrophone(), "mic-usb");
  EXPECT_EQ(engine->systemMicrophoneLabel(), "Same as System (USB Microphone)");
}

TEST_F(DeviceChoice, AChosenMicrophoneThatIsMissingIsStoodInForAndTakenBackWhenNothingIsOnAir) {
  microphoneListing->list = {{"mic-usb", "USB Microphone", D::kTransportUSB, true}};
  defaults->set("StudioMicSelection", "mic-podcast");
  startEngine();
  EXPECT_EQ(onAirMicrophone(), "mic-usb");
  EXPECT_EQ(engine->micSelection().value(), MicSelection::device("mic-podcast"));
  // It reappears while a stand-in is on air: it stays off air.
  microphoneListing->plug("mic-podcast", "Podcast Microphone");
  runtime->runUntilIdle();
  settle();
  EXPECT_EQ(onAirMicrophone(), "mic-usb");
  onMain([&] { engine->applyMicSelection(); });
  settle();
  EXPECT_EQ(onAirMicrophone(), "mic-podcast");
}

// ---- Access

TEST_F(DeviceChoice, SkippingThePromptsDeniesBothAndOffersOnlySyntheticSources) {
  plugLaptopCameras();
  plugMicrophones();
  useSyntheticSources();
  defaults->set("SkipPermissionPrompts", true);
  startEngine();
  EXPECT_EQ(engine->cameraPermission().value(), StudioEngine::Permission::denied);
  EXPECT_EQ(engine->microphonePermission().value(), StudioEngine::Permission::denied);
  for (const auto& c : engine->cameras().value()) EXPECT_TRUE(c.id.starts_with("synthetic-")) << c.id;
  ASSERT_EQ(engine->microphones().value().size(), 1u);
  EXPECT_EQ(onAirMicrophone(), SyntheticToneSource::kID);
  EXPECT_EQ(onAirCamera(), "synthetic-a");
}

TEST_F(DeviceChoice, AccessGrantedLaterFillsTheListsAndPutsTheInitialChoicesOnAir) {
  plugLaptopCameras();
  plugMicrophones();
  cameraAccess = microphoneAccess = StudioEngine::Permission::denied;
  startEngine();
  EXPECT_TRUE(engine->cameras().value().empty());
  EXPECT_FALSE(onAirCamera());

  onMain([&] { engine->refreshPermissions(); });
  EXPECT_TRUE(engine->cameras().value().empty()) << "nothing changed: nothing happens";

  cameraAccess = microphoneAccess = StudioEngine::Permission::granted;
  onMain([&] { engine->refreshPermissions(); });
  settle();
  EXPECT_EQ(engine->cameras().value().size(), 2u);
  EXPECT_EQ(onAirCamera(), "cam-usb");
  EXPECT_EQ(onAirMicrophone(), "mic-headset");
  EXPECT_EQ(logCount("Permissions changed: camera granted, microphone granted"), 1);
}

}  // namespace
}  // namespace quarzadel
