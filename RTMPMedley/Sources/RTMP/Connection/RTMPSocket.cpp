#include "RTMPMedley/Sources/RTMP/Connection/RTMPSocket.h"

#include <algorithm>

#include "Medley/Sources/Util/MedleyLogger.h"
#include "Platform/Concurrency/Sleep.h"
#include "RTMPMedley/Sources/RTMP/Util/RTMPMedleyLogger.h"

namespace rtmpmedley {

using platform::Async;
using platform::TcpConnection;
using platform::TcpError;

// The socket's lines carry the handler's name as their function.
#define SOCKET_LOG(level, function, ...)                                                                   \
  do {                                                                                                     \
    auto& socketLog_ = ::rtmpmedley::logger();                                                             \
    if (socketLog_.isEnabledFor(level))                                                                    \
      socketLog_.log(level, ::logwell::LWLogger::Items{__VA_ARGS__}, __FILE__, function, __LINE__);        \
  } while (0)

namespace {

std::shared_ptr<platform::SerialQueue> makeQueue(platform::QualityOfService qos,
                                                 std::shared_ptr<platform::Runtime> runtime) {
  return platform::SerialQueue::make(std::string(medley::kLibraryIdentifierPrefix) + ".Medley.RTMPSocket.network",
                                     std::move(runtime), qos);
}

}  // namespace

RTMPSocket::RTMPSocket(platform::QualityOfService qualityOfService, SecurityLevel securityLevel,
                       std::shared_ptr<platform::Runtime> runtime, int timeout)
    : Actor(makeQueue(qualityOfService, std::move(runtime))),
      qualityOfService_(qualityOfService),
      secure_(securityLevel != SecurityLevel::none),
      timeout_(timeout) {}

RTMPSocket::~RTMPSocket() {
  timeoutTask_.cancel();
  if (continuation_) continuation_->resumeThrowing(Error(Error::Kind::connectionNotEstablished));
  if (receivedWriter_) receivedWriter_->finish();
  if (connection_) connection_->cancel();
}

Async<void> RTMPSocket::connect(std::string host, int port) {
  co_await hop();
  if (connected_) throw Error(Error::Kind::invalidState);
  // A connect still under way is given up for the new one.
  closeNow(std::nullopt);
  if (port < 1 || port > 65535) {
    TcpError error;
    error.kind = TcpError::Kind::invalidArgument;
    error.message = "Invalid port " + std::to_string(port);
    throw Error(Error::Kind::connectionNotEstablished, error);
  }
  lastCounters_ = {};
  const platform::Nanos now = queue()->runtime()->now();
  account_.begin(now);
  {
    std::lock_guard lock(peerMutex_);
    peerRead_ = peerWindow_ = 0;
    peerAllowedAt_ = now;
  }
  auto [stream, writer] = platform::AsyncStream<medley::Data>::make();
  received_ = std::move(stream);
  receivedWriter_ = std::move(writer);

  TcpConnection::Options options;
  options.tls = secure_;
  options.connectTimeout = 0;  // bounded here, on the runtime's clock
  options.maxReceiveBlock = kWindowSizeC;
  options.unsentLowWater = kUnsentLowWater;
  connection_ = TcpConnection::make(std::move(host), port, options, queue());
  std::weak_ptr<RTMPSocket> weak = weak_from_this();
  // The connection delivers on this actor's queue, so the handlers run on it.
  connection_->setStateHandler([weak](TcpConnection::State state, const std::optional<TcpError>& error) {
    if (auto self = weak.lock()) self->stateDidChange(state, error);
  });
  connection_->setViabilityHandler([weak](bool viable) {
    if (auto self = weak.lock()) self->viabilityDidChange(viable);
  });
  connection_->setReceiveHandler([weak](std::span<const uint8_t> block) {
    auto self = weak.lock();
    if (self && self->receivedWriter_) self->receivedWriter_->yield(medley::Data(block.begin(), block.end()));
  });
  connection_->setEndOfStreamHandler([weak] {
    if (auto self = weak.lock()) self->endOfStream();
  });

  const uint64_t serial = ++continuationSerial_;
  co_await platform::withContinuation<void>([this, serial](platform::Continuation<void> c) {
    continuation_ = std::move(c);
    timeoutTask_.cancel();
    if (timeout_ > 0) timeoutTask_ = platform::spawn(queue(), &RTMPSocket::expire, weak_from_this(), serial,
                                                     platform::seconds(timeout_));
    connection_->start();
  });
}

Async<void> RTMPSocket::expire(std::weak_ptr<RTMPSocket> weak, uint64_t serial, platform::Nanos after) {
  try {
    co_await platform::sleepFor(after);
  } catch (const platform::CancellationError&) {
    co_return;
  }
  auto self = weak.lock();
  if (!self) co_return;
  co_await self->hop();
  // Only the wait it was armed for.
  if (!self->continuation_ || self->continuationSerial_ != serial) co_return;
  auto waiting = std::move(*self->continuation_);
  self->continuation_.reset();
  waiting.resumeThrowing(Error(Error::Kind::connectionTimedOut));
  self->closeNow(std::nullopt);
}

void RTMPSocket::stateDidChange(TcpConnection::State state, const std::optional<TcpError>& error) {
  constexpr const char* kFunction = "stateDidChange(to:)";
  const std::string text = error ? platform::describe(*error) : std::string("nil");
  switch (state) {
    case TcpConnection::State::ready: {
      SOCKET_LOG(logwell::LWLogLevel::info, kFunction, "Connection is ready.");
      connected_ = true;
      {
        std::lock_guard lock(sendMutex_);
        sendTarget_ = connection_;
      }
      timeoutTask_.cancel();
      if (continuation_) {
        auto waiting = std::move(*continuation_);
        continuation_.reset();
        waiting.resume();
      }
      break;
    }
    case TcpConnection::State::waiting:
      SOCKET_LOG(logwell::LWLogLevel::warn, kFunction, "Connection waiting:", text);
      closeNow(error);
      break;
    case TcpConnection::State::failed:
      SOCKET_LOG(logwell::LWLogLevel::warn, kFunction, "Connection failed:", text);
      closeNow(error);
      break;
    case TcpConnection::State::setup:
      SOCKET_LOG(logwell::LWLogLevel::debug, kFunction, "Connection is setting up.");
      break;
    case TcpConnection::State::preparing:
      SOCKET_LOG(logwell::LWLogLevel::debug, kFunction, "Connection is preparing.");
      break;
    case TcpConnection::State::cancelled:
      SOCKET_LOG(logwell::LWLogLevel::info, kFunction, "Connection cancelled.");
      closeNow(std::nullopt);
      break;
  }
}

void RTMPSocket::viabilityDidChange(bool viable) {
  SOCKET_LOG(logwell::LWLogLevel::info, "viabilityDidChange(to:)", "Connection viability changed to", viable);
  if (!viable) closeNow(std::nullopt);
}

void RTMPSocket::endOfStream() {
  // The owner closes once it has read what came before the end.
  if (receivedWriter_) {
    receivedWriter_->finish();
    receivedWriter_.reset();
  }
}

Async<platform::AsyncStream<medley::Data>> RTMPSocket::recv() {
  co_await hop();
  if (!received_) co_return platform::AsyncStream<medley::Data>::finished();
  auto stream = std::move(*received_);
  received_.reset();
  co_return stream;
}

void RTMPSocket::send(medley::Data bytes, RTMPSendLane lane) {
  std::shared_ptr<TcpConnection> target;
  {
    std::lock_guard lock(sendMutex_);
    target = sendTarget_;
  }
  if (!target || bytes.empty()) return;
  sendCount_.fetch_add(1, std::memory_order_relaxed);
  target->send(std::move(bytes), {},
               lane == RTMPSendLane::control ? TcpConnection::Lane::priority : TcpConnection::Lane::normal);
}

void RTMPSocket::send(RTMPChunkedMessage chunks, RTMPSendLane lane) {
  std::shared_ptr<TcpConnection> target;
  {
    std::lock_guard lock(sendMutex_);
    target = sendTarget_;
  }
  if (!target || chunks.empty()) return;
  sendCount_.fetch_add(1, std::memory_order_relaxed);
  target->sendGathered(writes_->take(std::move(chunks)), {},
               lane == RTMPSendLane::control ? TcpConnection::Lane::priority : TcpConnection::Lane::normal);
}

std::optional<RTMPTransport::OutputProgress> RTMPSocket::outputProgress() const {
  std::shared_ptr<TcpConnection> target;
  {
    std::lock_guard lock(sendMutex_);
    target = sendTarget_;
  }
  if (!target) return std::nullopt;
  const auto counters = target->queueCounters();
  return OutputProgress{counters.totalBytesOut + counters.queuedBytesOut, counters.totalBytesOut};
}

Async<void> RTMPSocket::close(std::optional<TcpError> error) {
  co_await hop();
  closeNow(std::move(error));
}

Async<void> RTMPSocket::abort() {
  co_await hop();
  closeNow(std::nullopt, true);
}

void RTMPSocket::closeNow(std::optional<TcpError> error, bool reset) {
  if (!connection_) return;
  if (continuation_) {
    auto waiting = std::move(*continuation_);
    continuation_.reset();
    waiting.resumeThrowing(Error(Error::Kind::connectionNotEstablished, error));
  }
  timeoutTask_.cancel();
  connected_ = false;
  {
    std::lock_guard lock(sendMutex_);
    sendTarget_.reset();
  }
  lastCounters_ = connection_->counters();
  lastCounters_.queuedBytesOut = 0;  // what was queued is dropped with the connection
  auto connection = std::move(connection_);
  connection_.reset();
  if (reset)
    connection->abort();
  else
    connection->cancel();
  if (receivedWriter_) {
    receivedWriter_->finish();
    receivedWriter_.reset();
  }
}

Async<bool> RTMPSocket::connected() {
  co_await hop();
  co_return connected_;
}

Async<std::shared_ptr<medley::NetworkMonitor>> RTMPSocket::makeNetworkMonitor() {
  co_await hop();
  co_return std::make_shared<medley::NetworkMonitor>(weak_from_this(), queue()->runtime());
}

void RTMPSocket::peerRead(uint64_t bytes, uint64_t window) {
  const platform::Nanos now = queue()->runtime()->now();
  std::lock_guard lock(peerMutex_);
  const uint64_t allowed = peerRead_ + peerWindow_;
  peerRead_ = std::max(peerRead_, bytes);
  peerWindow_ = window;
  if (peerRead_ + peerWindow_ > allowed) peerAllowedAt_ = now;
}

Async<medley::NetworkTransportReport> RTMPSocket::makeNetworkTransportReport() {
  co_await hop();
  const auto counters = connection_ ? connection_->counters() : lastCounters_;
  RTMPOutputAccount::Sample sample;
  sample.at = queue()->runtime()->now();
  sample.connected = connection_ != nullptr;
  sample.queued = counters.queuedBytesOut;
  sample.written = counters.totalBytesOut;
  sample.totalIn = counters.totalBytesIn;
  sample.kernel = counters.kernel;
  {
    std::lock_guard lock(peerMutex_);
    sample.peerRead = peerRead_;
    sample.peerWindow = peerWindow_;
    sample.peerAllowedAt = peerAllowedAt_;
  }
  co_return account_.report(sample);
}

}  // namespace rtmpmedley
