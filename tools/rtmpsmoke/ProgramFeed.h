#pragma once
// The go-live's program: the program picture with a synthetic camera on air and
// the program sound with the test tone on air, both on the real clock. Every
// picture and sound buffer they hand on is passed to the sinks as a job of the
// target queue (the publisher's), so the sinks may touch the publisher's
// objects without locks.
#include <functional>
#include <memory>
#include <string>

#include "Platform/Dispatch/SerialQueue.h"
#include "Quarzadel/Program/FrameGrid.h"
#include "Quarzadel/Program/ProgramAudio.h"
#include "Quarzadel/Program/ProgramVideo.h"

namespace rtmpsmoke {

class ProgramFeed : public std::enable_shared_from_this<ProgramFeed> {
 public:
  using VideoSink = std::function<void(const platform::SampleBufferRef& frame)>;
  using AudioSink = std::function<void(const platform::PCMBufferRef& buffer, const platform::AudioTime& time)>;
  // A line about a source (on air, failed, stalled), on the target queue.
  using EventSink = std::function<void(const std::string& line)>;

  static std::shared_ptr<ProgramFeed> make(quarzadel::StreamConfig config, std::shared_ptr<platform::Runtime> runtime,
                                           std::shared_ptr<platform::SerialQueue> target, VideoSink video,
                                           AudioSink audio, EventSink events);
  ProgramFeed(const ProgramFeed&) = delete;
  ProgramFeed& operator=(const ProgramFeed&) = delete;

  // Starts both pipelines with `cameraID` and the tone on air; false for an unknown camera.
  bool start(const std::string& cameraID);
  // Switches the picture to another camera (with the dissolve); false for an unknown camera.
  bool switchTo(const std::string& cameraID);
  // Stops both pipelines and waits until every buffer they made has been queued
  // on the target queue (call it there: the jobs run once the caller yields).
  // Nothing reaches the sinks after those jobs.
  void stop();

 private:
  ProgramFeed(std::shared_ptr<platform::Runtime> runtime, std::shared_ptr<platform::SerialQueue> target);

  void post(std::function<void()> job);

  const std::shared_ptr<platform::Runtime> runtime_;
  const std::shared_ptr<platform::SerialQueue> target_;
  std::shared_ptr<quarzadel::ProgramVideo> video_;
  std::shared_ptr<quarzadel::ProgramAudio> audio_;
  // Read and written on the target queue only.
  bool open_ = true;
};

}  // namespace rtmpsmoke
