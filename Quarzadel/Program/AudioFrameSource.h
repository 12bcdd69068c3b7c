#pragma once
// A sound source of the program (a microphone, the test tone). The program sound
// starts it once with its own queue; both callbacks then run on that queue only,
// each buffer stamped with the host-clock seconds of its first sample. A source
// reports at most one failure, as one complete sentence for the host. To reopen a
// device the caller makes a new source object with the same sourceID.
#include <functional>
#include <memory>
#include <string>

namespace platform {
class PCMBuffer;
class SerialQueue;
}  // namespace platform

namespace quarzadel {

using PCMBufferRef = std::shared_ptr<platform::PCMBuffer>;

class AudioFrameSource {
 public:
  using BufferHandler = std::function<void(PCMBufferRef buffer, double hostSeconds)>;
  using FailureHandler = std::function<void(const std::string& reason)>;

  virtual ~AudioFrameSource() = default;

  // Stable per device: two source objects for one device share it.
  virtual std::string sourceID() const = 0;
  virtual std::string displayName() const = 0;
  // Called once, from the delivery queue itself.
  virtual void start(std::shared_ptr<platform::SerialQueue> deliveryQueue, BufferHandler onBuffer,
                     FailureHandler onFailure) = 0;
  // Stops delivery and releases the device; safe after a failure and more than once.
  virtual void stop() = 0;
};

}  // namespace quarzadel
