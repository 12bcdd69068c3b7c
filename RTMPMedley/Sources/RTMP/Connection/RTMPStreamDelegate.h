#pragma once
// What an RTMP connection needs of the streams attached to it: their message
// stream id and publish name, the commands it runs on them when it connects
// and closes, and the hand-off of received messages and network events.
// Streams are actors: every call hops onto the stream's own executor.
#include <cstdint>
#include <optional>
#include <string>

#include "Medley/Sources/Network/NetworkMonitorEvent.h"
#include "Platform/Concurrency/Async.h"
#include "RTMPMedley/Sources/RTMP/Chunk/RTMPChunk.h"
#include "RTMPMedley/Sources/RTMP/Connection/RTMPStatus.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPMessage.h"

namespace rtmpmedley {

class RTMPStreamDelegate {
 public:
  virtual ~RTMPStreamDelegate() = default;

  // The message stream id the server gave the stream (0 before).
  virtual platform::Async<uint32_t> id() = 0;
  // The name of a publishing stream ("FCPublish", "FCUnpublish").
  virtual platform::Async<std::optional<std::string>> fcPublishName() = 0;

  // (Re)creates the stream on the server: run by the connection after each
  // successful connect, and when the stream is attached while connected;
  // never fails outward.
  virtual platform::Async<void> createStream() = 0;
  // "closeStream"; run at connection close for a stream without a publish name.
  virtual platform::Async<void> close() = 0;
  // Run at connection close for a stream with a publish name: when it is
  // publishing, stops its encoders and sends "FCUnpublish" and "deleteStream".
  virtual platform::Async<void> unpublishOnClose() = 0;
  // The connection has closed with `status`, after the two above: nothing
  // waiting for the server will be answered any more.
  virtual platform::Async<void> connectionClosed(RTMPStatus status) { co_return; }

  // A received message addressed to the stream (its stream id, or a user
  // control event whose value is the stream's id), with the chunk type of
  // the message's first chunk. Called in the order of arrival. Media and data
  // a server sends on message stream 0 are offered to every stream.
  virtual platform::Async<void> dispatch(RTMPMessagePtr message, RTMPChunkType type) = 0;
  // A network monitor event (and `reset` before each re-creation).
  virtual platform::Async<void> dispatch(medley::NetworkMonitorEvent event) = 0;
};

}  // namespace rtmpmedley
