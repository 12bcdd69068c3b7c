#pragma once
// An RTMP server of our own on a loopback port, driven by a script that runs
// on the peer's thread, one call per accepted connection. The script decides
// everything a real server would: whether to answer the handshake, what to
// answer to each command, when to fall silent, reject, ping or hang up, and
// which bytes to send, malformed ones included.
#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Platform/Net/TcpListener.h"
#include "RTMPMedley/Sources/RTMP/Chunk/RTMPChunkBuffer.h"
#include "RTMPMedley/Sources/RTMP/Chunk/RTMPChunkReader.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPCommandMessage.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPControlMessages.h"

namespace rtmptest {

using rtmpmedley::AMFList;
using rtmpmedley::AMFObject;
using rtmpmedley::AMFValue;
using rtmpmedley::RTMPChunkType;
using rtmpmedley::RTMPCommandMessage;
using rtmpmedley::RTMPMessage;
using rtmpmedley::RTMPMessagePtr;

// The messages `bytes` complete, in order; the reader keeps what is partial.
inline std::vector<rtmpmedley::RTMPChunkReader::Received> readMessages(rtmpmedley::RTMPChunkReader& reader,
                                                                       std::span<const uint8_t> bytes) {
  std::vector<rtmpmedley::RTMPChunkReader::Received> out;
  reader.append(bytes, [&out](const rtmpmedley::RTMPChunkReader::Received& r) { out.push_back(r); });
  return out;
}

// An empty level is left out, as some servers leave it out.
inline AMFObject statusObject(const std::string& code, const std::string& level, const std::string& description) {
  AMFObject object{{"code", AMFValue(code)}, {"description", AMFValue(description)}};
  if (!level.empty()) object["level"] = AMFValue(level);
  return object;
}

// One accepted client, seen from the server.
class PeerSession {
 public:
  static constexpr platform::Nanos kWait = platform::seconds(10);

  explicit PeerSession(std::unique_ptr<platform::TcpStream> stream) : stream_(std::move(stream)) {}

  platform::TcpStream& stream() { return *stream_; }

  // Reads C0+C1 and answers S0+S1+S2 in one write (followed by `after`, the
  // first chunks, when given), then reads C2. False when the client is gone.
  bool handshake(const std::vector<uint8_t>& after = {}) {
    if (!readC0C1()) return false;
    std::vector<uint8_t> reply = s0s1s2();
    reply.insert(reply.end(), after.begin(), after.end());
    if (!stream_->write(reply)) return false;
    return readC2();
  }
  bool readC0C1() {
    c0c1_.resize(1537);
    return stream_->readExactly(c0c1_.data(), c0c1_.size(), kWait);
  }
  bool readC2() {
    c2_.resize(1536);
    return stream_->readExactly(c2_.data(), c2_.size(), kWait);
  }
  const std::vector<uint8_t>& c0c1() const { return c0c1_; }
  const std::vector<uint8_t>& c2() const { return c2_; }
  // S0, S1 (time 0x01020304, then random-looking bytes) and S2 (the echo of C1).
  std::vector<uint8_t> s0s1s2() const {
    std::vector<uint8_t> out{3, 1, 2, 3, 4, 0, 0, 0, 0};
    for (int i = 0; i < 1528; ++i) out.push_back(static_cast<uint8_t>(i * 7 + 1));
    if (c0c1_.size() == 1537) out.insert(out.end(), c0c1_.begin() + 1, c0c1_.end());
    else out.resize(1 + 1536 * 2, 0);
    return out;
  }

