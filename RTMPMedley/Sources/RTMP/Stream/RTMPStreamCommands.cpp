#include "Platform/Concurrency/Concurrency.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPCommandMessage.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPDataMessage.h"
#include "RTMPMedley/Sources/RTMP/Stream/RTMPStream.h"
#include "RTMPMedley/Sources/RTMP/Util/RTMPMedleyLogger.h"

namespace rtmpmedley {

using medley::StreamReadyState;
using platform::Async;

RTMPCommandMessage RTMPStream::makeCommand(std::string name, AMFList arguments) const {
  return RTMPCommandMessage(id_, 0, objectEncoding_, std::move(name), 0, std::nullopt, std::move(arguments));
}

Async<RTMPResponse> RTMPStream::request(Code expected, RTMPCommandMessage command, BeforeTimeout before,
                                        bool idleOnceSent, uint64_t* generationOut) {
  // The slot is taken and the time-out armed before the command leaves, so an
  // answer always finds its request.
  const uint64_t generation = ++requestGeneration_;
  if (generationOut) *generationOut = generation;
  auto weak = std::weak_ptr<RTMPStream>(self());
  co_return co_await platform::withContinuation<RTMPResponse>(
      [this, expected, generation, weak, before, idleOnceSent, &command](platform::Continuation<RTMPResponse> c) {
        // One request waits at a time: the one it displaces hears so at once.
        if (continuation_) continuation_->resumeThrowing(Error::invalidState("replaced by a newer command"));
        expectedResponse_ = expected;
        continuation_ = std::move(c);
        if (timeoutTask_) timeoutTask_->cancel();
        timeoutTask_ = platform::spawn(queue(), &RTMPStream::timeout, weak, generation, before);
        send(RTMPChunkType::zero, RTMPChunkStreamId::command, command);
        if (idleOnceSent) setReadyState(StreamReadyState::idle);
      });
}

Async<void> RTMPStream::timeout(std::weak_ptr<RTMPStream> weak, uint64_t generation, BeforeTimeout before) {
  uint64_t milliseconds = 0;
  {
    auto self = weak.lock();
    if (!self) co_return;
    co_await self->hop();
    // A play displaced before this ran starts nothing: the halves are the newer command's.
    if (before == BeforeTimeout::startIncoming && self->requestGeneration_ != generation) co_return;
    milliseconds = self->requestTimeout_;
    if (before != BeforeTimeout::nothing) {
      auto incoming = self->incomingHalf();
      if (before == BeforeTimeout::startIncoming)
        co_await incoming->startRunning();
      else
        co_await incoming->stopRunning();
    }
  }
  try {
    co_await platform::sleepFor(platform::milliseconds(static_cast<int64_t>(milliseconds)));
  } catch (const platform::CancellationError&) {
    co_return;  // resolved or replaced before its time
  }
  auto self = weak.lock();
  if (!self) co_return;
  co_await self->hop();
  // Only the request this time-out was armed for.
  if (self->requestGeneration_ != generation || !self->continuation_) co_return;
  self->resolveWaiting(std::nullopt, std::make_exception_ptr(Error::requestTimedOut()));
}

void RTMPStream::resolveWaiting(std::optional<RTMPResponse> response, std::exception_ptr error) {
  auto continuation = std::exchange(continuation_, std::nullopt);
  expectedResponse_.reset();
  if (auto timeout = std::exchange(timeoutTask_, std::nullopt)) timeout->cancel();
  if (!continuation) return;
  if (error)
    continuation->resumeThrowing(error);
  else
    continuation->resume(std::move(*response));
}

Async<RTMPResponse> RTMPStream::play(AMFList arguments) {
  co_await hop();
  const std::string* name = arguments.empty() ? nullptr : arguments.front().string();
  if (!name) {
    if (readyState_.value() != StreamReadyState::playing) throw Error::invalidState("not playing");
    info_.resourceName.reset();
    co_return co_await closeStream();
  }
  const std::string streamName = *name;
  setAudioFormat(std::nullopt);
  setVideoFormat(nullptr);
  setReadyState(StreamReadyState::play);
  uint64_t generation = 0;
  try {
    RTMPResponse response = co_await request(Code::playStart, makeCommand("play", std::move(arguments)),
                                             BeforeTimeout::startIncoming, false, &generation);
    co_await hop();
    startedAt_ = queue()->runtime()->now();
    dataTimestamps_.clear();
    setReadyState(StreamReadyState::playing);
    info_.resourceName = streamName;
    co_return response;
  } catch (...) {
    auto error = std::current_exception();
    const auto stopIncoming = [this] {
      platform::spawnDetached(queue(), [](std::shared_ptr<medley::IncomingStream> incoming) -> Async<void> {
        co_await incoming->stopRunning();
      }, incomingHalf());
    };
    if (requestGeneration_ != generation) {
      // Displaced: the state is the newer command's, and so is the playback
      // half when it plays too; otherwise the half started for this play stops.
      const auto state = readyState_.value();
      if (state != StreamReadyState::play && state != StreamReadyState::playing) stopIncoming();
      std::rethrow_exception(error);
    }
    stopIncoming();
    outgoing_.stopRunning();
    setReadyState(StreamReadyState::idle);
    std::rethrow_exception(error);
  }
}

Async<void> RTMPStream::seek(double offset) {
  co_await hop();
  if (readyState_.value() != StreamReadyState::playing) throw Error::invalidState("not playing");
  send(RTMPChunkType::zero, RTMPChunkStreamId::command, makeCommand("seek", {AMFValue(offset)}));
}

Async<RTMPResponse> RTMPStream::publish(std::optional<std::string> name, HowToPublish type) {
  co_await hop();
  if (!name) {
    if (readyState_.value() != StreamReadyState::publishing) throw Error::invalidState("not publishing");
    co_return co_await closeStream();
  }
  setAudioFormat(std::nullopt);
  setVideoFormat(nullptr);
  setReadyState(StreamReadyState::publish);
  RTMPResponse response;
  uint64_t generation = 0;
  try {
    response = co_await request(Code::publishStart,
                                makeCommand("publish", {AMFValue(*name), AMFValue(std::string(rawValue(type)))}),
                                BeforeTimeout::nothing, false, &generation);
  } catch (...) {
    // A publish displaced by a newer command leaves the state to it.
    if (requestGeneration_ == generation) setReadyState(StreamReadyState::idle);
    throw;
  }
  co_await hop();
  info_.resourceName = *name;
  howToPublish_ = type;
  startedAt_ = queue()->runtime()->now();
  dataTimestamps_.clear();
  metadata_ = buildMetadata();
  setReadyState(StreamReadyState::publishing);
  try {
    co_await sendData("@setDataFrame", {AMFValue("onMetaData"), AMFValue(metadata_)});
  } catch (const std::exception& e) {
    RTMP_LOG_WARN("publish(_:type:): metadata not sent:", e.what());
  }
  outgoing_.startRunning();
  finishMixerInputs();
  startMixerInputs();
  startPumps();
  co_return response;
}

Async<RTMPResponse> RTMPStream::closeStream() {
  co_await hop();
  const auto state = readyState_.value();
  if (state != StreamReadyState::playing && state != StreamReadyState::publishing)
    throw Error::invalidState("neither playing nor publishing");
  if (closing_) throw Error::invalidState("already closing");
  finishMixerInputs();
  startMixerInputs();
  // What the encoders still hold goes out before the command: media after it
  // belongs to no stream, and an ingest may take it for a new one (a recording
  // started anew over the one that just ended).
  closing_ = true;
  try {
    co_await finishOutgoing();
  } catch (...) {
    closing_ = false;
    throw;
  }
  closing_ = false;
  if (readyState_.value() != state) throw Error::invalidState("the stream changed while its last media went out");
  const Code expected = state == StreamReadyState::playing ? Code::playStop : Code::unpublishSuccess;
  // Idle as soon as the command is out, before the answer.
  co_return co_await request(expected, makeCommand("closeStream", {}), BeforeTimeout::stopIncoming, true);
}

Async<void> RTMPStream::sendData(std::string handlerName, AMFList arguments, bool resetTimestamp) {
  co_await hop();
  if (readyState_.value() != StreamReadyState::publishing) throw Error::invalidState("not publishing");
  sendDataMessage(handlerName, std::move(arguments), resetTimestamp);
}

void RTMPStream::sendDataMessage(const std::string& handlerName, AMFList arguments, bool resetTimestamp) {
  if (resetTimestamp) dataTimestamps_.erase(handlerName);
  auto last = dataTimestamps_.find(handlerName);
  const bool first = last == dataTimestamps_.end();
  const uint32_t timestamp = millisecondsSince(first ? startedAt_ : last->second);
  send(first ? RTMPChunkType::zero : RTMPChunkType::one, RTMPChunkStreamId::data,
       RTMPDataMessage(id_, timestamp, objectEncoding_, handlerName, std::move(arguments)));
  dataTimestamps_[handlerName] = queue()->runtime()->now();
}

Async<void> RTMPStream::receiveAudio(bool flag) {
  co_await hop();
  if (readyState_.value() != StreamReadyState::playing) throw Error::invalidState("not playing");
  send(RTMPChunkType::zero, RTMPChunkStreamId::command, makeCommand("receiveAudio", {AMFValue(flag)}));
}

Async<void> RTMPStream::receiveVideo(bool flag) {
  co_await hop();
  if (readyState_.value() != StreamReadyState::playing) throw Error::invalidState("not playing");
  send(RTMPChunkType::zero, RTMPChunkStreamId::command, makeCommand("receiveVideo", {AMFValue(flag)}));
}

Async<RTMPResponse> RTMPStream::pause(bool paused) {
  co_await hop();
  if (readyState_.value() != StreamReadyState::playing) throw Error::invalidState("not playing");
  const double position = static_cast<double>(millisecondsSince(startedAt_));
  RTMPResponse response =
      co_await request(paused ? Code::pauseNotify : Code::unpauseNotify,
                       makeCommand("pause", {AMFValue(paused), AMFValue(position)}), BeforeTimeout::nothing);
  co_await hop();
  isPaused_ = paused;
  co_return response;
}

Async<RTMPResponse> RTMPStream::togglePause() {
  co_await hop();
  co_return co_await pause(!isPaused_);
}

}  // namespace rtmpmedley
