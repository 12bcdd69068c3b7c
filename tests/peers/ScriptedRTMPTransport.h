#pragma once
// An RTMP server on virtual time, reached through the connection's transport
// seam: no socket, no thread. Every transport the connection makes is one
// session of the server. The server answers the handshake and each command as
// its script says, now or after a virtual delay, and can refuse the connect,
// hang, fall silent or hang up. Everything runs on the VirtualRuntime's thread.
//
//   ScriptedRTMPServer server(rt);
//   server.onCommand = [](ScriptedSession& s, const RTMPCommandMessage& c) { ... };
//   RTMPConnection::Settings settings;
//   settings.makeTransport = server.factory();
#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Concurrency/Concurrency.h"
#include "Platform/Dispatch/VirtualRuntime.h"
#include "RTMPMedley/Sources/RTMP/Connection/RTMPConnection.h"
#include "peers/ScriptedRTMPPeer.h"

namespace rtmptest {

using rtmpmedley::RTMPTransport;
using Received = rtmpmedley::RTMPChunkReader::Received;

class ScriptedRTMPServer;

// One client connection, seen from the server; also the client's transport.
class ScriptedSession final : public RTMPTransport, public std::enable_shared_from_this<ScriptedSession> {
 public:
  enum class ConnectOutcome { ready, refuse, hang };

  ScriptedSession(ScriptedRTMPServer& server, int index, rtmpmedley::RTMPTransportOptions options)
      : server_(server), index_(index), options_(std::move(options)) {}

  int index() const { return index_; }
  bool secure() const { return options_.secure; }
  const std::string& host() const { return host_; }
  int port() const { return port_; }

  // To the client, in blocks of at most 255 bytes as a socket delivers them.
  void sendRaw(const std::vector<uint8_t>& bytes) {
    if (!receivedWriter_) return;
    for (size_t at = 0; at < bytes.size(); at += 255) {
      const size_t n = std::min<size_t>(255, bytes.size() - at);
      totalIn_ += static_cast<int64_t>(n);
      receivedWriter_->yield(medley::Data(bytes.begin() + at, bytes.begin() + at + n));
    }
  }
  void send(RTMPChunkType type, uint16_t chunkStreamId, const RTMPMessage& message) {
    const auto bytes = writer_.putMessage(type, chunkStreamId, message);
    sendRaw(std::vector<uint8_t>(bytes.begin(), bytes.end()));
  }
  void setChunkSize(uint32_t size) {
    send(RTMPChunkType::zero, 2, rtmpmedley::RTMPSetChunkSizeMessage(0, 0, size));
    writer_.setChunkSize(size);
  }
  void sendCommand(const std::string& name, int64_t transactionId, std::optional<AMFObject> object,
                   AMFList arguments, uint32_t streamId = 0) {
    send(RTMPChunkType::zero, 3,
         RTMPCommandMessage(streamId, 0, rtmpmedley::RTMPObjectEncoding::amf0, name, transactionId,
                            std::move(object), std::move(arguments)));
  }
  void sendResult(int64_t transactionId, AMFList arguments = {}) {
    sendCommand("_result", transactionId, std::nullopt, std::move(arguments));
  }
  void sendStatus(const std::string& name, int64_t transactionId, const std::string& code, const std::string& level,
                  const std::string& description = {}, uint32_t streamId = 0) {
    sendCommand(name, transactionId, std::nullopt, AMFList{AMFValue(statusObject(code, level, description))},
                streamId);
  }
  // What a server sends on a successful connect.
  void acceptConnect(int64_t transactionId = 1) {
    send(RTMPChunkType::zero, 2, rtmpmedley::RTMPWindowAcknowledgementSizeMessage(0, 0, 5000000));
    send(RTMPChunkType::zero, 2,
         rtmpmedley::RTMPSetPeerBandwidthMessage(0, 0, 5000000,
                                                 rtmpmedley::RTMPSetPeerBandwidthMessage::Limit::dynamic));
    setChunkSize(4096);
    sendStatus("_result", transactionId, "NetConnection.Connect.Success", "status", "Connection succeeded.");
  }
  // The server closes its side: the client reads what was sent, then the end.
  void hangUp() {
    connected_ = false;
    if (receivedWriter_) receivedWriter_->finish();
    receivedWriter_.reset();
  }
  // Runs `step` after `delay` of virtual time.
  void after(platform::Nanos delay, std::function<void()> step);

