#pragma once
// The shared state of the synthetic test sources: the camera specs, the clip,
// the test tone's identity, the injected faults and the running cameras.
// Enabled by the boolean user default "SyntheticSources"; "SyntheticSuspended"
// lists cameras that start suspended, "SyntheticClip" names the noise camera's
// clip file and "SyntheticClipName" its name.
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Defaults/UserDefaults.h"
#include "Quarzadel/Capture/SyntheticClip.h"
#include "Quarzadel/Capture/SyntheticToneSource.h"
#include "Quarzadel/Capture/SyntheticVideoSource.h"

namespace quarzadel {

class SyntheticSources {
 public:
  enum class Fault { suspended, hung, unplugged };

  static constexpr const char* kNoiseID = "synthetic-noise";
  static constexpr const char* kNoiseName = "Test Noise (1080p 30 fps)";

  // The five cameras, built once from the standard defaults.
  static const std::vector<SyntheticVideoSource::Spec>& specs();
  static std::vector<SyntheticVideoSource::Spec> makeSpecs(const platform::UserDefaults& defaults);
  // The spec with this id, or none.
  static std::optional<SyntheticVideoSource::Spec> spec(const std::string& id);
  static const ToneSpec& toneSpec() { return SyntheticToneSource::toneSpec(); }

  // "SyntheticSuspended": comma-separated ids, each trimmed, empty pieces dropped.
  static std::map<std::string, Fault> initialFaults(const platform::UserDefaults& defaults);
  static std::optional<Fault> fault(const std::string& id);
  static void setFault(const std::string& id, Fault fault);
  static void clearFault(const std::string& id);
  // Replaces every fault (tests, and a fresh start of the scenario runner).
  static void resetFaults(std::map<std::string, Fault> faults = {});

  // Tells every running camera with this id that it was disconnected.
  static void reportUnplugged(const std::string& id);
  // Every running camera makes no frames for this long from now.
  static void freeze(double seconds = 5);
  // Running cameras (registered by start, removed by stop or release).
  static std::vector<std::shared_ptr<SyntheticVideoSource>> liveSources();

  static bool skipsPermissionPrompts();

  // The "SyntheticClip" file, read once per process; none when unset or unreadable.
  static std::shared_ptr<const SyntheticClip> clip();

 private:
  friend class SyntheticVideoSource;
  static void registerLive(const std::shared_ptr<SyntheticVideoSource>& camera,
                           VideoFrameSource::FailureHandler onFailure);
  static void unregisterLive(SyntheticVideoSource* camera);
};

}  // namespace quarzadel
