#pragma once
// Hands program media to a published RTMP stream through its mixer-output
// hand-offs, from the caller's thread; they only queue. The mixer is never
// started: it is only the argument those hand-offs take. Pictures are put on
// the stream's frame-rate grid first; they arrive from one queue.
#include <memory>

#include "Medley/Sources/Mixer/MediaMixer.h"
#include "Quarzadel/Program/FrameGrid.h"
#include "Quarzadel/Studio/MediaSink.h"
#include "RTMPMedley/Sources/RTMP/Stream/RTMPStream.h"

namespace quarzadel {

class RTMPStreamSink final : public MediaSink {
 public:
  RTMPStreamSink(std::shared_ptr<rtmpmedley::RTMPStream> stream, std::shared_ptr<medley::MediaMixer> mixer,
                 double frameRate)
      : stream_(std::move(stream)), mixer_(std::move(mixer)), grid_(frameRate) {}
  void append(const platform::SampleBufferRef& video) override { stream_->mixer(*mixer_, grid_.place(video)); }
  void append(const platform::PCMBufferRef& audio, const platform::AudioTime& when) override {
    stream_->mixer(*mixer_, audio, when);
  }

 private:
  std::shared_ptr<rtmpmedley::RTMPStream> stream_;
  std::shared_ptr<medley::MediaMixer> mixer_;
  FrameGrid grid_;
};

}  // namespace quarzadel
