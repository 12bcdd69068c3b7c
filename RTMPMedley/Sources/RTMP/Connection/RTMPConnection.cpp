#include "RTMPMedley/Sources/RTMP/Connection/RTMPConnection.h"

#include <limits>

#include "Medley/Sources/Util/MedleyLogger.h"
#include "RTMPMedley/Sources/RTMP/Connection/RTMPConnectCommand.h"
#include "RTMPMedley/Sources/RTMP/Util/RTMPMedleyLogger.h"

namespace rtmpmedley {

using platform::Async;
using platform::Continuation;

namespace {

constexpr int64_t kConnectTransactionId = RTMPConnectCommand::kTransactionId;

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
  } catch (const RTMPTransport::Error& e) {
    if (e.kind() == RTMPTransport::Error::Kind::connectionTimedOut)
      return std::make_exception_ptr(RTMPConnection::Error::connectionTimedOut());
    return std::make_exception_ptr(RTMPConnection::Error::socketErrorOccurred(
        e.kind() == RTMPTransport::Error::Kind::connectionNotEstablished ? e.networkError() : std::nullopt));
  } catch (...) {
    return error;
  }
}

RTMPResponse responseWith(RTMPStatus status) {
  RTMPResponse response;
  response.status = std::move(status);
  return response;
}

}  // namespace

RTMPConnection::RTMPConnection(Settings settings, std::shared_ptr<platform::Runtime> runtime)
    : Actor(makeQueue(settings.qualityOfService, std::move(runtime))),
      settings_(std::move(settings)),
      operations_(queue()) {}

RTMPConnection::~RTMPConnection() {
  // Streams first: their inboxes end and their pumps let go of them.
  streams_.clear();
  monitorTask_.cancel();
}

std::shared_ptr<RTMPConnection> RTMPConnection::make(std::shared_ptr<platform::Runtime> runtime) {
  return std::make_shared<RTMPConnection>(Settings{}, std::move(runtime));
}

void RTMPConnection::setReadyState(ReadyState state) {
  const ReadyState old = readyState_;
  readyState_ = state;
  auto& log = logger();
  if (log.isEnabledFor(logwell::LWLogLevel::info))
    log.info({name(old), "=>", name(state)}, __FILE__, "readyState", __LINE__);
}

RTMPStatus RTMPConnection::closingStatus() const {
  return makeStatus(readyState_ == ReadyState::handshakeDone ? Code::connectClosed : Code::connectFailed);
}

// Connecting

Async<RTMPResponse> RTMPConnection::connect(std::string command, AMFList arguments) {
  co_await hop();
  // A close under way (after the transport ended, `connected` is already
  // false) finishes before anything new starts.
  while (closing_)
    co_await platform::withContinuation<void>([this](Continuation<void> c) { closeWaiters_.push_back(std::move(c)); });
  adoptAttachedStreams();
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
    refusal_.reset();
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
    // Every step starts again from the URL as given, so nothing of an earlier
    // answer is carried twice; an answer that changes nothing ends the login.
    const auto next = authenticator_.makeCommand(command, *status);
    if (!next || *next == current) break;
    const auto nextURL = connectURL(*next);
    if (!nextURL) break;
    ++authenticationSteps;
    current = *next;
    url = nextURL;
    // The rejected attempt's transport goes before the next one opens.
    co_await retireAttempt();
    if (connectAborted_) break;
  }

  if (!response) {
    co_await retireAttempt();
    connecting_ = false;
    // The refusal that ends the login is reported; those it answered are not.
    if (auto refused = std::exchange(refusal_, std::nullopt); refused && !connectAborted_) yieldStatus(*refused);
    std::rethrow_exception(connectError(failure));
  }

  if (auto monitor = networkMonitor_) {
    auto events = co_await monitor->event();
    if (connected_.value()) {
      monitorTask_.cancel();
      monitorTask_ = platform::spawn(queue(), &RTMPConnection::monitorLoop, weak_from_this(), std::move(events));
    }
  }
  co_await createStreams();
  connecting_ = false;
  // Closed while the streams were being created: the connect did not last.
  if (!connected_.value()) throw Error::requestFailed(responseWith(makeStatus(Code::connectClosed)));
  co_return *response;
}

