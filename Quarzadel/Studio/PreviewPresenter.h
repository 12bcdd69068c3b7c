#pragma once
// Keeps a preview window up to date on a queue of its own: each tick handles
// what the window system reported and draws when the layer shows another
// frame, when mirroring changed or when the window asks to be drawn again.
// Once the host closes the window, or its display goes away, it draws no more
// and says so once. The Studio keeps one per open Studio while a display is there.
#include <cstdint>
#include <functional>
#include <memory>

#include "Platform/Dispatch/RepeatingTimer.h"
#include "Platform/Dispatch/Runtime.h"
#include "Quarzadel/Program/PreviewSink.h"
#include "Quarzadel/Studio/PreviewWindow.h"

namespace quarzadel {

class PreviewPresenter : public std::enable_shared_from_this<PreviewPresenter> {
 public:
  // Often enough that a 30 fps picture waits at most about half a frame.
  static constexpr platform::Nanos kTick = platform::milliseconds(16);
  static constexpr int kWidth = 640, kHeight = 360;

  // The sink's preview in a window on $DISPLAY; none when no display can be
  // opened. `onClosed` runs once, on the presenter's queue.
  static std::shared_ptr<PreviewPresenter> open(const std::shared_ptr<PreviewSink>& sink,
                                                std::shared_ptr<platform::Runtime> runtime,
                                                std::function<void()> onClosed = {});
  // Presents a window made by the caller.
  static std::shared_ptr<PreviewPresenter> start(std::unique_ptr<PreviewWindow> window,
                                                 std::shared_ptr<platform::Runtime> runtime,
                                                 std::function<void()> onClosed = {});
  PreviewPresenter(std::unique_ptr<PreviewWindow> window, std::shared_ptr<platform::Runtime> runtime,
                   std::function<void()> onClosed);
  ~PreviewPresenter();
  PreviewPresenter(const PreviewPresenter&) = delete;
  PreviewPresenter& operator=(const PreviewPresenter&) = delete;

  const PreviewWindow& window() const { return *window_; }
  // Drawings so far (read on the presenter's queue, or once it is idle).
  int64_t drawCount() const { return draws_; }

 private:
  void tick();

  std::unique_ptr<PreviewWindow> window_;
  std::shared_ptr<platform::SerialQueue> queue_;
  std::function<void()> onClosed_;
  std::unique_ptr<platform::RepeatingTimer> timer_;
  platform::SampleBufferRef shownFrame_;
  bool shownMirrored_ = false;
  bool drawnOnce_ = false;
  bool closed_ = false;
  int64_t draws_ = 0;
};

}  // namespace quarzadel
