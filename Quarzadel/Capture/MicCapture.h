#pragma once
// Captures one microphone as the program sound's source: 48 kHz float buffers
// stamped in host-clock seconds, delivered on the queue the program sound hands
// in. The input is opened and closed on one queue shared by all microphones, so
// the close of the previous one and the open of the next never overlap. Made for
// one switch and thrown away after it; reports at most one failure, whatever
// happens to the device afterwards.
#include <memory>
#include <mutex>
#include <string>

#include "Platform/Audio/AudioCapture.h"
#include "Platform/Dispatch/SerialQueue.h"
#include "Quarzadel/Program/AudioFrameSource.h"

namespace quarzadel {

class MicCapture final : public AudioFrameSource, public std::enable_shared_from_this<MicCapture> {
 public:
  static constexpr const char* kNotAuthorized =
      "Quarzadel isn't allowed to use the microphone. Turn it on in System Settings → Privacy & Security → "
      "Microphone.";

  MicCapture(std::string deviceID, std::string displayName, std::shared_ptr<platform::AudioCapture> capture);
  ~MicCapture() override;

  std::string sourceID() const override { return sourceID_; }
  std::string displayName() const override { return displayName_; }
  void start(std::shared_ptr<platform::SerialQueue> deliveryQueue, BufferHandler onBuffer,
             FailureHandler onFailure) override;
  void stop() override;

  // The sentence for the host of a failure of this microphone.
  static std::string failureText(const std::string& displayName, const platform::AudioCaptureFailure& failure);
  // The queue shared by all microphones' opening and closing (per runtime).
  static std::shared_ptr<platform::SerialQueue> sessionQueue(const std::shared_ptr<platform::Runtime>& runtime);

 private:
  // The open input, touched only on the session queue.
  struct SessionBox {
    std::unique_ptr<platform::AudioCaptureSession> session;
    bool tornDown = false;  // on the session queue only
  };

  void configure(const std::shared_ptr<SessionBox>& box);
  void reportFailure(const std::string& text);

  const std::string sourceID_;
  const std::string displayName_;
  std::shared_ptr<platform::AudioCapture> capture_;
  std::shared_ptr<SessionBox> box_ = std::make_shared<SessionBox>();
  // Set by start and cleared by stop, both on the delivery queue, and read there.
  BufferHandler onBuffer_;
  FailureHandler onFailure_;
  std::shared_ptr<platform::SerialQueue> deliveryQueue_;
  bool failed_ = false;
  bool started_ = false;
  bool stopped_ = false;
};

}  // namespace quarzadel
