#include "Quarzadel/Shell/StudioShell.h"

#include <signal.h>

#include <algorithm>
#include <cctype>

#include "Platform/Concurrency/Task.h"
#include "Quarzadel/Shell/EventsJSON.h"
#include "Quarzadel/Shell/DeviceQuery.h"
#include "Quarzadel/Shell/StatusLine.h"

namespace quarzadel {

namespace {

// Level changes come many times a second: scripts and the terminal get at most this many.
constexpr platform::Nanos kLevelInterval = platform::milliseconds(100);

}  // namespace

std::shared_ptr<StudioShell> StudioShell::make(LaunchOptions options, Mode mode, Environment environment) {
  return std::make_shared<StudioShell>(std::move(options), mode, std::move(environment));
}

StudioShell::StudioShell(LaunchOptions options, Mode mode, Environment environment)
    : options_(std::move(options)), mode_(mode), env_(std::move(environment)) {
  if (!env_.runtime) env_.runtime = platform::Runtime::shared();
  if (!env_.wallClock) env_.wallClock = platform::WallClock::system();
  if (!env_.write) env_.write = [](const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
  };
  if (!env_.message) env_.message = [](const std::string& text) { std::fprintf(stderr, "%s\n", text.c_str()); };
  if (!env_.columns) env_.columns = [] { return 0; };
  main_ = env_.runtime->mainQueue();
}

StudioShell::~StudioShell() {
  if (runner_) runner_->cancel();
}

// ---- Opening

bool StudioShell::open(const StudioEvent& event) {
  if (engine_ && QuitConfirmation::isOnAir(snapshot_.status)) {
    say("A Studio is live: stop it before opening another.");
    return false;
  }
  if (auto previous = std::move(engine_)) {
    // An idle Studio makes way; its changes are no longer shown.
    subscriptions_.clear();
    if (runner_) runner_->cancel();
    platform::spawnDetached(main_, [](std::shared_ptr<StudioEngine> e) -> platform::Async<void> { co_await e->close(); },
                            previous);
  }
  preview_.reset();
  engine_ = env_.makeEngine(event);
  openPreview();
  snapshot_ = {};
  if (options_.demoMicLevel) {
    const auto fixed = static_cast<float>(*options_.demoMicLevel);
    snapshot_.level = AudioLevel{fixed, fixed};
  }
  statusSeen_ = false;
  wentLive_ = scriptedGoLive_ = scriptedClose_ = false;
  if (mode_ == Mode::terminal) say(StatusLine::help());
  subscribe();
  if (mode_ == Mode::terminal) {
    ticker_ = platform::RepeatingTimer::start(main_, platform::seconds(1), platform::seconds(1),
                                              platform::weakHandler(shared_from_this(), [](StudioShell& s) {
                                                if (!s.finished_) s.show();
                                              }));
  }
  platform::spawnDetached(main_, &StudioShell::runStart, shared_from_this(), engine_);
  return true;
}

platform::Async<void> StudioShell::runStart(std::shared_ptr<StudioShell> self, std::shared_ptr<StudioEngine> engine) {
  co_await engine->start();
  if (self->engine_ != engine || self->closing_ || !self->options_.scenario) co_return;
  self->runner_ = ScenarioRunner::make(*self->options_.scenario, std::weak_ptr<StudioActions>(self), self->main_,
                                       self->options_.syntheticSources);
  self->runner_->start();
}

void StudioShell::openPreview() {
  if (!env_.openPreview) return;
  std::weak_ptr<StudioShell> weak = weak_from_this();
  std::weak_ptr<StudioEngine> engine = engine_;
  preview_ = env_.openPreview(engine_, [weak, main = main_, engine] {
    main->async([weak, engine] {
      auto self = weak.lock();
      if (!self || self->finished_ || self->engine_ != engine.lock()) return;
      self->preview_.reset();
      self->tell(kPreviewClosed);
    });
  });
  if (preview_ || std::exchange(noDisplayTold_, true)) return;
  tell(kNoDisplay);
}

void StudioShell::subscribe() {
  std::weak_ptr<StudioShell> weak = weak_from_this();
  auto& e = *engine_;
  const auto on = [&](const auto& published, auto handler) {
    published.subscribe(main_, [weak, handler](const auto& value) mutable {
      if (auto self = weak.lock(); self && !self->finished_) handler(*self, value);
    }).store(subscriptions_);
  };
  on(e.status(), [](StudioShell& s, const StudioEngineStatus& status) { s.statusChanged(status); });
  on(e.stats(), [first = true](StudioShell& s, const RTMPPublisherStats& stats) mutable {
    // The first value is the empty one every Studio starts with.
    if (std::exchange(first, false)) return;
    s.snapshot_.stats = stats;
    s.emit(EventsJSON::stats(stats));
    s.show(true);
  });
  // A steady sound publishes its level once: the first value counts too.
  on(e.level(), [](StudioShell& s, const AudioLevel& level) {
    if (s.options_.demoMicLevel || level == s.snapshot_.level) return;
    s.snapshot_.level = level;
    const auto now = s.env_.runtime->now();
    if (now - s.lastLevelAt_ < kLevelInterval) return;
    s.lastLevelAt_ = now;
    s.emit(EventsJSON::level(level, s.snapshot_.muted));
    if (s.mode_ == Mode::terminal) s.show();
  });
  on(e.isMuted(), [](StudioShell& s, bool muted) {
    if (s.snapshot_.muted == muted) return;
    s.snapshot_.muted = muted;
    s.emit(EventsJSON::level(s.snapshot_.level, muted));
    s.show(true);
  });
  on(e.problem(), [](StudioShell& s, const std::optional<std::string>& problem) {
    if (s.snapshot_.problem == problem) return;
    s.snapshot_.problem = problem;
    s.emit(EventsJSON::problem(problem));
    s.show(true);
  });
  on(e.notice(), [](StudioShell& s, const std::optional<StudioNotice>& notice) {
    std::optional<StudioSnapshot::Notice> shown;
    if (notice)
      shown = StudioSnapshot::Notice{notice->id(), notice->text(), notice->kind() == StudioNotice::Kind::warning,
                                     notice->actionTitle};
    if (s.snapshot_.notice == shown) return;
    s.snapshot_.notice = shown;
    s.emit(EventsJSON::notice(shown));
    s.show(true);
  });
  on(e.onAirCameraID(), [](StudioShell& s, const std::optional<std::string>& id) {
    if (s.onAirCameraID_ == id) return;
    s.onAirCameraID_ = id;
    s.snapshot_.camera = s.engine_ ? s.engine_->cameraName(id) : std::nullopt;
    if (id && !s.snapshot_.camera) s.snapshot_.camera = *id;
    s.emit(EventsJSON::camera(id, s.snapshot_.camera));
    s.show(true);
  });
}

void StudioShell::statusChanged(const StudioEngineStatus& status) {
  if (statusSeen_ && snapshot_.status == status) return;
  statusSeen_ = true;
  snapshot_.status = status;
  if (status.isLive()) wentLive_ = true;
  // A question about a stream that is no longer on air has no point.
  if (question_ != Question::none && !QuitConfirmation::isOnAir(status)) {
    question_ = Question::none;
    quitConfirmation_.decline();
  }
  emit(EventsJSON::status(status));
  show(true);
  if (quitConfirmation_.isQuitting() && !closing_ && !status.isStopping()) beginQuit(QuitConfirmation::isOnAir(status));
}

// ---- Keys and signals

void StudioShell::key(char key) {
  main_->async([weak = weak_from_this(), key] {
    if (auto self = weak.lock()) self->onKey(key);
  });
}

void StudioShell::signal(int signal) {
  main_->async([weak = weak_from_this(), signal] {
    if (auto self = weak.lock()) self->onSignal(signal);
  });
}

void StudioShell::onKey(char key) {
  if (finished_ || !engine_) return;
  const char k = static_cast<char>(std::tolower(static_cast<unsigned char>(key)));
  if (question_ == Question::share) {
    pickShare(k);
    return;
  }
  if (question_ != Question::none) {
    const Question asked = std::exchange(question_, Question::none);
    if (asked == Question::stop && (k == 's' || k == 'y')) {
      stop();
    } else if (asked == Question::quit && (k == 'q' || k == 'y')) {
      requestQuit(true);
    } else {
      quitConfirmation_.decline();
      show(true);
    }
    return;
  }
  switch (k) {
    case 'g':
      // Start is offered once the Studio has opened its sources.
      if (!closing_ && !snapshot_.status.isStarting()) engine_->goLive();
      break;
    case 's':
      if (QuitConfirmation::isOnAir(snapshot_.status)) {
        question_ = Question::stop;
        show(true);
      }
      break;
    case 'c':
    case 'n':
      nextCamera();
      break;
    case 'm':
      setMuted(!snapshot_.muted);
      break;
    case 'd':
      dismissNotice();
      break;
    case 'a':
      runNoticeAction();
      break;
    case 'q':
      requestQuit(false);
      break;
    case 'x':
      offerShare();
      break;
    case 'h':
    case '?':
      say(StatusLine::help());
      break;
    default:
      break;
  }
}

void StudioShell::offerShare() {
  if (closing_) return;
  if (options_.syntheticSources) {
    shareSynthetic();
    return;
  }
  auto targets = shareTargets();
  // An empty list has been explained by the share's own notice.
  if (targets.empty()) return;
  picker_.emplace(std::move(targets), engine_->screenShare()->content().has_value());
  say(picker_->menu());
  question_ = Question::share;
  show(true);
}

void StudioShell::pickShare(char key) {
  const auto choice = picker_->key(key);
  if (choice.outcome == SharePicker::Outcome::waiting) {
    show(true);
    return;
  }
  question_ = Question::none;
  picker_.reset();
  if (choice.outcome == SharePicker::Outcome::chosen) engine_->screenShare()->share(*choice.target);
  else if (choice.outcome == SharePicker::Outcome::stopSharing) stopSharing();
  show(true);
}

std::vector<SharePicker::Target> StudioShell::shareTargets() {
  if (!engine_) return {};
  return engine_->screenShare()->presentPicker(engine_->settings().value().resolution);
}

void StudioShell::onSignal(int signal) {
  if (finished_) return;
  // A terminate request is not answered by anyone: it needs no confirmation.
  requestQuit(signal == SIGTERM);
}

void StudioShell::requestQuit(bool confirmed) {
  if (!engine_) {
    finish(0);
    return;
  }
  switch (quitConfirmation_.request(snapshot_.status, confirmed)) {
    case QuitConfirmation::Decision::ask:
      question_ = Question::quit;
      if (mode_ == Mode::terminal) show(true);
      else say("The Studio is live: interrupt again to stop the stream and quit.");
      break;
    case QuitConfirmation::Decision::quit:
      question_ = Question::none;
      beginQuit(QuitConfirmation::isOnAir(snapshot_.status));
      break;
    case QuitConfirmation::Decision::waitForStop:
      question_ = Question::none;
      say("Waiting for the stream to stop, then quitting.");
      break;
    case QuitConfirmation::Decision::ignore:
      break;
  }
}

void StudioShell::beginQuit(bool stopFirst) {
  if (closing_ || !engine_) return;
  closing_ = true;
  if (runner_) runner_->cancel();
  main_->asyncAfter(env_.quitBound, [weak = weak_from_this()] {
    auto self = weak.lock();
    if (!self || self->finished_) return;
    self->say("The Studio did not stop and close in time; quitting anyway.");
    self->finish(kQuitTimedOut);
  });
  platform::spawnDetached(main_, &StudioShell::runClose, shared_from_this(), engine_, stopFirst, 0);
}

platform::Async<void> StudioShell::runStop(std::shared_ptr<StudioShell>, std::shared_ptr<StudioEngine> engine) {
  co_await engine->stop();
}

platform::Async<void> StudioShell::runClose(std::shared_ptr<StudioShell> self, std::shared_ptr<StudioEngine> engine,
                                            bool stopFirst, int) {
  if (stopFirst) co_await engine->stop();
  co_await engine->close();
  if (self->engine_ == engine) self->closed();
}

void StudioShell::closed() {
  emit(EventsJSON::closed(wentLive_));
  int status = 0;
  // A script that closes a Studio it asked to go live wants to know it never did;
  // a host who quits has seen it.
  if (scriptedClose_ && scriptedGoLive_ && !wentLive_) {
    say("The Studio never went live.");
    status = kDidNotGoLive;
  }
  finish(status);
}

void StudioShell::finish(int status) {
  if (finished_) return;
  finished_ = true;
  ticker_.reset();
  preview_.reset();
  if (runner_) runner_->cancel();
  if (mode_ == Mode::terminal) {
    show(true);
    env_.write("\n");
  }
  subscriptions_.clear();
  if (onFinished) onFinished(status);
}

// ---- Output

void StudioShell::emit(const nlohmann::json& event) {
  if (mode_ == Mode::json) env_.write(EventsJSON::line(event, env_.wallClock->now()));
}

std::string StudioShell::question() const {
  switch (question_) {
    case Question::stop:
      return "Stop the live stream? s or y stops it, any other key keeps it going";
    case Question::quit:
      return "Stop the live stream and quit? q or y (or Ctrl-C) quits, any other key stays";
    case Question::share:
      return "Share: type the number of the screen or window" + (picker_ ? " " + picker_->typed() : std::string());
    case Question::none:
      break;
  }
  return {};
}

void StudioShell::show(bool force) {
  if (mode_ == Mode::json) return;
  if (mode_ == Mode::terminal) {
    const std::string line =
        question_ != Question::none ? question() : StatusLine::format(snapshot_, env_.wallClock->now());
    env_.write(StatusLine::redraw(line, env_.columns()));
    return;
  }
  if (!force) return;
  std::string line = StatusLine::format(snapshot_, env_.wallClock->now());
  if (line == lastPlainLine_) return;
  lastPlainLine_ = line;
  env_.write(line + "\n");
}

void StudioShell::tell(const std::string& text) {
  if (mode_ == Mode::terminal) say(text);
  else env_.message(text);
}

void StudioShell::say(const std::string& text) {
  switch (mode_) {
    case Mode::terminal:
      env_.write("\r\x1b[K" + text + "\n");
      if (engine_ && !finished_) show();
      break;
    case Mode::plain:
      env_.write(text + "\n");
      break;
    case Mode::json:
      env_.message(text);
      break;
  }
}

// ---- StudioActions

void StudioShell::goLive() {
  if (!engine_ || closing_) return;
  scriptedGoLive_ = true;
  engine_->goLive();
}

void StudioShell::stop() {
  if (!engine_) return;
  platform::spawnDetached(main_, &StudioShell::runStop, shared_from_this(), engine_);
}

void StudioShell::close() {
  if (!engine_) return;
  if (!closing_) scriptedClose_ = true;
  beginQuit(QuitConfirmation::isOnAir(snapshot_.status));
}

void StudioShell::quit() { close(); }

void StudioShell::nextCamera() {
  if (engine_) engine_->selectNextCamera();
}

bool StudioShell::selectCamera(const std::string& query) {
  if (!engine_) return false;
  auto id = findDevice(engine_->cameras().value(), query);
  if (!id) return false;
  engine_->selectCamera(*id);
  return true;
}

bool StudioShell::selectMicrophone(const std::string& query) {
  if (!engine_) return false;
  if (query == "system") {
    engine_->selectMicrophone(std::nullopt);
    return true;
  }
  auto id = findDevice(engine_->microphones().value(), query);
  if (!id) return false;
  engine_->selectMicrophone(*id);
  return true;
}

void StudioShell::setMuted(bool muted) {
  if (engine_) engine_->setMuted(muted);
}

void StudioShell::dismissNotice() {
  if (engine_) engine_->dismissNotice();
}

void StudioShell::runNoticeAction() {
  if (!engine_) return;
  if (auto view = engine_->noticeView()) view->performAction();
}

void StudioShell::shareSynthetic() {
  if (engine_) engine_->screenShare()->startSynthetic();
}

bool StudioShell::shareScreen() {
  auto target = SharePicker::find(shareTargets(), SharePicker::Target::Kind::display);
  if (target) engine_->screenShare()->share(*target);
  return target.has_value();
}

bool StudioShell::shareWindow(const std::string& name) {
  auto target = SharePicker::find(shareTargets(), SharePicker::Target::Kind::window, name);
  if (target) engine_->screenShare()->share(*target);
  return target.has_value();
}

void StudioShell::stopSharing() {
  if (engine_) engine_->screenShare()->stop();
}

void StudioShell::setFraming(const std::string& framing) {
  if (!engine_) return;
  auto settings = engine_->settings().value();
  settings.framing = framing == "fill" ? Framing::fill : framing == "fit" ? Framing::fit : Framing::automatic;
  engine_->setSettings(settings);
}

void StudioShell::setVideoBitrate(int64_t bitsPerSecond) {
  if (!engine_) return;
  platform::spawnDetached(
      main_, [](std::shared_ptr<StudioEngine> e, int64_t kbps) -> platform::Async<void> { co_await e->setVideoBitrate(kbps); },
      engine_, bitsPerSecond / 1000);
}

std::optional<std::string> StudioShell::onAirCameraID() const { return onAirCameraID_; }

}  // namespace quarzadel
