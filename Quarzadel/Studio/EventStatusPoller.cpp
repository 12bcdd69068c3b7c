#include "Quarzadel/Studio/EventStatusPoller.h"

namespace quarzadel {

struct EventStatusPoller::Loop {};

EventStatusPoller::EventStatusPoller(Environment environment) : environment_(std::move(environment)) {}

EventStatusPoller::~EventStatusPoller() { cancel(); }

void EventStatusPoller::start(const std::string&, double, UpdateHandler) { loop_ = std::make_shared<Loop>(); }

void EventStatusPoller::cancel() { loop_.reset(); }

bool EventStatusPoller::isRunning() const { return loop_ != nullptr; }

}  // namespace quarzadel
