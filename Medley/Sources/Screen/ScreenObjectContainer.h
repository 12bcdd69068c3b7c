#pragma once
// A node that holds children, drawn in order (later ones cover earlier ones).
// An invalidated container lays out all its direct children; a clean one only
// those that are flagged themselves.
#include <stdexcept>
#include <vector>

#include "Medley/Sources/Screen/ScreenObject.h"

namespace medley {

class ScreenObjectContainer : public ScreenObject {
 public:
  class Error : public std::runtime_error {
   public:
    enum class Kind { alreadyExists };
    explicit Error(Kind kind) : std::runtime_error("screen object already has a parent"), kind(kind) {}
    Kind kind;
  };

  using ScreenObject::ScreenObject;

  const std::vector<ScreenObjectRef>& children() const { return children_; }
  size_t childCounts() const { return children_.size(); }
  // Ignores none and the container itself; throws alreadyExists for a child that has a parent.
  void addChild(const ScreenObjectRef& child);
  // Ignores none and objects that are not children of this container.
  void removeChild(const ScreenObjectRef& child);

  std::shared_ptr<ScreenObject> screenObject(const std::string& id) override;
  void layout(ScreenRenderer& renderer) override;
  void draw(ScreenRenderer& renderer) override;

 private:
  std::vector<ScreenObjectRef> children_;
};

}  // namespace medley
