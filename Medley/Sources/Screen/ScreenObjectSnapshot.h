#pragma once
// A plain description of a screen tree, encodable as JSON: what a layout looks
// like, to save, send or inspect. Leaf kinds are named ("image", "text",
// "video") so that a written record makes the same kind of node again;
// containers and plain nodes are "object".
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Medley/Sources/Screen/ScreenObject.h"

namespace medley {

class Screen;

struct ScreenObjectSnapshot {
  struct Size {
    int64_t width = 0;
    int64_t height = 0;
    friend bool operator==(const Size&, const Size&) = default;
  };
  struct EdgeInsets {
    int64_t top = 0;
    int64_t left = 0;
    int64_t bottom = 0;
    int64_t right = 0;
    friend bool operator==(const EdgeInsets&, const EdgeInsets&) = default;
  };

  std::string type;
  std::string id;
  Size size;
  bool isVisible = true;
  EdgeInsets layoutMargin;
  int64_t horizontalAlignment = 0;
  int64_t verticalAlignment = 0;
  std::map<std::string, std::string> elements;
  std::vector<ScreenObjectSnapshot> children;

  friend bool operator==(const ScreenObjectSnapshot&, const ScreenObjectSnapshot&) = default;
};

// Keys in declaration order; decoding needs every key and ignores others
// (nlohmann::json exceptions on a missing key or a wrong type).
void to_json(nlohmann::ordered_json& j, const ScreenObjectSnapshot::Size& s);
void from_json(const nlohmann::ordered_json& j, ScreenObjectSnapshot::Size& s);
void to_json(nlohmann::ordered_json& j, const ScreenObjectSnapshot::EdgeInsets& e);
void from_json(const nlohmann::ordered_json& j, ScreenObjectSnapshot::EdgeInsets& e);
void to_json(nlohmann::ordered_json& j, const ScreenObjectSnapshot& s);
void from_json(const nlohmann::ordered_json& j, ScreenObjectSnapshot& s);

struct ScreenObjectSnapshotFactory {
  ScreenObjectSnapshot makeSnapshot(const Screen& screen) const;
  // Sizes and margins are truncated toward zero (NaN as 0, infinities clamped).
  ScreenObjectSnapshot makeSnapshot(const ScreenObject& object) const;
};

struct ScreenObjectFactory {
  // One new node of the record's kind ("image", "text", "video"), without its
  // children; none for any other kind.
  ScreenObjectRef make(const ScreenObjectSnapshot& snapshot) const;
  // The node and its subtree; "object" records become containers.
  ScreenObjectRef makeTree(const ScreenObjectSnapshot& snapshot) const;
};

}  // namespace medley
