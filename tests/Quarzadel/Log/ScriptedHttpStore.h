#pragma once
// A scripted HTTP store on a loopback port, on a thread of its own: it takes one
// request per connection, keeps what came (request line, headers, body size) and
// answers with the scripted status and headers. It can take the body slowly, a
// chunk at a time, to stand for a slow link, or stop reading part way, to stand
// for a store that hangs. Stopped when destroyed.
#include <atomic>
#include <chrono>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Platform/Net/TcpListener.h"

namespace quarzadel::testing {

class ScriptedHttpStore {
 public:
  struct Request {
    std::string head;  // request line and headers, as sent
    size_t bodyBytes = 0;
  };
  struct Script {
    int status = 201;
    std::map<std::string, std::string> headers;
    // 0: the body is read at once; else this many bytes per `chunkInterval`.
    size_t chunkBytes = 0;
    std::chrono::milliseconds chunkInterval{100};
    // > 0: stops reading once this many body bytes are in, holding the connection open.
    size_t stopAfterBytes = 0;
    // > 0: the stored body goes to this file.
    std::string keepBodyIn;
  };

  explicit ScriptedHttpStore(Script script) : script_(std::move(script)) {
    platform::TcpListener::Options options;
    if (script_.chunkBytes) options.receiveBufferBytes = static_cast<int>(script_.chunkBytes);
    listener_ = platform::TcpListener::make(options);
    thread_ = std::thread([this] { serve(); });
  }
  ~ScriptedHttpStore() {
    stopping_ = true;
    listener_->close();
    thread_.join();
  }

  uint16_t port() const { return listener_->port(); }
  std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port()) + path; }
  std::vector<Request> requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
  }
  // When the body's last byte read so far came in.
  std::chrono::steady_clock::time_point lastRead() const {
    std::lock_guard lock(mutex_);
    return lastRead_;
  }

 private:
  void serve() {
    while (!stopping_) {
      auto stream = listener_->accept(platform::milliseconds(100));
      if (!stream) continue;
      Request request;
      request.head = stream->readUntil("\r\n\r\n", platform::seconds(10));
      size_t length = contentLength(request.head);
      std::vector<uint8_t> buffer(script_.chunkBytes ? script_.chunkBytes : 64 * 1024);
      std::string body;
      while (request.bodyBytes < length && !stopping_) {
        size_t want = std::min(buffer.size(), length - request.bodyBytes);
        if (script_.stopAfterBytes) want = std::min(want, script_.stopAfterBytes - request.bodyBytes);
        long n = stream->read(buffer.data(), want, platform::seconds(10));
        if (n <= 0) break;
        request.bodyBytes += static_cast<size_t>(n);
        if (!script_.keepBodyIn.empty()) body.append(reinterpret_cast<const char*>(buffer.data()), static_cast<size_t>(n));
        {
          std::lock_guard lock(mutex_);
          lastRead_ = std::chrono::steady_clock::now();
        }
        if (script_.stopAfterBytes && request.bodyBytes >= script_.stopAfterBytes) {
          while (!stopping_) std::this_thread::sleep_for(std::chrono::milliseconds(20));
          return;
        }
        if (script_.chunkBytes) std::this_thread::sleep_for(script_.chunkInterval);
      }
      if (!script_.keepBodyIn.empty()) std::ofstream(script_.keepBodyIn, std::ios::binary) << body;
      {
        std::lock_guard lock(mutex_);
        requests_.push_back(request);
      }
      std::string answer = "HTTP/1.1 " + std::to_string(script_.status) + " Scripted\r\nContent-Length: 0\r\n";
      for (const auto& [name, value] : script_.headers) answer += name + ": " + value + "\r\n";
      stream->write(answer + "Connection: close\r\n\r\n");
      stream->shutdownWrite();
    }
  }

  static size_t contentLength(const std::string& head) {
    for (size_t at = 0; (at = head.find("\r\n", at)) != std::string::npos;) {
      at += 2;
      if (head.compare(at, 15, "Content-Length:") == 0 || head.compare(at, 15, "content-length:") == 0)
        return std::stoul(head.substr(at + 15));
    }
    return 0;
  }

  Script script_;
  std::unique_ptr<platform::TcpListener> listener_;
  std::thread thread_;
  std::atomic<bool> stopping_{false};
  mutable std::mutex mutex_;
  std::vector<Request> requests_;
  std::chrono::steady_clock::time_point lastRead_;
};

}  // namespace quarzadel::testing
