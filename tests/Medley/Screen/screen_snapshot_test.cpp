#include <gtest/gtest.h>

#include "Medley/Sources/Screen/ImageScreenObject.h"
#include "Medley/Sources/Screen/Screen.h"
#include "Medley/Sources/Screen/ScreenObjectSnapshot.h"
#include "Medley/Sources/Screen/TextScreenObject.h"

namespace medley {
namespace {

using json = nlohmann::ordered_json;

TEST(ScreenSnapshot, ANewScreenIsARootWithItsVideoNode) {
  Screen screen;
  const auto s = ScreenObjectSnapshotFactory{}.makeSnapshot(screen);
  EXPECT_EQ(s.type, "object");
  EXPECT_TRUE(s.elements.empty());
  ASSERT_EQ(s.children.size(), 1u);
  EXPECT_EQ(s.children[0].type, "video");
  EXPECT_EQ(s.children[0].elements, (ScreenObject::Elements{{"track", "0"}}));
  EXPECT_EQ(s.children[0].horizontalAlignment, 1);
  // Keys in declaration order.
  const std::string prefix = R"({"type":"object","id":")" + s.id + R"(","size":{"width":0,"height":0},"isVisible")";
  EXPECT_EQ(json(s).dump().substr(0, prefix.size()), prefix);
}

TEST(ScreenSnapshot, SizesAndMarginsAreTruncatedTowardZero) {
  ScreenObject o("x");
  o.setSize({1279.9, 719.5});
  o.setLayoutMargin({-2.5, 3.99, NAN, 1e300});
  const auto s = ScreenObjectSnapshotFactory{}.makeSnapshot(o);
  EXPECT_EQ(s.size, (ScreenObjectSnapshot::Size{1279, 719}));
  EXPECT_EQ(s.layoutMargin, (ScreenObjectSnapshot::EdgeInsets{-2, 3, 0, INT64_MAX}));
}

TEST(ScreenSnapshot, ATreeRoundTripsThroughJSON) {
  Screen screen;
  auto text = std::make_shared<TextScreenObject>("caption");
  text->setElements({{"value", "Live"}, {"fontSize", "48"}, {"color", "#80FF0000"}});
  text->setSize({640, 0});
  text->setLayoutMargin({10, 20, 30, 40});
  text->setHorizontalAlignment(ScreenObject::HorizontalAlignment::right);
  text->setVerticalAlignment(ScreenObject::VerticalAlignment::bottom);
  auto group = std::make_shared<ScreenObjectContainer>("group");
  group->setVisible(false);
  screen.addChild(group);
  group->addChild(text);
  screen.videoTrackScreenObject()->setTrack(3);

  const auto before = ScreenObjectSnapshotFactory{}.makeSnapshot(screen);
  const std::string encoded = json(before).dump();
  const auto decoded = json::parse(encoded).get<ScreenObjectSnapshot>();
  EXPECT_EQ(decoded, before);

  const auto rebuilt = ScreenObjectFactory{}.makeTree(decoded);
  ASSERT_TRUE(rebuilt);
  EXPECT_EQ(ScreenObjectSnapshotFactory{}.makeSnapshot(*rebuilt), before);
  auto again = std::dynamic_pointer_cast<TextScreenObject>(rebuilt->screenObject("caption"));
  ASSERT_TRUE(again);
  EXPECT_EQ(again->string(), "Live");
  EXPECT_EQ(again->attributes()->fontSize, 48);
}

TEST(ScreenSnapshot, DecodingNeedsEveryKeyAndIgnoresOthers) {
  ScreenObject o("x");
  json j = ScreenObjectSnapshotFactory{}.makeSnapshot(o);
  j["unknown"] = 1;
  EXPECT_NO_THROW(j.get<ScreenObjectSnapshot>());
  json noChildren = j;
  noChildren.erase("children");
  EXPECT_THROW(noChildren.get<ScreenObjectSnapshot>(), json::exception);
  json wrongType = j;
  wrongType["size"]["width"] = "wide";
  EXPECT_THROW(wrongType.get<ScreenObjectSnapshot>(), json::exception);
  json noRight = j;
  noRight["layoutMargin"].erase("right");
  EXPECT_THROW(noRight.get<ScreenObjectSnapshot>(), json::exception);
}

TEST(ScreenObjectFactory, MakesKnownKindsOnly) {
  ScreenObjectSnapshot s;
  s.id = "n";
  s.size = {320, 180};
  s.horizontalAlignment = 7;
  s.verticalAlignment = 2;
  s.layoutMargin = {1, 2, 3, 4};
  s.isVisible = false;
  s.type = "Image";
  EXPECT_FALSE(ScreenObjectFactory{}.make(s));
  s.type = "object";
  EXPECT_FALSE(ScreenObjectFactory{}.make(s));
  s.type = "video";
  s.elements = {{"track", "2"}};
  auto o = ScreenObjectFactory{}.make(s);
  ASSERT_TRUE(o);
  EXPECT_EQ(o->id(), "n");
  EXPECT_EQ(o->horizontalAlignment(), ScreenObject::HorizontalAlignment::left);
  EXPECT_EQ(o->verticalAlignment(), ScreenObject::VerticalAlignment::bottom);
  EXPECT_EQ(o->layoutMargin(), (ScreenEdgeInsets{1, 2, 3, 4}));
  EXPECT_TRUE(o->isVisible()) << "visibility is not applied to a single node";
  EXPECT_EQ(std::static_pointer_cast<VideoScreenObject>(o)->track(), 2);
}

}  // namespace
}  // namespace medley
