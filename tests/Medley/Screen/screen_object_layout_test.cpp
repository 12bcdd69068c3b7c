#include <gtest/gtest.h>

#include <cmath>

#include "Medley/Sources/Screen/ScreenObjectContainer.h"
#include "Medley/Sources/Screen/ScreenRenderer.h"

namespace medley {
namespace {

using H = ScreenObject::HorizontalAlignment;
using V = ScreenObject::VerticalAlignment;

// Records which objects were laid out and drawn.
class RecordingRenderer : public ScreenRenderer {
 public:
  const ScreenColor& backgroundColor() const override { return color_; }
  void setBackgroundColor(const ScreenColor& c) override { color_ = c; }
  const ScreenRect& bounds() const override { return bounds_; }
  void setBounds(const ScreenRect& b) override { bounds_ = b; }
  const platform::MediaTime& presentationTimeStamp() const override { return pts_; }
  void setPresentationTimeStamp(const platform::MediaTime& t) override { pts_ = t; }
  const std::shared_ptr<ScreenSynchronizationClock>& synchronizationClock() const override { return clock_; }
  void setSynchronizationClock(std::shared_ptr<ScreenSynchronizationClock> c) override { clock_ = c; }
  void layout(ScreenObject& o) override { laidOut.push_back(o.id()); }
  void draw(ScreenObject& o) override { drawn.push_back(o.id()); }
  void setTarget(platform::PixelBufferRef) override {}
  void render() override {}

  std::vector<std::string> laidOut, drawn;