  // Every message the client sent, in order, with its chunk type and chunk stream.
  const std::vector<Received>& records() const { return records_; }
  std::vector<std::shared_ptr<RTMPCommandMessage>> commands() const {
    std::vector<std::shared_ptr<RTMPCommandMessage>> out;
    for (const auto& r : records_)
      if (auto c = std::dynamic_pointer_cast<RTMPCommandMessage>(r.message)) out.push_back(c);
    return out;
  }
  std::vector<std::string> commandNames() const {
    std::vector<std::string> out;
    for (const auto& c : commands()) out.push_back(c->commandName);
    return out;
  }
  template <class M>
  std::vector<std::shared_ptr<M>> messagesOf() const {
    std::vector<std::shared_ptr<M>> out;
    for (const auto& r : records_)
      if (auto typed = std::dynamic_pointer_cast<M>(r.message)) out.push_back(typed);
    return out;
  }
  // What the network monitor reads as waiting to be sent.
  void setQueuedBytes(int64_t bytes) { queued_ = bytes; }
  // While held, what the client hands over counts as waiting in the transport
  // (outputProgress), though the server still reads it.
  void holdOutput(bool held) {
    std::lock_guard lock(mutex_);
    if (held && !held_) writtenAtHold_ = static_cast<uint64_t>(totalOut_);
    held_ = held;
  }
  bool closedByClient() const { return closedByClient_; }
  bool abortedByClient() const { return abortedByClient_; }

  // The transport.
  platform::Async<void> connect(std::string host, int port) override;
  platform::Async<platform::AsyncStream<medley::Data>> recv() override {
    co_return received_ ? std::exchange(received_, std::nullopt).value()
                        : platform::AsyncStream<medley::Data>::finished();
  }
  void send(medley::Data bytes, rtmpmedley::RTMPSendLane lane = rtmpmedley::RTMPSendLane::media) override;
  using RTMPTransport::send;
  platform::Async<void> close(std::optional<platform::TcpError> = std::nullopt) override {
    // After a reset there is nothing left to end in order.
    if (!abortedByClient_) closedByClient_ = true;
    connected_ = false;
    if (receivedWriter_) receivedWriter_->finish();
    receivedWriter_.reset();
    if (pendingConnect_) pendingConnect_->resumeThrowing(Error(Error::Kind::connectionNotEstablished));
    co_return;
  }
  platform::Async<void> abort() override {
    abortedByClient_ = true;
    co_await close();
  }
  platform::Async<bool> connected() override { co_return connected_; }
  bool isSecure() const override { return options_.secure; }
  // What the connection passed on of the server's acknowledgements: bytes read, window.
  void peerRead(uint64_t bytes, uint64_t window) override { peerReads_.emplace_back(bytes, window); }
  std::optional<OutputProgress> outputProgress() const override {
    std::lock_guard lock(mutex_);
    const auto handed = static_cast<uint64_t>(totalOut_);
    return OutputProgress{handed, held_ ? writtenAtHold_ : handed};
  }
  const std::vector<std::pair<uint64_t, uint64_t>>& peerReads() const { return peerReads_; }
  platform::Async<std::shared_ptr<medley::NetworkMonitor>> makeNetworkMonitor() override {
    co_return std::make_shared<medley::NetworkMonitor>(weak_from_this(), options_.runtime);
  }
  platform::Async<medley::NetworkTransportReport> makeNetworkTransportReport() override {
    co_return medley::NetworkTransportReport{queued_, totalIn_, totalOut_, std::nullopt};
  }

 private:
  void receive();

