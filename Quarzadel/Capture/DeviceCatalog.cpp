#include "Quarzadel/Capture/DeviceCatalog.h"

#include <algorithm>
#include <cctype>
#include <set>

#include "Quarzadel/Capture/DeviceNameOrder.h"
#include "Quarzadel/Log/Log.h"

namespace quarzadel {

bool DeviceCatalog::namesAscending(std::string_view a, std::string_view b) { return compareDeviceNames(a, b) < 0; }

int DeviceCatalog::kindRank(CameraDevice::Kind kind) {
  using K = CameraDevice::Kind;
  switch (kind) {
    case K::builtIn: return 0;
    case K::usb: return 1;
    case K::other: return 2;
    case K::continuity: return 3;
    case K::deskView: return 4;
    case K::virtual_: return 5;
    case K::screen: break;
  }
  return 6;
}

std::shared_ptr<DeviceCatalog> DeviceCatalog::make(std::shared_ptr<CameraListing> cameraListing,
                                                   std::shared_ptr<MicrophoneListing> microphoneListing,
                                                   std::shared_ptr<platform::SerialQueue> mainQueue) {
  auto catalog =
      std::make_shared<DeviceCatalog>(std::move(cameraListing), std::move(microphoneListing), std::move(mainQueue));
  catalog->refresh();
  catalog->startWatching();
  return catalog;
}

DeviceCatalog::DeviceCatalog(std::shared_ptr<CameraListing> cameraListing,
                             std::shared_ptr<MicrophoneListing> microphoneListing,
                             std::shared_ptr<platform::SerialQueue> mainQueue)
    : cameras(std::vector<CameraDevice>{}),
      microphones(std::vector<MicDevice>{}),
      systemDefaultMicID(std::nullopt),
      cameraListing_(std::move(cameraListing)),
      microphoneListing_(std::move(microphoneListing)),
      mainQueue_(std::move(mainQueue)) {}

// The watches go first, so no callback outlives the lists it reads.
DeviceCatalog::~DeviceCatalog() {
  listWatches_.clear();
  suspensionWatches_.clear();
  defaultInputWatch_.reset();
}

void DeviceCatalog::startWatching() {
  std::weak_ptr<DeviceCatalog> weak = weak_from_this();
  auto onChange = [weak] {
    if (auto self = weak.lock()) self->refreshSoon();
  };
  if (cameraListing_)
    if (auto w = cameraListing_->watchList(onChange)) listWatches_.push_back(std::move(w));
  watchMicrophones();
}

void DeviceCatalog::watchMicrophones() {
  if (!microphoneListing_) return;
  std::weak_ptr<DeviceCatalog> weak = weak_from_this();
  auto onChange = [weak] {
    if (auto self = weak.lock()) self->refreshSoon();
  };
  if (auto w = microphoneListing_->watchList(onChange)) listWatches_.push_back(std::move(w));
  int32_t status = 0;
  auto w = microphoneListing_->watchDefaultInput(onChange, status);
  if (status != 0 || !w) Log::couldNotWatchSystemInput(status, __FILE__);
  else defaultInputWatch_ = std::move(w);
}

void DeviceCatalog::adoptMicrophones(std::shared_ptr<MicrophoneListing> listing) {
  if (microphoneListing_ || !listing) return;
  microphoneListing_ = std::move(listing);
  // Watching first: a change while listing costs one more refresh, never a miss.
  watchMicrophones();
  refresh();
}

// Triggers come from any thread; each runs one whole refresh of its own on the
// main queue (not coalesced: later ones find nothing changed and publish nothing).
void DeviceCatalog::refreshSoon() {
  std::weak_ptr<DeviceCatalog> weak = weak_from_this();
  mainQueue_->async([weak] {
    if (auto self = weak.lock()) self->refresh();
  });
}

void DeviceCatalog::refresh() {
  std::vector<CameraDevice> cams;
  {
    std::set<std::string> seen;
    if (cameraListing_)
      for (const auto& c : cameraListing_->cameras()) {
        if (!c.isConnected || !seen.insert(c.description.uniqueID).second) continue;
        cams.push_back(CameraDevice::from(c.description));
      }
  }
  watchSuspension(cams);
  std::stable_sort(cams.begin(), cams.end(), [](const CameraDevice& a, const CameraDevice& b) {
    const int ra = kindRank(a.kind), rb = kindRank(b.kind);
    if (ra != rb) return ra < rb;
    return namesAscending(a.name, b.name);
  });

  std::vector<MicDevice> mics;
  {
    std::set<std::string> seen;
    if (microphoneListing_)
      for (const auto& m : microphoneListing_->microphones()) {
        if (!m.isConnected || !seen.insert(m.uniqueID).second) continue;
        mics.push_back(MicDevice::from(m.uniqueID, m.localizedName, m.transportType));
      }
  }
  std::stable_sort(mics.begin(), mics.end(), [](const MicDevice& a, const MicDevice& b) {
    if (a.isBuiltIn != b.isBuiltIn) return a.isBuiltIn;
    if (a.isVirtual != b.isVirtual) return !a.isVirtual;
    return namesAscending(a.name, b.name);
  });

  if (cams != cameras.value()) cameras.set(std::move(cams));
  if (mics != microphones.value()) microphones.set(std::move(mics));
  std::optional<std::string> defaultID = microphoneListing_ ? microphoneListing_->defaultMicrophoneID() : std::nullopt;
  if (defaultID != systemDefaultMicID.value()) systemDefaultMicID.set(std::move(defaultID));
}

void DeviceCatalog::watchSuspension(const std::vector<CameraDevice>& listed) {
  std::set<std::string> ids;
  for (const auto& c : listed) ids.insert(c.id);
  for (auto it = suspensionWatches_.begin(); it != suspensionWatches_.end();)
    it = ids.count(it->first) ? std::next(it) : suspensionWatches_.erase(it);
  if (!cameraListing_) return;
  std::weak_ptr<DeviceCatalog> weak = weak_from_this();
  for (const auto& c : listed) {
    if (suspensionWatches_.count(c.id)) continue;
    // A watch the platform cannot give is kept as an empty entry, so it is not asked again.
    suspensionWatches_[c.id] = cameraListing_->watchSuspension(c.id, [weak, id = c.id, name = c.name] {
      if (auto self = weak.lock()) self->suspensionChanged(id, name);
    });
  }
}

// Any thread: the line follows the flag as it reads now, not the change.
void DeviceCatalog::suspensionChanged(const std::string& uniqueID, const std::string& name) {
  Log::cameraSuspensionChanged(name, cameraListing_->isSuspended(uniqueID), __FILE__);
  refreshSoon();
}

std::vector<std::string> DeviceCatalog::watchedCameras() const {
  std::vector<std::string> ids;
  for (const auto& [id, watch] : suspensionWatches_) ids.push_back(id);
  return ids;
}

}  // namespace quarzadel
