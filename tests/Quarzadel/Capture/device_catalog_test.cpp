#include <gtest/gtest.h>

#include "Platform/Dispatch/VirtualRuntime.h"
#include "Quarzadel/Capture/DeviceCatalog.h"
#include "Quarzadel/Capture/capture_test_support.h"
#include "Quarzadel/Program/program_test_support.h"

namespace quarzadel {
namespace {

using testing::FakeCameraListing;
using testing::FakeMicrophoneListing;
using D = CaptureDeviceDescription;

CameraListing::Camera camera(std::string id, std::string name, std::string type = D::kExternal,
                             platform::FourCC transport = D::kTransportUSB, std::string model = "M") {
  CameraListing::Camera c;
  c.description.uniqueID = std::move(id);
  c.description.localizedName = std::move(name);
  c.description.deviceType = std::move(type);
  c.description.transportType = transport;
  c.description.modelID = std::move(model);
  return c;
}

MicrophoneListing::Microphone mic(std::string id, std::string name, platform::FourCC transport = D::kTransportUSB) {
  return {std::move(id), std::move(name), transport, true};
}

std::vector<std::string> names(const std::vector<CameraDevice>& list) {
  std::vector<std::string> out;
  for (const auto& c : list) out.push_back(c.name);
  return out;
}
std::vector<std::string> names(const std::vector<MicDevice>& list) {
  std::vector<std::string> out;
  for (const auto& c : list) out.push_back(c.name);
  return out;
}

class DeviceCatalogTest : public ::testing::Test {
 protected:
  std::shared_ptr<platform::VirtualRuntime> runtime = platform::VirtualRuntime::make();
  std::shared_ptr<platform::SerialQueue> main = runtime->mainQueue();
  std::shared_ptr<FakeCameraListing> cams = std::make_shared<FakeCameraListing>();
  std::shared_ptr<FakeMicrophoneListing> mics = std::make_shared<FakeMicrophoneListing>();
  std::shared_ptr<DeviceCatalog> catalog;
  // The camera lists published after the catalogue was made.
  int cameraPublications = 0;
  // What each published value delivered after the catalogue was made, in order.
  std::vector<std::string> publications;
  std::vector<platform::Subscription> subs;