  ScriptedRTMPServer& server_;
  const int index_;
  const rtmpmedley::RTMPTransportOptions options_;
  std::string host_;
  int port_ = 0;
  bool connected_ = false;
  std::vector<std::pair<uint64_t, uint64_t>> peerReads_;
  bool closedByClient_ = false;
  bool abortedByClient_ = false;
  std::optional<platform::Continuation<void>> pendingConnect_;
  std::optional<platform::AsyncStream<medley::Data>> received_;
  std::optional<platform::AsyncStreamWriter<medley::Data>> receivedWriter_;
  // From the client: handshake bytes first, then chunks.
  enum class Phase { c0c1, c2, chunks, silent };
  mutable std::mutex mutex_;
  bool held_ = false;
  uint64_t writtenAtHold_ = 0;
  medley::Data unread_;
  Phase phase_ = Phase::c0c1;
  rtmpmedley::RTMPChunkReader reader_;
  rtmpmedley::RTMPChunkBuffer writer_;
  std::vector<Received> records_;
  int64_t totalIn_ = 0;
  int64_t totalOut_ = 0;
  int64_t queued_ = 0;
};

class ScriptedRTMPServer {
 public:
  explicit ScriptedRTMPServer(std::shared_ptr<platform::VirtualRuntime> runtime) : runtime_(std::move(runtime)) {}

  // What the transport's connect does, by session index.
  std::function<ScriptedSession::ConnectOutcome(int)> connectOutcome = [](int) {
    return ScriptedSession::ConnectOutcome::ready;
  };
  // Whether the session answers the handshake (and so reads commands).
  std::function<bool(int)> answersHandshake = [](int) { return true; };
  // Each command the client sends. By default a server that accepts the
  // connect, gives each "createStream" the next stream id from 1 and answers
  // nothing else.
  std::function<void(ScriptedSession&, const RTMPCommandMessage&)> onCommand = answerLikeAServer;

  static void answerLikeAServer(ScriptedSession& session, const RTMPCommandMessage& command) {
    if (command.commandName == "connect") session.acceptConnect(command.transactionId);
    if (command.commandName == "createStream") {
      const auto names = session.commandNames();
      session.sendResult(command.transactionId, {AMFValue(std::count(names.begin(), names.end(), "createStream"))});
    }
  }

  rtmpmedley::RTMPTransportFactory factory() {
    return [this](const rtmpmedley::RTMPTransportOptions& options) -> std::shared_ptr<RTMPTransport> {
      auto session = std::make_shared<ScriptedSession>(*this, static_cast<int>(sessions_.size()), options);
      sessions_.push_back(session);
      return session;
    };
  }
  // A connection with these settings, talking to this server.
  std::shared_ptr<rtmpmedley::RTMPConnection> makeConnection(rtmpmedley::RTMPConnection::Settings settings = {});

  const std::shared_ptr<platform::VirtualRuntime>& runtime() const { return runtime_; }
  size_t sessionCount() const { return sessions_.size(); }
  std::shared_ptr<ScriptedSession> session(size_t index) const {
    return index < sessions_.size() ? sessions_[index] : nullptr;
  }
  std::shared_ptr<ScriptedSession> last() const { return sessions_.empty() ? nullptr : sessions_.back(); }

