#include <algorithm>
#include <set>

#include "RTMPMedley/Sources/RTMP/Connection/RTMPConnection.h"
#include "RTMPMedley/Sources/RTMP/Util/RTMPMedleyLogger.h"

namespace rtmpmedley {

namespace {

// Commands whose first argument is a stream key.
bool carriesStreamKey(const std::string& commandName) {
  static const std::set<std::string> names{"publish", "FCPublish", "releaseStream", "FCUnpublish"};
  return names.count(commandName) != 0;
}

// Session logs are uploaded: the connect command's "app" and "tcUrl" carry the
// login answer and the URL's query values, and stream keys travel as the first
// argument of the publishing commands. Their log line shows them masked.
std::string describeForLog(const RTMPMessage& message) {
  const auto* command = dynamic_cast<const RTMPCommandMessage*>(&message);
  if (!command) return message.description();
  std::optional<AMFObject> object = command->commandObject;
  AMFList arguments = command->arguments;
  if (command->commandName == "connect" && object) {
    for (const char* key : {"app", "tcUrl"}) {
      auto it = object->find(key);
      if (it != object->end() && it->second.string()) it->second = AMFValue(redactURLText(*it->second.string()));
    }
  } else if (carriesStreamKey(command->commandName) && !arguments.empty() && arguments[0].string()) {
    arguments[0] = AMFValue("***");
  } else {
    return message.description();
  }
  return RTMPCommandMessage(command->streamId, command->timestamp, command->objectEncoding, command->commandName,
                            command->transactionId, std::move(object), std::move(arguments))
      .description();
}

}  // namespace

platform::Async<int64_t> RTMPConnection::doOutput(RTMPChunkType type, RTMPChunkStreamId chunkStreamId,
                                                  RTMPMessagePtr message) {
  co_await hop();
  if (!message) co_return 0;
  const RTMPMessage& body = *message;
  co_return output(type, chunkStreamId, body, RTMPSendLane::media, std::move(message));
}

int64_t RTMPConnection::send(RTMPChunkType type, RTMPChunkStreamId chunkStreamId, const RTMPMessage& message) {
  return output(type, chunkStreamId, message);
}

int64_t RTMPConnection::send(RTMPChunkType type, RTMPChunkStreamId chunkStreamId,
                             std::shared_ptr<const RTMPMessage> message) {
  if (!message) return 0;
  const RTMPMessage& body = *message;
  return output(type, chunkStreamId, body, RTMPSendLane::media, std::move(message));
}

int64_t RTMPConnection::output(RTMPChunkType type, RTMPChunkStreamId chunkStreamId, const RTMPMessage& message,
                               RTMPSendLane lane, std::shared_ptr<const RTMPMessage> owner) {
  auto& log = logger();
  if (log.isEnabledFor(logwell::LWLogLevel::trace))
    log.trace({"<<", describeForLog(message)}, "RTMPConnection", "doOutput(_:chunkStreamId:message:)", __LINE__);
  std::lock_guard lock(output_.mutex);
  if (!output_.open || !output_.transport) return 0;
  // All chunks of the message leave as one write, in call order; with an
  // owner the payload is not copied on the way.
  auto chunks = output_.buffer.chunk(type, static_cast<uint16_t>(chunkStreamId), message);
  if (chunks.empty()) return 0;
  // The owner may be all that keeps `message` alive: nothing reads it once the chunks are handed over.
  const size_t size = chunks.payloadSize();
  chunks.owner = std::move(owner);
  // Overtaking a chunk-size change is safe only for a message that is one chunk at either size.
  if (size > std::min<uint32_t>(output_.buffer.chunkSize(), 128)) lane = RTMPSendLane::media;
  output_.transport->send(std::move(chunks), lane);
  return static_cast<int64_t>(size);
}

std::optional<RTMPTransport::OutputProgress> RTMPConnection::outputProgress() {
  std::lock_guard lock(output_.mutex);
  if (!output_.open || !output_.transport) return std::nullopt;
  return output_.transport->outputProgress();
}

void RTMPConnection::announceChunkSize(uint32_t size) {
  const RTMPSetChunkSizeMessage announcement(0, 0, size);
  auto& log = logger();
  if (log.isEnabledFor(logwell::LWLogLevel::trace))
    log.trace({"<<", announcement.description()}, "RTMPConnection", "doOutput(_:chunkStreamId:message:)", __LINE__);
  std::lock_guard lock(output_.mutex);
  // No message may be cut with the new size before the server has read it.
  if (output_.open && output_.transport) {
    output_.transport->send(
        output_.buffer.chunk(RTMPChunkType::zero, static_cast<uint16_t>(RTMPChunkStreamId::control), announcement));
  }
  output_.buffer.setChunkSize(size);
  chunkSizeS_ = size;
}

void RTMPConnection::openOutput(std::shared_ptr<RTMPTransport> transport) {
  std::lock_guard lock(output_.mutex);
  output_.transport = std::move(transport);
  output_.open = true;
}

void RTMPConnection::closeOutput() {
  std::lock_guard lock(output_.mutex);
  output_.open = false;
  output_.transport.reset();
}

}  // namespace rtmpmedley
