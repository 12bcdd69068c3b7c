#pragma once
// Runs a Scenario against the open Studio on the main queue: each step at its
// script time after start(), in script order, logged as it runs. The device
// words ("unplug", "suspend", "hang", their opposites and "freeze") act on the
// synthetic sources, and only when those are switched on.
#include <functional>
#include <memory>

#include "Platform/Dispatch/SerialQueue.h"
#include "Quarzadel/Shell/Scenario.h"
#include "Quarzadel/Shell/StudioActions.h"

namespace quarzadel {

class ScenarioRunner : public std::enable_shared_from_this<ScenarioRunner> {
 public:
  static std::shared_ptr<ScenarioRunner> make(Scenario scenario, std::weak_ptr<StudioActions> studio,
                                              std::shared_ptr<platform::SerialQueue> queue, bool syntheticSources);

  ScenarioRunner(Scenario scenario, std::weak_ptr<StudioActions> studio, std::shared_ptr<platform::SerialQueue> queue,
                 bool syntheticSources);

  // Logs the loaded scenario and runs its steps from now on.
  void start();
  // No further step runs.
  void cancel();
  bool isFinished() const { return next_ >= scenario_.steps().size(); }

  // Called on the queue after the last step ran.
  std::function<void()> onFinished;

 private:
  void scheduleNext();
  void run(const Scenario::Step& step);
  void injectFault(const Scenario::Step& step);
  void share(StudioActions& studio, const std::optional<std::string>& argument);

  const Scenario scenario_;
  const std::weak_ptr<StudioActions> studio_;
  const std::shared_ptr<platform::SerialQueue> queue_;
  const bool syntheticSources_;
  platform::Nanos startedAt_ = 0;
  size_t next_ = 0;
  bool cancelled_ = false;
};

}  // namespace quarzadel