 private:
  std::shared_ptr<platform::VirtualRuntime> runtime_;
  std::vector<std::shared_ptr<ScriptedSession>> sessions_;
};

inline std::shared_ptr<rtmpmedley::RTMPConnection> ScriptedRTMPServer::makeConnection(
    rtmpmedley::RTMPConnection::Settings settings) {
  settings.makeTransport = factory();
  return std::make_shared<rtmpmedley::RTMPConnection>(std::move(settings), runtime_);
}

inline void ScriptedSession::after(platform::Nanos delay, std::function<void()> step) {
  server_.runtime()->postAt(server_.runtime()->now() + delay, std::move(step));
}

inline platform::Async<void> ScriptedSession::connect(std::string host, int port) {
  host_ = std::move(host);
  port_ = port;
  switch (server_.connectOutcome(index_)) {
    case ConnectOutcome::ready: {
      auto [stream, writer] = platform::AsyncStream<medley::Data>::make();
      received_ = std::move(stream);
      receivedWriter_ = std::move(writer);
      connected_ = true;
      co_return;
    }
    case ConnectOutcome::refuse: {
      platform::TcpError error;
      error.kind = platform::TcpError::Kind::refused;
      error.message = "Connection refused";
      throw Error(Error::Kind::connectionNotEstablished, error);
    }
    case ConnectOutcome::hang:
      // Until the client closes, or the transport's own time-out.
      co_await platform::withContinuation<void>([this](platform::Continuation<void> c) {
        pendingConnect_ = c;
        if (options_.connectTimeout.count() > 0)
          after(options_.connectTimeout.count(), [c] { c.resumeThrowing(Error(Error::Kind::connectionTimedOut)); });
      });
      co_return;
  }
}

inline void ScriptedSession::send(medley::Data bytes, rtmpmedley::RTMPSendLane) {
  if (!connected_ || bytes.empty()) return;
  {
    std::lock_guard lock(mutex_);
    totalOut_ += static_cast<int64_t>(bytes.size());
    unread_.insert(unread_.end(), bytes.begin(), bytes.end());
  }
  // The server reads in a job of its own, never inside the client's call.
  std::weak_ptr<ScriptedSession> weak = weak_from_this();
  server_.runtime()->post([weak] {
    if (auto self = weak.lock()) self->receive();
  });
}

inline void ScriptedSession::receive() {
  std::vector<uint8_t> c0c1;
  {
    std::lock_guard lock(mutex_);
    if (phase_ == Phase::c0c1) {
      if (unread_.size() < 1537) return;
      c0c1.assign(unread_.begin(), unread_.begin() + 1537);
      unread_.erase(unread_.begin(), unread_.begin() + 1537);
      phase_ = Phase::c2;
    }
  }
  if (!c0c1.empty()) {
    // A silent server takes the connection and never says a word.
    if (!server_.answersHandshake(index_)) phase_ = Phase::silent;
    std::vector<uint8_t> reply{3, 1, 2, 3, 4, 0, 0, 0, 0};
    for (int i = 0; i < 1528; ++i) reply.push_back(static_cast<uint8_t>(i * 7 + 1));
    reply.insert(reply.end(), c0c1.begin() + 1, c0c1.end());
    if (phase_ != Phase::silent) sendRaw(reply);
  }
  medley::Data bytes;
  {
    std::lock_guard lock(mutex_);
    if (phase_ == Phase::silent) return;
    if (phase_ == Phase::c2) {
      if (unread_.size() < 1536) return;
      unread_.erase(unread_.begin(), unread_.begin() + 1536);
      phase_ = Phase::chunks;
    }
    bytes.swap(unread_);
  }
  for (auto& r : readMessages(reader_, bytes)) {
    records_.push_back(r);
    if (auto command = std::dynamic_pointer_cast<RTMPCommandMessage>(r.message)) server_.onCommand(*this, *command);
  }
}

// The test's side of virtual time: coroutines started on the runtime run until
// nothing is left to do, and time moves only when the test advances it.
class VirtualTimeDriver {
 protected:
  std::shared_ptr<platform::VirtualRuntime> rt = platform::VirtualRuntime::make();

  template <class T>
  platform::TaskHandle<T> start(platform::Async<T> work) {
    auto task = platform::spawn(rt->globalQueue(), std::move(work));
    rt->runUntilIdle();
    return task;
  }
  // The result of work that finishes without time passing.
  template <class T>
  T run(platform::Async<T> work) {
    auto task = start(std::move(work));
    EXPECT_TRUE(task.isFinished());
    return task.result();
  }
  void advance(platform::Nanos d) {
    rt->advance(d);
    rt->runUntilIdle();
  }
};

}  // namespace rtmptest