// Each attached stream once, in attach order, those attached meanwhile included.
Async<void> RTMPConnection::createStreams() {
  for (size_t i = 0;; ++i) {
    adoptAttachedStreams();
    if (i >= streams_.size() || !connected_.value()) co_return;
    co_await createOnServer(streams_[i].stream, true);
  }
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
  closeOutput();
  {
    std::lock_guard lock(output_.mutex);
    output_.buffer.setChunkSize(RTMPChunkBuffer::kDefaultChunkSize);
  }
  chunkSizeS_ = RTMPChunkBuffer::kDefaultChunkSize;
  currentTransactionId_ = 1;
  accepted_ = false;

  const uint64_t generation = ++generation_;
  const auto& factory = settings_.makeTransport ? settings_.makeTransport : Settings::socketFactory();
  transport_ = factory(RTMPTransportOptions{secure, settings_.qualityOfService, settings_.timeout, runtime()});
  if (!transport_) throw Error::socketErrorOccurred(std::nullopt);
  networkMonitor_ = std::make_shared<medley::NetworkMonitor>(transport_, runtime());
  co_return co_await platform::withContinuation<RTMPResponse>(
      [this, generation, &host, port](Continuation<RTMPResponse> c) {
        operations_.add(kConnectTransactionId, std::move(c));
        platform::spawnDetached(queue(), &RTMPConnection::receiveLoop, weak_from_this(), transport_, generation, host,
                                port);
      });
}

// Leaves no transport of the current attempt behind, reporting nothing.
Async<void> RTMPConnection::retireAttempt() {
  ++generation_;
  if (auto wait = operations_.take(kConnectTransactionId)) wait->resumeThrowing(Error::requestFailed(RTMPResponse()));
  closeOutput();
  stopMonitor();
  if (readyState_ != ReadyState::uninitialized) setReadyState(ReadyState::uninitialized);
  if (connected_.value()) connected_.set(false);
  auto transport = transport_;
  auto monitor = networkMonitor_;
  if (transport) co_await transport->close();
  if (monitor) co_await monitor->stopRunning();
}

void RTMPConnection::failConnectWait(uint64_t generation, std::exception_ptr error) {
  if (generation != generation_) return;
  if (auto wait = operations_.take(kConnectTransactionId)) {
    ++generation_;
    wait->resume(std::move(error));
  }
}

Async<void> RTMPConnection::receiveLoop(std::weak_ptr<RTMPConnection> weak, std::shared_ptr<RTMPTransport> transport,
                                        uint64_t generation, std::string host, int port) {
  std::exception_ptr failure;
  try {
    co_await transport->connect(host, port);
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
    co_await transport->close();
    co_return;
  }
  self->setReadyState(ReadyState::versionSent);
  transport->send(self->handshake_.c0c1());
  // The transport is up: the handshake and the answer to "connect" get a bound of their own.
  if (const auto timeout = self->settings_.timeout.count(); timeout > 0) {
    auto retire = [weak, generation] {
      // Whatever the timed-out attempt still brings concerns nobody.
      if (auto connection = weak.lock(); connection && connection->generation_ == generation)
        ++connection->generation_;
    };
    self->operations_.expireAfter(kConnectTransactionId, timeout,
                                  std::make_exception_ptr(Error::requestTimedOut()), std::move(retire));
  }
  auto received = co_await transport->recv();
  transport.reset();
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
  // Nothing can be sent any more and nothing will be answered: the streams'
  // teardown must not wait for answers, and no further monitor event goes out.
  closeOutput();
  stopMonitor();
  if (connected_.value()) connected_.set(false);
  operations_.failAll(std::make_exception_ptr(Error::requestFailed(responseWith(closingStatus()))),
                      kConnectTransactionId);
  co_await closeQuietly();
}

void RTMPConnection::stopMonitor() { monitorTask_.cancel(); }

Async<void> RTMPConnection::monitorLoop(std::weak_ptr<RTMPConnection> weak,
                                        platform::AsyncStream<medley::NetworkMonitorEvent> events) {
  while (auto event = co_await events.next()) {
    auto self = weak.lock();
    if (!self) co_return;
    co_await self->dispatch(std::move(*event));
  }
}

// Commands

int64_t RTMPConnection::sendCommand(std::string commandName, AMFList arguments) {
  const int64_t transactionId = ++currentTransactionId_;
  output(RTMPChunkType::zero, RTMPChunkStreamId::command,
         RTMPCommandMessage(0, 0, objectEncoding_, std::move(commandName), transactionId, std::nullopt,
                            std::move(arguments)));
  return transactionId;
}

Async<RTMPResponse> RTMPConnection::call(std::string commandName, AMFList arguments) {
  co_await hop();
  if (!connected_.value()) throw Error::invalidState();
  // No server answers it: waiting would only cost the request time-out.
  if (commandName == "deleteStream") {
    sendCommand(std::move(commandName), std::move(arguments));
    co_return RTMPResponse();
  }
  co_return co_await platform::withContinuation<RTMPResponse>(
      [this, &commandName, &arguments](Continuation<RTMPResponse> c) {
        const int64_t transactionId = currentTransactionId_ + 1;
        operations_.add(transactionId, std::move(c));
        if (settings_.requestTimeout.count() > 0)
          operations_.expireAfter(transactionId, settings_.requestTimeout.count(),
                                  std::make_exception_ptr(Error::requestTimedOut()));
        sendCommand(std::move(commandName), std::move(arguments));
      });
}

