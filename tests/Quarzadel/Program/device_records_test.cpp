#include <gtest/gtest.h>

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

D withType(D d, const std::string& deviceType) {
  d.deviceType = deviceType;
  return d;
}

TEST(CameraKindTest, RulesAreTriedInOrder) {
  const std::vector<std::pair<D, Kind>> cases{
      {withType(external("FaceTime HD Camera", D::kTransportUSB), D::kBuiltInWideAngleCamera), Kind::builtIn},
      {withType(external("Desk View Camera"), D::kDeskViewCamera), Kind::deskView},
      {external("Tablet", D::kTransportUSB, "iPad13,4"), Kind::continuity},
      {external("Phone", D::kTransportUSB, "iphone15,2"), Kind::usb},  // the prefix is case-sensitive
      {external("Lid Camera", D::kTransportBuiltIn), Kind::builtIn},
      {external("OBS Virtual Camera", D::kTransportUSB), Kind::usb},  // transport before words
      {external("Snap Camera"), Kind::virtual_},
      {external("Cam", platform::fourCC("????"), "M1", "Camera Extension Inc"), Kind::virtual_},
      {external("Nobsy Cam"), Kind::virtual_},  // "obs" inside a word
      {external("FaceCam 1000"), Kind::other}};
  for (const auto& [device, kind] : cases) EXPECT_EQ(CameraDevice::classify(device), kind) << device.localizedName;
}

TEST(MicSelectionTest, StoredValuesAndKeyedCodingRoundTrip) {
  EXPECT_EQ(MicSelection::fromStoredValue(std::nullopt), MicSelection::system());
  EXPECT_EQ(MicSelection::fromStoredValue("System"), MicSelection::device("System"));
  EXPECT_EQ(MicSelection::system().encode().dump(), R"({"system":{}})");
  EXPECT_EQ(MicSelection::device("usb-1").encode().dump(), R"({"device":{"_0":"usb-1"}})");
  for (const auto& s : {MicSelection::system(), MicSelection::device("usb-1")}) {
    EXPECT_EQ(MicSelection::fromStoredValue(s.storedValue()), s);
    EXPECT_EQ(MicSelection::decode(s.encode()), s);
  }
  // Unknown members are ignored, and so is the content of "system".
  EXPECT_EQ(MicSelection::decode(nlohmann::json::parse(R"({"system":{"x":1},"other":2})")), MicSelection::system());
}

TEST(MicSelectionTest, DecodingFailures) {
  using K = MicSelection::DecodingError::Kind;
  const std::string keys = "Invalid number of keys found, expected one.";
  for (auto [text, kind, message] : std::vector<std::tuple<const char*, K, std::string>>{
           {R"({"system":{},"device":{"_0":"a"}})", K::typeMismatch, keys},
           {R"({"device":{}})", K::keyNotFound, ""}}) {
    try {
      MicSelection::decode(nlohmann::json::parse(text));
      ADD_FAILURE() << text << " decoded";
    } catch (const MicSelection::DecodingError& e) {
      EXPECT_EQ(e.kind, kind) << text;
      if (!message.empty()) EXPECT_EQ(e.what(), message);
    }
  }
}

}  // namespace
}  // namespace quarzadel
