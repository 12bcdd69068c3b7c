#pragma once
// What the shell shows of the open Studio: the engine's published values as
// last delivered, kept on the main queue.
#include <optional>
#include <string>

#include "Platform/Time/Date.h"
#include "Quarzadel/Program/AudioLevel.h"
#include "Quarzadel/Studio/RTMPPublisherStats.h"
#include "Quarzadel/Studio/StudioEngineStatus.h"

namespace quarzadel {

struct StudioSnapshot {
  struct Notice {
    std::string id;
    std::string text;
    bool warning = false;
    std::optional<std::string> actionTitle;
    bool operator==(const Notice&) const = default;
  };

  StudioEngineStatus status;
  RTMPPublisherStats stats;
  AudioLevel level;
  bool muted = false;
  std::optional<std::string> problem;
  std::optional<Notice> notice;
  std::optional<std::string> camera;  // name of the camera on air
};

}  // namespace quarzadel
