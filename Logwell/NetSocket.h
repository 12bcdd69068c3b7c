#pragma once
// A small TCP (or TLS) client stream for the socket appender. Connection set-up
// and every connection event run on its input queue; writes, closing and the
// opening time-out check run on its output queue, so a writer never waits for
// the network. Every write is sent whole or not at all: a record is never cut.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "Platform/Dispatch/SerialQueue.h"

namespace platform {
class TcpConnection;
}

namespace logwell {

class NetSocket : public std::enable_shared_from_this<NetSocket> {
 public:
  enum class SecurityLevel { none, tls };

  static std::shared_ptr<NetSocket> make(std::shared_ptr<platform::Runtime> runtime = platform::Runtime::shared());
  explicit NetSocket(std::shared_ptr<platform::Runtime> runtime);
  ~NetSocket();
  NetSocket(const NetSocket&) = delete;
  NetSocket& operator=(const NetSocket&) = delete;

  // Set before connect(). Seconds the opening may take; 0 or less: unbounded.
  int64_t timeout() const;
  void setTimeout(int64_t seconds);
  // Largest block read from the connection at once.
  size_t windowSizeC() const;
  void setWindowSizeC(size_t bytes);
  SecurityLevel securityLevel() const;
  void setSecurityLevel(SecurityLevel level);
  // Called by the time-out check when the connection has not opened in time.
  // connect() installs one that closes the opening connection.
  void setTimeoutHandler(std::function<void()> handler);

  // True from the connection's opening until it ends.
  bool connected() const;
  // Bytes received from the peer since the last connect.
  std::vector<uint8_t> inputBuffer() const;

  // Returns at once. A connect while a connection runs starts once that one ended.
  void connect(std::string host, int port);
  // Queues a copy of the bytes for sending and returns their count. Bytes written
  // while no connection is open are dropped.
  size_t write(std::span<const uint8_t> bytes);
  // Returns at once; closing a socket that is not connected does nothing.
  void close();

  const std::shared_ptr<platform::SerialQueue>& inputQueue() const { return inputQueue_; }
  const std::shared_ptr<platform::SerialQueue>& outputQueue() const { return outputQueue_; }

 private:
  struct Target {
    std::string host;
    int port;
  };
  void runConnection(Target target);
  void handleReady(uint64_t generation);
  void handleReceived(uint64_t generation, std::span<const uint8_t> block);
  void closeConnection(uint64_t generation);  // on outputQueue_
  void timeoutCheck(uint64_t generation);     // on outputQueue_

  const std::shared_ptr<platform::SerialQueue> inputQueue_;
  const std::shared_ptr<platform::SerialQueue> outputQueue_;

  mutable std::mutex mutex_;
  int64_t timeout_ = 15;
  size_t windowSizeC_ = 65535;
  SecurityLevel securityLevel_ = SecurityLevel::none;
  std::function<void()> timeoutHandler_;
  bool connected_ = false;
  std::vector<uint8_t> inputBuffer_;
  std::shared_ptr<platform::TcpConnection> connection_;
  uint64_t generation_ = 0;           // of the current connection; events of older ones are ignored
  std::optional<Target> pending_;     // a connect waiting for the current connection to end
};

}  // namespace logwell
