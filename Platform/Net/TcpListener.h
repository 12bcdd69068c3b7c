#pragma once
// A small blocking TCP (optionally TLS) server for tests and tools: listen on a
// loopback port, accept connections one at a time with a time-out, read and write
// them with blocking calls. Run it on a thread of its own. Making a listener sets
// SIGPIPE to be ignored in the process (a peer that goes away must not end it).
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/Time/HostClock.h"

namespace platform {

// One accepted connection. Not thread-safe: use it from one thread at a time
// (close() and shutdownWrite() may be called from another thread to unblock it).
class TcpStream {
 public:
  ~TcpStream();
  TcpStream(const TcpStream&) = delete;
  TcpStream& operator=(const TcpStream&) = delete;

  // Reads up to `size` bytes: the count (> 0), 0 at end of stream, -1 on an error
  // or when `timeout` (< 0: none) passed without data.
  long read(void* buffer, size_t size, Nanos timeout = -1);
  // Reads exactly `size` bytes; false on end of stream, error or time-out.
  bool readExactly(void* buffer, size_t size, Nanos timeout = -1);
  // Reads until end of stream (or `limit` bytes, error, time-out).
  std::vector<uint8_t> readToEnd(Nanos timeout = -1, size_t limit = 64 * 1024 * 1024);
  // Reads up to and including `delimiter`; empty when it did not come.
  std::string readUntil(std::string_view delimiter, Nanos timeout = -1, size_t limit = 1 << 20);
  // Writes everything; false on an error.
  bool write(const void* data, size_t size);
  bool write(std::string_view text) { return write(text.data(), text.size()); }
  bool write(const std::vector<uint8_t>& bytes) { return write(bytes.data(), bytes.size()); }

  void shutdownWrite();
  // Resets the connection instead of closing it cleanly (SO_LINGER 0).
  void abort();
  void close();

  uint16_t peerPort() const;
  struct Impl;

 private:
  friend class TcpListener;
  explicit TcpStream(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

class TcpListener {
 public:
  struct Options {
    std::string address = "127.0.0.1";
    uint16_t port = 0;  // 0: a free port
    int backlog = 16;
    // > 0: the kernel's receive buffer per connection (a peer that takes bytes slowly).
    int receiveBufferBytes = 0;
    // Both set: connections are TLS (PEM files).
    std::optional<std::filesystem::path> certificateFile;
    std::optional<std::filesystem::path> privateKeyFile;
  };

  // Throws std::runtime_error when the address cannot be bound or the TLS files
  // cannot be loaded.
  static std::unique_ptr<TcpListener> make(Options options);
  static std::unique_ptr<TcpListener> make() { return make(Options{}); }
  ~TcpListener();
  TcpListener(const TcpListener&) = delete;
  TcpListener& operator=(const TcpListener&) = delete;

  uint16_t port() const;
  const std::string& address() const;
  // The next connection (TLS handshake done), or null after `timeout` (< 0: none),
  // a failed handshake, or close().
  std::unique_ptr<TcpStream> accept(Nanos timeout = -1);
  void close();

  struct Impl;

 private:
  explicit TcpListener(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace platform
