#include "RTMPMedley/Sources/RTMP/Stream/RTMPStream.h"

#include <cmath>

#include "Medley/Sources/Stream/StreamBitRateStrategy.h"
#include "Platform/Concurrency/Concurrency.h"
#include "RTMPMedley/Sources/RTMP/Util/RTMPMedleyLogger.h"

namespace rtmpmedley {

using medley::StreamReadyState;
using platform::Async;

RTMPStream::RTMPStream(const std::shared_ptr<RTMPConnection>& connection, std::optional<std::string> fcPublishName)
    : StreamBase("rtmp-stream", connection->queue()->runtime()),
      connection_(connection),
      fcPublishName_(std::move(fcPublishName)),
      requestTimeout_(static_cast<uint64_t>(
          std::chrono::duration_cast<std::chrono::milliseconds>(connection->settings().requestTimeout).count())),
      startedAt_(connection->queue()->runtime()->now()) {
  outgoing_.videoCodec().encodesOnCaller = encodesOnActor(outgoing_.videoSettings());
  // As long a wait as the raw-picture queue's before the actor: while the
  // encoder starts on a busy machine, pictures come faster than it takes them.
  outgoing_.videoCodec().pendingSpan = medley::RawPictureQueue::kDefaultSpan;
}

bool RTMPStream::encodesOnActor(const medley::VideoCodecSettings& settings) const {
  // The encoder's own thread calls x264, always the same thread. When
  // whichever worker ran the actor called it, x264's slice and look-ahead
  // threads slept about a third more often for the same jobs, far more than
  // the one wake per picture that the hand-off to the thread costs. x265 gains
  // nothing measurable there, and under TSan on two cores it took half as long
  // again per picture, so HEVC in software stays on the actor (HEVC that
  // requires the GPU's encoder is never x265: it falls back to x264). On
  // virtual time no thread of its own runs: there the actor encodes each
  // picture as it takes it.
  const bool x265 =
      settings.format() == medley::VideoCodecSettings::Format::hevc && !settings.isHardwareEncoderRequired;
  return queue()->runtime()->isVirtual() || x265;
}

std::shared_ptr<RTMPStream> RTMPStream::make(const std::shared_ptr<RTMPConnection>& connection,
                                             std::optional<std::string> fcPublishName) {
  if (!connection) throw std::invalid_argument("RTMPStream: no connection");
  std::shared_ptr<RTMPStream> stream(new RTMPStream(connection, std::move(fcPublishName)));
  // Nobody else holds the stream yet: its inputs exist before any hand-off,
  // and the connection knows it before any command can leave.
  stream->startMixerInputs();
  connection->attach(stream);
  return stream;
}

RTMPStream::~RTMPStream() {
  if (statusContinuation_) statusContinuation_->finish();
  if (timeoutTask_) timeoutTask_->cancel();
  if (continuation_) continuation_->resumeThrowing(Error::invalidState("stream released"));
}

std::shared_ptr<RTMPStream> RTMPStream::self() {
  return std::static_pointer_cast<RTMPStream>(shared_from_this());
}

std::shared_ptr<medley::IncomingStream> RTMPStream::incomingHalf() {
  if (!incoming_) incoming_ = std::make_shared<medley::IncomingStream>(weak_from_this(), queue()->runtime());
  return incoming_;
}

std::shared_ptr<medley::StreamPlayback> RTMPStream::incoming() { return incomingHalf(); }

Async<std::shared_ptr<medley::IncomingStream>> RTMPStream::incomingStream() {
  co_await hop();
  co_return incomingHalf();
}

Async<uint32_t> RTMPStream::id() {
  co_await hop();
  co_return id_;
}

Async<std::optional<std::string>> RTMPStream::fcPublishName() {
  co_await hop();
  co_return fcPublishName_;
}

Async<StreamReadyState> RTMPStream::readyState() {
  co_await hop();
  co_return readyState_.value();
}

void RTMPStream::setReadyState(StreamReadyState state) { readyState_.set(state); }

Async<platform::AsyncStream<RTMPStatus>> RTMPStream::status() {
  co_await hop();
  auto [stream, writer] = platform::AsyncStream<RTMPStatus>::make();
  if (statusContinuation_) statusContinuation_->finish();
  statusContinuation_ = std::move(writer);
  co_return std::move(stream);
}

void RTMPStream::yieldStatus(const RTMPStatus& status) {
  if (statusContinuation_) (void)statusContinuation_->yield(status);
}

void RTMPStream::send(RTMPChunkType type, RTMPChunkStreamId chunkStreamId, const RTMPMessage& message) {
  auto connection = connection_.lock();
  if (!connection) return;
  info_.add(connection->send(type, chunkStreamId, message));
}

void RTMPStream::send(RTMPChunkType type, RTMPChunkStreamId chunkStreamId, std::shared_ptr<const RTMPMessage> message) {
  auto connection = connection_.lock();
  if (!connection) return;
  info_.add(connection->send(type, chunkStreamId, std::move(message)));
}

uint32_t RTMPStream::millisecondsSince(platform::Nanos since) const {
  const platform::Nanos elapsed = queue()->runtime()->now() - since;
  // A clock that went back counts as no time; more than the field holds saturates.
  if (elapsed <= 0) return 0;
  const int64_t ms = elapsed / 1'000'000;
  return ms >= 0xFFFFFFFFll ? 0xFFFFFFFFu : static_cast<uint32_t>(ms);
}

Async<void> RTMPStream::dispatch(medley::NetworkMonitorEvent event) {
  co_await hop();
  if (auto strategy = bitRateStrategy_) co_await strategy->adjustBitRate(event, shared_from_this());
  currentFPS_.set(frameCount_);
  frameCount_ = 0;
  info_.rollOver();
}

Async<RTMPStream::Snapshot> RTMPStream::snapshot() {
  co_await hop();
  Snapshot s;
  s.id = id_;
  s.readyState = readyState_.value();
  s.info = info_;
  s.metadata = metadata_;
  s.audioSampleAccess = audioSampleAccess_;
  s.videoSampleAccess = videoSampleAccess_;
  s.currentFPS = currentFPS_.value();
  s.frameCount = frameCount_;
  s.isPaused = isPaused_;
  s.howToPublish = howToPublish_;
  s.requestTimeout = requestTimeout_;
  s.expectedResponse = expectedResponse_;
  s.waiting = continuation_.has_value();
  s.objectEncoding = objectEncoding_;
  s.audioFormat = audioFormat_;
  s.videoFormat = videoFormat_;
  s.audioTimestamp = audioTimestamp_;
  s.videoTimestamp = videoTimestamp_;
  s.videoMessages = videoMessages_;
  s.audioMessages = audioMessages_;
  s.droppedVideoInput = rawPictures_.droppedCount() + outgoing_.videoInputDroppedFrameCount() +
                        outgoing_.videoCodec().droppedFrameCount();
  s.droppedVideoOutput = videoBacklog_.droppedCount();
  co_return s;
}

// Creation and release

namespace {

// A command whose answer nobody needs: waited for, its failure swallowed.
Async<void> callQuietly(std::weak_ptr<RTMPConnection> weak, std::string name, AMFList arguments) {
  auto connection = weak.lock();
  if (!connection) co_return;
  try {
    (void)co_await connection->call(std::move(name), std::move(arguments));
  } catch (...) {
  }
}

// Servers leave it unanswered: handed to the transport, not waited for.
Async<void> sendQuietly(std::weak_ptr<RTMPConnection> weak, std::string name, AMFList arguments) {
  auto connection = weak.lock();
  if (!connection) co_return;
  try {
    co_await connection->callWithoutAnswer(std::move(name), std::move(arguments));
  } catch (...) {
  }
}

}  // namespace

Async<void> RTMPStream::createStream() {
  co_await hop();
  if (fcPublishName_) {
    co_await platform::whenAll(callQuietly(connection_, "releaseStream", {AMFValue(*fcPublishName_)}),
                               callQuietly(connection_, "FCPublish", {AMFValue(*fcPublishName_)}));
    co_await hop();
  }
  auto connection = connection_.lock();
  if (!connection) co_return;
  try {
    const RTMPResponse response = co_await connection->call("createStream");
    co_await hop();
    if (response.arguments.empty()) co_return;
    const auto number = response.arguments.front().number();
    if (!number) co_return;
    const double truncated = std::trunc(*number);
    // Only what a message stream id can be; anything else leaves the stream as it was.
    if (!std::isfinite(truncated) || truncated < 0 || truncated > 4294967295.0) {
      RTMP_LOG_WARN("createStream(): stream id out of range:", *number);
      co_return;
    }
    id_ = static_cast<uint32_t>(truncated);
    setReadyState(StreamReadyState::idle);
  } catch (const std::exception& e) {
    RTMP_LOG_ERROR("createStream():", e.what());
  }
}

Async<void> RTMPStream::unpublishOnClose() {
  co_await hop();
  if (!fcPublishName_ || readyState_.value() != StreamReadyState::publishing) co_return;
  outgoing_.stopRunning();
  co_await platform::whenAll(sendQuietly(connection_, "FCUnpublish", {AMFValue(*fcPublishName_)}),
                             callQuietly(connection_, "deleteStream", {AMFValue(static_cast<double>(id_))}));
}

Async<void> RTMPStream::connectionClosed(RTMPStatus status) {
  co_await hop();
  if (!continuation_) co_return;
  RTMPResponse response;
  response.status = std::move(status);
  resolveWaiting(std::nullopt, std::make_exception_ptr(Error::requestFailed(std::move(response))));
}

Async<void> RTMPStream::close() {
  co_await hop();
  const auto state = readyState_.value();
  if (state != StreamReadyState::playing && state != StreamReadyState::publishing) co_return;
  auto connection = connection_.lock();
  if (!connection || !connection->isConnected()) {
    // Nothing can be sent nor answered: the connection's close must not wait a time-out for it.
    outgoing_.stopRunning();
    setReadyState(StreamReadyState::idle);
    co_return;
  }
  connection.reset();
  try {
    (void)co_await closeStream();
  } catch (const std::exception& e) {
    RTMP_LOG_INFO("close():", e.what());
  }
}

}  // namespace rtmpmedley
