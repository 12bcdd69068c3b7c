#include "Quarzadel/Shell/ScenarioRunner.h"

#include <algorithm>
#include <cctype>
#include <cmath>

#include "Quarzadel/Capture/SyntheticSources.h"
#include "Quarzadel/Log/Log.h"
#include "Quarzadel/Shell/DeviceQuery.h"

namespace quarzadel {

std::shared_ptr<ScenarioRunner> ScenarioRunner::make(Scenario scenario, std::weak_ptr<StudioActions> studio,
                                                     std::shared_ptr<platform::SerialQueue> queue,
                                                     bool syntheticSources) {
  return std::make_shared<ScenarioRunner>(std::move(scenario), std::move(studio), std::move(queue), syntheticSources);
}

ScenarioRunner::ScenarioRunner(Scenario scenario, std::weak_ptr<StudioActions> studio,
                               std::shared_ptr<platform::SerialQueue> queue, bool syntheticSources)
    : scenario_(std::move(scenario)),
      studio_(std::move(studio)),
      queue_(std::move(queue)),
      syntheticSources_(syntheticSources) {}

void ScenarioRunner::start() {
  Log::scenarioLoaded(scenario_.steps().size(), __FILE__);
  startedAt_ = queue_->now();
  next_ = 0;
  cancelled_ = false;
  scheduleNext();
}

void ScenarioRunner::cancel() { cancelled_ = true; }

void ScenarioRunner::scheduleNext() {
  if (cancelled_) return;
  if (isFinished()) {
    if (onFinished) onFinished();
    return;
  }
  const auto& step = scenario_.steps()[next_];
  const platform::Nanos due = startedAt_ + static_cast<platform::Nanos>(std::llround(step.time * 1e9));
  // One step at a time, so steps of the same time keep their order.
  auto job = [weak = weak_from_this()] {
    auto self = weak.lock();
    if (!self || self->cancelled_ || self->isFinished()) return;
    const Scenario::Step step = self->scenario_.steps()[self->next_++];
    self->run(step);
    self->scheduleNext();
  };
  if (const platform::Nanos delay = due - queue_->now(); delay > 0) queue_->asyncAfter(delay, std::move(job));
  else queue_->async(std::move(job));
}

void ScenarioRunner::run(const Scenario::Step& step) {
  Log::scenarioStep(step.time, step.action,
                    step.argument ? std::optional<std::string_view>(*step.argument) : std::nullopt, __FILE__);
  const std::string& a = step.action;
  if (a == "unplug" || a == "plug" || a == "suspend" || a == "resume" || a == "hang" || a == "unhang") {
    injectFault(step);
    return;
  }
  if (a == "freeze") {
    if (syntheticSources_) SyntheticSources::freeze(step.argument ? std::stod(*step.argument) : 5.0);
    return;
  }
  auto studio = studio_.lock();
  if (!studio) return;
  if (a == "golive") studio->goLive();
  else if (a == "stop") studio->stop();
  else if (a == "close") studio->close();
  else if (a == "quit") studio->quit();
  else if (a == "next") studio->nextCamera();
  else if (a == "camera") {
    if (!studio->selectCamera(*step.argument)) Log::scenarioNoCameraMatches(*step.argument, __FILE__);
  } else if (a == "mic") {
    if (!studio->selectMicrophone(*step.argument)) Log::scenarioNoMicrophoneMatches(*step.argument, __FILE__);
  } else if (a == "mute") studio->setMuted(true);
  else if (a == "unmute") studio->setMuted(false);
  else if (a == "dismiss") studio->dismissNotice();
  else if (a == "action") studio->runNoticeAction();
  else if (a == "share") share(*studio, step.argument);
  else if (a == "unshare") studio->stopSharing();
  else if (a == "framing") studio->setFraming(*step.argument);
  else if (a == "bitrate") studio->setVideoBitrate(std::llround(std::stod(*step.argument) * 1000));
  else Log::scenarioUnknownAction(a, __FILE__);  // parse() lets none through
}

void ScenarioRunner::share(StudioActions& studio, const std::optional<std::string>& argument) {
  if (!argument) {
    studio.shareSynthetic();
    return;
  }
  // parse() lets through "screen" and "window NAME" only.
  if (*argument == "screen") {
    if (!studio.shareScreen()) Log::scenarioNothingToShareMatches(*argument, __FILE__);
    return;
  }
  size_t name = 6;
  while (name < argument->size() && ((*argument)[name] == ' ' || (*argument)[name] == '\t')) ++name;
  if (!studio.shareWindow(argument->substr(name))) Log::scenarioNothingToShareMatches(*argument, __FILE__);
}

void ScenarioRunner::injectFault(const Scenario::Step& step) {
  std::optional<std::string> id;
  if (syntheticSources_) {
    if (step.argument) {
      id = findDevice(SyntheticSources::specs(), *step.argument);
    } else if (auto studio = studio_.lock()) {
      // Without a name the fault hits the camera on air, when it is a synthetic one.
      if (auto onAir = studio->onAirCameraID(); onAir && SyntheticSources::spec(*onAir)) id = onAir;
    }
  }
  if (!id) {
    Log::scenarioNoSyntheticCameraMatches(
        step.argument ? std::optional<std::string_view>(*step.argument) : std::nullopt, __FILE__);
    return;
  }
  const std::string& a = step.action;
  if (a == "unplug") {
    SyntheticSources::setFault(*id, SyntheticSources::Fault::unplugged);
    SyntheticSources::reportUnplugged(*id);
  } else if (a == "suspend") {
    SyntheticSources::setFault(*id, SyntheticSources::Fault::suspended);
  } else if (a == "hang") {
    SyntheticSources::setFault(*id, SyntheticSources::Fault::hung);
  } else {
    SyntheticSources::clearFault(*id);
  }
}

}  // namespace quarzadel
