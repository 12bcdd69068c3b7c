#include "RTMPMedley/Sources/RTMP/Connection/RTMPConnection.h"

#include <limits>

#include "Medley/Sources/Util/MedleyLogger.h"
#include "Platform/Concurrency/Sleep.h"
#include "RTMPMedley/Sources/RTMP/Connection/RTMPConnectCommand.h"
#include "RTMPMedley/Sources/RTMP/Util/RTMPMedleyLogger.h"

namespace rtmpmedley {

using platform::Async;
using platform::Continuation;

namespace {

std::shared_ptr<platform::SerialQueue> makeQueue(platform::QualityOfService qos,
                                                 std::shared_ptr<platform::Runtime> runtime) {
  return platform::SerialQueue::make(std::string(medley::kLibraryIdentifierPrefix) + ".RTMPMedley.RTMPConnection",
                                     std::move(runtime), qos);
}

// The URL of a connect, or none when the text cannot be one.
std::optional<RTMPConnectionURL> connectURL(const std::string& command) {
  auto url = RTMPConnectionURL::parse(command);
  if (!url || url->scheme().empty() || !url->host() || !RTMPConnection::supportedProtocols().count(url->scheme()))
    return std::nullopt;
  return url;
}

platform::Nanos millisecondsToNanos(uint64_t ms) {
  constexpr uint64_t kMax = static_cast<uint64_t>(std::numeric_limits<platform::Nanos>::max()) / 1'000'000;
  return static_cast<platform::Nanos>(std::min(ms, kMax) * 1'000'000);
}

// The status of a rejected connect, the only answer a login may follow.
std::optional<RTMPStatus> rejection(std::exception_ptr error) {
  if (!error) return std::nullopt;
  try {
    std::rethrow_exception(error);
  } catch (const RTMPConnection::Error& e) {
    if (e.kind() == RTMPConnection::Error::Kind::requestFailed && e.response() && e.response()->status &&
        e.response()->status->code == RTMPConnection::rawValue(RTMPConnection::Code::connectRejected))
      return e.response()->status;
  } catch (...) {
  }
  return std::nullopt;
}

// What connect() throws for an error that ended its wait.
std::exception_ptr connectError(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const RTMPSocket::Error& e) {
    if (e.kind() == RTMPSocket::Error::Kind::connectionTimedOut)
      return std::make_exception_ptr(RTMPConnection::Error::connectionTimedOut());
    return std::make_exception_ptr(RTMPConnection::Error::socketErrorOccurred(
        e.kind() == RTMPSocket::Error::Kind::connectionNotEstablished ? e.networkError() : std::nullopt));
  } catch (...) {
    return error;
  }
}

}  // namespace

RTMPConnection::RTMPConnection(std::optional<std::string> swfUrl, std::optional<std::string> pageUrl,
                               std::string flashVer, std::optional<std::vector<std::string>> fourCcList,
                               std::optional<FourCcInfoMap> videoFourCcInfoMap,
                               std::optional<FourCcInfoMap> audioFourCcInfoMap, int64_t capsEx, int timeout,
                               uint64_t requestTimeout, int64_t chunkSize, platform::QualityOfService qualityOfService,
                               std::shared_ptr<platform::Runtime> runtime)
    : Actor(makeQueue(qualityOfService, std::move(runtime))),
      swfUrl_(std::move(swfUrl)),
      pageUrl_(std::move(pageUrl)),
      flashVer_(std::move(flashVer)),
      fourCcList_(std::move(fourCcList)),
      videoFourCcInfoMap_(std::move(videoFourCcInfoMap)),
      audioFourCcInfoMap_(std::move(audioFourCcInfoMap)),
      capsEx_(capsEx),
      timeout_(timeout),
      requestTimeout_(requestTimeout),
      chunkSize_(chunkSize),
      qualityOfService_(qualityOfService) {}

RTMPConnection::~RTMPConnection() {
  // Streams first: their inboxes end and their pumps let go of them.
  streams_.clear();
  monitorTask_.cancel();
  for (auto& [id, operation] : operations_) operation.timeout.cancel();
}

