#include "Platform/Audio/PulseSourceList.h"

#include <pulse/introspect.h>
#include <pulse/proplist.h>
#include <pulse/subscribe.h>

#include <cstring>

namespace platform {

namespace {

std::string property(const pa_proplist* list, const char* key) {
  const char* v = list ? pa_proplist_gets(list, key) : nullptr;
  return v ? v : "";
}

FourCC transportOf(const pa_source_info& info) {
  const std::string bus = property(info.proplist, PA_PROP_DEVICE_BUS);
  const std::string form = property(info.proplist, PA_PROP_DEVICE_FORM_FACTOR);
  if (!(info.flags & PA_SOURCE_HARDWARE)) return fourCC("virt");
  if (bus == "usb") return fourCC("usb ");
  if (bus == "bluetooth") return fourCC("blue");
  if (form == "internal" || bus == "pci" || bus == "platform") return fourCC("bltn");
  return 0;
}

struct ListRequest {
  PulseAudioContext* context;
  std::vector<PulseSource> sources;
};

void onSourceInfo(pa_context*, const pa_source_info* info, int eol, void* userdata) {
  auto* request = static_cast<ListRequest*>(userdata);
  if (eol) {
    request->context->signal();
    return;
  }
  if (!info || info->monitor_of_sink != PA_INVALID_INDEX) return;
  request->sources.push_back({info->name ? info->name : "",
                              info->description && *info->description ? info->description : (info->name ? info->name : ""),
                              info->index, info->sample_spec.channels, transportOf(*info)});
}

struct MonitorRequest {
  PulseAudioContext* context;
  bool isMonitor = false;
};

void onDefaultInfo(pa_context*, const pa_source_info* info, int eol, void* userdata) {
  auto* request = static_cast<MonitorRequest*>(userdata);
  if (eol) {
    request->context->signal();
    return;
  }
  if (info && info->monitor_of_sink != PA_INVALID_INDEX) request->isMonitor = true;
}

}  // namespace

PulseSourceList::PulseSourceList(std::shared_ptr<PulseAudioContext> context) : context_(std::move(context)) {}

PulseSourceList::~PulseSourceList() { unwatch(); }

std::vector<PulseSource> PulseSourceList::sources() {
  PulseAudioContext::Lock lock(*context_);
  if (!context_->isConnected()) throw PulseAudioError("sound server " + context_->server() + ": not connected");
  ListRequest request{context_.get(), {}};
  context_->wait(pa_context_get_source_info_list(context_->context(), onSourceInfo, &request));
  return std::move(request.sources);
}

std::optional<std::string> PulseSourceList::defaultSourceName() {
  const std::string name = context_->serverInfo().defaultSourceName;
  if (name.empty()) return std::nullopt;
  PulseAudioContext::Lock lock(*context_);
  MonitorRequest request{context_.get()};
  context_->wait(pa_context_get_source_info_by_name(context_->context(), name.c_str(), onDefaultInfo, &request));
  if (request.isMonitor) return std::nullopt;
  return name;
}

bool PulseSourceList::watch(std::function<void()> onSourcesChanged, std::function<void()> onDefaultChanged) {
  PulseAudioContext::Lock lock(*context_);
  onSourcesChanged_ = std::move(onSourcesChanged);
  onDefaultChanged_ = std::move(onDefaultChanged);
  pa_context_set_subscribe_callback(context_->context(), &PulseSourceList::onEvent, this);
  watching_ = true;
  pa_operation* op = pa_context_subscribe(
      context_->context(), static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SOURCE | PA_SUBSCRIPTION_MASK_SERVER),
      [](pa_context*, int, void* userdata) { static_cast<PulseAudioContext*>(userdata)->signal(); }, context_.get());
  if (!op) return false;
  context_->wait(op);
  return true;
}

void PulseSourceList::unwatch() {
  if (!watching_) return;
  PulseAudioContext::Lock lock(*context_);
  // Under the lock no event is being delivered, and none is after this.
  pa_context_set_subscribe_callback(context_->context(), nullptr, nullptr);
  onSourcesChanged_ = nullptr;
  onDefaultChanged_ = nullptr;
  watching_ = false;
}

void PulseSourceList::onEvent(pa_context*, pa_subscription_event_type_t type, uint32_t, void* userdata) {
  auto* self = static_cast<PulseSourceList*>(userdata);
  const auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
  if (facility == PA_SUBSCRIPTION_EVENT_SOURCE && self->onSourcesChanged_) self->onSourcesChanged_();
  else if (facility == PA_SUBSCRIPTION_EVENT_SERVER && self->onDefaultChanged_) self->onDefaultChanged_();
}

}  // namespace platform
