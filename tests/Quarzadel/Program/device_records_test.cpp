#include <gtest/gtest.h>

#include <unordered_set>

#include "Quarzadel/Capture/CameraDevice.h"
#include "Quarzadel/Capture/MicDevice.h"
#include "Quarzadel/Capture/MicSelection.h"

namespace quarzadel {
namespace {

using Kind = CameraDevice::Kind;
using D = CaptureDeviceDescription;

D external(std::string name, platform::FourCC transport = platform::fourCC("????"), std::string model = "FC1000",
           std::string maker = "Acme") {
  D d;
  d.deviceType = D::kExternal;
  d.uniqueID = "id-" + name;
  d.localizedName = std::move(name);
  d.modelID = std::move(model);
  d.manufacturer = std::move(maker);
  d.transportType = transport;
  return d;
}

TEST(CameraKindTest, RulesAreTriedInOrder) {
  D builtIn = external("FaceTime HD Camera", D::kTransportUSB);
  builtIn.deviceType = D::kBuiltInWideAngleCamera;
  EXPECT_EQ(CameraDevice::classify(builtIn), Kind::builtIn);

  D desk = external("Desk View Camera");
  desk.deviceType = D::kDeskViewCamera;
  EXPECT_EQ(CameraDevice::classify(desk), Kind::deskView);

  EXPECT_EQ(CameraDevice::classify(external("Phone", D::kTransportUSB, "iPhone15,2")), Kind::continuity);
  EXPECT_EQ(CameraDevice::classify(external("Tablet", D::kTransportUSB, "iPad13,4")), Kind::continuity);
  // The prefix is case-sensitive: the rest of the rules decide.
  EXPECT_EQ(CameraDevice::classify(external("Phone", D::kTransportUSB, "iphone15,2")), Kind::usb);

  EXPECT_EQ(CameraDevice::classify(external("Lid Camera", D::kTransportBuiltIn)), Kind::builtIn);
  // Transport before words: a USB camera named as virtual is USB.
  EXPECT_EQ(CameraDevice::classify(external("OBS Virtual Camera", D::kTransportUSB)), Kind::usb);
  EXPECT_EQ(CameraDevice::classify(external("Any", D::kTransportVirtual)), Kind::virtual_);

  EXPECT_EQ(CameraDevice::classify(external("Snap Camera")), Kind::virtual_);
  EXPECT_EQ(CameraDevice::classify(external("Cam", platform::fourCC("????"), "M1", "Camera Extension Inc")),
            Kind::virtual_);
  EXPECT_EQ(CameraDevice::classify(external("Nobsy Cam")), Kind::virtual_);  // "obs" inside a word
  EXPECT_EQ(CameraDevice::classify(external("FaceCam 1000")), Kind::other);
}

TEST(CameraKindTest, RawValuesAreTheCaseNames) {
  for (Kind k : {Kind::builtIn, Kind::usb, Kind::continuity, Kind::deskView, Kind::virtual_, Kind::other, Kind::screen})
    EXPECT_EQ(cameraKindFromRawValue(rawValue(k)), k);
  EXPECT_EQ(rawValue(Kind::virtual_), "virtual");
  EXPECT_FALSE(cameraKindFromRawValue("USB"));
  EXPECT_FALSE(cameraKindFromRawValue(""));
}

TEST(CameraDeviceTest, RecordsCompareEveryField) {
  D d = external("USB Cam", D::kTransportUSB);
  CameraDevice a = CameraDevice::from(d);
  EXPECT_EQ(a.kind, Kind::usb);
  d.isSuspended = true;
  CameraDevice b = CameraDevice::from(d);
  EXPECT_NE(a, b);
  std::unordered_set<CameraDevice> set{a, b, a};
  EXPECT_EQ(set.size(), 2u);

  const CameraDevice screen = CameraDevice::screenShare("Built-in Display");
  EXPECT_EQ(screen, (CameraDevice{"screen-share", "Built-in Display", Kind::screen, "screen", false}));
}

TEST(MicDeviceTest, TransportDecidesBuiltInAndVirtual) {
  EXPECT_TRUE(MicDevice::from("m", "Mic", D::kTransportBuiltIn).isBuiltIn);
  EXPECT_TRUE(MicDevice::from("m", "Mic", D::kTransportVirtual).isVirtual);
  EXPECT_TRUE(MicDevice::from("m", "Mic", D::kTransportAggregate).isVirtual);
  const MicDevice usb = MicDevice::from("m", "Mic", D::kTransportUSB);
  EXPECT_FALSE(usb.isBuiltIn || usb.isVirtual);
  EXPECT_EQ(platform::fourCC("bltn"), 0x626c746eu);
}

TEST(MicSelectionTest, StoredValues) {
  EXPECT_EQ(MicSelection::fromStoredValue(std::nullopt), MicSelection::system());
  EXPECT_EQ(MicSelection::fromStoredValue(""), MicSelection::system());
  EXPECT_EQ(MicSelection::fromStoredValue("system"), MicSelection::system());
  EXPECT_EQ(MicSelection::fromStoredValue("System"), MicSelection::device("System"));
  EXPECT_EQ(MicSelection::device("usb-1").storedValue(), "usb-1");
  EXPECT_EQ(MicSelection::system().storedValue(), "system");
}

TEST(MicSelectionTest, KeyedCodingRoundTrips) {
  EXPECT_EQ(MicSelection::system().encode().dump(), R"({"system":{}})");
  EXPECT_EQ(MicSelection::device("usb-1").encode().dump(), R"({"device":{"_0":"usb-1"}})");
  for (const auto& s : {MicSelection::system(), MicSelection::device("usb-1")})
    EXPECT_EQ(MicSelection::decode(s.encode()), s);
  // Unknown members are ignored, and so is the content of "system".
  EXPECT_EQ(MicSelection::decode(nlohmann::json::parse(R"({"system":{"x":1},"other":2})")), MicSelection::system());
}

TEST(MicSelectionTest, DecodingFailures) {
  auto failure = [](const char* text) {
    try {
      MicSelection::decode(nlohmann::json::parse(text));
    } catch (const MicSelection::DecodingError& e) {
      return std::make_pair(e.kind, std::string(e.what()));
    }
    return std::make_pair(MicSelection::DecodingError::Kind::typeMismatch, std::string("decoded"));
  };
  using K = MicSelection::DecodingError::Kind;
  EXPECT_EQ(failure("{}"), std::make_pair(K::typeMismatch, std::string("Invalid number of keys found, expected one.")));
  EXPECT_EQ(failure(R"({"system":{},"device":{"_0":"a"}})"),
            std::make_pair(K::typeMismatch, std::string("Invalid number of keys found, expected one.")));
  EXPECT_EQ(failure(R"({"device":{}})").first, K::keyNotFound);
  EXPECT_EQ(failure(R"({"device":{"_0":5}})").first, K::typeMismatch);
  EXPECT_EQ(failure(R"({"system":3})").first, K::typeMismatch);
  EXPECT_EQ(failure("[1]").first, K::typeMismatch);
}

}  // namespace
}  // namespace quarzadel
