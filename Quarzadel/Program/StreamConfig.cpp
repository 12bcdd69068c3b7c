#include "Quarzadel/Program/StreamConfig.h"

namespace quarzadel {

std::string_view rawValue(StreamConfig::Resolution v) {
  switch (v) {
    case StreamConfig::Resolution::hd720: return "720p";
    case StreamConfig::Resolution::hd1080: return "1080p";
  }
  return "";
}

std::string_view rawValue(StreamConfig::VideoCodec v) {
  switch (v) {
    case StreamConfig::VideoCodec::hevc: return "hevc";
    case StreamConfig::VideoCodec::h264: return "h264";
  }
  return "";
}

std::string_view rawValue(Framing v) {
  switch (v) {
    case Framing::automatic: return "automatic";
    case Framing::fill: return "fill";
    case Framing::fit: return "fit";
  }
  return "";
}

std::string_view rawValue(CameraTransition v) {
  switch (v) {
    case CameraTransition::cut: return "cut";
    case CameraTransition::dissolve: return "dissolve";
  }
  return "";
}

}  // namespace quarzadel
