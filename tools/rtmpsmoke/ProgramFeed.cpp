#include "ProgramFeed.h"

#include "Quarzadel/Capture/SyntheticSources.h"
#include "Quarzadel/Capture/SyntheticToneSource.h"

namespace rtmpsmoke {

using namespace quarzadel;

namespace {

std::string describe(const char* what, const ProgramEvent& e) {
  std::string kind;
  switch (e.kind) {
    case ProgramEvent::Kind::onAir: kind = "on air"; break;
    case ProgramEvent::Kind::switchFailed: kind = "switch failed"; break;
    case ProgramEvent::Kind::onAirSourceFailed: kind = "on-air source failed"; break;
    case ProgramEvent::Kind::onAirSourceStalled: kind = "on-air source stalled"; break;
  }
  return std::string(what) + " " + kind + ": " + e.name + (e.reason.empty() ? "" : " (" + e.reason + ")");
}

}  // namespace

ProgramFeed::ProgramFeed(std::shared_ptr<platform::Runtime> runtime, std::shared_ptr<platform::SerialQueue> target)
    : runtime_(std::move(runtime)), target_(std::move(target)) {}

std::shared_ptr<ProgramFeed> ProgramFeed::make(StreamConfig config, std::shared_ptr<platform::Runtime> runtime,
                                               std::shared_ptr<platform::SerialQueue> target, VideoSink video,
                                               AudioSink audio, EventSink events) {
  std::shared_ptr<ProgramFeed> feed(new ProgramFeed(runtime, std::move(target)));
  feed->video_ = ProgramVideo::make(config, Framing::automatic, CameraTransition::dissolve, runtime);
  feed->audio_ = ProgramAudio::make(runtime);
  // The pipelines hold the feed weakly: they may outlive it by a queued job.
  std::weak_ptr<ProgramFeed> weak = feed;
  auto sinks = std::make_shared<std::tuple<VideoSink, AudioSink, EventSink>>(std::move(video), std::move(audio),
                                                                              std::move(events));
  feed->video_->onOutput = [weak, sinks](const platform::SampleBufferRef& frame) {
    if (auto self = weak.lock()) self->post([sinks, frame] { std::get<0>(*sinks)(frame); });
  };
  feed->audio_->onOutput = [weak, sinks](const platform::PCMBufferRef& buffer, const platform::AudioTime& time) {
    if (auto self = weak.lock()) self->post([sinks, buffer, time] { std::get<1>(*sinks)(buffer, time); });
  };
  feed->video_->onEvent = [weak, sinks](const ProgramEvent& e) {
    if (auto self = weak.lock()) self->post([sinks, line = describe("picture", e)] { std::get<2>(*sinks)(line); });
  };
  feed->audio_->onEvent = [weak, sinks](const ProgramEvent& e) {
    if (auto self = weak.lock()) self->post([sinks, line = describe("sound", e)] { std::get<2>(*sinks)(line); });
  };
  return feed;
}

void ProgramFeed::post(std::function<void()> job) {
  target_->async([weak = weak_from_this(), job = std::move(job)] {
    auto self = weak.lock();
    if (self && self->open_) job();
  });
}

bool ProgramFeed::start(const std::string& cameraID) {
  const auto spec = SyntheticSources::spec(cameraID);
  if (!spec) return false;
  video_->start();
  audio_->start();
  video_->switchTo(SyntheticVideoSource::make(*spec, runtime_));
  audio_->switchTo(std::make_shared<SyntheticToneSource>());
  return true;
}

bool ProgramFeed::switchTo(const std::string& cameraID) {
  const auto spec = SyntheticSources::spec(cameraID);
  if (!spec) return false;
  video_->switchTo(SyntheticVideoSource::make(*spec, runtime_));
  return true;
}

void ProgramFeed::stop() {
  video_->stop();
  audio_->stop();
  // Everything they handed on before stopping is now queued on the target.
  video_->queue()->sync([] {});
  audio_->queue()->sync([] {});
  target_->async([weak = weak_from_this()] {
    if (auto self = weak.lock()) self->open_ = false;
  });
}

}  // namespace rtmpsmoke