std::shared_ptr<RTMPConnection> RTMPConnection::make(std::shared_ptr<platform::Runtime> runtime) {
  return std::make_shared<RTMPConnection>(std::nullopt, std::nullopt, defaultFlashVer, defaultFourCcList(),
                                          defaultVideoFourCcInfoMap(), defaultAudioFourCcInfoMap(), 0, 15, 10000,
                                          defaultChunkSizeS, platform::QualityOfService::userInitiated,
                                          std::move(runtime));
}

void RTMPConnection::setReadyState(ReadyState state) {
  const ReadyState old = readyState_;
  readyState_ = state;
  auto& log = logger();
  if (log.isEnabledFor(logwell::LWLogLevel::info))
    log.info({name(old), "=>", name(state)}, __FILE__, "readyState", __LINE__);
}

void RTMPConnection::setChunkSizeS(uint32_t size) {
  if (size == chunkSizeS_) return;
  chunkSizeS_ = size;
  outputBuffer_.setChunkSize(size);
}

// Connecting

Async<RTMPResponse> RTMPConnection::connect(std::string command, AMFList arguments) {
  co_await hop();
  if (connected_.value() || connecting_) throw Error::invalidState();
  auto url = connectURL(command);
  if (!url) throw Error::unsupportedCommand(command);
  connecting_ = true;
  connectAborted_ = false;
  arguments_ = std::move(arguments);

  std::string current = command;
  int authenticationSteps = 0;
  std::optional<RTMPResponse> response;
  std::exception_ptr failure;
  while (true) {
    failure = nullptr;
    try {
      response = co_await attempt(*url);
    } catch (...) {
      failure = std::current_exception();
    }
    if (connectAborted_ && response) {
      response.reset();
      failure = std::make_exception_ptr(Error::requestFailed(RTMPResponse()));
    }
    if (response || connectAborted_) break;
    const auto status = rejection(failure);
    if (!status || authenticationSteps >= kMaxAuthenticationSteps) break;
    const auto next = authenticator_.makeCommand(current, *status);
    if (!next) break;
    const auto nextURL = connectURL(*next);
    if (!nextURL) break;
    ++authenticationSteps;
    current = *next;
    url = nextURL;
    // The rejected attempt's socket goes before the next one opens.
    co_await retireAttempt();
    if (connectAborted_) break;
  }

  if (!response) {
    co_await retireAttempt();
    connecting_ = false;
    std::rethrow_exception(connectError(failure));
  }

  if (networkMonitor_) {
    auto events = co_await networkMonitor_->event();
    monitorTask_.cancel();
    monitorTask_ = platform::spawn(queue(), &RTMPConnection::monitorLoop, weak_from_this(), std::move(events));
  }
  std::vector<std::shared_ptr<RTMPStreamDelegate>> streams;
  for (const auto& entry : streams_) streams.push_back(entry.stream);
  for (const auto& stream : streams) {
    co_await stream->dispatch(medley::NetworkMonitorEvent::reset());
    co_await stream->createStream();
  }
  connecting_ = false;
  co_return *response;
}

Async<RTMPResponse> RTMPConnection::attempt(RTMPConnectionURL url) {
  const bool secure = url.scheme() == "rtmps";
  const std::string host = *url.host();
  const int port = url.port().value_or(secure ? defaultSecurePort : defaultPort);
  uri_ = std::move(url);
  handshake_.reset();
  reader_.reset();
  sequence_ = 0;
  setReadyState(ReadyState::uninitialized);
  setChunkSizeS(RTMPChunkBuffer::kDefaultChunkSize);
  currentTransactionId_ = 1;

  const uint64_t generation = ++generation_;
  socket_ = std::make_shared<RTMPSocket>(
      qualityOfService_, secure ? RTMPSocket::SecurityLevel::negotiatedSSL : RTMPSocket::SecurityLevel::none,
      runtime(), timeout_);
  networkMonitor_ = std::make_shared<medley::NetworkMonitor>(socket_, runtime());
  co_return co_await platform::withContinuation<RTMPResponse>(
      [this, generation, &host, port](Continuation<RTMPResponse> c) {
        const uint64_t serial = ++operationSerial_;
        Operation operation{std::move(c), serial, {}};
        if (timeout_ > 0)
          operation.timeout = platform::spawn(queue(), &RTMPConnection::expireOperation, weak_from_this(),
                                              RTMPConnectCommand::kTransactionId, serial,
                                              platform::seconds(timeout_), true);
        operations_[RTMPConnectCommand::kTransactionId] = std::move(operation);
        platform::spawnDetached(queue(), &RTMPConnection::receiveLoop, weak_from_this(), socket_, generation, host,
                                port);
      });
}

