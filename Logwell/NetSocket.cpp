#include "Logwell/NetSocket.h"

#include <limits>

#include "Logwell/LWIdentifiers.h"
#include "Platform/Net/TcpConnection.h"

namespace logwell {
namespace {
constexpr uint64_t kCurrent = 0;  // closes whatever connection is current

std::string label(const char* suffix) { return std::string(kLibraryIdentifierPrefix) + ".Medley.NetSocket." + suffix; }
}  // namespace

std::shared_ptr<NetSocket> NetSocket::make(std::shared_ptr<platform::Runtime> runtime) {
  return std::make_shared<NetSocket>(std::move(runtime));
}

NetSocket::NetSocket(std::shared_ptr<platform::Runtime> runtime)
    : inputQueue_(platform::SerialQueue::make(label("input"), runtime)),
      outputQueue_(platform::SerialQueue::make(label("output"), runtime)) {}

NetSocket::~NetSocket() {
  std::shared_ptr<platform::TcpConnection> connection;
  {
    std::lock_guard lock(mutex_);
    connection = std::move(connection_);
  }
  if (connection) connection->cancel();
}

int64_t NetSocket::timeout() const {
  std::lock_guard lock(mutex_);
  return timeout_;
}
void NetSocket::setTimeout(int64_t seconds) {
  std::lock_guard lock(mutex_);
  timeout_ = seconds;
}
size_t NetSocket::windowSizeC() const {
  std::lock_guard lock(mutex_);
  return windowSizeC_;
}
void NetSocket::setWindowSizeC(size_t bytes) {
  std::lock_guard lock(mutex_);
  windowSizeC_ = bytes == 0 ? 1 : bytes;
}
NetSocket::SecurityLevel NetSocket::securityLevel() const {
  std::lock_guard lock(mutex_);
  return securityLevel_;
}
void NetSocket::setSecurityLevel(SecurityLevel level) {
  std::lock_guard lock(mutex_);
  securityLevel_ = level;
}
void NetSocket::setTimeoutHandler(std::function<void()> handler) {
  std::lock_guard lock(mutex_);
  timeoutHandler_ = std::move(handler);
}
bool NetSocket::connected() const {
  std::lock_guard lock(mutex_);
  return connected_;
}
std::vector<uint8_t> NetSocket::inputBuffer() const {
  std::lock_guard lock(mutex_);
  return inputBuffer_;
}

void NetSocket::connect(std::string host, int port) {
  std::weak_ptr<NetSocket> weak = weak_from_this();
  inputQueue_->async([weak, target = Target{std::move(host), port}] {
    if (auto self = weak.lock()) self->runConnection(target);
  });
}

void NetSocket::runConnection(Target target) {
  std::weak_ptr<NetSocket> weak = weak_from_this();
  std::shared_ptr<platform::TcpConnection> connection;
  uint64_t generation;
  int64_t timeout;
  {
    std::lock_guard lock(mutex_);
    if (connection_) {
      pending_ = std::move(target);
      return;
    }
    generation = ++generation_;
    timeout = timeout_;
    inputBuffer_.clear();
    connected_ = false;
    // The opening is bounded: a connection that has not opened in time is closed.
    timeoutHandler_ = [weak, generation] {
      if (auto self = weak.lock()) self->closeConnection(generation);
    };
    constexpr int64_t kMaxSeconds = std::numeric_limits<int64_t>::max() / platform::kNanosPerSecond;
    platform::TcpConnection::Options options;
    options.tls = securityLevel_ == SecurityLevel::tls;
    options.connectTimeout = timeout > 0 && timeout <= kMaxSeconds ? timeout * platform::kNanosPerSecond : 0;
    options.maxReceiveBlock = windowSizeC_;
    connection = platform::TcpConnection::make(target.host, target.port, options, inputQueue_);
    connection_ = connection;
  }
  connection->setStateHandler([weak, generation](platform::TcpConnection::State state,
                                                 const std::optional<platform::TcpError>&) {
    auto self = weak.lock();
    if (!self) return;
    using State = platform::TcpConnection::State;
    if (state == State::ready) {
      self->handleReady(generation);
    } else if (state == State::failed || state == State::waiting) {
      self->outputQueue_->async([weak, generation] {
        if (auto s = weak.lock()) s->closeConnection(generation);
      });
    }
  });
  connection->setReceiveHandler([weak, generation](std::span<const uint8_t> block) {
    if (auto self = weak.lock()) self->handleReceived(generation, block);
  });
  connection->setEndOfStreamHandler([weak, generation] {
    auto self = weak.lock();
    if (!self) return;
    self->outputQueue_->async([weak, generation] {
      if (auto s = weak.lock()) s->closeConnection(generation);
    });
  });
  connection->start();
  if (timeout > 0 && timeout <= std::numeric_limits<int64_t>::max() / platform::kNanosPerSecond) {
    outputQueue_->asyncAfter(timeout * platform::kNanosPerSecond, [weak, generation] {
      if (auto self = weak.lock()) self->timeoutCheck(generation);
    });
  }
}

void NetSocket::handleReady(uint64_t generation) {
  std::lock_guard lock(mutex_);
  if (generation != generation_ || !connection_) return;
  connected_ = true;
  timeoutHandler_ = nullptr;
}

void NetSocket::handleReceived(uint64_t generation, std::span<const uint8_t> block) {
  std::lock_guard lock(mutex_);
  if (generation != generation_ || !connection_) return;
  inputBuffer_.insert(inputBuffer_.end(), block.begin(), block.end());
}

void NetSocket::timeoutCheck(uint64_t generation) {
  std::function<void()> handler;
  {
    std::lock_guard lock(mutex_);
    if (generation != generation_ || !connection_) return;
    handler = timeoutHandler_;
  }
  if (handler) handler();
}

void NetSocket::closeConnection(uint64_t generation) {
  std::shared_ptr<platform::TcpConnection> connection;
  std::optional<Target> pending;
  {
    std::lock_guard lock(mutex_);
    if (!connection_ || (generation != kCurrent && generation != generation_)) return;
    connection = std::move(connection_);
    connection_.reset();
    connected_ = false;
    timeoutHandler_ = nullptr;
    pending = std::move(pending_);
    pending_.reset();
  }
  connection->cancel();
  if (pending) {
    std::weak_ptr<NetSocket> weak = weak_from_this();
    inputQueue_->async([weak, target = std::move(*pending)] {
      if (auto self = weak.lock()) self->runConnection(target);
    });
  }
}

size_t NetSocket::write(std::span<const uint8_t> bytes) {
  std::weak_ptr<NetSocket> weak = weak_from_this();
  outputQueue_->async([weak, copy = std::vector<uint8_t>(bytes.begin(), bytes.end())]() mutable {
    auto self = weak.lock();
    if (!self) return;
    std::shared_ptr<platform::TcpConnection> connection;
    {
      std::lock_guard lock(self->mutex_);
      if (self->connected_) connection = self->connection_;
    }
    // One send per write: the connection writes it whole or ends.
    if (connection) connection->send(std::move(copy));
  });
  return bytes.size();
}

void NetSocket::close() {
  std::weak_ptr<NetSocket> weak = weak_from_this();
  outputQueue_->async([weak] {
    if (auto self = weak.lock()) self->closeConnection(kCurrent);
  });
}

}  // namespace logwell
