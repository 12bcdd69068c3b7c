#pragma once
// The live lists of the machine's cameras and microphones and the system's
// default input, as published values. It captures nothing: it lists, watches for
// changes and republishes. Every change the platform reports runs one whole
// refresh on the main queue, which publishes a value only when it differs from
// the one already published, in the order cameras, microphones, default input.
// Made and used on the main queue.
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/Dispatch/SerialQueue.h"
#include "Platform/Published/Published.h"
#include "Quarzadel/Capture/CameraDevice.h"
#include "Quarzadel/Capture/DeviceListing.h"
#include "Quarzadel/Capture/MicDevice.h"

namespace quarzadel {

class DeviceCatalog : public std::enable_shared_from_this<DeviceCatalog> {
 public:
  // Runs the first refresh before it returns, then starts watching. Either listing
  // may be null (nothing of that kind is listed).
  static std::shared_ptr<DeviceCatalog> make(std::shared_ptr<CameraListing> cameraListing,
                                             std::shared_ptr<MicrophoneListing> microphoneListing,
                                             std::shared_ptr<platform::SerialQueue> mainQueue);
  DeviceCatalog(std::shared_ptr<CameraListing> cameraListing, std::shared_ptr<MicrophoneListing> microphoneListing,
                std::shared_ptr<platform::SerialQueue> mainQueue);
  ~DeviceCatalog();
  DeviceCatalog(const DeviceCatalog&) = delete;
  DeviceCatalog& operator=(const DeviceCatalog&) = delete;

  platform::Published<std::vector<CameraDevice>> cameras;
  platform::Published<std::vector<MicDevice>> microphones;
  platform::Published<std::optional<std::string>> systemDefaultMicID;

  // Name order of the lists (DeviceNameOrder): locale-aware, letters without
  // regard to case, runs of digits by their value. True when a comes before b.
  static bool namesAscending(std::string_view a, std::string_view b);
  static int kindRank(CameraDevice::Kind kind);

  // Takes the microphones of a listing that came after the catalogue (a sound
  // server that answered only later): lists them at once and watches them from
  // then on. Nothing when the catalogue lists microphones already.
  void adoptMicrophones(std::shared_ptr<MicrophoneListing> listing);
  bool listsMicrophones() const { return microphoneListing_ != nullptr; }

  // The cameras whose suspension is watched (for tests of the watch bookkeeping).
  std::vector<std::string> watchedCameras() const;

 private:
  void startWatching();
  void watchMicrophones();
  void refresh();
  void watchSuspension(const std::vector<CameraDevice>& cameras);
  void suspensionChanged(const std::string& uniqueID, const std::string& name);
  void refreshSoon();

  std::shared_ptr<CameraListing> cameraListing_;
  std::shared_ptr<MicrophoneListing> microphoneListing_;
  std::shared_ptr<platform::SerialQueue> mainQueue_;
  std::vector<std::unique_ptr<DeviceWatch>> listWatches_;
  std::unique_ptr<DeviceWatch> defaultInputWatch_;
  std::map<std::string, std::unique_ptr<DeviceWatch>> suspensionWatches_;
};

}  // namespace quarzadel
