#include "Platform/Net/TcpListener.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace platform {

namespace {

// Milliseconds left until `deadline` for poll(): -1 without one.
int pollTimeout(Nanos deadline) {
  if (deadline < 0) return -1;
  Nanos left = deadline - monotonicNow();
  if (left <= 0) return 0;
  return static_cast<int>(std::min<Nanos>((left + 999'999) / 1'000'000, 1'000'000'000));
}

Nanos deadlineFor(Nanos timeout) { return timeout < 0 ? -1 : monotonicNow() + timeout; }

// Waits until the descriptor is ready for `events`; false on time-out or error.
bool waitFor(int fd, short events, Nanos deadline) {
  for (;;) {
    pollfd p{fd, events, 0};
    int r = ::poll(&p, 1, pollTimeout(deadline));
    if (r > 0) return true;
    if (r == 0) return false;
    if (errno != EINTR) return false;
  }
}

std::string sslErrors() {
  std::string text;
  while (unsigned long e = ERR_get_error()) {
    char buf[256];
    ERR_error_string_n(e, buf, sizeof buf);
    if (!text.empty()) text += "; ";
    text += buf;
  }
  return text;
}

}  // namespace

struct TcpStream::Impl {
  int fd = -1;
  SSL* ssl = nullptr;
  uint16_t peerPort = 0;

  ~Impl() {
    if (ssl) SSL_free(ssl);
    if (fd >= 0) ::close(fd);
  }

  // The bytes read (> 0), 0 at end of stream, -1 on error or time-out.
  long readSome(void* buffer, size_t size, Nanos deadline) {
    if (fd < 0) return -1;
    for (;;) {
      if (ssl) {
        size_t got = 0;
        int r = SSL_read_ex(ssl, buffer, size, &got);
        if (r == 1) return static_cast<long>(got);
        int err = SSL_get_error(ssl, r);
        if (err == SSL_ERROR_ZERO_RETURN) return 0;
        if (err == SSL_ERROR_WANT_READ) {
          if (!waitFor(fd, POLLIN, deadline)) return -1;
          continue;
        }
        if (err == SSL_ERROR_WANT_WRITE) {
          if (!waitFor(fd, POLLOUT, deadline)) return -1;
          continue;
        }
        // An end of stream without close_notify reads as the end as well.
        if (err == SSL_ERROR_SYSCALL && ERR_peek_error() == 0) return 0;
        ERR_clear_error();
        return -1;
      }
      ssize_t r = ::recv(fd, buffer, size, MSG_DONTWAIT);
      if (r >= 0) return static_cast<long>(r);
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        if (!waitFor(fd, POLLIN, deadline)) return -1;
        continue;
      }
      return -1;
    }
  }

  bool writeAll(const uint8_t* data, size_t size) {
    if (fd < 0) return false;
    size_t done = 0;
    while (done < size) {
      if (ssl) {
        size_t n = 0;
        int r = SSL_write_ex(ssl, data + done, size - done, &n);
        if (r == 1) {
          done += n;
          continue;
        }
        int err = SSL_get_error(ssl, r);
        if (err == SSL_ERROR_WANT_WRITE && waitFor(fd, POLLOUT, -1)) continue;
        if (err == SSL_ERROR_WANT_READ && waitFor(fd, POLLIN, -1)) continue;
        ERR_clear_error();
        return false;
      }
      ssize_t r = ::send(fd, data + done, size - done, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (r > 0) {
        done += static_cast<size_t>(r);
      } else if (r < 0 && errno == EINTR) {
        continue;
      } else if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        if (!waitFor(fd, POLLOUT, -1)) return false;
      } else {
        return false;
      }
    }
    return true;
  }
};

