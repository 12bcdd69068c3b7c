#include <array>

#include "RTMPMedley/Sources/RTMP/Stream/RTMPStream.h"

namespace rtmpmedley {

namespace {

struct CodeEntry {
  std::string_view raw;
  std::string_view level;
};

constexpr std::array<CodeEntry, RTMPStream::kCodeCount> kCodes{{
    {"NetStream.Buffer.Empty", "status"},
    {"NetStream.Buffer.Flush", "status"},
    {"NetStream.Buffer.Full", "status"},
    {"NetStream.Connect.Closed", "status"},
    {"NetStream.Connect.Failed", "error"},
    {"NetStream.Connect.Rejected", "error"},
    {"NetStream.Connect.Success", "status"},
    {"NetStream.DRM.UpdateNeeded", "status"},
    {"NetStream.Failed", "error"},
    {"NetStream.MulticastStream.Reset", "status"},
    {"NetStream.Pause.Notify", "status"},
    {"NetStream.Play.Failed", "error"},
    {"NetStream.Play.FileStructureInvalid", "error"},
    {"NetStream.Play.InsufficientBW", "warning"},
    {"NetStream.Play.NoSupportedTrackFound", "status"},
    {"NetStream.Play.Reset", "status"},
    {"NetStream.Play.Start", "status"},
    {"NetStream.Play.Stop", "status"},
    {"NetStream.Play.StreamNotFound", "error"},
    {"NetStream.Play.Transition", "status"},
    {"NetStream.Play.UnpublishNotify", "status"},
    {"NetStream.Publish.BadName", "error"},
    {"NetStream.Publish.Idle", "status"},
    {"NetStream.Publish.Start", "status"},
    {"NetStream.Record.AlreadyExists", "status"},
    {"NetStream.Record.Failed", "error"},
    {"NetStream.Record.NoAccess", "error"},
    {"NetStream.Record.Start", "status"},
    {"NetStream.Record.Stop", "status"},
    {"NetStream.Record.DiskQuotaExceeded", "error"},
    {"NetStream.SecondScreen.Start", "status"},
    {"NetStream.SecondScreen.Stop", "status"},
    {"NetStream.Seek.Failed", "error"},
    {"NetStream.Seek.InvalidTime", "error"},
    {"NetStream.Seek.Notify", "status"},
    {"NetStream.Step.Notify", "status"},
    {"NetStream.Unpause.Notify", "status"},
    {"NetStream.Unpublish.Success", "status"},
    {"NetStream.Video.DimensionChange", "status"},
}};

constexpr std::array<std::string_view, 4> kHowToPublish{"record", "append", "appendWithGap", "live"};

}  // namespace

std::optional<RTMPStream::Code> RTMPStream::makeCode(std::string_view rawValue) {
  for (size_t i = 0; i < kCodes.size(); ++i)
    if (kCodes[i].raw == rawValue) return static_cast<Code>(i);
  return std::nullopt;
}

std::string_view RTMPStream::rawValue(Code code) { return kCodes.at(static_cast<size_t>(code)).raw; }

std::string_view RTMPStream::level(Code code) { return kCodes.at(static_cast<size_t>(code)).level; }

std::optional<RTMPStream::HowToPublish> RTMPStream::makeHowToPublish(std::string_view rawValue) {
  for (size_t i = 0; i < kHowToPublish.size(); ++i)
    if (kHowToPublish[i] == rawValue) return static_cast<HowToPublish>(i);
  return std::nullopt;
}

std::string_view RTMPStream::rawValue(HowToPublish type) { return kHowToPublish.at(static_cast<size_t>(type)); }

RTMPStream::Error RTMPStream::Error::requestFailed(RTMPResponse response) {
  std::string message = "requestFailed";
  if (response.status) message += ": " + response.status->code;
  Error e(Kind::requestFailed, std::move(message));
  e.response_ = std::move(response);
  return e;
}

RTMPStream::Error RTMPStream::Error::invalidState(std::string why) {
  return Error(Kind::invalidState, why.empty() ? "invalidState" : "invalidState: " + why);
}

RTMPStream::Error RTMPStream::Error::requestTimedOut() { return Error(Kind::requestTimedOut, "requestTimedOut"); }

RTMPStream::Error RTMPStream::Error::unsupportedCodec() { return Error(Kind::unsupportedCodec, "unsupportedCodec"); }

}  // namespace rtmpmedley
