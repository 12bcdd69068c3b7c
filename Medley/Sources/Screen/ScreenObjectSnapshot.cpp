#include "Medley/Sources/Screen/ScreenObjectSnapshot.h"

#include <cmath>
#include <limits>

#include "Medley/Sources/Screen/ImageScreenObject.h"
#include "Medley/Sources/Screen/Screen.h"
#include "Medley/Sources/Screen/ScreenObjectContainer.h"
#include "Medley/Sources/Screen/TextScreenObject.h"
#include "Medley/Sources/Screen/VideoScreenObject.h"

namespace medley {
namespace {

int64_t truncated(double v) {
  if (std::isnan(v)) return 0;
  if (v >= 9.2233720368547758e18) return std::numeric_limits<int64_t>::max();
  if (v <= -9.2233720368547758e18) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(v);
}

std::string kindOf(const ScreenObject& o) {
  if (dynamic_cast<const ImageScreenObject*>(&o)) return "image";
  if (dynamic_cast<const TextScreenObject*>(&o)) return "text";
  if (dynamic_cast<const VideoScreenObject*>(&o)) return "video";
  return "object";
}

}  // namespace

void to_json(nlohmann::ordered_json& j, const ScreenObjectSnapshot::Size& s) {
  j = nlohmann::ordered_json{{"width", s.width}, {"height", s.height}};
}
void from_json(const nlohmann::ordered_json& j, ScreenObjectSnapshot::Size& s) {
  s.width = j.at("width").get<int64_t>();
  s.height = j.at("height").get<int64_t>();
}
void to_json(nlohmann::ordered_json& j, const ScreenObjectSnapshot::EdgeInsets& e) {
  j = nlohmann::ordered_json{{"top", e.top}, {"left", e.left}, {"bottom", e.bottom}, {"right", e.right}};
}
void from_json(const nlohmann::ordered_json& j, ScreenObjectSnapshot::EdgeInsets& e) {
  e.top = j.at("top").get<int64_t>();
  e.left = j.at("left").get<int64_t>();
  e.bottom = j.at("bottom").get<int64_t>();
  e.right = j.at("right").get<int64_t>();
}
void to_json(nlohmann::ordered_json& j, const ScreenObjectSnapshot& s) {
  j = nlohmann::ordered_json::object();
  j["type"] = s.type;
  j["id"] = s.id;
  j["size"] = s.size;
  j["isVisible"] = s.isVisible;
  j["layoutMargin"] = s.layoutMargin;
  j["horizontalAlignment"] = s.horizontalAlignment;
  j["verticalAlignment"] = s.verticalAlignment;
  j["elements"] = s.elements;
  j["children"] = s.children;
}
void from_json(const nlohmann::ordered_json& j, ScreenObjectSnapshot& s) {
  s.type = j.at("type").get<std::string>();
  s.id = j.at("id").get<std::string>();
  s.size = j.at("size").get<ScreenObjectSnapshot::Size>();
  s.isVisible = j.at("isVisible").get<bool>();
  s.layoutMargin = j.at("layoutMargin").get<ScreenObjectSnapshot::EdgeInsets>();
  s.horizontalAlignment = j.at("horizontalAlignment").get<int64_t>();
  s.verticalAlignment = j.at("verticalAlignment").get<int64_t>();
  s.elements = j.at("elements").get<std::map<std::string, std::string>>();
  s.children = j.at("children").get<std::vector<ScreenObjectSnapshot>>();
}

ScreenObjectSnapshot ScreenObjectSnapshotFactory::makeSnapshot(const Screen& screen) const {
  return makeSnapshot(*screen.root());
}

ScreenObjectSnapshot ScreenObjectSnapshotFactory::makeSnapshot(const ScreenObject& o) const {
  ScreenObjectSnapshot s;
  s.type = kindOf(o);
  s.id = o.id();
  s.size = {truncated(o.size().width), truncated(o.size().height)};
  s.isVisible = o.isVisible();
  const auto& m = o.layoutMargin();
  s.layoutMargin = {truncated(m.top), truncated(m.left), truncated(m.bottom), truncated(m.right)};
  s.horizontalAlignment = static_cast<int64_t>(o.horizontalAlignment());
  s.verticalAlignment = static_cast<int64_t>(o.verticalAlignment());
  if (const auto* container = dynamic_cast<const ScreenObjectContainer*>(&o)) {
    for (const auto& child : container->children()) s.children.push_back(makeSnapshot(*child));
  } else {
    s.elements = o.elements();
  }
  return s;
}

ScreenObjectRef ScreenObjectFactory::make(const ScreenObjectSnapshot& s) const {
  ScreenObjectRef o;
  if (s.type == "image")
    o = std::make_shared<ImageScreenObject>(s.id);
  else if (s.type == "text")
    o = std::make_shared<TextScreenObject>(s.id);
  else if (s.type == "video")
    o = std::make_shared<VideoScreenObject>(s.id);
  else
    return nullptr;
  o->setSize({static_cast<double>(s.size.width), static_cast<double>(s.size.height)});
  o->setElements(s.elements);
  o->setHorizontalAlignment(s.horizontalAlignment == 1   ? ScreenObject::HorizontalAlignment::center
                            : s.horizontalAlignment == 2 ? ScreenObject::HorizontalAlignment::right
                                                         : ScreenObject::HorizontalAlignment::left);
  o->setVerticalAlignment(s.verticalAlignment == 1   ? ScreenObject::VerticalAlignment::middle
                          : s.verticalAlignment == 2 ? ScreenObject::VerticalAlignment::bottom
                                                     : ScreenObject::VerticalAlignment::top);
  const auto& m = s.layoutMargin;
  o->setLayoutMargin({static_cast<double>(m.top), static_cast<double>(m.left), static_cast<double>(m.bottom),
                      static_cast<double>(m.right)});
  return o;
}

ScreenObjectRef ScreenObjectFactory::makeTree(const ScreenObjectSnapshot& s) const {
  if (s.type != "object") {
    auto o = make(s);
    if (o) o->setVisible(s.isVisible);
    return o;
  }
  auto container = std::make_shared<ScreenObjectContainer>(s.id);
  container->setSize({static_cast<double>(s.size.width), static_cast<double>(s.size.height)});
  container->setHorizontalAlignment(ScreenObject::makeHorizontalAlignment(s.horizontalAlignment)
                                        .value_or(ScreenObject::HorizontalAlignment::left));
  container->setVerticalAlignment(
      ScreenObject::makeVerticalAlignment(s.verticalAlignment).value_or(ScreenObject::VerticalAlignment::top));
  const auto& m = s.layoutMargin;
  container->setLayoutMargin({static_cast<double>(m.top), static_cast<double>(m.left), static_cast<double>(m.bottom),
                              static_cast<double>(m.right)});
  container->setVisible(s.isVisible);
  for (const auto& c : s.children)
    if (auto child = makeTree(c)) container->addChild(child);
  return container;
}

}  // namespace medley
