#pragma once
// What the shell can ask of the open Studio: the host's actions, as the keys
// and the scenario runner use them. Called on the main queue only.
#include <cstdint>
#include <optional>
#include <string>

namespace quarzadel {

class StudioActions {
 public:
  virtual ~StudioActions() = default;

  virtual void goLive() = 0;
  virtual void stop() = 0;
  // Closes the Studio (stopping first when needed).
  virtual void close() = 0;
  // Ends the program as the quit key does once confirmed.
  virtual void quit() = 0;
  virtual void nextCamera() = 0;
  // False when no camera (microphone) matches the id or a part of the name.
  virtual bool selectCamera(const std::string& query) = 0;
  virtual bool selectMicrophone(const std::string& query) = 0;
  virtual void setMuted(bool muted) = 0;
  virtual void dismissNotice() = 0;
  // Runs the shown notice's action, if it has one.
  virtual void runNoticeAction() = 0;
  // Shares the synthetic screen picture; stops any share.
  virtual void shareSynthetic() = 0;
  // Shares the first screen, or the first window whose name holds `name`
  // (ignoring case); false when nothing listed matches.
  virtual bool shareScreen() = 0;
  virtual bool shareWindow(const std::string& name) = 0;
  virtual void stopSharing() = 0;
  // "automatic", "fill" or "fit".
  virtual void setFraming(const std::string& framing) = 0;
  virtual void setVideoBitrate(int64_t bitsPerSecond) = 0;
  // The camera in the program picture.
  virtual std::optional<std::string> onAirCameraID() const = 0;
};

}  // namespace quarzadel