  void make() {
    catalog = DeviceCatalog::make(cams, mics, main);
    subs.push_back(catalog->cameras.publisher().dropFirst().sink([this](const auto&) {
      ++cameraPublications;
      publications.push_back("cameras");
    }));
    subs.push_back(
        catalog->microphones.publisher().dropFirst().sink([this](const auto&) { publications.push_back("microphones"); }));
    subs.push_back(catalog->systemDefaultMicID.publisher().dropFirst().sink(
        [this](const auto&) { publications.push_back("systemDefaultMicID"); }));
  }
};

// Cameras by kind rank, then by name (letters without case, digit runs by value);
// disconnected and repeated ones left out, the first one wins. Microphones
// built-in first, virtual last.
TEST_F(DeviceCatalogTest, ListsAreSortedAndCleaned) {
  auto gone = camera("g", "Gone");
  gone.isConnected = false;
  cams->list = {camera("v", "Virtual Cam", D::kExternal, D::kTransportVirtual),
                camera("phone", "Phone", D::kContinuityCamera, 0),
                camera("u10", "Camera 10"),
                gone,
                camera("o", "Other Cam", D::kExternal, platform::fourCC("????")),
                camera("u2", "camera 2"),
                camera("u10", "Camera 10 again"),
                camera("b", "FaceTime", D::kBuiltInWideAngleCamera, 0),
                camera("desk", "Desk", D::kDeskViewCamera, 0)};
  mics->list = {mic("agg", "Aggregate A", D::kTransportAggregate), mic("b", "B Mic"),
                mic("z", "Zoom Mic", D::kTransportBuiltIn), mic("v", "A Virtual", D::kTransportVirtual),
                mic("z", "Zoom Mic again", D::kTransportBuiltIn)};
  make();
  EXPECT_EQ(names(catalog->cameras.value()),
            (std::vector<std::string>{"FaceTime", "camera 2", "Camera 10", "Other Cam", "Phone", "Desk", "Virtual Cam"}));
  EXPECT_EQ(catalog->watchedCameras(), (std::vector<std::string>{"b", "desk", "o", "phone", "u10", "u2", "v"}));
  EXPECT_EQ(names(catalog->microphones.value()),
            (std::vector<std::string>{"Zoom Mic", "B Mic", "A Virtual", "Aggregate A"}));
  EXPECT_TRUE(DeviceCatalog::namesAscending("Mic 007", "Mic 8"));
  // Letters by the locale's collation, not by their bytes.
  EXPECT_TRUE(DeviceCatalog::namesAscending("Élan", "Zeta"));
  EXPECT_TRUE(DeviceCatalog::namesAscending("élan", "Zeta"));
  EXPECT_TRUE(DeviceCatalog::namesAscending("Eagle", "Élan"));
  EXPECT_TRUE(DeviceCatalog::namesAscending("Camera 2", "camera 10"));
  EXPECT_FALSE(DeviceCatalog::namesAscending("ABC", "abc"));
  EXPECT_FALSE(DeviceCatalog::namesAscending("abc", "ABC"));
}

// A sound server that answers only after the catalogue was made: its
// microphones are listed at once and followed from then on; a second one is
// not taken over the first.
TEST_F(DeviceCatalogTest, MicrophonesThatComeLaterAreListedAndWatched) {
  catalog = DeviceCatalog::make(cams, nullptr, main);
  auto lateMics = mics;
  mics = nullptr;
  EXPECT_FALSE(catalog->listsMicrophones());
  std::vector<std::string> published;
  subs.push_back(catalog->microphones.publisher().dropFirst().sink(
      [&](const std::vector<MicDevice>& list) { published.push_back(std::to_string(list.size())); }));
  lateMics->list = {mic("b", "B Mic"), mic("a", "A Mic")};
  lateMics->defaultID = "b";
  catalog->adoptMicrophones(lateMics);
  EXPECT_TRUE(catalog->listsMicrophones());
  EXPECT_EQ(names(catalog->microphones.value()), (std::vector<std::string>{"A Mic", "B Mic"}));
  EXPECT_EQ(catalog->systemDefaultMicID.value(), "b");
  EXPECT_EQ(published, (std::vector<std::string>{"2"})) << "published at once, not a refresh later";

  lateMics->list.pop_back();
  lateMics->fireList();
  lateMics->defaultID = std::nullopt;
  lateMics->fireDefault();
  runtime->runUntilIdle();
  EXPECT_EQ(names(catalog->microphones.value()), (std::vector<std::string>{"B Mic"}));
  EXPECT_EQ(catalog->systemDefaultMicID.value(), std::nullopt);

  auto other = std::make_shared<FakeMicrophoneListing>();
  other->list = {mic("x", "Other")};
  catalog->adoptMicrophones(other);
  EXPECT_EQ(names(catalog->microphones.value()), (std::vector<std::string>{"B Mic"}));
  EXPECT_FALSE(other->listWatcher);
  catalog.reset();
  EXPECT_FALSE(lateMics->listWatcher) << "the watches end with the catalogue";
}

TEST_F(DeviceCatalogTest, EachChangePublishesOnlyWhatChangedAndOnce) {
  mics->list = {mic("a", "A")};
  mics->defaultID = "a";
  make();
  mics->list.push_back(mic("b", "B"));
  mics->fireList();
  cams->fireList();  // the same plug reported twice
  runtime->runUntilIdle();
  EXPECT_EQ(publications, (std::vector<std::string>{"microphones"}));
  mics->defaultID = "b";
  mics->fireDefault();
  runtime->runUntilIdle();
  mics->defaultID.reset();
  mics->fireDefault();
  mics->fireDefault();  // nothing changed: nobody notified
  runtime->runUntilIdle();
  EXPECT_EQ(publications, (std::vector<std::string>{"microphones", "systemDefaultMicID", "systemDefaultMicID"}));
  EXPECT_EQ(catalog->systemDefaultMicID.value(), std::nullopt);
  // A refresh that changes everything publishes in order.
  publications.clear();
  cams->list = {camera("c", "C")};
  mics->list = {mic("m", "M")};
  mics->defaultID = "m";
  cams->fireList();
  runtime->runUntilIdle();
  EXPECT_EQ(publications, (std::vector<std::string>{"cameras", "microphones", "systemDefaultMicID"}));
}

TEST_F(DeviceCatalogTest, SuspensionWritesItsLineAndRepublishesTheCamera) {
  testing::LogCapture logs;
  cams->list = {camera("b", "FaceTime", D::kBuiltInWideAngleCamera, 0)};
  make();
  ASSERT_EQ(cams->suspensionWatchers.size(), 1u);
  cams->setSuspended("b", true);
  cams->suspensionWatchers["b"]();
  runtime->runUntilIdle();
  EXPECT_TRUE(catalog->cameras.value()[0].isSuspended);
  cams->setSuspended("b", false);
  cams->suspensionWatchers["b"]();
  cams->suspensionWatchers["b"]();  // no change of the flag: a line, no publication
  runtime->runUntilIdle();
  EXPECT_EQ(cameraPublications, 2);
  EXPECT_EQ(logs.sessionLines(), (std::vector<std::string>{
                                     "[INFO] [DeviceCatalog] Camera FaceTime suspended (lid closed or cover shut)",
                                     "[INFO] [DeviceCatalog] Camera FaceTime resumed",
                                     "[INFO] [DeviceCatalog] Camera FaceTime resumed"}));
}

TEST_F(DeviceCatalogTest, UnpluggingACameraDropsItsWatchAndReplugWatchesAgain) {
  cams->list = {camera("a", "A"), camera("b", "B")};
  make();
  cams->list = {camera("a", "A")};
  cams->fireList();
  runtime->runUntilIdle();
  EXPECT_EQ(catalog->watchedCameras(), (std::vector<std::string>{"a"}));
  EXPECT_EQ(cams->suspensionWatchers.count("b"), 0u);
  cams->list = {camera("a", "A"), camera("b", "B")};
  cams->fireList();
  runtime->runUntilIdle();
  EXPECT_EQ(catalog->watchedCameras(), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(cams->suspensionWatchers.size(), 2u);
}

TEST_F(DeviceCatalogTest, AFailedDefaultInputWatchIsLoggedAndListsStillFollow) {
  testing::LogCapture logs;
  mics->watchStatus = -50;
  make();
  EXPECT_EQ(logs.sessionLines(),
            (std::vector<std::string>{"[WARN] [DeviceCatalog] Could not watch the system input device (-50)"}));
  mics->list = {mic("a", "A")};
  mics->fireList();
  runtime->runUntilIdle();
  EXPECT_EQ(catalog->microphones.value().size(), 1u);
  // The catalogue's watch goes with it.
  catalog.reset();
  EXPECT_FALSE(cams->listWatcher);
}

}  // namespace
}  // namespace quarzadel