 private:
  ScreenColor color_;
  ScreenRect bounds_{0, 0, 1280, 720};
  platform::MediaTime pts_;
  std::shared_ptr<ScreenSynchronizationClock> clock_;
};

std::shared_ptr<ScreenObjectContainer> rootOf(double w, double h) {
  auto root = std::make_shared<ScreenObjectContainer>("root");
  root->setSize({w, h});
  RecordingRenderer r;
  root->layout(r);
  return root;
}

struct LayoutCase {
  const char* name;
  ScreenSize size;
  ScreenEdgeInsets margin;
  H horizontal;
  V vertical;
  ScreenRect expected;
};

TEST(ScreenObjectLayout, BoundsFollowSizeMarginsAndAlignments) {
  const LayoutCase cases[] = {
      {"zero size takes the parent less margins", {0, 0}, {10, 20, 30, 40}, H::left, V::top, {20, 10, 1220, 680}},
      {"centring ignores margins", {0, 0}, {10, 20, 30, 40}, H::center, V::middle, {30, 20, 1220, 680}},
      {"right and bottom subtract their margins", {100, 50}, {0, 0, 4, 8}, H::right, V::bottom, {1172, 666, 100, 50}},
      {"margins larger than the parent give zero", {0, 0}, {400, 700, 400, 700}, H::left, V::top, {700, 400, 0, 0}},
      {"one zero component", {200, 0}, {5, 6, 7, 8}, H::center, V::bottom, {540, 5, 200, 708}},
      {"fractions are kept", {100.5, 50.25}, {0.5, 0.25, 0, 0}, H::left, V::top, {0.25, 0.5, 100.5, 50.25}},
  };
  for (const auto& c : cases) {
    auto root = rootOf(1280, 720);
    auto node = std::make_shared<ScreenObject>();
    node->setSize(c.size);
    node->setLayoutMargin(c.margin);
    node->setHorizontalAlignment(c.horizontal);
    node->setVerticalAlignment(c.vertical);
    root->addChild(node);
    EXPECT_EQ(node->makeBounds(c.size), c.expected) << c.name;
  }
}

TEST(ScreenObjectLayout, ParentOriginIsAddedAndDetachedNodesUseTheirOwnSize) {
  auto root = rootOf(1280, 720);
  auto inner = std::make_shared<ScreenObjectContainer>();
  inner->setSize({400, 300});
  inner->setHorizontalAlignment(H::right);
  inner->setVerticalAlignment(V::bottom);
  root->addChild(inner);
  auto leaf = std::make_shared<ScreenObject>();
  leaf->setSize({100, 100});
  leaf->setHorizontalAlignment(H::center);
  inner->addChild(leaf);
  RecordingRenderer r;
  root->layout(r);
  EXPECT_EQ(inner->bounds(), (ScreenRect{880, 420, 400, 300}));
  EXPECT_EQ(leaf->bounds(), (ScreenRect{1030, 420, 100, 100}));

  ScreenObject detached;
  detached.setSize({30, 40});
  EXPECT_EQ(detached.makeBounds({999, 999}), (ScreenRect{0, 0, 30, 40}));
}

TEST(ScreenObjectLayout, NaNExtentStaysNaN) {
  auto root = std::make_shared<ScreenObjectContainer>();
  root->setSize({NAN, 720});
  RecordingRenderer r;
  root->layout(r);
  auto node = std::make_shared<ScreenObject>();
  root->addChild(node);
  EXPECT_TRUE(std::isnan(node->makeBounds({0, 0}).width));
}

TEST(ScreenObjectAlignment, RawValuesOutsideTheRangeGiveNone) {
  EXPECT_EQ(ScreenObject::makeHorizontalAlignment(2), H::right);
  EXPECT_EQ(ScreenObject::makeVerticalAlignment(1), V::middle);
  EXPECT_FALSE(ScreenObject::makeHorizontalAlignment(3));
  EXPECT_FALSE(ScreenObject::makeVerticalAlignment(-1));
}

TEST(ScreenObjectTree, AddingAndRemovingChildren) {
  auto root = std::make_shared<ScreenObjectContainer>();
  auto other = std::make_shared<ScreenObjectContainer>();
  auto child = std::make_shared<ScreenObject>();
  root->setShouldInvalidateLayout(false);
  root->addChild(child);
  EXPECT_TRUE(root->shouldInvalidateLayout());
  EXPECT_EQ(child->parent(), root);
  try {
    root->addChild(child);
    FAIL() << "a child with a parent was added";
  } catch (const ScreenObjectContainer::Error& e) {
    EXPECT_EQ(e.kind, ScreenObjectContainer::Error::Kind::alreadyExists);
  }
  EXPECT_THROW(other->addChild(child), ScreenObjectContainer::Error);
  root->addChild(root);
  root->addChild(nullptr);
  EXPECT_EQ(root->childCounts(), 1u);

  other->removeChild(child);  // not its child
  EXPECT_EQ(child->parent(), root);
  root->removeChild(child);
  root->removeChild(child);
  EXPECT_EQ(root->childCounts(), 0u);
  EXPECT_EQ(child->parent(), nullptr);
  other->addChild(child);  // free again
  EXPECT_EQ(child->parent(), other);
}

TEST(ScreenObjectTree, IdsAreUniqueUUIDsAndLookupIsPreOrder) {
  ScreenObject a, b;
  EXPECT_NE(a.id(), b.id());
  EXPECT_EQ(a.id().size(), 36u);
  EXPECT_EQ(a.id()[14], '4');
  for (char c : a.id()) EXPECT_TRUE(c == '-' || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')) << a.id();

  auto root = std::make_shared<ScreenObjectContainer>("same");
  auto child = std::make_shared<ScreenObject>("same");
  auto deep = std::make_shared<ScreenObjectContainer>("deep");
  auto leaf = std::make_shared<ScreenObject>("leaf");
  root->addChild(child);
  root->addChild(deep);
  deep->addChild(leaf);
  EXPECT_EQ(root->screenObject("same"), root);
  EXPECT_EQ(root->screenObject("leaf"), leaf);
  EXPECT_EQ(root->screenObject("LEAF"), nullptr);
}

TEST(ScreenObjectTree, OnlyFlaggedNodesAreLaidOutAgain) {
  auto root = std::make_shared<ScreenObjectContainer>("root");
  auto middle = std::make_shared<ScreenObjectContainer>("middle");
  auto leaf = std::make_shared<ScreenObject>("leaf");
  root->addChild(middle);
  middle->addChild(leaf);
  RecordingRenderer r;
  root->layout(r);
  EXPECT_EQ(r.laidOut, std::vector<std::string>{"leaf"});  // containers have no picture

  r.laidOut.clear();
  root->invalidateLayout();
  root->layout(r);
  EXPECT_TRUE(r.laidOut.empty()) << "the middle container was laid out, its clean leaf not";

  leaf->setSize({10, 10});
  leaf->setSize({10, 10});
  root->layout(r);
  EXPECT_TRUE(r.laidOut.empty()) << "a clean container does not look below its own children";
  middle->invalidateLayout();
  root->layout(r);
  EXPECT_EQ(r.laidOut, std::vector<std::string>{"leaf"});

  r.laidOut.clear();
  leaf->setLayoutMargin({5, 5, 5, 5});  // no invalidation by itself
  root->layout(r);
  EXPECT_TRUE(r.laidOut.empty());
  leaf->invalidateLayout();
  middle->layout(r);
  EXPECT_EQ(leaf->bounds().x, 5);
}

TEST(ScreenObjectTree, HiddenContainersHideTheirSubtree) {
  auto root = std::make_shared<ScreenObjectContainer>("root");
  auto group = std::make_shared<ScreenObjectContainer>("group");
  auto a = std::make_shared<ScreenObject>("a");
  auto b = std::make_shared<ScreenObject>("b");
  auto c = std::make_shared<ScreenObject>("c");
  root->addChild(a);
  root->addChild(group);
  group->addChild(b);
  root->addChild(c);
  RecordingRenderer r;
  root->draw(r);
  EXPECT_EQ(r.drawn, (std::vector<std::string>{"a", "b", "c"}));
  r.drawn.clear();
  group->setVisible(false);
  c->setVisible(false);
  root->draw(r);
  EXPECT_EQ(r.drawn, std::vector<std::string>{"a"});
}

}  // namespace
}  // namespace medley