Async<void> RTMPConnection::callWithoutAnswer(std::string commandName, AMFList arguments) {
  co_await hop();
  if (!connected_.value()) throw Error::invalidState();
  sendCommand(std::move(commandName), std::move(arguments));
}

// Closing

Async<void> RTMPConnection::close() {
  co_await hop();
  if (closing_) {
    co_await platform::withContinuation<void>([this](Continuation<void> c) { closeWaiters_.push_back(std::move(c)); });
    co_return;
  }
  adoptAttachedStreams();
  // Until the server accepts it; `connected` may already be false when the transport ended.
  const bool connectUnderWay = connecting_ && !accepted_;
  if (readyState_ == ReadyState::uninitialized && !connectUnderWay) throw Error::invalidState();
  closing_ = true;
  std::optional<RTMPPendingCommands::Wait> connectWait;
  if (connectUnderWay) {
    // Nothing of the attempt may go on while the streams are taken down.
    connectAborted_ = true;
    connectWait = operations_.take(kConnectTransactionId);
    ++generation_;
  }
  uri_.reset();
  stopMonitor();

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
  if (!connectWait) connectWait = operations_.take(kConnectTransactionId);
  closeOutput();
  if (auto transport = transport_) co_await transport->close();
  if (auto monitor = networkMonitor_) co_await monitor->stopRunning();
  if (connected_.value()) connected_.set(false);
  const RTMPStatus status = closingStatus();
  setReadyState(ReadyState::uninitialized);
  // Commands still waiting belong to this connection: they end with it, the
  // streams' own ones included.
  operations_.failAll(std::make_exception_ptr(Error::requestFailed(responseWith(status))));
  for (const auto& stream : streams) {
    try {
      co_await stream->connectionClosed(status);
    } catch (...) {
    }
  }
  if (connectWait)
    connectWait->resumeThrowing(Error::requestFailed(responseWith(status)));
  else
    yieldStatus(status);
  closing_ = false;
  auto waiters = std::move(closeWaiters_);
  closeWaiters_.clear();
  for (auto& waiter : waiters) waiter.resume();
}

Async<void> RTMPConnection::abort() {
  co_await hop();
  closeOutput();
  stopMonitor();
  auto transport = transport_;
  if (transport) co_await transport->abort();
  // Like an ended transport: the streams' teardown neither sends nor waits.
  if (connected_.value()) connected_.set(false);
  operations_.failAll(std::make_exception_ptr(Error::requestFailed(responseWith(closingStatus()))),
                      kConnectTransactionId);
  co_await closeQuietly();
}

Async<void> RTMPConnection::closeQuietly() {
  try {
    co_await close();
  } catch (const Error&) {
    // Already closed.
  }
}

// State

Async<bool> RTMPConnection::connected() {
  co_await hop();
  co_return connected_.value();
}

Async<std::optional<RTMPConnectionURL>> RTMPConnection::uri() {
  co_await hop();
  co_return uri_;
}

Async<platform::AsyncStream<RTMPStatus>> RTMPConnection::status() {
  co_await hop();
  std::erase_if(abandonedStatusWriters_, [](const auto& writer) { return writer.isTerminated(); });
  if (statusContinuation_) abandonedStatusWriters_.push_back(std::move(*statusContinuation_));
  auto [stream, writer] = platform::AsyncStream<RTMPStatus>::make();
  statusContinuation_ = std::move(writer);
  co_return std::move(stream);
}

void RTMPConnection::yieldStatus(const RTMPStatus& status) {
  if (statusContinuation_) statusContinuation_->yield(status);
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
  adoptAttachedStreams();
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
  s.hasSocket = transport_ != nullptr;
  co_return s;
}

Async<std::shared_ptr<RTMPTransport>> RTMPConnection::transport() {
  co_await hop();
  co_return transport_;
}

Async<std::shared_ptr<RTMPSocket>> RTMPConnection::socket() {
  co_await hop();
  co_return std::dynamic_pointer_cast<RTMPSocket>(transport_);
}

std::shared_ptr<RTMPCommandMessage> RTMPConnection::makeConnectCommand() {
  RTMPConnectCommand command;
  command.objectEncoding = objectEncoding_;
  command.flashVer = settings_.flashVer;
  command.swfUrl = settings_.swfUrl;
  command.pageUrl = settings_.pageUrl;
  command.fourCcList = settings_.fourCcList;
  command.videoFourCcInfoMap = settings_.videoFourCcInfoMap;
  command.audioFourCcInfoMap = settings_.audioFourCcInfoMap;
  command.capsEx = settings_.capsEx;
  command.arguments = arguments_;
  return command.makeMessage(uri_);
}

}  // namespace rtmpmedley
