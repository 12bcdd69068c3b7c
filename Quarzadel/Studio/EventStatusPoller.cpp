#include "Quarzadel/Studio/EventStatusPoller.h"

#include <algorithm>
#include <cctype>
#include <functional>
#include <mutex>
#include <optional>

#include "Platform/Defaults/UserDefaults.h"
#include "Platform/Dispatch/SerialQueue.h"

namespace quarzadel {
namespace {

// The event service used when the "EventAPIBase" default names none: the web
// application serves the event API.
constexpr const char* kDefaultEventAPIBase = "https://app.quarzadel.com";
constexpr platform::Nanos kRequestTimeout = platform::seconds(8);
// An event is a few hundred bytes; anything far larger is not one.
constexpr size_t kMaxAnswerBytes = 1024 * 1024;

std::string configuredAPIBase() {
  auto value = platform::UserDefaults::standard()->string("EventAPIBase");
  return value && !value->empty() ? *value : kDefaultEventAPIBase;
}

bool startsWithNoCase(const std::string& text, std::string_view prefix) {
  return text.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
           return std::tolower(static_cast<unsigned char>(a)) == b;
         });
}

// The event's URL, or none when the base is no http(s) origin or there is no
// key: an empty key would ask for the whole collection and merge its answer
// into this event.
std::optional<std::string> eventURL(std::string base, const std::string& slug) {
  if (slug.empty()) return std::nullopt;
  size_t schemeLength = startsWithNoCase(base, "https://") ? 8 : startsWithNoCase(base, "http://") ? 7 : 0;
  if (schemeLength == 0) return std::nullopt;
  while (base.size() > schemeLength && base.back() == '/') base.pop_back();
  if (base.size() == schemeLength || base[schemeLength] == '/') return std::nullopt;  // no host
  return base + "/api/events/" + platform::percentEncodePathSegment(slug);
}

// The answer's JSON object, or none for anything else.
std::optional<nlohmann::json> eventObject(const platform::HttpResult& result) {
  const auto* response = std::get_if<platform::HttpResponse>(&result);
  if (!response || response->statusCode != 200) return std::nullopt;
  auto parsed = nlohmann::json::parse(response->body.begin(), response->body.end(), nullptr, false);
  if (parsed.is_discarded() || !parsed.is_object()) return std::nullopt;
  return parsed;
}

platform::Nanos intervalNanos(double interval) {
  // NaN and negative intervals poll back to back rather than overflow the clock.
  if (!(interval > 0)) return 0;
  return platform::seconds(std::min(interval, 86400.0));
}

}  // namespace

// One polling loop. Every step runs as a job of the main queue; the runtime's
// timers (the answer's deadline and the sleep) only hop back onto it. Nothing
// but the poller owns the loop: timers and requests hold it weakly, and cancel()
// takes back the timers, so a cancelled loop is gone at once.
struct EventStatusPoller::Loop : std::enable_shared_from_this<EventStatusPoller::Loop> {
  Loop(std::shared_ptr<platform::Runtime> runtime, std::shared_ptr<platform::HttpClient> http, std::string url,
       platform::Nanos interval, UpdateHandler onUpdate)
      : runtime(std::move(runtime)),
        main(this->runtime->mainQueue()),
        http(std::move(http)),
        url(std::move(url)),
        interval(interval),
        onUpdate(std::move(onUpdate)) {}

  void begin() { onMain(&Loop::poll); }

  void cancel() {
    std::lock_guard lock(mutex);
    cancelled = true;
    if (deadline) runtime->cancel(*deadline);
    if (sleep) runtime->cancel(*sleep);
    deadline.reset();
    sleep.reset();
  }

  bool isCancelled() {
    std::lock_guard lock(mutex);
    return cancelled;
  }

  void poll() {
    platform::HttpRequest request = platform::HttpRequest::get(url);
    request.timeout = kRequestTimeout;
    request.headers["Accept"] = "application/json";
    request.maxResponseBytes = kMaxAnswerBytes;
    // The client keeps no cache, so every request reaches the service.
    uint64_t round;
    {
      std::lock_guard lock(mutex);
      if (cancelled) return;
      round = ++rounds;
      sleep.reset();
      // On the runtime's clock as well as the client's, so that a slow answer
      // ends the wait on virtual time too.
      deadline = runtime->postAt(runtime->now() + kRequestTimeout, [weak = weak_from_this(), round] {
        if (auto self = weak.lock()) self->onMain([round](Loop& loop) { loop.answered(round, std::nullopt); });
      });
    }
    http->send(std::move(request), main, [weak = weak_from_this(), round](platform::HttpResult result) {
      if (auto self = weak.lock()) self->answered(round, eventObject(result));
    });
  }

  // The first of the answer and the deadline ends the round; the other is late.
  void answered(uint64_t round, std::optional<nlohmann::json> event) {
    {
      std::lock_guard lock(mutex);
      if (cancelled || round != rounds || !deadline) return;
      runtime->cancel(*deadline);
      deadline.reset();
    }
    if (event && !isCancelled()) onUpdate(*event);
    std::lock_guard lock(mutex);
    if (cancelled) return;
    sleep = runtime->postAt(runtime->now() + interval, [weak = weak_from_this()] {
      if (auto self = weak.lock()) self->onMain(&Loop::poll);
    });
  }

  template <class F>
  void onMain(F step) {
    main->async([weak = weak_from_this(), step] {
      if (auto self = weak.lock()) std::invoke(step, *self);
    });
  }

  const std::shared_ptr<platform::Runtime> runtime;
  const std::shared_ptr<platform::SerialQueue> main;
  const std::shared_ptr<platform::HttpClient> http;
  const std::string url;
  const platform::Nanos interval;
  const UpdateHandler onUpdate;

  std::mutex mutex;
  bool cancelled = false;
  uint64_t rounds = 0;
  std::optional<platform::Runtime::TimerId> deadline;  // while a request waits for its answer
  std::optional<platform::Runtime::TimerId> sleep;     // while the loop sleeps
};

EventStatusPoller::EventStatusPoller(Environment environment) : environment_(std::move(environment)) {}

EventStatusPoller::~EventStatusPoller() { cancel(); }

void EventStatusPoller::start(const std::string& slug, double interval, UpdateHandler onUpdate) {
  cancel();
  auto url = eventURL(environment_.apiBase ? environment_.apiBase() : configuredAPIBase(), slug);
  if (!url) return;
  auto runtime = environment_.runtime ? environment_.runtime : platform::Runtime::shared();
  auto http = environment_.http ? environment_.http : platform::HttpClient::shared();
  loop_ = std::make_shared<Loop>(std::move(runtime), std::move(http), std::move(*url), intervalNanos(interval),
                                 std::move(onUpdate));
  loop_->begin();
}

void EventStatusPoller::cancel() {
  if (!loop_) return;
  loop_->cancel();
  loop_.reset();
}

bool EventStatusPoller::isRunning() const { return loop_ != nullptr; }

}  // namespace quarzadel