// Leaves no transport of the current attempt behind, reporting nothing.
Async<void> RTMPConnection::retireAttempt() {
  ++generation_;
  if (auto operation = takeOperation(RTMPConnectCommand::kTransactionId))
    operation->continuation.resumeThrowing(Error::requestFailed(RTMPResponse()));
  monitorTask_.cancel();
  if (readyState_ != ReadyState::uninitialized) setReadyState(ReadyState::uninitialized);
  if (connected_.value()) connected_.set(false);
  auto socket = socket_;
  auto monitor = networkMonitor_;
  if (socket) co_await socket->close();
  if (monitor) co_await monitor->stopRunning();
}

void RTMPConnection::failConnectWait(uint64_t generation, std::exception_ptr error) {
  if (generation != generation_) return;
  if (auto operation = takeOperation(RTMPConnectCommand::kTransactionId)) {
    ++generation_;
    operation->continuation.resume(std::move(error));
  }
}

Async<void> RTMPConnection::receiveLoop(std::weak_ptr<RTMPConnection> weak, std::shared_ptr<RTMPSocket> socket,
                                        uint64_t generation, std::string host, int port) {
  std::exception_ptr failure;
  try {
    co_await socket->connect(host, port);
  } catch (...) {
    failure = std::current_exception();
  }
  auto self = weak.lock();
  if (!self) co_return;
  co_await self->hop();
  if (failure) {
    self->failConnectWait(generation, failure);
    co_return;
  }
  if (generation != self->generation_) {
    co_await socket->close();
    co_return;
  }
  self->setReadyState(ReadyState::versionSent);
  socket->send(self->handshake_.c0c1());
  auto received = co_await socket->recv();
  socket.reset();
  self.reset();
  // The connection is held only while a block is handled.
  while (auto block = co_await received.next()) {
    auto connection = weak.lock();
    if (!connection) co_return;
    if (!co_await connection->receive(generation, std::move(*block))) co_return;
  }
  if (auto connection = weak.lock()) co_await connection->transportEnded(generation);
}

Async<bool> RTMPConnection::receive(uint64_t generation, medley::Data data) {
  co_await hop();
  if (generation != generation_) co_return false;
  std::exception_ptr failure;
  try {
    co_await listen(std::move(data));
  } catch (...) {
    failure = std::current_exception();
  }
  if (!failure) co_return generation == generation_;
  try {
    std::rethrow_exception(failure);
  } catch (const std::exception& e) {
    RTMP_LOG_ERROR("receiving failed:", e.what());
  } catch (...) {
  }
  if (generation == generation_) co_await closeQuietly();
  co_return false;
}

Async<void> RTMPConnection::transportEnded(uint64_t generation) {
  co_await hop();
  if (generation != generation_) co_return;
  co_await closeQuietly();
}

Async<void> RTMPConnection::monitorLoop(std::weak_ptr<RTMPConnection> weak,
                                        platform::AsyncStream<medley::NetworkMonitorEvent> events) {
  while (auto event = co_await events.next()) {
    auto self = weak.lock();
    if (!self) co_return;
    co_await self->dispatch(std::move(*event));
  }
}

// Commands

