#include "Medley/Sources/Stream/OutgoingStream.h"

#include "Medley/Sources/Util/MedleyLogger.h"

namespace medley {

using platform::AsyncStream;
using platform::SampleBufferRef;

OutgoingStream::OutgoingStream(std::shared_ptr<const platform::Clock> clock) : videoCodec_(std::move(clock)) {}

OutgoingStream::~OutgoingStream() { replaceVideoInputContinuation(std::nullopt); }

void OutgoingStream::startRunning() {
  if (isRunning_) return;
  videoCodec_.startRunning();
  audioCodec_.startRunning();
  isRunning_ = true;
}

void OutgoingStream::stopRunning() {
  if (!isRunning_) return;
  isRunning_ = false;
  videoCodec_.stopRunning();
  // Publishing ends here: the sound still inside the encoder goes out before its sequence ends.
  audioCodec_.drain();
  audioCodec_.stopRunning();
  replaceVideoInputContinuation(std::nullopt);
}

AsyncStream<SampleBufferRef> OutgoingStream::videoInputStream() {
  const size_t limit = videoInputBufferCounts_ > 0 ? static_cast<size_t>(videoInputBufferCounts_)
                                                   : kVideoInputBufferLimit;
  auto [stream, writer] = AsyncStream<SampleBufferRef>::make(platform::BufferingPolicy::bufferingNewest(limit));
  replaceVideoInputContinuation(std::move(writer));
  return stream;
}

void OutgoingStream::replaceVideoInputContinuation(
    std::optional<platform::AsyncStreamWriter<SampleBufferRef>> writer) {
  auto previous = std::exchange(videoInputContinuation_, std::move(writer));
  if (previous) previous->finish();
}

void OutgoingStream::append(const SampleBufferRef& sampleBuffer) {
  if (!sampleBuffer || !sampleBuffer->formatDescription()) return;
  switch (sampleBuffer->mediaType()) {
    case platform::MediaType::audio:
      audioInputFormat_ = sampleBuffer->formatDescription();
      audioCodec_.append(*sampleBuffer);
      break;
    case platform::MediaType::video:
      videoInputFormat_ = sampleBuffer->formatDescription();
      if (videoInputContinuation_ &&
          videoInputContinuation_->yield(sampleBuffer) == platform::YieldResult::dropped) {
        const uint64_t dropped = ++videoInputDroppedFrames_;
        if (dropped == 1 || dropped % 300 == 0) {
          MEDLEY_LOG_WARN("raw video queue full: dropped", dropped, "frames so far");
        }
      }
      break;
    default:
      break;
  }
}

void OutgoingStream::append(const platform::AudioBufferRef& buffer, const platform::AudioTime& when) {
  if (!buffer) return;
  const auto* current = audioInputFormat_ ? audioInputFormat_->audioFormat() : nullptr;
  if (!current || !(*current == buffer->format())) audioInputFormat_ = buffer->format().makeFormatDescription();
  audioCodec_.append(buffer, when);
}

void OutgoingStream::appendVideo(const SampleBufferRef& sampleBuffer) { videoCodec_.append(sampleBuffer); }

}  // namespace medley
