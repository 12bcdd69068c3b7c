#pragma once
// A node of the compositor's tree: a size request, margins, alignments, a
// corner radius and visibility, turned into a rectangle inside its parent.
// Picture-making subclasses override makeImage(), makeBounds() and elements().
// Used on the ScreenActor only; equal by identity.
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "Medley/Sources/Screen/ScreenGeometry.h"
#include "Medley/Sources/Screen/ScreenImage.h"

namespace medley {

class ScreenObjectContainer;
class ScreenRenderer;

class ScreenObject : public std::enable_shared_from_this<ScreenObject> {
 public:
  enum class HorizontalAlignment { left = 0, center = 1, right = 2 };
  enum class VerticalAlignment { top = 0, middle = 1, bottom = 2 };
  static std::optional<HorizontalAlignment> makeHorizontalAlignment(long long rawValue);
  static std::optional<VerticalAlignment> makeVerticalAlignment(long long rawValue);

  using Elements = std::map<std::string, std::string>;

  // Without an id, a fresh upper-case UUID.
  explicit ScreenObject(std::optional<std::string> id = std::nullopt);
  virtual ~ScreenObject() = default;
  ScreenObject(const ScreenObject&) = delete;
  ScreenObject& operator=(const ScreenObject&) = delete;

  std::shared_ptr<ScreenObjectContainer> parent() const { return parent_.lock(); }
  const std::string& id() const { return id_; }

  const ScreenSize& size() const { return size_; }
  // A different size invalidates the layout.
  void setSize(const ScreenSize& size);

  const ScreenRect& bounds() const { return bounds_; }
  virtual void setBounds(const ScreenRect& bounds) { bounds_ = bounds; }

  bool isVisible() const { return isVisible_; }
  void setVisible(bool visible) { isVisible_ = visible; }

  // These take effect at the node's next layout, after invalidateLayout().
  const ScreenEdgeInsets& layoutMargin() const { return layoutMargin_; }
  void setLayoutMargin(const ScreenEdgeInsets& margin) { layoutMargin_ = margin; }
  double cornerRadius() const { return cornerRadius_; }
  void setCornerRadius(double radius) { cornerRadius_ = radius; }
  VerticalAlignment verticalAlignment() const { return verticalAlignment_; }
  void setVerticalAlignment(VerticalAlignment a) { verticalAlignment_ = a; }
  HorizontalAlignment horizontalAlignment() const { return horizontalAlignment_; }
  void setHorizontalAlignment(HorizontalAlignment a) { horizontalAlignment_ = a; }

  bool shouldInvalidateLayout() const { return shouldInvalidateLayout_; }
  void setShouldInvalidateLayout(bool value) { shouldInvalidateLayout_ = value; }
  void invalidateLayout() { shouldInvalidateLayout_ = true; }

  // Node-specific settings, for snapshots; the base has none and ignores assignments.
  virtual Elements elements() const { return {}; }
  virtual void setElements(const Elements&) {}

  // The node's picture for this layout, with its extent at the origin; none by default.
  virtual std::optional<ScreenImage> makeImage(ScreenRenderer& renderer);
  // This node when its id matches exactly.
  virtual std::shared_ptr<ScreenObject> screenObject(const std::string& id);
  // The rectangle inside the parent for a requested size (a zero component
  // takes the parent's extent less the margins; the alignments place it).
  virtual ScreenRect makeBounds(const ScreenSize& size);
  virtual void layout(ScreenRenderer& renderer);
  virtual void draw(ScreenRenderer& renderer);

 protected:
  // The base rule of makeBounds(), never overridden.
  ScreenRect baseBounds(const ScreenSize& size) const;

 private:
  friend class ScreenObjectContainer;
  std::weak_ptr<ScreenObjectContainer> parent_;
  ScreenSize size_;
  std::string id_;
  ScreenRect bounds_;
  bool isVisible_ = true;
  ScreenEdgeInsets layoutMargin_;
  double cornerRadius_ = 0;
  VerticalAlignment verticalAlignment_ = VerticalAlignment::top;
  HorizontalAlignment horizontalAlignment_ = HorizontalAlignment::left;
  bool shouldInvalidateLayout_ = true;
};

using ScreenObjectRef = std::shared_ptr<ScreenObject>;

}  // namespace medley
