#include "RTMPMedley/Sources/RTMP/Session/RTMPSession.h"

#include "Platform/Concurrency/Sleep.h"
#include "RTMPMedley/Sources/RTMP/Util/RTMPMedleyLogger.h"

namespace rtmpmedley {

using medley::StreamSessionMode;
using medley::StreamSessionReadyState;
using platform::Async;

RTMPSession::Error::Error(Kind)
    : std::runtime_error("RTMPSession: the URL names no application and stream (rtmp://host/app/name)"),
      kind_(Kind::noStreamName) {}

RTMPSession::RTMPSession(RTMPURL uri, StreamSessionMode mode,
                         std::shared_ptr<const medley::StreamSessionConfiguration> configuration,
                         std::shared_ptr<platform::Runtime> runtime, RTMPTransportFactory makeTransport)
    : Actor("RTMPSession", std::move(runtime)),
      uri_(std::move(uri)),
      mode_(mode),
      configuration_(std::move(configuration)),
      makeTransport_(std::move(makeTransport)) {
  auto [stream, writer] = platform::AsyncStream<StreamSessionReadyState>::make(platform::BufferingPolicy::unbounded());
  readyStateStream_ = std::move(stream);
  readyStateWriter_ = std::move(writer);
}

RTMPSession::~RTMPSession() {
  if (disconnectedTask_) disconnectedTask_->cancel();
  readyStateWriter_.finish();
}

RTMPConnection::Settings RTMPSession::connectionSettings(StreamSessionMode mode) {
  RTMPConnection::Settings settings;
  settings.swfUrl = std::nullopt;
  settings.pageUrl = std::nullopt;
  settings.flashVer = mode == StreamSessionMode::publish ? "FMLE/3.0 (compatible; FMSc/1.0)" : "MAC 9,0,124,2";
  settings.capsEx = 0;
  settings.timeout = std::chrono::seconds(15);
  settings.requestTimeout = std::chrono::milliseconds(3000);
  settings.chunkSize = 8192;
  settings.qualityOfService = platform::QualityOfService::userInitiated;
  return settings;
}

std::shared_ptr<RTMPConnection> RTMPSession::connectionHere() {
  if (!connection_) {
    auto settings = connectionSettings(mode_);
    settings.makeTransport = makeTransport_;
    connection_ = std::make_shared<RTMPConnection>(std::move(settings), queue()->runtime());
  }
  return connection_;
}

std::shared_ptr<RTMPStream> RTMPSession::streamHere() {
  if (!stream_) {
    // A publishing stream announces its name ("releaseStream", "FCPublish") before it is created.
    stream_ = RTMPStream::make(connectionHere(),
                               mode_ == StreamSessionMode::publish ? uri_.streamName() : std::nullopt);
  }
  return stream_;
}

void RTMPSession::setReadyState(StreamSessionReadyState state) {
  readyState_ = state;
  readyStateWriter_.yield(state);
}

void RTMPSession::cancelWatch() {
  if (auto task = std::exchange(disconnectedTask_, std::nullopt)) task->cancel();
}

Async<platform::AsyncStream<StreamSessionReadyState>> RTMPSession::readyState() {
  co_await hop();
  co_return readyStateStream_;
}

Async<std::shared_ptr<medley::StreamConvertible>> RTMPSession::stream() {
  co_await hop();
  co_return streamHere();
}

Async<std::shared_ptr<RTMPStream>> RTMPSession::rtmpStream() {
  co_await hop();
  co_return streamHere();
}

Async<std::shared_ptr<RTMPConnection>> RTMPSession::connection() {
  co_await hop();
  co_return connectionHere();
}

Async<StreamSessionReadyState> RTMPSession::currentReadyState() {
  co_await hop();
  co_return readyState_;
}

Async<int> RTMPSession::retryCount() {
  co_await hop();
  co_return retryCount_;
}

Async<void> RTMPSession::setMaxRetryCount(int count) {
  co_await hop();
  maxRetryCount_ = count;
}

Async<bool> RTMPSession::connected() {
  co_await hop();
  co_return connectionHere()->isConnected();
}

Async<void> RTMPSession::connect(std::function<void()> disconnected) {
  co_await hop();
  const auto connectURL = uri_.connectURL();
  const auto name = uri_.streamName();
  // Connecting to the wrong application is worse than not connecting.
  if (!connectURL || !name) throw Error(Error::Kind::noStreamName);
  auto connection = connectionHere();
  auto stream = streamHere();
  while (true) {
    if (connection->isConnected()) co_return;
    setReadyState(StreamSessionReadyState::connecting);
    cancelWatch();
    std::exception_ptr failure;
    try {
      (void)co_await connection->connect(*connectURL);
    } catch (...) {
      failure = std::current_exception();
    }
    if (!failure) break;
    if (retryCount_ >= maxRetryCount_) {
      retryCount_ = 0;
      setReadyState(StreamSessionReadyState::closed);
      std::rethrow_exception(failure);
    }
    try {
      co_await platform::sleepFor(platform::seconds(int64_t{1} << std::min(retryCount_, 30)));
    } catch (...) {
      // Nothing connects any more: say so rather than stay "connecting".
      retryCount_ = 0;
      setReadyState(StreamSessionReadyState::closed);
      throw;
    }
    ++retryCount_;
  }
  retryCount_ = 0;

  std::exception_ptr failure;
  try {
    if (mode_ == StreamSessionMode::publish)
      (void)co_await stream->publish(*name, RTMPStream::HowToPublish::live);
    else
      (void)co_await stream->play({AMFValue(*name)});
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure) {
    co_await connection->close();
    setReadyState(StreamSessionReadyState::closed);
    std::rethrow_exception(failure);
  }
  // Subscribed before the state is open, so that no closing status can slip by.
  auto statuses = co_await connection->status();
  setReadyState(StreamSessionReadyState::open);
  cancelWatch();
  disconnectedTask_ =
      platform::spawn(queue(), &RTMPSession::watch, weak_from_this(), std::move(statuses), std::move(disconnected));
}

Async<void> RTMPSession::watch(std::weak_ptr<RTMPSession> weak, platform::AsyncStream<RTMPStatus> statuses,
                               std::function<void()> disconnected) {
  while (auto status = co_await statuses.next()) {
    if (status->code != RTMPConnection::rawValue(RTMPConnection::Code::connectClosed)) continue;
    auto self = weak.lock();
    if (!self) co_return;
    co_await self->hop();
    self->setReadyState(StreamSessionReadyState::closed);
    if (disconnected) disconnected();
  }
}

Async<void> RTMPSession::close() {
  co_await hop();
  auto connection = connectionHere();
  if (!connection->isConnected()) co_return;
  setReadyState(StreamSessionReadyState::closing);
  cancelWatch();
  co_await connection->close();
  retryCount_ = 0;
  setReadyState(StreamSessionReadyState::closed);
}

}  // namespace rtmpmedley
