#include "Quarzadel/App/AppActivation.h"

#include <algorithm>

namespace quarzadel {

std::shared_ptr<AppActivation> AppActivation::make(std::shared_ptr<platform::Runtime> runtime) {
  return std::make_shared<AppActivation>(std::move(runtime));
}

AppActivation::AppActivation(std::shared_ptr<platform::Runtime> runtime)
    : runtime_(std::move(runtime)), main_(runtime_->mainQueue()) {}

void AppActivation::notify() {
  main_->async([weak = weak_from_this()] {
    if (auto self = weak.lock()) self->signalled();
  });
}

void AppActivation::signalled() {
  const auto now = runtime_->now();
  if (!burstBegan_) burstBegan_ = now;
  // A steady trickle of signs (a device node whose attributes keep changing)
  // must not put the activation off for ever.
  const auto due = std::min(now + kQuiet, *burstBegan_ + kLatest);
  main_->asyncAfter(due - now, [weak = weak_from_this(), generation = ++generation_] {
    auto self = weak.lock();
    if (self && generation == self->generation_) self->fire();
  });
}

void AppActivation::fire() {
  burstBegan_.reset();
  subject_.send(++count_);
}

}  // namespace quarzadel