TcpStream::TcpStream(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
TcpStream::~TcpStream() = default;

long TcpStream::read(void* buffer, size_t size, Nanos timeout) {
  if (size == 0) return 0;
  return impl_->readSome(buffer, size, deadlineFor(timeout));
}

bool TcpStream::readExactly(void* buffer, size_t size, Nanos timeout) {
  Nanos deadline = deadlineFor(timeout);
  auto* p = static_cast<uint8_t*>(buffer);
  size_t done = 0;
  while (done < size) {
    long n = impl_->readSome(p + done, size - done, deadline);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

std::vector<uint8_t> TcpStream::readToEnd(Nanos timeout, size_t limit) {
  Nanos deadline = deadlineFor(timeout);
  std::vector<uint8_t> out;
  uint8_t buffer[16384];
  while (out.size() < limit) {
    long n = impl_->readSome(buffer, std::min(sizeof buffer, limit - out.size()), deadline);
    if (n <= 0) break;
    out.insert(out.end(), buffer, buffer + n);
  }
  return out;
}

std::string TcpStream::readUntil(std::string_view delimiter, Nanos timeout, size_t limit) {
  Nanos deadline = deadlineFor(timeout);
  std::string out;
  char c;
  // Byte by byte, so nothing after the delimiter is consumed.
  while (out.size() < limit) {
    long n = impl_->readSome(&c, 1, deadline);
    if (n <= 0) return {};
    out.push_back(c);
    if (out.size() >= delimiter.size() &&
        out.compare(out.size() - delimiter.size(), delimiter.size(), delimiter) == 0)
      return out;
  }
  return {};
}

bool TcpStream::write(const void* data, size_t size) {
  return impl_->writeAll(static_cast<const uint8_t*>(data), size);
}

void TcpStream::shutdownWrite() {
  if (impl_->fd < 0) return;
  if (impl_->ssl) SSL_shutdown(impl_->ssl);
  ::shutdown(impl_->fd, SHUT_WR);
}

void TcpStream::abort() {
  if (impl_->fd < 0) return;
  linger l{1, 0};
  ::setsockopt(impl_->fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  ::close(impl_->fd);
  impl_->fd = -1;
}

void TcpStream::close() {
  if (impl_->fd < 0) return;
  // Wakes a reader blocked on another thread before the descriptor goes away.
  ::shutdown(impl_->fd, SHUT_RDWR);
}

uint16_t TcpStream::peerPort() const { return impl_->peerPort; }

struct TcpListener::Impl {
  Options options;
  int fd = -1;
  uint16_t port = 0;
  SSL_CTX* ctx = nullptr;
  std::atomic<bool> closed{false};
  int wake[2] = {-1, -1};  // a pipe that close() writes to, to end a blocked accept

  ~Impl() {
    if (fd >= 0) ::close(fd);
    if (ctx) SSL_CTX_free(ctx);
    for (int w : wake)
      if (w >= 0) ::close(w);
  }
};

TcpListener::TcpListener(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
TcpListener::~TcpListener() = default;

std::unique_ptr<TcpListener> TcpListener::make(Options options) {
  // TLS writes go through write(2), which would raise SIGPIPE on a closed peer.
  static const bool ignored = [] { return ::signal(SIGPIPE, SIG_IGN) != SIG_ERR; }();
  (void)ignored;
  auto impl = std::make_unique<Impl>();
  impl->options = options;
  bool v6 = options.address.find(':') != std::string::npos;
  sockaddr_storage storage{};
  socklen_t length = 0;
  if (v6) {
    auto* a = reinterpret_cast<sockaddr_in6*>(&storage);
    a->sin6_family = AF_INET6;
    a->sin6_port = htons(options.port);
    if (inet_pton(AF_INET6, options.address.c_str(), &a->sin6_addr) != 1)
      throw std::runtime_error("invalid address " + options.address);
    length = sizeof *a;
  } else {
    auto* a = reinterpret_cast<sockaddr_in*>(&storage);
    a->sin_family = AF_INET;
    a->sin_port = htons(options.port);
    if (inet_pton(AF_INET, options.address.c_str(), &a->sin_addr) != 1)
      throw std::runtime_error("invalid address " + options.address);
    length = sizeof *a;
  }
  impl->fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (impl->fd < 0) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
  int one = 1;
  ::setsockopt(impl->fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  // Set before listening, so accepted connections advertise a window that small.
  if (options.receiveBufferBytes > 0)
    ::setsockopt(impl->fd, SOL_SOCKET, SO_RCVBUF, &options.receiveBufferBytes, sizeof options.receiveBufferBytes);
  if (::bind(impl->fd, reinterpret_cast<sockaddr*>(&storage), length) != 0)
    throw std::runtime_error("bind " + options.address + ":" + std::to_string(options.port) + ": " +
                             std::strerror(errno));
  if (::listen(impl->fd, options.backlog) != 0) throw std::runtime_error(std::string("listen: ") + std::strerror(errno));
  sockaddr_storage bound{};
  socklen_t boundLength = sizeof bound;
  ::getsockname(impl->fd, reinterpret_cast<sockaddr*>(&bound), &boundLength);
  impl->port = ntohs(v6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                        : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
  if (::pipe2(impl->wake, O_CLOEXEC | O_NONBLOCK) != 0)
    throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));

  if (options.certificateFile && options.privateKeyFile) {
    impl->ctx = SSL_CTX_new(TLS_server_method());
    if (!impl->ctx ||
        SSL_CTX_use_certificate_chain_file(impl->ctx, options.certificateFile->c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(impl->ctx, options.privateKeyFile->c_str(), SSL_FILETYPE_PEM) != 1)
      throw std::runtime_error("cannot load TLS certificate or key: " + sslErrors());
  }
  return std::unique_ptr<TcpListener>(new TcpListener(std::move(impl)));
}

uint16_t TcpListener::port() const { return impl_->port; }
const std::string& TcpListener::address() const { return impl_->options.address; }

std::unique_ptr<TcpStream> TcpListener::accept(Nanos timeout) {
  Nanos deadline = deadlineFor(timeout);
  for (;;) {
    if (impl_->closed.load()) return nullptr;
    pollfd p[2] = {{impl_->fd, POLLIN, 0}, {impl_->wake[0], POLLIN, 0}};
    int r = ::poll(p, 2, pollTimeout(deadline));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0 || impl_->closed.load() || (p[1].revents & POLLIN)) return nullptr;
    sockaddr_storage peer{};
    socklen_t peerLength = sizeof peer;
    int fd = ::accept4(impl_->fd, reinterpret_cast<sockaddr*>(&peer), &peerLength, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == ECONNABORTED) continue;
      return nullptr;
    }
    auto s = std::make_unique<TcpStream::Impl>();
    s->fd = fd;
    s->peerPort = ntohs(peer.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&peer)->sin6_port
                                                   : reinterpret_cast<sockaddr_in*>(&peer)->sin_port);
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (impl_->ctx) {
      s->ssl = SSL_new(impl_->ctx);
      SSL_set_fd(s->ssl, fd);
      // Non-blocking handshake so the time-out holds.
      ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
      const Nanos handshakeDeadline = deadline < 0 ? monotonicNow() + seconds(10) : deadline;
      for (;;) {
        int h = SSL_accept(s->ssl);
        if (h == 1) break;
        int err = SSL_get_error(s->ssl, h);
        if (err == SSL_ERROR_WANT_READ && waitFor(fd, POLLIN, handshakeDeadline)) continue;
        if (err == SSL_ERROR_WANT_WRITE && waitFor(fd, POLLOUT, handshakeDeadline)) continue;
        ERR_clear_error();
        return nullptr;
      }
    }
    return std::unique_ptr<TcpStream>(new TcpStream(std::move(s)));
  }
}

void TcpListener::close() {
  if (impl_->closed.exchange(true)) return;
  char c = 1;
  [[maybe_unused]] auto n = ::write(impl_->wake[1], &c, 1);
  ::shutdown(impl_->fd, SHUT_RDWR);
}

}  // namespace platform
