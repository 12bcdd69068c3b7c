#include "RTMPMedley/Sources/RTMP/Connection/RTMPConnection.h"

#include "RTMPMedley/Sources/RTMP/Connection/RTMPConnectCommand.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPControlMessages.h"
#include "RTMPMedley/Sources/RTMP/Util/RTMPMedleyLogger.h"

namespace rtmpmedley {

using platform::Async;

Async<void> RTMPConnection::listen(medley::Data data) {
  co_await hop();
  const uint64_t generation = generation_;
  switch (readyState_) {
    case ReadyState::uninitialized:
      co_return;
    case ReadyState::versionSent: {
      handshake_.put(data);
      data.clear();
      auto c2 = handshake_.c2();
      if (!c2) co_return;
      if (socket_) socket_->send(std::move(*c2));
      setReadyState(ReadyState::ackSent);
      [[fallthrough]];
    }
    case ReadyState::ackSent: {
      handshake_.put(data);
      // S2 is complete once its 1536 bytes are in; what came with them are chunks.
      auto surplus = handshake_.takeSurplus();
      if (!surplus) co_return;
      setReadyState(ReadyState::handshakeDone);
      const auto command = makeConnectCommand();
      if (!command) {
        co_await closeQuietly();
        co_return;
      }
      output(RTMPChunkType::zero, RTMPChunkStreamId::command, *command);
      if (networkMonitor_) {
        co_await networkMonitor_->startRunning();
        if (generation != generation_) co_return;
      }
      if (surplus->empty()) co_return;
      data = std::move(*surplus);
      [[fallthrough]];
    }
    case ReadyState::handshakeDone:
      co_await readChunks(generation, std::move(data));
      co_return;
  }
}

Async<void> RTMPConnection::readChunks(uint64_t generation, medley::Data data) {
  // Each message is handled before the next is read; the reader alone applies
  // chunk sizes and aborts, at the message boundary. A stream whose framing
  // is lost ends the connection (logged by the reader).
  reader_.put(data);
  for (;;) {
    auto result = reader_.read();
    if (result.status == RTMPChunkReader::Status::needMoreData) co_return;
    if (result.status == RTMPChunkReader::Status::malformed) {
      co_await closeQuietly();
      co_return;
    }
    co_await dispatch(std::move(result.received.message), result.received.chunkType);
    if (generation != generation_) co_return;
  }
}

Async<void> RTMPConnection::dispatch(RTMPMessagePtr message, RTMPChunkType type) {
  co_await hop();
  if (!message) co_return;
  auto& log = logger();
  if (log.isEnabledFor(logwell::LWLogLevel::trace))
    log.trace({">>", message->description()}, __FILE__, "dispatch(_:type:)", __LINE__);

  if (message->streamId != 0) {
    deliverToStreams(StreamDelivery{message, type, message->streamId, std::nullopt});
    co_return;
  }
  // A chunk size is the reader's alone: it applied it at the message boundary.
  if (auto* window = dynamic_cast<RTMPWindowAcknowledgementSizeMessage*>(message.get())) {
    windowSizeC_ = window->size;
    if (connected_.value())
      output(RTMPChunkType::zero, RTMPChunkStreamId::control,
             RTMPWindowAcknowledgementSizeMessage(0, 0, static_cast<uint32_t>(windowSizeC_)), RTMPSendLane::control);
    windowSizeS_ = window->size;
  } else if (auto* bandwidth = dynamic_cast<RTMPSetPeerBandwidthMessage*>(message.get())) {
    bandWidth_ = bandwidth->size;
  } else if (auto command = std::dynamic_pointer_cast<RTMPCommandMessage>(message)) {
    co_await handleCommand(std::move(command));
  } else if (auto shared = std::dynamic_pointer_cast<RTMPSharedObjectMessage>(message)) {
    if (uri_ && sharedObjectHandler_) {
      std::string remotePath = uri_->withoutCredentials();
      if (const auto mark = remotePath.find('?'); mark != std::string::npos) remotePath.resize(mark);
      const bool persistence = shared->flags.size() > 3 && (shared->flags[3] & 0x02) != 0;
      sharedObjectHandler_(shared->sharedObjectName, remotePath, persistence, shared);
    }
  } else if (auto* user = dynamic_cast<RTMPUserControlMessage*>(message.get())) {
    if (user->event == RTMPUserControlMessage::Event::ping) {
      output(RTMPChunkType::zero, RTMPChunkStreamId::control,
             RTMPUserControlMessage(0, 0, RTMPUserControlMessage::Event::pong, user->value), RTMPSendLane::control);
    } else if (user->value >= 0) {
      deliverToStreams(StreamDelivery{message, type, static_cast<uint32_t>(user->value), std::nullopt});
    }
  }
}

Async<void> RTMPConnection::handleCommand(std::shared_ptr<RTMPCommandMessage> command) {
  RTMPResponse response(*command);
  auto operation = takeOperation(command->transactionId);
  if (!operation) {
    if (command->commandName == "close") co_await closeQuietly();
  } else if (command->commandName == "_result") {
    if (command->transactionId == RTMPConnectCommand::kTransactionId) {
      connected_.set(true);
      const int64_t size = std::clamp<int64_t>(chunkSize_, 1, RTMPSetChunkSizeMessage::kMaximumSize);
      setChunkSizeS(static_cast<uint32_t>(size));
      output(RTMPChunkType::zero, RTMPChunkStreamId::control, RTMPSetChunkSizeMessage(0, 0, chunkSizeS_));
    }
    operation->continuation.resume(response);
  } else {
    // A refused connect ends its attempt: what else its socket brings, its
    // end included, no longer concerns the connection.
    if (command->transactionId == RTMPConnectCommand::kTransactionId) ++generation_;
    operation->continuation.resumeThrowing(Error::requestFailed(response));
  }
  if (response.status) statusContinuation_.yield(*response.status);
}

Async<void> RTMPConnection::dispatch(medley::NetworkMonitorEvent event) {
  co_await hop();
  acknowledge(event);
  deliverToStreams(StreamDelivery{nullptr, RTMPChunkType::zero, 0, std::move(event)});
}

void RTMPConnection::acknowledge(const medley::NetworkMonitorEvent& event) {
  const auto& report = event.report();
  if (!report) return;
  // One acknowledgement per event, however many windows have passed.
  if ((sequence_ + 1) * windowSizeS_ > report->totalBytesIn) return;
  // The sequence number is 32 bits on the wire and wraps.
  const RTMPAcknowledgementMessage ack(0, 0, static_cast<uint32_t>(report->totalBytesIn));
  output(sequence_ == 0 ? RTMPChunkType::zero : RTMPChunkType::one, RTMPChunkStreamId::control, ack,
         RTMPSendLane::control);
  ++sequence_;
}

void RTMPConnection::deliverToStreams(const StreamDelivery& delivery) {
  for (const auto& entry : streams_) entry.inbox.yield(delivery);
}

}  // namespace rtmpmedley
