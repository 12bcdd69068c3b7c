#include "Medley/Sources/Screen/ScreenObject.h"

#include <random>

#include "Medley/Sources/Screen/ScreenObjectContainer.h"
#include "Medley/Sources/Screen/ScreenRenderer.h"

namespace medley {
namespace {

std::string makeUUID() {
  static thread_local std::mt19937_64 rng{std::random_device{}()};
  uint8_t b[16];
  for (int i = 0; i < 16; i += 8) {
    const uint64_t v = rng();
    for (int k = 0; k < 8; ++k) b[i + k] = static_cast<uint8_t>(v >> (8 * k));
  }
  b[6] = (b[6] & 0x0F) | 0x40;
  b[8] = (b[8] & 0x3F) | 0x80;
  static const char* hex = "0123456789ABCDEF";
  std::string s;
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) s += '-';
    s += hex[b[i] >> 4];
    s += hex[b[i] & 15];
  }
  return s;
}

}  // namespace

std::optional<ScreenObject::HorizontalAlignment> ScreenObject::makeHorizontalAlignment(long long rawValue) {
  if (rawValue < 0 || rawValue > 2) return std::nullopt;
  return static_cast<HorizontalAlignment>(rawValue);
}

std::optional<ScreenObject::VerticalAlignment> ScreenObject::makeVerticalAlignment(long long rawValue) {
  if (rawValue < 0 || rawValue > 2) return std::nullopt;
  return static_cast<VerticalAlignment>(rawValue);
}

ScreenObject::ScreenObject(std::optional<std::string> id) : id_(id ? std::move(*id) : makeUUID()) {}

void ScreenObject::setSize(const ScreenSize& size) {
  if (size.width != size_.width || size.height != size_.height) shouldInvalidateLayout_ = true;
  size_ = size;
}

std::optional<ScreenImage> ScreenObject::makeImage(ScreenRenderer&) { return std::nullopt; }

std::shared_ptr<ScreenObject> ScreenObject::screenObject(const std::string& id) {
  return id == id_ ? shared_from_this() : nullptr;
}

ScreenRect ScreenObject::makeBounds(const ScreenSize& size) { return baseBounds(size); }

ScreenRect ScreenObject::baseBounds(const ScreenSize& size) const {
  const auto parent = parent_.lock();
  if (!parent) return {0, 0, size_.width, size_.height};
  const ScreenRect& p = parent->bounds();
  const ScreenEdgeInsets& m = layoutMargin_;
  // std::max keeps a NaN difference as NaN only when it is the first argument.
  auto clampedExtent = [](double d) { return d < 0 ? 0.0 : d; };
  double w = size.width;
  double h = size.height;
  if (w == 0) w = clampedExtent(p.width - m.left - m.right);
  if (h == 0) h = clampedExtent(p.height - m.top - m.bottom);
  double x = 0;
  switch (horizontalAlignment_) {
    case HorizontalAlignment::left: x = p.x + m.left; break;
    case HorizontalAlignment::center: x = p.x + (p.width - w) * 0.5; break;
    case HorizontalAlignment::right: x = p.x + (p.width - w) - m.right; break;
  }
  double y = 0;
  switch (verticalAlignment_) {
    case VerticalAlignment::top: y = p.y + m.top; break;
    case VerticalAlignment::middle: y = p.y + (p.height - h) * 0.5; break;
    case VerticalAlignment::bottom: y = p.y + (p.height - h) - m.bottom; break;
  }
  return {x, y, w, h};
}

void ScreenObject::layout(ScreenRenderer& renderer) {
  setBounds(makeBounds(size_));
  renderer.layout(*this);
  shouldInvalidateLayout_ = false;
}

void ScreenObject::draw(ScreenRenderer& renderer) { renderer.draw(*this); }

}  // namespace medley
