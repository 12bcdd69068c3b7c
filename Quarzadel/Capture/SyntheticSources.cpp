#include "Quarzadel/Capture/SyntheticSources.h"

#include <algorithm>
#include <sstream>

namespace quarzadel {

namespace {

struct FaultStore {
  std::mutex lock;
  std::optional<std::map<std::string, SyntheticSources::Fault>> faults;  // filled on first use

  std::map<std::string, SyntheticSources::Fault>& get() {
    if (!faults) faults = SyntheticSources::initialFaults(*platform::UserDefaults::standard());
    return *faults;
  }
};

// Cameras tick and stop on the runtime's workers, which stop before static
// objects are destroyed (RuntimeStopAtReturn).
FaultStore& faultStore() {
  static FaultStore store;
  return store;
}

struct LiveEntry {
  SyntheticVideoSource* camera;
  std::weak_ptr<SyntheticVideoSource> weak;
};

struct LiveStore {
  std::mutex lock;  // guards the list and every camera's failure callback
  std::vector<LiveEntry> cameras;
};

LiveStore& liveStore() {
  static LiveStore store;
  return store;
}

std::string trimmed(const std::string& s) {
  const auto begin = s.find_first_not_of(" \t\r\n");
  if (begin == std::string::npos) return {};
  const auto end = s.find_last_not_of(" \t\r\n");
  return s.substr(begin, end - begin + 1);
}

}  // namespace

std::vector<SyntheticVideoSource::Spec> SyntheticSources::makeSpecs(const platform::UserDefaults& defaults) {
  return {
      {"synthetic-a", "Test Pattern A (720p 60 fps)", 1280, 720, 60, {0.1, 0.35, 0.75}, 0, false},
      {"synthetic-b", "Test Pattern B (1440\u00d71080 4:3, 30 fps)", 1440, 1080, 30, {0.75, 0.3, 0.1}, 0, false},
      {"synthetic-c", "Test Pattern C (1080\u00d71920 portrait, 25 fps)", 1080, 1920, 25, {0.15, 0.6, 0.25}, 0, false},
      {"synthetic-d", "Test Pattern D (1080p 30 fps, 150 ms latency)", 1920, 1080, 30, {0.45, 0.2, 0.6}, 0.15, false},
      {kNoiseID, defaults.string("SyntheticClipName").value_or(kNoiseName), 1920, 1080, 30, {0.5, 0.5, 0.5}, 0, true},
  };
}

const std::vector<SyntheticVideoSource::Spec>& SyntheticSources::specs() {
  static const std::vector<SyntheticVideoSource::Spec> specs = makeSpecs(*platform::UserDefaults::standard());
  return specs;
}

std::optional<SyntheticVideoSource::Spec> SyntheticSources::spec(const std::string& id) {
  for (const auto& s : specs())
    if (s.id == id) return s;
  return std::nullopt;
}

std::map<std::string, SyntheticSources::Fault> SyntheticSources::initialFaults(const platform::UserDefaults& defaults) {
  std::map<std::string, Fault> faults;
  const auto listed = defaults.string("SyntheticSuspended");
  if (!listed) return faults;
  std::stringstream pieces(*listed);
  std::string piece;
  while (std::getline(pieces, piece, ',')) {
    // A blank piece names no camera.
    if (auto id = trimmed(piece); !id.empty()) faults[id] = Fault::suspended;
  }
  return faults;
}

std::optional<SyntheticSources::Fault> SyntheticSources::fault(const std::string& id) {
  auto& store = faultStore();
  std::lock_guard lock(store.lock);
  const auto& faults = store.get();
  const auto it = faults.find(id);
  if (it == faults.end()) return std::nullopt;
  return it->second;
}

void SyntheticSources::setFault(const std::string& id, Fault fault) {
  auto& store = faultStore();
  std::lock_guard lock(store.lock);
  store.get()[id] = fault;
}

void SyntheticSources::clearFault(const std::string& id) {
  auto& store = faultStore();
  std::lock_guard lock(store.lock);
  store.get().erase(id);
}

void SyntheticSources::resetFaults(std::map<std::string, Fault> faults) {
  auto& store = faultStore();
  std::lock_guard lock(store.lock);
  store.faults = std::move(faults);
}

void SyntheticSources::registerLive(const std::shared_ptr<SyntheticVideoSource>& camera,
                                    VideoFrameSource::FailureHandler onFailure) {
  auto& store = liveStore();
  std::lock_guard lock(store.lock);
  std::erase_if(store.cameras, [](const LiveEntry& e) { return e.weak.expired(); });
  store.cameras.push_back({camera.get(), camera});
  camera->onFailure_ = std::move(onFailure);
}

void SyntheticSources::unregisterLive(SyntheticVideoSource* camera) {
  auto& store = liveStore();
  std::lock_guard lock(store.lock);
  camera->onFailure_ = nullptr;
  std::erase_if(store.cameras, [camera](const LiveEntry& e) { return e.camera == camera || e.weak.expired(); });
}

std::vector<std::shared_ptr<SyntheticVideoSource>> SyntheticSources::liveSources() {
  auto& store = liveStore();
  std::lock_guard lock(store.lock);
  std::vector<std::shared_ptr<SyntheticVideoSource>> cameras;
  for (const auto& e : store.cameras)
    if (auto c = e.weak.lock()) cameras.push_back(std::move(c));
  return cameras;
}

void SyntheticSources::reportUnplugged(const std::string& id) {
  std::vector<std::pair<VideoFrameSource::FailureHandler, std::string>> calls;
  // Released after the lock: the last reference runs the camera's destructor, which takes it.
  std::vector<std::shared_ptr<SyntheticVideoSource>> held;
  {
    auto& store = liveStore();
    std::lock_guard lock(store.lock);
    for (const auto& e : store.cameras) {
      auto camera = e.weak.lock();
      if (!camera) continue;
      if (camera->spec_.id == id && camera->onFailure_)
        calls.emplace_back(camera->onFailure_, camera->spec_.name + SyntheticVideoSource::kDisconnected);
      held.push_back(std::move(camera));
    }
  }
  // Outside the lock: the callbacks only enqueue on the consumers' queues.
  for (auto& [call, sentence] : calls) call(sentence);
}

void SyntheticSources::freeze(double seconds) {
  for (const auto& camera : liveSources()) camera->freezeUntil(camera->runtime_->nowSeconds() + seconds);
}

bool SyntheticSources::skipsPermissionPrompts() {
  const auto defaults = platform::UserDefaults::standard();
  return defaults->boolean("SyntheticSources") && defaults->boolean("SkipPermissionPrompts");
}

std::shared_ptr<const SyntheticClip> SyntheticSources::clip() {
  static const std::shared_ptr<const SyntheticClip> clip = [] {
    const auto path = platform::UserDefaults::standard()->string("SyntheticClip");
    return path && !path->empty() ? SyntheticClip::load(*path) : nullptr;
  }();
  return clip;
}

}  // namespace quarzadel
