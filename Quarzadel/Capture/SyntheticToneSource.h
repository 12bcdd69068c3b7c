#pragma once
// The synthetic microphone: a 1 kHz beep of amplitude 0.5 during the first 0.1 s
// of every even second of the host clock, silence otherwise, as 10 ms mono
// buffers stamped on the host clock and delivered two at a time every 20 ms (half
// the wakes of one every 10 ms; the stamps and samples are the same). The
// synthetic cameras flash at the same instants, so picture and sound can be
// checked for sync end to end.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "Platform/Defaults/UserDefaults.h"
#include "Platform/Dispatch/RepeatingTimer.h"
#include "Platform/Media/AudioFormat.h"
#include "Quarzadel/Program/AudioFrameSource.h"

namespace quarzadel {

struct ToneSpec {
  std::string id;
  std::string name;
};

class SyntheticToneSource final : public AudioFrameSource,
                                  public std::enable_shared_from_this<SyntheticToneSource> {
 public:
  static constexpr const char* kID = "synthetic-tone";
  static constexpr const char* kDefaultName = "Test Tone (beep every 2 s)";
  static constexpr const char* kNameDefaultsKey = "SyntheticMicName";
  static constexpr int64_t kSampleRate = 48000;
  static constexpr uint32_t kBufferFrames = 480;  // 10 ms
  static constexpr double kFirstFire = 0.1;
  static constexpr double kPeriod = 0.02;
  static constexpr double kLag = 0.01;            // buffers end this far behind the host clock
  static constexpr int64_t kBeepHz = 1000;
  static constexpr float kAmplitude = 0.5f;
  static constexpr int64_t kBeepFrames = 4800;    // 0.1 s
  static constexpr int64_t kCycleFrames = 96000;  // 2 s

  // The tone's identity: the name comes from "SyntheticMicName" when set.
  static ToneSpec makeSpec(const platform::UserDefaults& defaults);
  // makeSpec() of the standard defaults, built once on first use.
  static const ToneSpec& toneSpec();

  SyntheticToneSource();
  explicit SyntheticToneSource(ToneSpec spec);
  ~SyntheticToneSource() override;

  std::string sourceID() const override { return spec_.id; }
  std::string displayName() const override { return spec_.name; }
  void start(std::shared_ptr<platform::SerialQueue> deliveryQueue, BufferHandler onBuffer,
             FailureHandler onFailure) override;
  void stop() override;

  // The tone's sample at an index of the host clock's 48 kHz axis.
  static float sampleAt(int64_t index);
  std::optional<int64_t> nextSample() const { return nextSample_; }

 private:
  void tick(const platform::SerialQueue& deliveryQueue, const BufferHandler& onBuffer);

  ToneSpec spec_;
  std::unique_ptr<platform::RepeatingTimer> timer_;
  std::optional<int64_t> nextSample_;
  platform::AudioFormat format_;
};

}  // namespace quarzadel