Async<RTMPResponse> RTMPConnection::call(std::string commandName, AMFList arguments) {
  co_await hop();
  if (!connected_.value()) throw Error::invalidState();
  co_return co_await platform::withContinuation<RTMPResponse>(
      [this, &commandName, &arguments](Continuation<RTMPResponse> c) {
        const int64_t transactionId = ++currentTransactionId_;
        const RTMPCommandMessage message(0, 0, objectEncoding_, std::move(commandName), transactionId, std::nullopt,
                                         std::move(arguments));
        const uint64_t serial = ++operationSerial_;
        Operation operation{std::move(c), serial,
                            platform::spawn(queue(), &RTMPConnection::expireOperation, weak_from_this(),
                                            transactionId, serial, millisecondsToNanos(requestTimeout_), false)};
        operations_[transactionId] = std::move(operation);
        output(RTMPChunkType::zero, RTMPChunkStreamId::command, message);
      });
}

Async<void> RTMPConnection::expireOperation(std::weak_ptr<RTMPConnection> weak, int64_t transactionId,
                                            uint64_t serial, platform::Nanos after, bool isConnect) {
  try {
    co_await platform::sleepFor(after);
  } catch (const platform::CancellationError&) {
    co_return;
  }
  auto self = weak.lock();
  if (!self) co_return;
  co_await self->hop();
  auto it = self->operations_.find(transactionId);
  // Only the wait it was armed for.
  if (it == self->operations_.end() || it->second.serial != serial) co_return;
  auto operation = std::move(it->second);
  self->operations_.erase(it);
  if (isConnect) {
    ++self->generation_;
    operation.continuation.resumeThrowing(Error::connectionTimedOut());
  } else {
    operation.continuation.resumeThrowing(Error::requestTimedOut());
  }
}

std::optional<RTMPConnection::Operation> RTMPConnection::takeOperation(int64_t transactionId) {
  auto it = operations_.find(transactionId);
  if (it == operations_.end()) return std::nullopt;
  Operation operation = std::move(it->second);
  operations_.erase(it);
  operation.timeout.cancel();
  return operation;
}

void RTMPConnection::failOperations(const RTMPStatus& status) {
  auto operations = std::move(operations_);
  operations_.clear();
  for (auto& [id, operation] : operations) {
    operation.timeout.cancel();
    RTMPResponse response;
    response.status = status;
    operation.continuation.resumeThrowing(Error::requestFailed(std::move(response)));
  }
}

// Closing

Async<void> RTMPConnection::close() {
  co_await hop();
  if (closing_) {
    co_await platform::withContinuation<void>([this](Continuation<void> c) { closeWaiters_.push_back(std::move(c)); });
    co_return;
  }
  const bool connectUnderWay = connecting_ && !connected_.value();
  if (readyState_ == ReadyState::uninitialized && !connectUnderWay) throw Error::invalidState();
  closing_ = true;
  std::optional<Operation> connectWait;
  if (connectUnderWay) {
    // Nothing of the attempt may go on while the streams are taken down.
    connectAborted_ = true;
    connectWait = takeOperation(RTMPConnectCommand::kTransactionId);
    ++generation_;
  }
  uri_.reset();

  std::vector<std::shared_ptr<RTMPStreamDelegate>> streams;
  for (const auto& entry : streams_) streams.push_back(entry.stream);
  for (const auto& stream : streams) {
    try {
      if (co_await stream->fcPublishName())
        co_await stream->unpublishOnClose();
      else
        co_await stream->close();
    } catch (...) {
      // A stream that cannot be taken down does not keep the connection up.
    }
  }

  ++generation_;
  if (!connectWait) connectWait = takeOperation(RTMPConnectCommand::kTransactionId);
  monitorTask_.cancel();
  if (auto socket = socket_) co_await socket->close();
  if (auto monitor = networkMonitor_) co_await monitor->stopRunning();
  connected_.set(false);
  const Code code = readyState_ == ReadyState::handshakeDone ? Code::connectClosed : Code::connectFailed;
  setReadyState(ReadyState::uninitialized);
  const RTMPStatus status = makeStatus(code);
  // Commands still waiting belong to this connection: they end with it.
  failOperations(status);
  if (connectWait) {
    RTMPResponse response;
    response.status = status;
    connectWait->continuation.resumeThrowing(Error::requestFailed(std::move(response)));
  } else {
    statusContinuation_.yield(status);
  }
  closing_ = false;
  auto waiters = std::move(closeWaiters_);
  closeWaiters_.clear();
  for (auto& waiter : waiters) waiter.resume();
}