  // The next message from the client; none at the end or after `timeout`.
  std::optional<rtmpmedley::RTMPChunkReader::Received> readMessage(platform::Nanos timeout = kWait) {
    while (pending_.empty()) {
      uint8_t buffer[4096];
      const long n = stream_->read(buffer, sizeof buffer, timeout);
      if (n <= 0) return std::nullopt;
      for (auto& r : readMessages(reader_, std::span<const uint8_t>(buffer, static_cast<size_t>(n)))) {
        if (auto window = std::dynamic_pointer_cast<rtmpmedley::RTMPWindowAcknowledgementSizeMessage>(r.message))
          clientWindow_ = window->size;
        pending_.push_back(std::move(r));
      }
      bytesRead_ += static_cast<uint64_t>(n);
      if (acknowledges_ && clientWindow_ > 0 && bytesRead_ - acknowledged_ >= clientWindow_) {
        acknowledged_ = bytesRead_;
        send(RTMPChunkType::zero, 2, rtmpmedley::RTMPAcknowledgementMessage(0, 0, static_cast<uint32_t>(bytesRead_)));
      }
    }
    auto r = pending_.front();
    pending_.pop_front();
    std::lock_guard lock(mutex_);
    received_.push_back(r);
    return r;
  }
  // From now on, acknowledges what it read as a server does: once per window
  // the client announced, counting from the first chunk.
  void acknowledgeReads() { acknowledges_ = true; }
  // Reads (and records) whatever comes for `duration`.
  void readFor(platform::Nanos duration) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::nanoseconds(duration);
    while (std::chrono::steady_clock::now() < until) readMessage(platform::milliseconds(50));
  }

  // The next command, skipping other messages (which are still recorded).
  std::shared_ptr<RTMPCommandMessage> readCommand(platform::Nanos timeout = kWait) {
    while (auto r = readMessage(timeout))
      if (auto c = std::dynamic_pointer_cast<RTMPCommandMessage>(r->message)) return c;
    return nullptr;
  }
  // Whether the client closed its side (or reset) within `timeout`; messages before are recorded.
  bool waitForClose(platform::Nanos timeout = kWait) {
    {
      std::lock_guard lock(mutex_);
      received_.insert(received_.end(), pending_.begin(), pending_.end());
      pending_.clear();
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::nanoseconds(timeout);
    while (std::chrono::steady_clock::now() < deadline) {
      uint8_t buffer[4096];
      const long n = stream_->read(buffer, sizeof buffer, platform::milliseconds(100));
      if (n == 0) return true;
      if (n < 0) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        continue;
      }
      auto messages = readMessages(reader_, std::span<const uint8_t>(buffer, static_cast<size_t>(n)));
      std::lock_guard lock(mutex_);
      received_.insert(received_.end(), messages.begin(), messages.end());
    }
    return false;
  }

  void send(RTMPChunkType type, uint16_t chunkStreamId, const RTMPMessage& message) {
    const auto bytes = writer_.putMessage(type, chunkStreamId, message);
    stream_->write(bytes.data(), bytes.size());
  }
  void sendRaw(const std::vector<uint8_t>& bytes) { stream_->write(bytes); }
  void setChunkSize(uint32_t size) {
    send(RTMPChunkType::zero, 2, rtmpmedley::RTMPSetChunkSizeMessage(0, 0, size));
    writer_.setChunkSize(size);
  }
  void sendCommand(const std::string& name, double transactionId, std::optional<AMFObject> object,
                   AMFList arguments, uint32_t streamId = 0) {
    send(RTMPChunkType::zero, 3,
         RTMPCommandMessage(streamId, 0, rtmpmedley::RTMPObjectEncoding::amf0, name,
                            static_cast<int64_t>(transactionId), std::move(object), std::move(arguments)));
  }
  void sendResult(int64_t transactionId, AMFList arguments = {}) {
    sendCommand("_result", static_cast<double>(transactionId), std::nullopt, std::move(arguments));
  }
  void sendStatus(const std::string& name, int64_t transactionId, const std::string& code, const std::string& level,
                  const std::string& description = {}, uint32_t streamId = 0) {
    sendCommand(name, static_cast<double>(transactionId), std::nullopt,
                AMFList{AMFValue(statusObject(code, level, description))}, streamId);
  }
  // What a server sends on a successful connect.
  void acceptConnect(int64_t transactionId = 1) {
    send(RTMPChunkType::zero, 2, rtmpmedley::RTMPWindowAcknowledgementSizeMessage(0, 0, 5000000));
    send(RTMPChunkType::zero, 2,
         rtmpmedley::RTMPSetPeerBandwidthMessage(0, 0, 5000000, rtmpmedley::RTMPSetPeerBandwidthMessage::Limit::dynamic));
    setChunkSize(4096);
    sendStatus("_result", transactionId, "NetConnection.Connect.Success", "status", "Connection succeeded.");
  }
  // Handshake, "connect", success: the usual start of a script.
  std::shared_ptr<RTMPCommandMessage> handshakeAndAccept() {
    if (!handshake()) return nullptr;
    auto connect = readCommand();
    if (connect && connect->commandName == "connect") acceptConnect(connect->transactionId);
    return connect;
  }

