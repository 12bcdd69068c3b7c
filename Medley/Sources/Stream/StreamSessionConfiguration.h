#pragma once
// A session-specific configuration value, written out as JSON (a session may
// keep it, log it or pass it on).
#include <nlohmann/json.hpp>

namespace medley {

class StreamSessionConfiguration {
 public:
  virtual ~StreamSessionConfiguration() = default;
  virtual nlohmann::json toJSON() const = 0;
};

}  // namespace medley