Async<void> RTMPConnection::closeQuietly() {
  try {
    co_await close();
  } catch (const Error&) {
    // Already closed.
  }
}

// Streams and state

Async<bool> RTMPConnection::connected() {
  co_await hop();
  co_return connected_.value();
}

Async<void> RTMPConnection::addStream(std::shared_ptr<RTMPStreamDelegate> stream) {
  co_await hop();
  auto [inbox, writer] = platform::AsyncStream<StreamDelivery>::make();
  auto pump = platform::spawn(runtime()->globalQueue(), &RTMPConnection::pumpLoop, stream, std::move(inbox));
  streams_.push_back(StreamEntry{stream, std::move(writer), std::move(pump)});
  if (connected_.value()) co_await stream->createStream();
}

Async<std::vector<std::shared_ptr<RTMPStreamDelegate>>> RTMPConnection::streams() {
  co_await hop();
  std::vector<std::shared_ptr<RTMPStreamDelegate>> out;
  for (const auto& entry : streams_) out.push_back(entry.stream);
  co_return out;
}

// One stream's messages and events, one after another, in the order they came.
Async<void> RTMPConnection::pumpLoop(std::shared_ptr<RTMPStreamDelegate> stream,
                                     platform::AsyncStream<StreamDelivery> inbox) {
  while (auto delivery = co_await inbox.next()) {
    try {
      if (delivery->event) {
        co_await stream->dispatch(std::move(*delivery->event));
      } else if (co_await stream->id() == delivery->target) {
        co_await stream->dispatch(std::move(delivery->message), delivery->type);
      }
    } catch (const std::exception& e) {
      RTMP_LOG_ERROR("a stream failed on a delivery:", e.what());
    }
  }
}

Async<std::optional<RTMPConnectionURL>> RTMPConnection::uri() {
  co_await hop();
  co_return uri_;
}

Async<platform::AsyncStream<RTMPStatus>> RTMPConnection::status() {
  co_await hop();
  co_return statusContinuation_.makeStream();
}

Async<void> RTMPConnection::setSharedObjectHandler(SharedObjectHandler handler) {
  co_await hop();
  sharedObjectHandler_ = std::move(handler);
}

Async<void> RTMPConnection::setObjectEncoding(RTMPObjectEncoding encoding) {
  co_await hop();
  objectEncoding_ = encoding;
}

Async<RTMPConnection::Snapshot> RTMPConnection::snapshot() {
  co_await hop();
  Snapshot s;
  s.readyState = readyState_;
  s.connected = connected_.value();
  if (uri_) s.uri = uri_->withoutCredentials();
  s.objectEncoding = objectEncoding_;
  s.chunkSizeC = reader_.chunkSize();
  s.chunkSizeS = chunkSizeS_;
  s.windowSizeC = windowSizeC_;
  s.windowSizeS = windowSizeS_;
  s.bandWidth = bandWidth_;
  s.sequence = sequence_;
  s.currentTransactionId = currentTransactionId_;
  s.operations = operations_.size();
  s.streams = streams_.size();
  s.hasSocket = socket_ != nullptr;
  co_return s;
}

Async<std::shared_ptr<RTMPSocket>> RTMPConnection::socket() {
  co_await hop();
  co_return socket_;
}

std::shared_ptr<RTMPCommandMessage> RTMPConnection::makeConnectCommand() {
  RTMPConnectCommand command;
  command.objectEncoding = objectEncoding_;
  command.flashVer = flashVer_;
  command.swfUrl = swfUrl_;
  command.pageUrl = pageUrl_;
  command.fourCcList = fourCcList_;
  command.videoFourCcInfoMap = videoFourCcInfoMap_;
  command.audioFourCcInfoMap = audioFourCcInfoMap_;
  command.capsEx = capsEx_;
  command.arguments = arguments_;
  return command.makeMessage(uri_);
}

}  // namespace rtmpmedley
