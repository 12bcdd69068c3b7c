#pragma once
// A screen capture the test drives: what it lists, what was started and
// updated, and the handlers of the last start.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Capture/ScreenCapture.h"

namespace quarzadel::testing {

class FakeCapturer final : public platform::ScreenCapturer {
 public:
  struct Stream final : platform::ScreenCaptureStream {
    FakeCapturer* owner;
    explicit Stream(FakeCapturer* o) : owner(o) {}
    void update(const platform::ScreenCaptureTarget& t, int w, int h) override { owner->updates.push_back({t, w, h}); }
    void stop() override { ++owner->stops; }
  };
  struct Call {
    platform::ScreenCaptureTarget target;
    int width, height;
  };
  std::optional<std::string> listError, startError;
  std::vector<platform::ScreenCaptureTarget> list;
  std::vector<Call> starts, updates;
  int stops = 0;
  Handlers handlers;

  std::vector<platform::ScreenCaptureTarget> targets() override {
    if (listError) throw platform::ScreenCaptureError(*listError);
    return list;
  }
  std::unique_ptr<platform::ScreenCaptureStream> start(const platform::ScreenCaptureTarget& t, int w, int h, Handlers hs) override {
    if (startError) throw platform::ScreenCaptureError(*startError);
    starts.push_back({t, w, h});
    handlers = std::move(hs);
    return std::make_unique<Stream>(this);
  }
};

}  // namespace quarzadel::testing
