#pragma once
// A tiny HTTP/1.1 server on TcpListener for tests: one thread per connection,
// keep-alive, Content-Length and chunked request bodies. Each request is
// answered by the handler; a reply may also never come (hang) until the server
// stops.
#include <algorithm>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Platform/Net/TcpListener.h"

namespace platform::testing {

class TestHttpServer {
 public:
  struct Request {
    std::string method;
    std::string target;
    std::map<std::string, std::string> headers;  // names in lower case
    std::vector<uint8_t> body;
    std::string header(const std::string& name) const {
      auto it = headers.find(name);
      return it == headers.end() ? std::string() : it->second;
    }
  };
  struct Reply {
    int status = 200;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    bool hang = false;  // never answer
  };
  using Handler = std::function<Reply(const Request&)>;

  explicit TestHttpServer(Handler handler, TcpListener::Options options = {})
      : handler_(std::move(handler)), listener_(TcpListener::make(options)), tls_(options.certificateFile.has_value()) {
    acceptor_ = std::thread([this] { acceptLoop(); });
  }

  ~TestHttpServer() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
      for (auto* s : streams_) s->close();
    }
    stopped_.notify_all();
    listener_->close();
    acceptor_.join();
    for (auto& t : workers_) t.join();
  }

  uint16_t port() const { return listener_->port(); }
  std::string url(const std::string& path = "/", const std::string& host = "127.0.0.1") const {
    return std::string(tls_ ? "https" : "http") + "://" + host + ":" + std::to_string(port()) + path;
  }
  std::vector<Request> requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
  }

 private:
  void acceptLoop() {
    while (auto stream = listener_->accept()) {
      std::lock_guard lock(mutex_);
      if (stopping_) return;
      workers_.emplace_back([this, s = std::shared_ptr<TcpStream>(std::move(stream))] { serve(*s); });
    }
  }

  static std::string lower(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
  }

  bool readBody(TcpStream& s, Request& r) {
    if (lower(r.header("transfer-encoding")) == "chunked") {
      for (;;) {
        std::string line = s.readUntil("\r\n", seconds(10));
        if (line.empty()) return false;
        size_t size = std::stoul(line, nullptr, 16);
        std::vector<uint8_t> chunk(size + 2);
        if (!s.readExactly(chunk.data(), chunk.size(), seconds(10))) return false;
        if (size == 0) return true;
        r.body.insert(r.body.end(), chunk.begin(), chunk.end() - 2);
      }
    }
    std::string length = r.header("content-length");
    if (length.empty()) return true;
    r.body.resize(std::stoul(length));
    return r.body.empty() || s.readExactly(r.body.data(), r.body.size(), seconds(10));
  }

  void serve(TcpStream& s) {
    {
      std::lock_guard lock(mutex_);
      if (stopping_) return;
      streams_.push_back(&s);
    }
    for (;;) {
      std::string head = s.readUntil("\r\n\r\n", -1, 64 * 1024);
      if (head.empty()) break;
      Request r;
      size_t lineEnd = head.find("\r\n");
      std::string requestLine = head.substr(0, lineEnd);
      size_t sp1 = requestLine.find(' '), sp2 = requestLine.rfind(' ');
      r.method = requestLine.substr(0, sp1);
      r.target = requestLine.substr(sp1 + 1, sp2 - sp1 - 1);
      for (size_t pos = lineEnd + 2; pos < head.size();) {
        size_t end = head.find("\r\n", pos);
        std::string line = head.substr(pos, end - pos);
        pos = end + 2;
        size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::string value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(' '));
        r.headers[lower(line.substr(0, colon))] = value;
      }
      if (!readBody(s, r)) break;
      {
        std::lock_guard lock(mutex_);
        requests_.push_back(r);
      }
      Reply reply = handler_(r);
      if (reply.hang) {
        std::unique_lock lock(mutex_);
        stopped_.wait(lock, [this] { return stopping_; });
        break;
      }
      std::string out = "HTTP/1.1 " + std::to_string(reply.status) + " Test\r\nContent-Length: " +
                        std::to_string(reply.body.size()) + "\r\n";
      for (const auto& [name, value] : reply.headers) out += name + ": " + value + "\r\n";
      out += "\r\n";
      if (r.method != "HEAD") out += reply.body;
      if (!s.write(out)) break;
    }
    std::lock_guard lock(mutex_);
    streams_.erase(std::remove(streams_.begin(), streams_.end(), &s), streams_.end());
  }

  Handler handler_;
  std::unique_ptr<TcpListener> listener_;
  const bool tls_;
  std::thread acceptor_;
  mutable std::mutex mutex_;
  std::condition_variable stopped_;
  bool stopping_ = false;
  std::vector<std::thread> workers_;
  std::vector<TcpStream*> streams_;
  std::vector<Request> requests_;
};

}  // namespace platform::testing
