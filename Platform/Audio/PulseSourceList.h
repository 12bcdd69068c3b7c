#pragma once
// The sound server's capture sources (microphones and the like; sink monitors
// left out), its default source, and word of changes through the context's
// event subscription. One list per context: it owns the context's subscription.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Audio/PulseAudioContext.h"
#include "Platform/Media/FourCC.h"

namespace platform {

struct PulseSource {
  std::string name;         // the server's stable name: the device's unique identifier
  std::string description;  // the name shown
  uint32_t index = 0;
  uint8_t channels = 0;
  // 'bltn' for a machine's own device, 'usb ' or 'blue' by bus, 'virt' for a
  // source no hardware backs (a module's, a remap, a network tunnel), else 0.
  FourCC transportType = 0;
};

class PulseSourceList {
 public:
  explicit PulseSourceList(std::shared_ptr<PulseAudioContext> context);
  ~PulseSourceList();
  PulseSourceList(const PulseSourceList&) = delete;
  PulseSourceList& operator=(const PulseSourceList&) = delete;

  // In the server's order. Throws PulseAudioError when the server cannot answer.
  std::vector<PulseSource> sources();
  // None when there is none or it is a sink's monitor.
  std::optional<std::string> defaultSourceName();

  // Called on the mainloop's thread, without the lock being of use to the callee:
  // they should only hand the news on. Null handlers are skipped. Replaces the
  // previous handlers; returns false when the server refused the subscription.
  bool watch(std::function<void()> onSourcesChanged, std::function<void()> onDefaultChanged);
  void unwatch();

  const std::shared_ptr<PulseAudioContext>& context() const { return context_; }

 private:
  static void onEvent(pa_context* c, pa_subscription_event_type_t type, uint32_t index, void* userdata);

  std::shared_ptr<PulseAudioContext> context_;
  std::function<void()> onSourcesChanged_;
  std::function<void()> onDefaultChanged_;
  bool watching_ = false;
};

}  // namespace platform