  // Every message read so far with its chunk type and chunk stream, in order.
  std::vector<rtmpmedley::RTMPChunkReader::Received> records() const {
    std::lock_guard lock(mutex_);
    return received_;
  }
  // Every message read so far, in order.
  std::vector<RTMPMessagePtr> received() const {
    std::lock_guard lock(mutex_);
    std::vector<RTMPMessagePtr> out;
    for (const auto& r : received_) out.push_back(r.message);
    return out;
  }

 private:
  std::unique_ptr<platform::TcpStream> stream_;
  std::vector<uint8_t> c0c1_;
  std::vector<uint8_t> c2_;
  rtmpmedley::RTMPChunkReader reader_;
  rtmpmedley::RTMPChunkBuffer writer_;
  std::deque<rtmpmedley::RTMPChunkReader::Received> pending_;
  bool acknowledges_ = false;
  uint32_t clientWindow_ = 0;
  uint64_t bytesRead_ = 0;
  uint64_t acknowledged_ = 0;
  mutable std::mutex mutex_;
  std::vector<rtmpmedley::RTMPChunkReader::Received> received_;
};

class ScriptedRTMPPeer {
 public:
  // Runs for the connection with the given index (0 for the first).
  using Script = std::function<void(PeerSession&, int index)>;

  explicit ScriptedRTMPPeer(Script script, int connections = 1, platform::TcpListener::Options options = {})
      : listener_(platform::TcpListener::make(options)), script_(std::move(script)) {
    thread_ = std::thread([this, connections] {
      for (int i = 0; i < connections && !stopping_; ++i) {
        auto stream = listener_->accept(platform::seconds(30));
        if (!stream) return;
        auto session = std::make_shared<PeerSession>(std::move(stream));
        {
          std::lock_guard lock(mutex_);
          sessions_.push_back(session);
        }
        ++accepted_;
        script_(*session, i);
        session->stream().close();
        ++finished_;
      }
    });
  }
  ~ScriptedRTMPPeer() {
    stopping_ = true;
    listener_->close();
    {
      std::lock_guard lock(mutex_);
      for (auto& s : sessions_) s->stream().close();
    }
    if (thread_.joinable()) thread_.join();
  }

  uint16_t port() const { return listener_->port(); }
  std::string url(const std::string& app = "live", const std::string& scheme = "rtmp",
                  const std::string& userInfo = "") const {
    return scheme + "://" + userInfo + "127.0.0.1:" + std::to_string(port()) + "/" + app;
  }
  int accepted() const { return accepted_; }
  int finished() const { return finished_; }
  // Waits (in real time) until the scripts of `count` connections returned.
  bool waitForScripts(int count, platform::Nanos timeout = platform::seconds(20)) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::nanoseconds(timeout);
    while (finished_ < count) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
  }
  std::shared_ptr<PeerSession> session(size_t index) const {
    std::lock_guard lock(mutex_);
    return index < sessions_.size() ? sessions_[index] : nullptr;
  }

 private:
  std::unique_ptr<platform::TcpListener> listener_;
  Script script_;
  std::thread thread_;
  std::atomic<bool> stopping_{false};
  std::atomic<int> accepted_{0};
  std::atomic<int> finished_{0};
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<PeerSession>> sessions_;
};

}  // namespace rtmptest
