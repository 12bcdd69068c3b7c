// What the Studio does by itself when a camera or microphone fails, stalls, is
// turned off or comes back: the real program pipelines on virtual time,
// synthetic sources and fake device lists.
#include <gtest/gtest.h>

#include <algorithm>

#include "Quarzadel/Log/LogTestSupport.h"

#include "studio_device_fixture.h"

namespace quarzadel {
namespace {

using testing::DeviceStudioFixture;
using testing::syntheticName;
using D = CaptureDeviceDescription;

const std::string kA = "synthetic-a";
const std::string kB = "synthetic-b";

struct Failover : DeviceStudioFixture {
  // Only the synthetic cameras, with A on air.
  void startSynthetic() {
    defaults->set("SyntheticSources", true);
    defaults->set("SkipPermissionPrompts", true);
    startEngine();
    ASSERT_EQ(onAirCamera(), kA);
  }
  void unplugSynthetic(const std::string& id) {
    SyntheticSources::setFault(id, SyntheticSources::Fault::unplugged);
    SyntheticSources::reportUnplugged(id);
    runtime->runUntilIdle();
    onMain([&] { engine->devicesDidChange(); });
  }
  void videoEvent(const ProgramEvent& e) { onMain([&] { engine->handleVideoEvent(e); }); }
  void audioEvent(const ProgramEvent& e) { onMain([&] { engine->handleAudioEvent(e); }); }
};

// ---- A camera that stops

TEST_F(Failover, UnpluggingTheOnAirCameraSwitchesToTheNextAndOffersItBackForFifteenSeconds) {
  testing::LogCapture capture("failover");
  startSynthetic();
  unplugSynthetic(kA);
  EXPECT_EQ(noticeText(), syntheticName(kA) + " stopped \u2014 switched to " + syntheticName(kB) + ".");
  EXPECT_EQ(engine->notice().value()->kind(), StudioNotice::Kind::warning);
  EXPECT_EQ(selectedCamera(), kB);
  EXPECT_TRUE(noticeLastsFor(6));
  EXPECT_EQ(onAirCamera(), kB);

  // Back in: offered, not switched to.
  SyntheticSources::clearFault(kA);
  onMain([&] { engine->devicesDidChange(); });
  ASSERT_TRUE(engine->notice().value());
  const auto offer = *engine->notice().value();
  EXPECT_EQ(offer.text(), syntheticName(kA) + " is back.");
  EXPECT_EQ(offer.actionTitle, "Switch Back");
  EXPECT_TRUE(engine->failedCameraIDs().empty());
  EXPECT_TRUE(noticeLastsFor(15));
  EXPECT_EQ(onAirCamera(), kB);

  onMain([&] { offer.action(); });
  settle();
  EXPECT_EQ(selectedCamera(), kA);
  EXPECT_EQ(onAirCamera(), kA);

  // The engine's lines carry its one category, from whichever of its files they come.
  const auto lines = capture.sessionLines();
  for (const auto& line : {"[INFO] [StudioEngine] Switching camera to " + syntheticName(kB),
                           "[WARN] [StudioEngine] On-air camera failed: " + syntheticName(kA) + ": " +
                               syntheticName(kA) + " was disconnected."})
    EXPECT_NE(std::find(lines.begin(), lines.end(), line), lines.end()) << line;
}

TEST_F(Failover, WithoutAutomaticFailoverTheHostIsToldAndTheCameraReturnsByItself) {
  defaults->set("StudioAutoFailover", false);
  startSynthetic();
  unplugSynthetic(kA);
  EXPECT_EQ(noticeText(), syntheticName(kA) + " stopped. Choose another camera.");
  EXPECT_EQ(engine->failedCameraIDs(), (std::set<std::string>{kA}));
  EXPECT_EQ(onAirCamera(), kA) << "the picture holds the failed camera";
  SyntheticSources::clearFault(kA);
  onMain([&] { engine->devicesDidChange(); });
  settle();
  EXPECT_EQ(logCount("Switching camera to " + syntheticName(kA)), 2) << "a new source for the same camera";
  EXPECT_TRUE(engine->failedCameraIDs().empty());
}

TEST_F(Failover, ReportsThatArriveAfterTheStudioClosedOpenNothing) {
  plugCameras({"cam-usb", "cam-lid"});
  microphoneListing->list = {{"mic-usb", "USB Microphone", D::kTransportUSB, true},
                             {"mic-headset", "Headset", D::kTransportUSB, true}};
  startEngine();
  ASSERT_EQ(onAirCamera(), "cam-usb");
  ASSERT_EQ(onAirMicrophone(), "mic-headset");
  run(engine->close());
  const auto cameras = camerasMade, microphones = microphonesMade;
  videoEvent(ProgramEvent::onAirSourceFailed("cam-usb", "Desk Webcam", "Desk Webcam was disconnected."));
  videoEvent(ProgramEvent::onAirSourceStalled("cam-usb", "Desk Webcam"));
  audioEvent(ProgramEvent::onAirSourceFailed("mic-headset", "Headset", "gone"));
  advance(2);
  EXPECT_EQ(camerasMade, cameras);
  EXPECT_EQ(microphonesMade, microphones);
  EXPECT_FALSE(engine->notice().value());
}

TEST_F(Failover, AFailedSwitchRevertsTheChoiceAndKeepsTheCameraOutOfLaterAutomaticChoices) {
  plugCameras({"cam-usb", "cam-lid", "cam-phone"});
  startEngine();
  ASSERT_EQ(onAirCamera(), "cam-usb");

  SyntheticSources::setFault("cam-lid", SyntheticSources::Fault::hung);  // opens, never delivers
  onMain([&] { engine->selectCamera("cam-lid"); });
  for (int i = 0; i < 400 && selectedCamera() == "cam-lid"; ++i) advance(0.05);
  EXPECT_EQ(selectedCamera(), "cam-usb");
  EXPECT_EQ(defaults->string("StudioCameraID"), "cam-lid") << "the stored choice is left alone";
  EXPECT_EQ(engine->failedCameraIDs(), (std::set<std::string>{"cam-lid"}));
  EXPECT_EQ(noticeText(), "Couldn't switch to Built-in Camera. Built-in Camera didn't send any video.");
  EXPECT_TRUE(noticeLastsFor(6));

  // The built-in camera would rank above the phone; having failed, it is passed over.
  videoEvent(ProgramEvent::onAirSourceFailed("cam-usb", "Desk Webcam", "Desk Webcam was disconnected."));
  EXPECT_EQ(noticeText(), "Desk Webcam stopped \u2014 switched to Phone Camera.");
  EXPECT_EQ(selectedCamera(), "cam-phone");
}

TEST_F(Failover, AFailoverPassesOverACameraThatCannotBeOpened) {
  plugCameras({"cam-usb", "cam-card", "cam-lid"});
  startEngine();
  ASSERT_EQ(onAirCamera(), "cam-usb");
  unopenable.insert("cam-card");
  videoEvent(ProgramEvent::onAirSourceFailed("cam-usb", "Desk Webcam", "Desk Webcam was disconnected."));
  EXPECT_EQ(noticeText(), "Desk Webcam stopped \u2014 switched to Built-in Camera.");
  settle();
  EXPECT_EQ(onAirCamera(), "cam-lid");
}

// ---- A camera that stalls

TEST_F(Failover, FourStallsWithinAMinuteGiveThreeRestartsThenAFailover) {
  startSynthetic();
  const auto name = syntheticName(kA);
  for (int stall = 1; stall <= 3; ++stall) {
    SyntheticSources::freeze(60);  // the running camera only
    advance(ProgramVideo::kStallAfter + 1);
    EXPECT_EQ(logCount("Reopening " + name), stall);
    EXPECT_EQ(onAirCamera(), kA);
  }
  SyntheticSources::freeze(60);
  advance(ProgramVideo::kStallAfter + 1);
  EXPECT_EQ(logCount("Reopening " + name), 3);
  EXPECT_EQ(noticeText(), name + " stopped \u2014 switched to " + syntheticName(kB) + ".");
  settle();
  EXPECT_EQ(onAirCamera(), kB);
}

// ---- A camera that is turned off

TEST_F(Failover, ClosingTheLidWithNoOtherCameraWarnsAndOpeningItReopensItOnlyIfItSendsNothing) {
  plugCameras({"cam-lid"});
  startEngine();
  ASSERT_EQ(onAirCamera(), "cam-lid");
  // A camera that delivers again by itself once opened is left alone.
  cameraListing->setSuspended("cam-lid", true);
  runtime->runUntilIdle();
  cameraListing->setSuspended("cam-lid", false);
  runtime->runUntilIdle();
  advance(2);
  EXPECT_EQ(logCount("Built-in Camera didn't resume by itself: reopening it"), 0);

  cameraListing->setSuspended("cam-lid", true);
  runtime->runUntilIdle();
  EXPECT_EQ(noticeText(), "Built-in Camera is off while the lid is closed. Open the lid, or choose another camera.");
  EXPECT_TRUE(noticeLastsFor(10));

  // It stops delivering while turned off: waited for, not restarted.
  SyntheticSources::freeze(600);
  advance(ProgramVideo::kStallAfter + 1);
  EXPECT_EQ(logCount("Reopening Built-in Camera"), 0);
  EXPECT_FALSE(engine->notice().value()) << "one suspension, one notice";

  // Opened: looked at again 1.5 s later, and reopened since it sends nothing.
  cameraListing->setSuspended("cam-lid", false);
  runtime->runUntilIdle();
  const int made = camerasMade["cam-lid"];
  advance(1.4);
  EXPECT_EQ(camerasMade["cam-lid"], made);
  advance(0.2);
  EXPECT_EQ(camerasMade["cam-lid"], made + 1);
  settle();
  EXPECT_EQ(onAirCamera(), "cam-lid");
}

// ---- Microphones

struct MicrophoneFailover : Failover {
  void SetUp() override {
    Failover::SetUp();
    microphoneListing->list = {{"mic-usb", "USB Microphone", D::kTransportUSB, true},
                               {"mic-headset", "Headset", D::kTransportUSB, true},
                               {"mic-array", "Array Microphone", D::kTransportBuiltIn, true}};
    microphoneListing->defaultID = "mic-headset";
  }
  // With the headset on air the host chooses the USB microphone, and before it
  // sends anything the headset's stall is handled: the program sound reopens the
  // headset and drops the switch.
  void restartTheHeadsetWhileSwitchingToUSB() {
    startEngine();
    ASSERT_EQ(onAirMicrophone(), "mic-headset");
    onMain([&] {
      engine->selectMicrophone("mic-usb");
      engine->handleAudioEvent(ProgramEvent::onAirSourceStalled("mic-headset", "Headset"));
    });
    settle();
    ASSERT_EQ(logCount("Reopening Headset"), 1);
    ASSERT_EQ(onAirMicrophone(), "mic-headset");
    ASSERT_EQ(microphonesMade["mic-usb"], 1);
  }
};

TEST_F(MicrophoneFailover, AFailedMicrophoneFallsBackToTheSystemDefaultThenToTheFirstOther) {
  defaults->set("StudioMicSelection", "mic-usb");
  startEngine();
  ASSERT_EQ(onAirMicrophone(), "mic-usb");
  audioEvent(ProgramEvent::onAirSourceFailed("mic-usb", "USB Microphone", "USB Microphone was disconnected."));
  EXPECT_EQ(noticeText(), "USB Microphone stopped \u2014 now using Headset.");
  settle();
  EXPECT_EQ(onAirMicrophone(), "mic-headset");
  EXPECT_EQ(engine->micSelection().value(), MicSelection::device("mic-usb")) << "the choice is kept";
}

TEST_F(MicrophoneFailover, AMicrophoneWhoseSwitchARestartDroppedCanBeChosenAgain) {
  restartTheHeadsetWhileSwitchingToUSB();
  onMain([&] { engine->selectMicrophone("mic-usb"); });
  EXPECT_EQ(microphonesMade["mic-usb"], 2) << "one new capture for the second choice";
  settle();
  EXPECT_EQ(onAirMicrophone(), "mic-usb");
}

// Chosen back before the USB microphone sent anything, the headset stays on air.
TEST_F(MicrophoneFailover, TheOnAirMicrophoneChosenAgainDuringASwitchEndsTheSwitch) {
  startEngine();
  ASSERT_EQ(onAirMicrophone(), "mic-headset");
  onMain([&] {
    engine->selectMicrophone("mic-usb");
    engine->selectMicrophone("mic-headset");
  });
  settle();
  EXPECT_EQ(onAirMicrophone(), "mic-headset");
  EXPECT_EQ(engine->micSelection().value(), MicSelection::device("mic-headset"));
  // Nothing is left pending: the USB microphone can be chosen again.
  onMain([&] { engine->selectMicrophone("mic-usb"); });
  settle();
  EXPECT_EQ(onAirMicrophone(), "mic-usb");
}

TEST_F(MicrophoneFailover, TheStandInNamedAfterADroppedSwitchIsTheOneThatGoesOnAir) {
  restartTheHeadsetWhileSwitchingToUSB();
  // The USB microphone becomes the system's default input: the first stand-in.
  microphoneListing->setDefault("mic-usb");
  runtime->runUntilIdle();
  ASSERT_EQ(engine->systemDefaultMicID().value(), "mic-usb");
  audioEvent(ProgramEvent::onAirSourceFailed("mic-headset", "Headset", "Headset was disconnected."));
  EXPECT_EQ(noticeText(), "Headset stopped \u2014 now using USB Microphone.");
  EXPECT_EQ(microphonesMade["mic-usb"], 2);
  settle();
  EXPECT_EQ(onAirMicrophone(), "mic-usb");
}

TEST_F(MicrophoneFailover, AStandInThatCannotBeOpenedIsPassedOver) {
  defaults->set("StudioMicSelection", "mic-usb");
  startEngine();
  unopenable.insert("mic-headset");
  audioEvent(ProgramEvent::onAirSourceFailed("mic-usb", "USB Microphone", "gone"));
  EXPECT_EQ(noticeText(), "USB Microphone stopped \u2014 now using Array Microphone.");
  settle();
  EXPECT_EQ(onAirMicrophone(), "mic-array");
}

}  // namespace
}  // namespace quarzadel
