#include "Platform/Concurrency/Concurrency.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPAudioMessage.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPCommandMessage.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPControlMessages.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPDataMessage.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPVideoMessage.h"
#include "RTMPMedley/Sources/RTMP/Stream/RTMPStream.h"
#include "RTMPMedley/Sources/RTMP/Util/RTMPMedleyLogger.h"

namespace rtmpmedley {

using medley::StreamReadyState;
using platform::Async;

Async<void> RTMPStream::dispatch(RTMPMessagePtr message, RTMPChunkType type) {
  co_await hop();
  if (!message) co_return;
  // Media a server sent on message stream 0 belongs to the stream that plays.
  const bool media =
      std::dynamic_pointer_cast<RTMPPayloadMessage>(message) || std::dynamic_pointer_cast<RTMPDataMessage>(message);
  if (media && message->streamId == 0 && id_ != 0) {
    const auto state = readyState_.value();
    if (state != StreamReadyState::play && state != StreamReadyState::playing) co_return;
  }
  info_.add(static_cast<int64_t>(message->payload().size()));
  if (auto command = std::dynamic_pointer_cast<RTMPCommandMessage>(message)) {
    dispatchCommand(*command);
  } else if (auto audio = std::dynamic_pointer_cast<RTMPAudioMessage>(message)) {
    receiveAudioMessage(*audio, type);
  } else if (auto video = std::dynamic_pointer_cast<RTMPVideoMessage>(message)) {
    receiveVideoMessage(*video, type);
  } else if (auto data = std::dynamic_pointer_cast<RTMPDataMessage>(message)) {
    dispatchData(*data);
  } else if (auto control = std::dynamic_pointer_cast<RTMPUserControlMessage>(message)) {
    using Event = RTMPUserControlMessage::Event;
    if (control->event == Event::bufferFull || control->event == Event::bufferEmpty) {
      const Code code = control->event == Event::bufferFull ? Code::bufferFull : Code::bufferEmpty;
      yieldStatus(RTMPStatus{std::string(rawValue(code)), "status", "", std::nullopt});
    }
  }
}

void RTMPStream::dispatchCommand(const RTMPCommandMessage& message) {
  if (message.commandName != "onStatus") {
    RTMP_LOG_INFO("dispatch(_:type:):", message.description());
    return;
  }
  RTMPResponse response(message);
  const auto& status = response.status;
  if (status && status->level == "status") {
    if (expectedResponse_ && rawValue(*expectedResponse_) == status->code) resolveWaiting(response, nullptr);
  } else {
    resolveWaiting(std::nullopt, std::make_exception_ptr(Error::requestFailed(response)));
  }
  if (status) yieldStatus(*status);
}

void RTMPStream::dispatchData(const RTMPDataMessage& message) {
  // Missing arguments read as absent values.
  const AMFValue first = message.arguments.size() > 0 ? message.arguments[0] : AMFValue();
  const AMFValue second = message.arguments.size() > 1 ? message.arguments[1] : AMFValue();
  if (message.handlerName == "onMetaData") {
    const auto* array = first.get<AMFArray>();
    metadata_ = array ? *array : AMFArray();
  } else if (message.handlerName == "|RtmpSampleAccess") {
    const auto* audio = first.get<bool>();
    const auto* video = second.get<bool>();
    audioSampleAccess_ = audio ? *audio : true;
    videoSampleAccess_ = video ? *video : true;
  }
}

void RTMPStream::receiveAudioMessage(const RTMPAudioMessage& message, RTMPChunkType type) {
  audioTimestamp_.receive(message.timestamp, type == RTMPChunkType::zero);
  const auto& payload = message.payload();
  if (payload.empty() || message.codec() != RTMPAudioCodec::aac || payload.size() < 2) return;
  switch (payload[1]) {
    case 0:
      setAudioFormat(message.makeAudioFormat());
      break;
    case 1: {
      if (!audioFormat_) setAudioFormat(message.makeAudioFormat());
      if (!audioBuffer_ || !message.copyPayload(*audioBuffer_)) return;
      // The one buffer is refilled by the next frame: hand over a copy.
      auto copy = platform::CompressedAudioBuffer::make(audioBuffer_->format(), 1, audioBuffer_->maximumPacketSize());
      if (!copy || !message.copyPayload(*copy)) return;
      const auto when = platform::AudioTime::withHostTime(platform::seconds(audioTimestamp_.updatedAt()));
      platform::spawnDetached(
          queue(),
          [](std::shared_ptr<medley::IncomingStream> incoming, platform::AudioBufferRef buffer,
             platform::AudioTime when) -> Async<void> { co_await incoming->append(std::move(buffer), when); },
          incomingHalf(), platform::AudioBufferRef(copy), when);
      break;
    }
    default:
      break;
  }
}

void RTMPStream::receiveVideoMessage(const RTMPVideoMessage& message, RTMPChunkType type) {
  videoTimestamp_.receive(message.timestamp, type == RTMPChunkType::zero);
  const auto& payload = message.payload();
  if (payload.size() < 5 || !message.isSupported()) return;
  const bool extended = payload[0] & 0x80;
  const uint8_t packetType = extended ? (payload[0] & 0x0F) : payload[1];
  const bool header = packetType == 0;
  const bool frame = extended ? (packetType == 1 || packetType == 3) : packetType == 1;
  if (header) {
    setVideoFormat(message.makeFormatDescription());
    return;
  }
  if (!frame) return;
  // Timed here, in arrival order; the frame is built on the way to the playback half.
  const auto time = platform::MediaTime::fromSeconds(videoTimestamp_.updatedAt(), 1000);
  auto sample = message.makeSampleBuffer(time, videoFormat_);
  if (!sample) return;
  platform::spawnDetached(
      queue(),
      [](std::shared_ptr<medley::IncomingStream> incoming, platform::SampleBufferRef sample) -> Async<void> {
        co_await incoming->append(std::move(sample));
      },
      incomingHalf(), std::move(sample));
}

}  // namespace rtmpmedley
