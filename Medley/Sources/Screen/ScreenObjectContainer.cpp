#include "Medley/Sources/Screen/ScreenObjectContainer.h"

#include <algorithm>

namespace medley {

void ScreenObjectContainer::addChild(const ScreenObjectRef& child) {
  if (!child || child.get() == this) return;
  if (!child->parent_.expired()) throw Error(Error::Kind::alreadyExists);
  child->parent_ = std::static_pointer_cast<ScreenObjectContainer>(shared_from_this());
  children_.push_back(child);
  invalidateLayout();
}

void ScreenObjectContainer::removeChild(const ScreenObjectRef& child) {
  if (!child || child->parent_.lock().get() != this) return;
  const auto it = std::find(children_.begin(), children_.end(), child);
  if (it == children_.end()) return;
  child->parent_.reset();
  children_.erase(it);
  invalidateLayout();
}

std::shared_ptr<ScreenObject> ScreenObjectContainer::screenObject(const std::string& id) {
  if (auto self = ScreenObject::screenObject(id)) return self;
  for (const auto& child : children_)
    if (auto found = child->screenObject(id)) return found;
  return nullptr;
}

void ScreenObjectContainer::layout(ScreenRenderer& renderer) {
  setBounds(baseBounds(size()));
  const bool all = shouldInvalidateLayout();
  for (const auto& child : children_)
    if (all || child->shouldInvalidateLayout()) child->layout(renderer);
  setShouldInvalidateLayout(false);
}

void ScreenObjectContainer::draw(ScreenRenderer& renderer) {
  if (!isVisible()) return;
  for (const auto& child : children_)
    if (child->isVisible()) child->draw(renderer);
}

}  // namespace medley
