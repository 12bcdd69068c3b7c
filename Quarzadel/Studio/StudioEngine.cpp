// The Studio engine's creation, wiring and lifecycle, its status and notices.
#include "Quarzadel/Studio/StudioEngine.h"

#include "Platform/Concurrency/Sleep.h"
#include "Quarzadel/App/AppInfo.h"
#include "Quarzadel/Capture/SyntheticSources.h"
#include "Quarzadel/Log/Log.h"
#include "Quarzadel/Studio/RTMPServerOverride.h"

namespace quarzadel {

namespace {

StudioEngine::Status statusFor(const RTMPPublisher::State& state) {
  using State = RTMPPublisher::State;
  if (const auto* live = std::get_if<State::Live>(&state.value)) return StudioEngine::Status::live(live->since);
  if (const auto* again = std::get_if<State::Reconnecting>(&state.value))
    return StudioEngine::Status::reconnecting(again->attempt, again->reason);
  if (std::holds_alternative<State::Connecting>(state.value)) return StudioEngine::Status::connecting();
  if (std::holds_alternative<State::Stopping>(state.value)) return StudioEngine::Status::stopping();
  return StudioEngine::Status::ready();
}

std::string_view shareLabel(ScreenShare::Content content) {
  switch (content) {
    case ScreenShare::Content::window:
      return "Shared Window";
    case ScreenShare::Content::application:
      return "Shared App";
    case ScreenShare::Content::display:
      break;
  }
  return "Shared Screen";
}

// Clears the notice it was started for once its time is up, unless a newer
// notice or the host has cleared it first.
platform::Async<void> dismissLater(std::weak_ptr<StudioEngine> engine, double seconds, std::string noticeID) {
  try {
    co_await platform::sleepFor(platform::seconds(seconds));
  } catch (...) {
    co_return;  // cancelled: a newer notice took over
  }
  auto self = engine.lock();
  if (!self) co_return;
  auto shown = self->notice().value();
  if (shown && shown->id() == noticeID) self->dismissNotice();
}

}  // namespace

std::shared_ptr<StudioEngine> StudioEngine::make(StudioEvent event, std::shared_ptr<DeviceCatalog> devices,
                                                 Environment environment) {
  auto engine = std::make_shared<StudioEngine>(std::move(event), std::move(devices), std::move(environment));
  engine->wire();
  return engine;
}

StudioEngine::StudioEngine(StudioEvent event, std::shared_ptr<DeviceCatalog> devices, Environment environment)
    : environment_(std::move(environment)), event_(std::move(event)) {
  runtime_ = environment_.runtime ? environment_.runtime : platform::Runtime::shared();
  wallClock_ = environment_.wallClock ? environment_.wallClock : platform::WallClock::system();
  defaults_ = environment_.defaults ? environment_.defaults : platform::UserDefaults::standard();
  sessionLog_ = environment_.sessionLog ? environment_.sessionLog : SessionLog::shared();
  systemDevices_ = environment_.devices ? *environment_.devices : SystemDevices::make();

  micSelection_.set(MicSelection::fromStoredValue(defaults_->string("StudioMicSelection")));
  const auto loaded = StudioSettings::load(*defaults_);
  settings_.set(loaded);

  preview_ = PreviewSink::make(runtime_);
  audio_ = ProgramAudio::make(runtime_);
  if (environment_.publisher) {
    publisher_ = environment_.publisher;
  } else {
    auto publisherEnvironment = environment_.publisherEnvironment;
    if (!publisherEnvironment.runtime) publisherEnvironment.runtime = runtime_;
    if (!publisherEnvironment.clock) publisherEnvironment.clock = wallClock_;
    publisher_ = RTMPPublisher::make(std::move(publisherEnvironment));
  }
  auto powerEnvironment = environment_.powerEnvironment;
  if (!powerEnvironment.queue)
    powerEnvironment.queue = platform::SerialQueue::make(std::string(kAppIdentifierPrefix) + ".power-assertion",
                                                         runtime_, platform::QualityOfService::utility);
  power_ = std::make_unique<PowerAssertion>(std::move(powerEnvironment));
  recorder_ = std::make_shared<RecorderSlot>();
  auto pollerEnvironment = environment_.pollerEnvironment;
  if (!pollerEnvironment.runtime) pollerEnvironment.runtime = runtime_;
  eventPoller_ = std::make_unique<EventStatusPoller>(std::move(pollerEnvironment));
  screenShare_ = ScreenShare::make(systemDevices_.screenCapturer, mainQueue(), defaults_);
  soundServerQueue_ = platform::SerialQueue::make(std::string(kAppIdentifierPrefix) + ".sound-server", runtime_,
                                                  platform::QualityOfService::utility);
  devices_ = std::move(devices);
  video_ = ProgramVideo::make(loaded.streamConfig(*defaults_), loaded.framing, loaded.transition, runtime_);
}

StudioEngine::~StudioEngine() {
  if (noticeTask_) noticeTask_->cancel();
}

void StudioEngine::wire() {
  std::weak_ptr<StudioEngine> weak = weak_from_this();
  auto main = mainQueue();

  // The fan-out runs on the pipelines' queues and never touches the engine.
  video_->onOutput = [preview = preview_, publisher = publisher_,
                      recorder = recorder_](const platform::SampleBufferRef& frame) {
    preview->enqueue(frame);
    publisher->gate().append(frame);
    recorder->appendVideo(frame);
  };
  audio_->onOutput = [publisher = publisher_, recorder = recorder_](const platform::PCMBufferRef& buffer,
                                                                    const platform::AudioTime& when) {
    publisher->gate().append(buffer, when);
    recorder->appendAudio(buffer, when);
  };

  video_->onEvent = [weak, main](const ProgramEvent& event) {
    main->async([weak, event] {
      if (auto self = weak.lock()) self->handleVideoEvent(event);
    });
  };
  audio_->onEvent = [weak, main](const ProgramEvent& event) {
    main->async([weak, event] {
      if (auto self = weak.lock()) self->handleAudioEvent(event);
    });
  };
  // A level equal to the last one changes nothing on the meter (silence, a
  // steady tone): it costs the main thread no wake. Called on the program
  // sound's queue only.
  audio_->onLevel = [weak, main, last = std::optional<AudioLevel>()](AudioLevel level) mutable {
    if (last == level) return;
    last = level;
    main->async([weak, level] {
      if (auto self = weak.lock()) self->level_.set(level);
    });
  };

  publisher_->onState = [weak](const RTMPPublisher::State& state) {
    if (auto self = weak.lock()) self->publisherStateDidChange(state);
  };
  publisher_->onStats = [weak](const RTMPPublisher::Stats& stats) {
    if (auto self = weak.lock()) self->stats_.set(stats);
  };
  publisher_->onProblem = [weak](const std::optional<std::string>& text) {
    if (auto self = weak.lock()) self->problem_.set(text);
  };

  preview_->setMirrored(settings_.value().mirrorPreview);

  screenShare_->onStarted = [weak](ScreenShare::Content content) {
    if (auto self = weak.lock()) self->screenShareDidStart(content);
  };
  screenShare_->onStopped = [weak](const std::optional<std::string>& reason) {
    if (auto self = weak.lock()) self->screenShareDidStop(reason);
  };
}

double StudioEngine::nowSeconds() const { return platform::toSeconds(runtime_->now()); }

platform::Date StudioEngine::nowDate() const { return wallClock_->now(); }

std::optional<std::string> StudioEngine::rtmpServerOverride() const {
  return quarzadel::rtmpServerOverride(*defaults_);
}


// ---- Lifecycle

platform::Async<void> StudioEngine::start() {
  if (started_) co_return;
  started_ = true;
  auto self = shared_from_this();  // the prompts may outlast the caller's reference

  const auto event = event_.value();
  // Without its log the Studio still streams; the host is told, once.
  if (auto problem = sessionLog_->startSession(event.streamKey))
    post(StudioNotice(std::string(kSessionLogProblem) + *problem, StudioNotice::Kind::warning), kNoticeSeconds);
  sessionLog_->setWriteFailureHandler([weak = weak_from_this(), main = mainQueue()](const std::string& reason) {
    main->async([weak, reason] {
      if (auto engine = weak.lock())
        engine->post(StudioNotice(std::string(kSessionLogProblem) + reason, StudioNotice::Kind::warning),
                     kNoticeSeconds);
    });
  });
  Log::studioOpened(event.title, event.isTest, __FILE__);
  // Asking for the GPU's HEVC encoder opens it, which takes a while: ask now,
  // off the main queue, so that going live finds the answer kept.
  if (const auto config = settings_.value().streamConfig(*defaults_);
      config.videoCodec == StreamConfig::VideoCodec::hevc && !environment_.publisherEnvironment.probe) {
    runtime_->globalQueue()->async([width = config.width(), height = config.height()] {
      systemEncoderProbe()(StreamConfig::VideoCodec::hevc, width, height);
    });
  }
  video_->start();
  audio_->start();

  if (SyntheticSources::skipsPermissionPrompts()) {
    cameraPermission_.set(Permission::denied);
    microphonePermission_.set(Permission::denied);
  } else {
    auto camera = co_await requestAccess(platform::MediaType::video);
    cameraPermission_.set(camera);
    auto microphone = co_await requestAccess(platform::MediaType::audio);
    microphonePermission_.set(microphone);
  }
  // While the sound server is still being asked, its first answer writes the
  // line: the log must not call the microphone denied before the server has.
  if (microphonePermission_.value() == Permission::unknown) permissionsLineWaits_ = true;
  else Log::permissions(name(cameraPermission_.value()), name(microphonePermission_.value()), __FILE__);
  if (!started_) co_return;  // closed during the prompts

  devicesDidChange();
  auto initial = initialCameraID();
  selectedCameraID_.set(initial);
  if (initial) {
    switchToCamera(*initial);
  } else {
    const auto cameras = cameras_.value();
    auto suspended = std::find_if(cameras.begin(), cameras.end(), [](const auto& c) { return c.isSuspended; });
    if (suspended != cameras.end()) Log::noCameraAvailableSuspended(*suspended, __FILE__);
    else Log::noCameraAvailable(__FILE__);
  }
  applyMicSelection();

  if (devices_) {
    std::weak_ptr<StudioEngine> weak = self;
    auto lists = platform::combineLatest(
        platform::combineLatest(devices_->cameras.publisher(), devices_->microphones.publisher()),
        devices_->systemDefaultMicID.publisher());
    lists.dropFirst().receiveOn(mainQueue()).sink([weak](const auto&) {
      if (auto engine = weak.lock()) engine->devicesDidChange();
    }).store(cancellables_);
  }
  if (environment_.activation) {
    environment_.activation->activations().sink([weak = std::weak_ptr<StudioEngine>(self)](int64_t) {
      if (auto engine = weak.lock()) engine->refreshPermissions();
    }).store(cancellables_);
  }

  status_.set(Status::ready());
  // A sound server that answered while the Studio opened is taken now.
  if (microphonePermission_.value() != Permission::granted && systemDevices_.microphones) refreshPermissions();
}

void StudioEngine::goLive() {
  const auto status = status_.value();
  if (status.isLive() || status.isReconnecting() || status.isConnecting()) return;
  // A stop in flight would finish this live period's copy and end its power
  // assertion: go live once it has ended.
  if (stopsInFlight_ > 0) {
    goLiveAfterStop_ = true;
    return;
  }
  const auto event = event_.value();
  const auto serverURL = rtmpServerOverride().value_or(event.rtmpServer);
  problem_.set(std::nullopt);
  startLocalCopy();
  publisher_->start(serverURL, event.streamKey, settings_.value().streamConfig(*defaults_));
  beginPowerAssertion();
}

void StudioEngine::beginPowerAssertion() {
  if (power_->isHolding()) return;
  power_->begin(kStreamingReason + event_.value().title);
}

platform::Async<void> StudioEngine::stop() {
  auto self = shared_from_this();
  goLiveAfterStop_ = false;  // the host's last word is this stop
  struct InFlight {
    int& count;
    explicit InFlight(int& c) : count(c) { ++count; }
    ~InFlight() { --count; }
  };
  {
    InFlight inFlight(stopsInFlight_);
    co_await publisher_->stop();
    co_await finishRecording();
    power_->end();
  }
  if (stopsInFlight_ == 0 && goLiveAfterStop_) {
    goLiveAfterStop_ = false;
    if (started_) goLive();
  }
}

platform::Async<void> StudioEngine::close() {
  if (!started_) co_return;
  started_ = false;
  goLiveAfterStop_ = false;
  auto self = shared_from_this();

  co_await publisher_->stop();
  eventPoller_->cancel();
  co_await finishRecording();
  power_->end();
  if (screenShare_->content()) screenShare_->stop();
  video_->stop();
  audio_->stop();
  cancellables_.clear();
  Log::studioClosed(__FILE__);

  sessionLog_->setWriteFailureHandler({});
  auto file = sessionLog_->close();
  if (file && !defaults_->boolean("SyntheticSources")) {
    if (environment_.uploadLog) environment_.uploadLog(*file);
    else SessionLog::upload(*file);
  }
}

// ---- Host choices

void StudioEngine::setMuted(bool muted) {
  isMuted_.set(muted);
  audio_->setMuted(muted);
  Log::muteChanged(muted, __FILE__);
}

void StudioEngine::setSettings(StudioSettings settings) {
  const auto previous = settings_.value();
  settings_.set(settings);
  settings.save(*defaults_);
  if (settings.framing != previous.framing) video_->setFraming(settings.framing);
  if (settings.transition != previous.transition) video_->setTransitionStyle(settings.transition);
  if (settings.mirrorPreview != previous.mirrorPreview) preview_->setMirrored(settings.mirrorPreview);
  // A running publication keeps the configuration it started with.
  if (settings.resolution != previous.resolution) video_->setConfig(settings.streamConfig(*defaults_));
}

// ---- Notices

void StudioEngine::post(StudioNotice notice, double seconds) {
  Log::notice(notice.logText(), __FILE__);
  const auto id = notice.id();
  notice_.set(std::move(notice));
  if (noticeTask_) noticeTask_->cancel();
  noticeTask_ = platform::spawn(mainQueue(), dismissLater(weak_from_this(), seconds, id));
}

void StudioEngine::dismissNotice() { notice_.set(std::nullopt); }

std::optional<NoticeView> StudioEngine::noticeView() {
  auto shown = notice_.value();
  if (!shown) return std::nullopt;
  std::weak_ptr<StudioEngine> weak = weak_from_this();
  const auto id = shown->id();
  // Dismisses only the notice this view shows, not a newer one.
  return NoticeView{std::move(*shown), [weak, id] {
                      auto self = weak.lock();
                      if (!self) return;
                      auto current = self->notice_.value();
                      if (current && current->id() == id) self->dismissNotice();
                    }};
}

void StudioEngine::showRecorderNotice(const std::optional<RecorderNotice>& notice) {
  if (!notice) return;
  auto kind = notice->kind == RecorderNotice::Kind::warning ? StudioNotice::Kind::warning : StudioNotice::Kind::info;
  post(StudioNotice(notice->text, kind, notice->actionTitle, notice->action), notice->dismissAfter);
}

// ---- Event

void StudioEngine::updateEvent(const nlohmann::json& payload) {
  auto updated = event_.value();
  updated.update(payload);
  if (updated != event_.value()) event_.set(std::move(updated));
}

// ---- Publisher and screen share

void StudioEngine::publisherStateDidChange(const RTMPPublisher::State& state) {
  const auto mapped = statusFor(state);
  if (!(mapped == status_.value())) reportStatus(mapped);

  if (mapped.isLive() && !rtmpServerOverride()) {
    std::weak_ptr<StudioEngine> weak = weak_from_this();
    eventPoller_->start(event_.value().streamKey, kPollInterval, [weak](const nlohmann::json& answer) {
      if (auto self = weak.lock()) self->updateEvent(answer);
    });
  } else if (mapped.isReady()) {
    eventPoller_->cancel();
  }
}

void StudioEngine::reportStatus(const Status& status) {
  status_.set(status);
  if (onStatusChange) onStatusChange(status);
}

void StudioEngine::screenShareDidStart(ScreenShare::Content content) {
  const bool wasSharing = screenShareName_.value().has_value();
  screenShareName_.set(std::string(shareLabel(content)));
  devicesDidChange();
  if (wasSharing) return;  // a new pick only changes the label
  auto current = switchingToCameraID_.value();
  if (!current) current = onAirCameraID_.value();
  if (!current) current = selectedCameraID_.value();
  if (current != std::optional<std::string>(kScreenShareID)) cameraBeforeShare_ = current;
  selectCamera(kScreenShareID);
}

void StudioEngine::screenShareDidStop(const std::optional<std::string>& reason) {
  leaveScreenShare();
  screenShareName_.set(std::nullopt);
  devicesDidChange();
  if (reason) post(StudioNotice(*reason, StudioNotice::Kind::info), kNoticeSeconds);
}

// ---- Local copy

void StudioEngine::startLocalCopy() {
  auto recorderEnvironment = environment_.recorderEnvironment;
  if (!recorderEnvironment) {
    recorderEnvironment = LocalRecorder::Environment::standard();
    recorderEnvironment->runtime = runtime_;
    recorderEnvironment->wallClock = wallClock_;
    const auto config = settings_.value().streamConfig(*defaults_);
    const auto& probe = environment_.publisherEnvironment.probe;
    const auto hevc = probe ? probe(StreamConfig::VideoCodec::hevc, config.width(), config.height())
                            : systemEncoderProbe()(StreamConfig::VideoCodec::hevc, config.width(), config.height());
    recorderEnvironment->hardwareHEVCEncoderAvailable = hevc.supported;
  }
  // A copy whose disk fills is finished at once, with its notice; the stream goes on.
  recorderEnvironment->onWriteFailure = [weak = weak_from_this()](const std::shared_ptr<LocalRecorder>& failed) {
    auto self = weak.lock();
    if (!self || self->recorder_->recorder() != failed) return;  // already finished by a stop
    platform::spawnDetached(self->mainQueue(), [](std::shared_ptr<StudioEngine> engine) -> platform::Async<void> {
      co_await engine->finishRecording();
    }, self);
  };
  const auto settings = settings_.value();
  auto notice = recorder_->startLocalCopy(
      event_.value().title, settings.recordLocally, settings.streamConfig(*defaults_), *defaults_,
      std::move(*recorderEnvironment),
      environment_.volumeSpace ? environment_.volumeSpace : LocalRecorder::VolumeSpace(LocalRecorder::statvfsSpace));
  if (auto url = recorder_->recordingURL(); url && url != recordingURL_.value()) recordingURL_.set(url);
  showRecorderNotice(notice);
}

platform::Async<void> StudioEngine::finishRecording() {
  auto self = shared_from_this();
  // Without a copy in the slot this still waits for one a stop is finishing.
  if (recorder_->recorder()) recordingURL_.set(std::nullopt);
  auto notice = co_await recorder_->finishRecording();
  showRecorderNotice(notice);
}

}  // namespace quarzadel
