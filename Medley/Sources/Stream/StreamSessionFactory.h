#pragma once
#include <memory>
#include <set>
#include <string>

#include "Medley/Sources/Stream/StreamSession.h"
#include "Medley/Sources/Stream/StreamSessionConfiguration.h"
#include "Medley/Sources/Stream/StreamSessionMode.h"

namespace medley {

// Makes the sessions of some URL schemes.
class StreamSessionFactory {
 public:
  virtual ~StreamSessionFactory() = default;
  // The URL schemes served ("" for URLs without one).
  virtual std::set<std::string> supportedProtocols() const = 0;
  virtual std::shared_ptr<StreamSession> make(const std::string& uri, StreamSessionMode mode,
                                              std::shared_ptr<const StreamSessionConfiguration> configuration) const = 0;
};

}  // namespace medley
