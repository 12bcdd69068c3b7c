#pragma once

namespace medley {

// The synchronous start/stop seam of the media components that are plain
// classes, called from their owner's actor or queue only.
class Runner {
 public:
  virtual ~Runner() = default;
  virtual bool isRunning() const = 0;
  virtual void startRunning() = 0;
  virtual void stopRunning() = 0;
};

}  // namespace medley
