#include <cmath>

#include "Medley/Sources/Stream/StreamOutput.h"
#include "Platform/Concurrency/Concurrency.h"
#include "Platform/Media/CompressedAudioBuffer.h"
#include "Platform/Media/PCMBuffer.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPAudioMessage.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPVideoMessage.h"
#include "RTMPMedley/Sources/RTMP/Stream/RTMPStream.h"
#include "RTMPMedley/Sources/RTMP/Util/RTMPMedleyLogger.h"

namespace rtmpmedley {

using medley::StreamReadyState;
using platform::Async;

// Formats

void RTMPStream::setAudioFormat(std::optional<platform::AudioFormat> format) {
  const auto old = std::exchange(audioFormat_, std::move(format));
  if (old == audioFormat_) return;
  switch (readyState_.value()) {
    case StreamReadyState::playing:
      audioBuffer_ = audioFormat_ ? platform::CompressedAudioBuffer::make(*audioFormat_, 1,
                                                                            1024 * audioFormat_->channelCount())
                                  : nullptr;
      break;
    case StreamReadyState::publishing:
      if (!audioFormat_) break;
      if (auto header = RTMPAudioMessage::make(id_, 0, audioFormat_->makeFormatDescription()))
        send(old ? RTMPChunkType::one : RTMPChunkType::zero, RTMPChunkStreamId::audio, *header);
      break;
    default:
      break;
  }
}

void RTMPStream::setVideoFormat(platform::FormatDescriptionRef format) {
  const auto old = std::exchange(videoFormat_, std::move(format));
  if (platform::sameFormat(old, videoFormat_)) return;
  if (readyState_.value() != StreamReadyState::publishing || !videoFormat_) return;
  if (sentVideoCodec_.value() != videoFormat_->mediaSubType()) sentVideoCodec_.set(videoFormat_->mediaSubType());
  updateMetadata();
  if (auto header = RTMPVideoMessage::make(id_, 0, videoFormat_))
    send(old ? RTMPChunkType::one : RTMPChunkType::zero, RTMPChunkStreamId::video, *header);
}

void RTMPStream::updateMetadata() {
  // The publish's metadata may have come before any picture, or named the
  // codec an encoder then gave up for another.
  auto metadata = buildMetadata();
  if (metadata.get("videocodecid") == metadata_.get("videocodecid")) return;
  metadata_ = std::move(metadata);
  sendDataMessage("@setDataFrame", {AMFValue("onMetaData"), AMFValue(metadata_)}, false);
}

// Media in

Async<void> RTMPStream::append(platform::AudioBufferRef buffer, platform::AudioTime when) {
  co_await hop();
  if (!buffer) co_return;
  if (auto compressed = std::dynamic_pointer_cast<platform::CompressedAudioBuffer>(buffer)) {
    const double rate = compressed->format().sampleRate();
    const double seconds = when.hostTimeValid ? when.hostSeconds()
                           : (when.sampleTimeValid && when.sampleRate > 0)
                               ? static_cast<double>(when.sampleTime) / when.sampleRate
                               : 0;
    // One message per packet, each at its own time.
    const uint32_t packets = std::max<uint32_t>(compressed->packetCount(), 1);
    const auto* descriptions = compressed->packetDescriptions();
    const uint32_t framesPerPacket =
        compressed->format().framesPerPacket() ? compressed->format().framesPerPacket() : 1024;
    for (uint32_t i = 0; i < packets; ++i) {
      const double at = seconds + (rate > 0 ? i * framesPerPacket / rate : 0);
      uint32_t delta = 0;
      try {
        delta = audioTimestamp_.update(at);
      } catch (const RTMPTimestamp::Error& e) {
        RTMP_LOG_WARN("append(_:when:):", e.what());
        continue;
      }
      setAudioFormat(compressed->format());
      std::shared_ptr<const platform::CompressedAudioBuffer> packet = compressed;
      if (packets > 1 && descriptions) {
        const auto& d = descriptions[i];
        auto single =
            platform::CompressedAudioBuffer::make(compressed->format(), 1, std::max<uint32_t>(d.dataByteSize, 1));
        if (!single || d.startOffset < 0 || d.startOffset + d.dataByteSize > compressed->byteLength() ||
            !single->setSinglePacket(compressed->data() + d.startOffset, d.dataByteSize))
          continue;
        packet = single;
      }
      if (auto message = RTMPAudioMessage::make(id_, delta, packet)) {
        send(RTMPChunkType::one, RTMPChunkStreamId::audio, std::move(message));
        ++audioMessages_;
      }
    }
    co_return;
  }
  if (auto pcm = std::dynamic_pointer_cast<platform::PCMBuffer>(buffer)) appendRawSound(pcm, when);
  else outgoing_.append(buffer, when);
}

void RTMPStream::appendRawSound(const platform::PCMBufferRef& buffer, const platform::AudioTime& when) {
  outgoing_.append(buffer, when);
  if (!audioSampleAccess_) return;
  for (const auto& output : outputs_) output->stream(*this, buffer, when);
}

Async<void> RTMPStream::append(platform::SampleBufferRef sampleBuffer) {
  co_await hop();
  if (!sampleBuffer || !sampleBuffer->formatDescription() ||
      sampleBuffer->mediaType() != platform::MediaType::video)
    co_return;
  if (sampleBuffer->formatDescription()->isCompressed()) {
    const auto time = sampleBuffer->decodeTime().isNumeric() ? sampleBuffer->decodeTime()
                                                             : sampleBuffer->presentationTime();
    // Dropped before its time is taken: the next picture sent carries the gap in its delta.
    const auto connection = connection_.lock();
    const auto progress = connection ? connection->outputProgress() : std::nullopt;
    if (progress && !videoBacklog_.admits(time.seconds(), !sampleBuffer->attachments(0).notSync, *progress)) co_return;
    uint32_t delta = 0;
    try {
      delta = videoTimestamp_.update(time.seconds());
    } catch (const RTMPTimestamp::Error& e) {
      RTMP_LOG_WARN("append(_:):", e.what());
      co_return;
    }
    if (frameCount_ < kMaxFrameCount) ++frameCount_;
    setVideoFormat(sampleBuffer->formatDescription());
    if (auto message = RTMPVideoMessage::make(id_, delta, sampleBuffer)) {
      send(RTMPChunkType::one, RTMPChunkStreamId::video, std::move(message));
      ++videoMessages_;
      if (auto after = connection ? connection->outputProgress() : std::nullopt)
        videoBacklog_.sent(time.seconds(), after->handed);
    }
    co_return;
  }
  appendRawPicture(sampleBuffer);
}

void RTMPStream::appendRawPicture(const platform::SampleBufferRef& sampleBuffer) {
  outgoing_.append(sampleBuffer);
  // Straight to the encoder, which encodes while publishing: a queue in
  // between would only pass the picture on to this same actor.
  outgoing_.appendVideo(sampleBuffer);
  for (const auto& output : outputs_) output->stream(*this, sampleBuffer);
}

// Settings

Async<void> RTMPStream::setAudioSettings(medley::AudioCodecSettings settings) {
  co_await hop();
  if (settings.format != medley::AudioCodecSettings::Format::aac &&
      settings.format != medley::AudioCodecSettings::Format::opus)
    throw Error::unsupportedCodec();
  outgoing_.setAudioSettings(settings);
}

Async<void> RTMPStream::setVideoInputBufferCounts(int counts) {
  co_await StreamBase::setVideoInputBufferCounts(counts);
  co_await hop();
  const auto limit = counts > 0 ? std::optional<size_t>(static_cast<size_t>(counts)) : std::nullopt;
  rawPictures_.setMaxCount(limit);
  outgoing_.videoCodec().setPendingLimit(limit);
}

Async<void> RTMPStream::setVideoSettings(medley::VideoCodecSettings settings) {
  co_await hop();
  // Both formats of the video settings can be carried.
  outgoing_.videoCodec().encodesOnCaller = encodesOnActor(settings);
  outgoing_.setVideoSettings(settings);
}

// Metadata

AMFArray RTMPStream::buildMetadata() const {
  AMFArray metadata;
  metadata.set("duration", AMFValue(0.0));
  if (outgoing_.videoInputFormat()) {
    const auto& video = outgoing_.videoSettings();
    metadata.set("width", AMFValue(video.videoSize.width));
    metadata.set("height", AMFValue(video.videoSize.height));
    // What is sent, once it is: the encoder may have fallen back from what it was set to.
    const bool hevc = videoFormat_ ? videoFormat_->mediaSubType() == platform::codec::hevc
                                   : video.format() == medley::VideoCodecSettings::Format::hevc;
    metadata.set("videocodecid", AMFValue(hevc ? 1752589105.0 : 7.0));
    metadata.set("videodatarate", AMFValue(static_cast<double>(video.bitRate / 1000)));
    if (video.expectedFrameRate) metadata.set("framerate", AMFValue(*video.expectedFrameRate));
  }
  if (const auto& input = outgoing_.audioInputFormat(); input && input->streamBasicDescription()) {
    const auto& audio = outgoing_.audioSettings();
    double codec = 0;
    if (audio.format == medley::AudioCodecSettings::Format::aac) codec = 10;
    if (audio.format == medley::AudioCodecSettings::Format::opus) codec = 1332770163;
    metadata.set("audiocodecid", AMFValue(codec));
    metadata.set("audiodatarate", AMFValue(static_cast<double>(audio.bitRate / 1000)));
    metadata.set("audiosamplerate",
                 AMFValue(medley::makeSampleRate(audio.format, input->streamBasicDescription()->sampleRate,
                                                 audio.sampleRate)));
  }
  return metadata;
}

Async<AMFArray> RTMPStream::makeMetadata() {
  co_await hop();
  co_return buildMetadata();
}

// Mixer hand-offs and inputs

Async<std::optional<uint8_t>> RTMPStream::videoTrackId() {
  co_await hop();
  co_return tracks_.videoTrackId;
}

Async<std::optional<uint8_t>> RTMPStream::audioTrackId() {
  co_await hop();
  co_return tracks_.audioTrackId;
}

Async<void> RTMPStream::selectTrack(std::optional<uint8_t> id, platform::MediaType mediaType) {
  co_await hop();
  tracks_.select(id, mediaType);
}

void RTMPStream::mixer(medley::MediaMixer&, const platform::SampleBufferRef& sampleBuffer) {
  if (!sampleBuffer || !takesPictures_.load(std::memory_order_acquire)) return;
  if (!rawPictures_.push(sampleBuffer)) return;
  // One job per picture while the actor keeps up, one per batch when it is behind.
  // The hand-off is the caller's last work: its worker takes the stream's turn.
  queue()->asyncFollowing([weak = std::weak_ptr<RTMPStream>(self())] { takeRawPicture(weak); });
}

void RTMPStream::takeRawPicture(const std::weak_ptr<RTMPStream>& weak) {
  auto self = weak.lock();
  if (!self) return;
  auto picture = self->rawPictures_.pop();
  if (!picture) return;
  const bool valid = picture->formatDescription() && picture->mediaType() == platform::MediaType::video &&
                     !picture->formatDescription()->isCompressed();
  if (valid) self->appendRawPicture(picture);
  // The next picture in a job of its own, so sound queued meanwhile goes in between.
  self->queue()->async([weak] { takeRawPicture(weak); });
}

void RTMPStream::mixer(medley::MediaMixer&, const platform::PCMBufferRef& buffer, const platform::AudioTime& when) {
  if (!buffer) return;
  {
    std::lock_guard lock(mixerMutex_);
    if (!takesSound_) return;
    handedSound_.emplace_back(buffer, when);
    if (std::exchange(soundTurnQueued_, true)) return;
  }
  // What one job of the caller hands in goes in with one turn of the actor,
  // which follows that job on its worker.
  queue()->asyncFollowing([weak = std::weak_ptr<RTMPStream>(self())] {
    if (auto self = weak.lock()) self->takeSound();
  });
}

void RTMPStream::takeSound(bool close) {
  {
    std::lock_guard lock(mixerMutex_);
    if (close) takesSound_ = false;
    else soundTurnQueued_ = false;
    // Swapped, not moved out: both lists keep their room from turn to turn.
    takenSound_.swap(handedSound_);
  }
  for (const auto& [buffer, when] : takenSound_) appendRawSound(buffer, when);
  takenSound_.clear();
}

void RTMPStream::startMixerInputs() {
  {
    std::lock_guard lock(mixerMutex_);
    takesSound_ = true;
  }
  takesPictures_.store(true, std::memory_order_release);
}

void RTMPStream::finishMixerInputs() {
  // Pictures already queued are still taken, as the sound already handed in is.
  takeSound(true);
}

Async<void> RTMPStream::finishOutgoing() {
  co_await hop();
  outgoing_.stopRunning();
  auto pumps = std::exchange(pumps_, {});
  for (auto& pump : pumps) co_await pump.value();
  co_await hop();
}

void RTMPStream::startPumps() {
  videoBacklog_.reset();
  std::weak_ptr<RTMPStream> weak = self();
  pumps_.clear();
  pumps_.push_back(platform::spawn(queue(), [](std::weak_ptr<RTMPStream> weak,
                                      platform::AsyncStream<medley::AudioCodec::Output> in) -> Async<void> {
    while (auto item = co_await in.next()) {
      auto self = weak.lock();
      if (!self) co_return;
      co_await self->append(std::move(item->first), item->second);
    }
  }, weak, outgoing_.audioOutputStream()));
  pumps_.push_back(platform::spawn(queue(), [](std::weak_ptr<RTMPStream> weak,
                                      platform::AsyncStream<platform::SampleBufferRef> in) -> Async<void> {
    while (auto item = co_await in.next()) {
      auto self = weak.lock();
      if (!self) co_return;
      co_await self->append(std::move(*item));
    }
  }, weak, outgoing_.videoOutputStream()));
}

}  // namespace rtmpmedley
