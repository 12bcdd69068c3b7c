#pragma once
// Device listings scripted by the test: lists it edits, changes it fires.
#include <map>
#include <mutex>

#include "Quarzadel/Capture/DeviceListing.h"

namespace quarzadel::testing {

class FakeCameraListing final : public CameraListing {
 public:
  std::vector<Camera> list;
  std::map<std::string, std::function<void()>> suspensionWatchers;
  std::function<void()> listWatcher;

  std::vector<Camera> cameras() override { return list; }
  std::unique_ptr<DeviceWatch> watchList(std::function<void()> onChange) override {
    listWatcher = std::move(onChange);
    return std::make_unique<FunctionWatch>([this] { listWatcher = nullptr; });
  }
  std::unique_ptr<DeviceWatch> watchSuspension(const std::string& id, std::function<void()> onChange) override {
    suspensionWatchers[id] = std::move(onChange);
    return std::make_unique<FunctionWatch>([this, id] { suspensionWatchers.erase(id); });
  }
  bool isSuspended(const std::string& id) override {
    for (const auto& c : list)
      if (c.description.uniqueID == id) return c.description.isSuspended;
    return false;
  }
  void setSuspended(const std::string& id, bool suspended) {
    for (auto& c : list)
      if (c.description.uniqueID == id) c.description.isSuspended = suspended;
  }
  void fireList() {
    if (listWatcher) listWatcher();
  }
};

class FakeMicrophoneListing final : public MicrophoneListing {
 public:
  std::vector<Microphone> list;
  std::optional<std::string> defaultID;
  int32_t watchStatus = 0;
  std::function<void()> listWatcher;
  std::function<void()> defaultWatcher;

  std::vector<Microphone> microphones() override { return list; }
  std::optional<std::string> defaultMicrophoneID() override { return defaultID; }
  std::unique_ptr<DeviceWatch> watchList(std::function<void()> onChange) override {
    listWatcher = std::move(onChange);
    return std::make_unique<FunctionWatch>([this] { listWatcher = nullptr; });
  }
  std::unique_ptr<DeviceWatch> watchDefaultInput(std::function<void()> onChange, int32_t& status) override {
    status = watchStatus;
    if (status != 0) return nullptr;
    defaultWatcher = std::move(onChange);
    return std::make_unique<FunctionWatch>([this] { defaultWatcher = nullptr; });
  }
  void fireList() {
    if (listWatcher) listWatcher();
  }
  void fireDefault() {
    if (defaultWatcher) defaultWatcher();
  }
};

}  // namespace quarzadel::testing
