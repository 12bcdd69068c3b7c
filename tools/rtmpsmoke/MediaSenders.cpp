#include "MediaSenders.h"

#include <algorithm>
#include <cmath>
#include <deque>

#include "RTMPMedley/Sources/RTMP/Message/RTMPAudioMessage.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPVideoMessage.h"

namespace rtmpsmoke {

using platform::Async;
using platform::AsyncStream;
using platform::SampleBufferRef;
using namespace rtmpmedley;

uint32_t MessageClock::milliseconds(double seconds) const {
  const double ms = std::round((seconds - origin_) * 1000.0);
  if (!(ms > 0)) return 0;
  // Message times are 32 bits and wrap round.
  return static_cast<uint32_t>(static_cast<uint64_t>(ms) & 0xFFFFFFFFu);
}

uint32_t MessageClock::gridMilliseconds(double seconds, double rate) {
  const double slot = std::round((seconds - origin_) * rate);
  const int64_t wanted = slot > 0 ? static_cast<int64_t>(slot) : 0;
  lastSlot_ = std::max(wanted, lastSlot_ + 1);
  return static_cast<uint32_t>(static_cast<uint64_t>(std::llround(static_cast<double>(lastSlot_) * 1000.0 / rate)) &
                               0xFFFFFFFFu);
}

uint32_t MessageClock::delta(uint32_t ms) {
  if (!started_) {
    started_ = true;
    last_ = ms;
    return ms;
  }
  // Serial-number order: a stamp less than half the range behind is late, not wrapped.
  const uint32_t d = ms - last_;
  if (d >= 0x80000000u) return 0;
  last_ = ms;
  return d;
}

Async<void> sendVideo(AsyncStream<SampleBufferRef> encoded, std::shared_ptr<SmokeStream> stream, uint32_t id,
                      double originSeconds, double frameRate, Counters* counters, std::shared_ptr<WireStart> start) {
  platform::FormatDescriptionRef format;
  MessageClock clock(originSeconds);
  while (auto buffer = co_await encoded.next()) {
    const auto& sample = *buffer;
    if (!sample) continue;
    const auto time = sample->decodeTime().isNumeric() ? sample->decodeTime() : sample->presentationTime();
    const uint32_t ms = clock.gridMilliseconds(time.seconds(), frameRate);
    if (!platform::sameFormat(format, sample->formatDescription())) {
      format = sample->formatDescription();
      const bool first = !clock.started();
      auto header = RTMPVideoMessage::make(id, clock.delta(ms), format);
      if (header)
        counters->bytes += co_await stream->send(first ? RTMPChunkType::zero : RTMPChunkType::one,
                                                 RTMPChunkStreamId::video, header);
    }
    auto frame = RTMPVideoMessage::make(id, clock.delta(ms), sample);
    if (!frame) continue;
    counters->bytes += co_await stream->send(RTMPChunkType::one, RTMPChunkStreamId::video, frame);
    ++counters->videoMessages;
    if (!start->video) {
      start->video = true;
      start->videoMilliseconds = ms;
    }
  }
}

namespace {

Async<void> sendAudioPackets(const medley::AudioCodec::Output& output, SmokeStream& stream, uint32_t id,
                             MessageClock& clock, Counters* counters, WireStart& start) {
  auto aac = std::dynamic_pointer_cast<platform::CompressedAudioBuffer>(output.first);
  if (!aac) co_return;
  const auto& when = output.second;
  const double rate = aac->format().sampleRate();
  if (!(rate > 0)) co_return;
  // Sample times anchored on the host clock count host seconds at the rate.
  // The encoder stamps a packet with the end of its frames; a message
  // carries the time of its first frame, as the pictures do.
  const int64_t framesPerPacket = aac->format().framesPerPacket() > 0 ? aac->format().framesPerPacket() : 1024;
  int64_t position = (when.sampleTimeValid && when.sampleRate == rate
                          ? when.sampleTime
                          : static_cast<int64_t>(platform::toSeconds(when.hostTime) * rate)) -
                     framesPerPacket * static_cast<int64_t>(aac->packetCount());
  const auto* descriptions = aac->packetDescriptions();
  for (uint32_t i = 0; i < aac->packetCount(); ++i) {
    const uint32_t ms = clock.milliseconds(static_cast<double>(position) / rate);
    position += framesPerPacket;
    // Serial-number order, as the message times wrap.
    if (static_cast<uint32_t>(ms - start.videoMilliseconds) >= 0x80000000u) {
      ++start.droppedSoundPackets;
      continue;
    }
    const int64_t offset = descriptions ? descriptions[i].startOffset : 0;
    const uint32_t size = descriptions ? descriptions[i].dataByteSize : aac->byteLength();
    if (offset < 0 || offset + size > aac->byteLength() || size == 0) continue;
    auto packet = platform::CompressedAudioBuffer::make(aac->format(), 1, size);
    if (!packet || !packet->setSinglePacket(aac->data() + offset, size)) continue;
    if (!clock.started()) {
      auto header = RTMPAudioMessage::make(id, clock.delta(ms), aac->format().makeFormatDescription());
      if (!header) co_return;
      counters->bytes += co_await stream.send(RTMPChunkType::zero, RTMPChunkStreamId::audio, header);
    }
    auto message = RTMPAudioMessage::make(id, clock.delta(ms),
                                          std::shared_ptr<const platform::CompressedAudioBuffer>(packet));
    if (!message) continue;
    counters->bytes += co_await stream.send(RTMPChunkType::one, RTMPChunkStreamId::audio, message);
    ++counters->audioMessages;
  }
}

}  // namespace

Async<void> sendAudio(AsyncStream<medley::AudioCodec::Output> encoded, std::shared_ptr<SmokeStream> stream,
                      uint32_t id, double originSeconds, Counters* counters, std::shared_ptr<WireStart> start) {
  // Sound waiting for the first picture: about ten seconds at most, then the oldest goes.
  constexpr size_t kMaxWaiting = 500;
  MessageClock clock(originSeconds);
  std::deque<medley::AudioCodec::Output> waiting;
  while (auto output = co_await encoded.next()) {
    waiting.push_back(std::move(*output));
    if (!start->video) {
      if (waiting.size() > kMaxWaiting) {
        waiting.pop_front();
        ++start->droppedSoundPackets;
      }
      continue;
    }
    while (!waiting.empty()) {
      co_await sendAudioPackets(waiting.front(), *stream, id, clock, counters, *start);
      waiting.pop_front();
    }
  }
  if (!start->video) co_return;
  for (const auto& output : waiting) co_await sendAudioPackets(output, *stream, id, clock, counters, *start);
}

Async<void> pumpVideo(AsyncStream<SampleBufferRef> input, medley::OutgoingStream* outgoing) {
  while (auto frame = co_await input.next()) {
    outgoing->appendVideo(*frame);
    outgoing->videoCodec().completeFrames();
  }
}

}  // namespace rtmpsmoke
