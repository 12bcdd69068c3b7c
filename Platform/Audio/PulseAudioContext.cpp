#include "Platform/Audio/PulseAudioContext.h"

#include <pulse/error.h>
#include <pulse/introspect.h>
#include <pulse/proplist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace platform {
namespace {

bool isSocket(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

}  // namespace

PulseAudioContext::Lock::Lock(const PulseAudioContext& context) : mainloop_(context.mainloop_) {
  pa_threaded_mainloop_lock(mainloop_);
}

PulseAudioContext::Lock::~Lock() { pa_threaded_mainloop_unlock(mainloop_); }

std::optional<std::string> PulseAudioContext::defaultServer() {
  if (const char* env = std::getenv("PULSE_SERVER"); env && *env) return std::string(env);
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) {
    const std::string path = std::string(runtime) + "/pulse/native";
    if (isSocket(path)) return "unix:" + path;
  }
  const std::string path = "/run/user/" + std::to_string(::getuid()) + "/pulse/native";
  if (isSocket(path)) return "unix:" + path;
  return std::nullopt;
}

std::shared_ptr<PulseAudioContext> PulseAudioContext::connect() { return connect(Options{}); }

std::shared_ptr<PulseAudioContext> PulseAudioContext::connect(Options options) {
  std::string server = options.server;
  if (server.empty()) {
    auto found = defaultServer();
    if (!found) throw PulseAudioError("no sound server: PULSE_SERVER is not set and there is no runtime socket");
    server = *found;
  }
  auto self = std::make_shared<PulseAudioContext>(Private{}, std::move(options), std::move(server));

  const Nanos deadline = monotonicNow() + self->options_.connectTimeout;
  {
    Lock lock(*self);
    pa_context_set_state_callback(self->context_, &PulseAudioContext::onState, self.get());
    if (pa_context_connect(self->context_, self->server_.c_str(), PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
      throw PulseAudioError("sound server " + self->server_ + ": " + self->lastError());
    }
  }
  if (pa_threaded_mainloop_start(self->mainloop_) < 0) {
    throw PulseAudioError("sound server " + self->server_ + ": the mainloop did not start");
  }

  std::unique_lock<std::mutex> lock(self->stateMutex_);
  const auto settled = [&] {
    return self->state_ == PA_CONTEXT_READY || self->state_ == PA_CONTEXT_FAILED ||
           self->state_ == PA_CONTEXT_TERMINATED;
  };
  const auto remaining = std::chrono::nanoseconds(std::max<Nanos>(0, deadline - monotonicNow()));
  if (!self->stateChanged_.wait_for(lock, remaining, settled)) {
    throw PulseAudioError("sound server " + self->server_ + " did not answer within " +
                          std::to_string(self->options_.connectTimeout / 1'000'000) + " ms");
  }
  if (self->state_ != PA_CONTEXT_READY) {
    lock.unlock();
    Lock paLock(*self);
    throw PulseAudioError("sound server " + self->server_ + ": " + self->lastError());
  }
  self->connected_ = true;
  return self;
}

PulseAudioContext::PulseAudioContext(Private, Options options, std::string server)
    : options_(std::move(options)), server_(std::move(server)) {
  if (!options_.queue) options_.queue = Runtime::shared()->globalQueue();
  mainloop_ = pa_threaded_mainloop_new();
  if (!mainloop_) throw PulseAudioError("cannot make a mainloop for the sound server");
  pa_proplist* properties = pa_proplist_new();
  pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, options_.applicationName.c_str());
  context_ = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(mainloop_), options_.applicationName.c_str(),
                                          properties);
  pa_proplist_free(properties);
  if (!context_) {
    pa_threaded_mainloop_free(mainloop_);
    throw PulseAudioError("cannot make a context for the sound server");
  }
}

PulseAudioContext::~PulseAudioContext() {
  {
    Lock lock(*this);
    pa_context_set_state_callback(context_, nullptr, nullptr);
    pa_context_disconnect(context_);
    pa_context_unref(context_);
  }
  pa_threaded_mainloop* mainloop = mainloop_;
  if (pa_threaded_mainloop_in_thread(mainloop)) {
    // The last owner let go inside a mainloop callback: the loop cannot join itself.
    std::thread([mainloop] {
      pa_threaded_mainloop_stop(mainloop);
      pa_threaded_mainloop_free(mainloop);
    }).detach();
    return;
  }
  pa_threaded_mainloop_stop(mainloop);
  pa_threaded_mainloop_free(mainloop);
}

void PulseAudioContext::onState(pa_context* context, void* userdata) {
  static_cast<PulseAudioContext*>(userdata)->handleState();
  (void)context;
}

void PulseAudioContext::handleState() {
  const pa_context_state_t state = pa_context_get_state(context_);
  std::function<void()> handler;
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    state_ = state;
    if ((state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED) && connected_) {
      connected_ = false;
      handler = std::move(disconnectHandler_);
      disconnectHandler_ = nullptr;
    }
  }
  stateChanged_.notify_all();
  pa_threaded_mainloop_signal(mainloop_, 0);
  if (handler) {
    // Not on this thread: the handler may drop the last reference to the context.
    options_.queue->async(std::move(handler));
  }
}

bool PulseAudioContext::isConnected() const {
  std::lock_guard<std::mutex> lock(stateMutex_);
  return connected_;
}

void PulseAudioContext::setDisconnectHandler(std::function<void()> handler) {
  bool alreadyGone = false;
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    if (connected_) {
      disconnectHandler_ = std::move(handler);
    } else {
      alreadyGone = true;
    }
  }
  if (alreadyGone && handler) options_.queue->async(std::move(handler));
}

PulseAudioContext::ServerInfo PulseAudioContext::serverInfo() {
  struct Request {
    PulseAudioContext* self;
    ServerInfo info;
  } request{this, {}};
  Lock lock(*this);
  if (!isConnected()) throw PulseAudioError("sound server " + server_ + " is gone");
  pa_operation* operation = pa_context_get_server_info(
      context_,
      [](pa_context*, const pa_server_info* info, void* userdata) {
        auto* r = static_cast<Request*>(userdata);
        if (info) {
          r->info.serverName = info->server_name ? info->server_name : "";
          r->info.serverVersion = info->server_version ? info->server_version : "";
          r->info.defaultSinkName = info->default_sink_name ? info->default_sink_name : "";
          r->info.defaultSourceName = info->default_source_name ? info->default_source_name : "";
          r->info.sampleRate = info->sample_spec.rate;
          r->info.channels = info->sample_spec.channels;
        }
        r->self->signal();
      },
      &request);
  wait(operation);
  return request.info;
}

bool PulseAudioContext::inMainloopThread() const { return pa_threaded_mainloop_in_thread(mainloop_) != 0; }

void PulseAudioContext::wait(pa_operation* operation) {
  if (!operation) throw PulseAudioError("sound server " + server_ + ": " + lastError());
  while (pa_operation_get_state(operation) == PA_OPERATION_RUNNING) {
    pa_threaded_mainloop_wait(mainloop_);
  }
  pa_operation_unref(operation);
}

void PulseAudioContext::waitForSignal() { pa_threaded_mainloop_wait(mainloop_); }

void PulseAudioContext::signal() { pa_threaded_mainloop_signal(mainloop_, 0); }

std::string PulseAudioContext::lastError() const { return pa_strerror(pa_context_errno(context_)); }

}  // namespace platform
