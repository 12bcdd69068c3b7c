#pragma once
// Asks the event service for the event every few seconds while the Studio is
// live and hands each answer that is a JSON object to the engine. Every failed
// poll (transport error, no answer within 8 s, a status other than 200, a body
// that is no JSON object) is silent: the loop sleeps and asks again. Driven
// from the main queue, as the engine does: the loop itself runs there too, so
// no update is delivered once cancel() has returned.
#include <functional>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "Platform/Dispatch/Runtime.h"
#include "Platform/Net/HttpClient.h"

namespace quarzadel {

class EventStatusPoller {
 public:
  struct Environment {
    std::shared_ptr<platform::Runtime> runtime;     // empty: the shared runtime
    std::shared_ptr<platform::HttpClient> http;     // empty: the shared client
    std::function<std::string()> apiBase;           // empty: the user default "EventAPIBase"
  };
  using UpdateHandler = std::function<void(const nlohmann::json&)>;

  explicit EventStatusPoller(Environment environment = {});
  ~EventStatusPoller();
  EventStatusPoller(const EventStatusPoller&) = delete;
  EventStatusPoller& operator=(const EventStatusPoller&) = delete;

  // Replaces any running loop; the first request goes out at once. Updates
  // arrive on the runtime's main queue.
  void start(const std::string& slug, double interval, UpdateHandler onUpdate);
  void cancel();
  bool isRunning() const;

 private:
  struct Loop;
  Environment environment_;
  std::shared_ptr<Loop> loop_;
};

}  // namespace quarzadel
