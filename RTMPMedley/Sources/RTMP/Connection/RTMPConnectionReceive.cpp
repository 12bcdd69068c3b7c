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
      if (transport_) transport_->send(std::move(*c2));
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
      openOutput(transport_);
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
  reader_.put(std::move(data));
  for (;;) {
    auto result = reader_.read();
    if (result.status == RTMPChunkReader::Status::needMoreData) co_return;
    if (result.status == RTMPChunkReader::Status::malformed) {
      // Nothing more can be read or answered on this transport.
      co_await transportEnded(generation);
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
  // Each type id has exactly one message class.
  switch (message->type()) {
    case RTMPMessageType::windowAck:
      handleWindowAcknowledgementSize(static_cast<const RTMPWindowAcknowledgementSizeMessage&>(*message));
      break;
    case RTMPMessageType::bandwidth:
      handlePeerBandwidth(static_cast<const RTMPSetPeerBandwidthMessage&>(*message));
      break;
    case RTMPMessageType::amf0Command:
    case RTMPMessageType::amf3Command:
      co_await handleCommand(std::static_pointer_cast<RTMPCommandMessage>(message));
      break;
    case RTMPMessageType::amf0Shared:
    case RTMPMessageType::amf3Shared:
      handleSharedObject(std::static_pointer_cast<RTMPSharedObjectMessage>(message));
      break;
    case RTMPMessageType::user:
      handleUserControl(message, type);
      break;
    // A chunk size or an abort is the reader's alone: it applied it at the message boundary.
    case RTMPMessageType::chunkSize:
    case RTMPMessageType::abort:
    case RTMPMessageType::ack:
    case RTMPMessageType::aggregate:
      break;
    // Some servers send a played stream's media on message stream 0: the
    // streams are offered it, and a stream that plays takes it.
    case RTMPMessageType::audio:
    case RTMPMessageType::video:
    case RTMPMessageType::amf0Data:
    case RTMPMessageType::amf3Data: {
      StreamDelivery delivery{message, type, 0, std::nullopt};
      delivery.unaddressed = true;
      deliverToStreams(delivery);
      break;
    }
  }
}

void RTMPConnection::handleWindowAcknowledgementSize(const RTMPWindowAcknowledgementSizeMessage& message) {
  windowSizeC_ = message.size;
  if (connected_.value())
    output(RTMPChunkType::zero, RTMPChunkStreamId::control,
           RTMPWindowAcknowledgementSizeMessage(0, 0, static_cast<uint32_t>(windowSizeC_)), RTMPSendLane::control);
  windowSizeS_ = message.size;
}

void RTMPConnection::handlePeerBandwidth(const RTMPSetPeerBandwidthMessage& message) { bandWidth_ = message.size; }

void RTMPConnection::handleSharedObject(std::shared_ptr<RTMPSharedObjectMessage> message) {
  if (!uri_ || !sharedObjectHandler_) return;
  std::string remotePath = uri_->withoutCredentials();
  if (const auto mark = remotePath.find('?'); mark != std::string::npos) remotePath.resize(mark);
  const bool persistence = message->flags.size() > 3 && (message->flags[3] & 0x02) != 0;
  sharedObjectHandler_(message->sharedObjectName, remotePath, persistence, message);
}

void RTMPConnection::handleUserControl(const RTMPMessagePtr& message, RTMPChunkType type) {
  const auto& user = static_cast<const RTMPUserControlMessage&>(*message);
  if (user.event == RTMPUserControlMessage::Event::ping) {
    output(RTMPChunkType::zero, RTMPChunkStreamId::control,
           RTMPUserControlMessage(0, 0, RTMPUserControlMessage::Event::pong, user.value), RTMPSendLane::control);
  } else if (user.value >= 0) {
    deliverToStreams(StreamDelivery{message, type, static_cast<uint32_t>(user.value), std::nullopt});
  }
}

Async<void> RTMPConnection::handleCommand(std::shared_ptr<RTMPCommandMessage> command) {
  RTMPResponse response(*command);
  auto wait = operations_.take(command->transactionId);
  if (!wait) {
    // The server ends the connection and will answer nothing more.
    if (command->commandName == "close") co_await transportEnded(generation_);
  } else if (command->commandName == "_result") {
    if (command->transactionId == RTMPConnectCommand::kTransactionId) {
      accepted_ = true;
      connected_.set(true);
      const int64_t size = std::clamp<int64_t>(settings_.chunkSize, 1, RTMPSetChunkSizeMessage::kMaximumSize);
      announceChunkSize(static_cast<uint32_t>(size));
    }
    wait->resume(response);
  } else if (command->transactionId == RTMPConnectCommand::kTransactionId) {
    // A refused connect ends its attempt: what else its transport brings, its
    // end included, no longer concerns the connection. Whether the refusal is
    // news is connect()'s to say: one it answers with a login step is not.
    ++generation_;
    refusal_ = response.status;
    wait->resumeThrowing(Error::requestFailed(response));
    co_return;
  } else {
    wait->resumeThrowing(Error::requestFailed(response));
  }
  if (response.status) yieldStatus(*response.status);
}

Async<void> RTMPConnection::dispatch(medley::NetworkMonitorEvent event) {
  co_await hop();
  // A monitor event that was on its way when the transport ended goes nowhere.
  if (event.kind() != medley::NetworkMonitorEvent::Kind::reset && !connected_.value()) co_return;
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

}  // namespace rtmpmedley
