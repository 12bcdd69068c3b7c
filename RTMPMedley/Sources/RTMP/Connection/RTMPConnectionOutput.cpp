#include "RTMPMedley/Sources/RTMP/Connection/RTMPConnection.h"

#include "RTMPMedley/Sources/RTMP/Util/RTMPMedleyLogger.h"

namespace rtmpmedley {

namespace {

// The connect command carries the login answer and the URL's query values in
// "app" and "tcUrl": its log line shows them masked.
std::string describeForLog(const RTMPMessage& message) {
  const auto* command = dynamic_cast<const RTMPCommandMessage*>(&message);
  if (!command || command->commandName != "connect" || !command->commandObject) return message.description();
  AMFObject object = *command->commandObject;
  for (const char* key : {"app", "tcUrl"}) {
    auto it = object.find(key);
    if (it != object.end() && it->second.string()) it->second = AMFValue(redactURLText(*it->second.string()));
  }
  return RTMPCommandMessage(command->streamId, command->timestamp, command->objectEncoding, command->commandName,
                            command->transactionId, std::move(object), command->arguments)
      .description();
}

}  // namespace

platform::Async<int64_t> RTMPConnection::doOutput(RTMPChunkType type, RTMPChunkStreamId chunkStreamId,
                                                  RTMPMessagePtr message) {
  co_await hop();
  if (!message) co_return 0;
  co_return output(type, chunkStreamId, *message);
}

int64_t RTMPConnection::output(RTMPChunkType type, RTMPChunkStreamId chunkStreamId, const RTMPMessage& message,
                               RTMPSendLane lane) {
  auto& log = logger();
  if (log.isEnabledFor(logwell::LWLogLevel::trace))
    log.trace({"<<", describeForLog(message)}, "RTMPConnection", "doOutput(_:chunkStreamId:message:)", __LINE__);
  // All chunks of the message leave as one buffer, in call order.
  const auto chunks = outputBuffer_.putMessage(type, static_cast<uint16_t>(chunkStreamId), message);
  if (chunks.empty()) return 0;
  // Overtaking a chunk-size change is safe only for a message that is one chunk at either size.
  if (message.payload().size() > std::min<uint32_t>(chunkSizeS_, 128)) lane = RTMPSendLane::media;
  if (socket_) socket_->send(chunks, lane);
  return static_cast<int64_t>(message.payload().size());
}

}  // namespace rtmpmedley
