#pragma once
// The smoke's one publishing stream on a connection: created on the server
// ("releaseStream", "FCPublish", "createStream"), published with its key, fed
// through the connection's chunked output, and released at close
// ("FCUnpublish", "deleteStream").
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Platform/Concurrency/Concurrency.h"
#include "RTMPMedley/Sources/RTMP/Connection/RTMPConnection.h"

namespace rtmpsmoke {

class SmokeStream final : public platform::Actor,
                          public rtmpmedley::RTMPStreamDelegate,
                          public std::enable_shared_from_this<SmokeStream> {
 public:
  SmokeStream(std::shared_ptr<platform::Runtime> runtime, std::weak_ptr<rtmpmedley::RTMPConnection> connection,
              std::string key);

  platform::Async<uint32_t> id() override;
  platform::Async<std::optional<std::string>> fcPublishName() override;
  platform::Async<void> createStream() override;
  platform::Async<void> close() override;
  platform::Async<void> unpublishOnClose() override;
  platform::Async<void> dispatch(rtmpmedley::RTMPMessagePtr message, rtmpmedley::RTMPChunkType type) override;
  platform::Async<void> dispatch(medley::NetworkMonitorEvent event) override;

  // "publish" with the key and "live"; true once the server started the publication.
  platform::Async<bool> publish(platform::Nanos timeout);
  // Hands the message to the connection; the bytes it produced.
  platform::Async<int64_t> send(rtmpmedley::RTMPChunkType type, rtmpmedley::RTMPChunkStreamId chunkStreamId,
                                rtmpmedley::RTMPMessagePtr message);

  // The NetStream status codes received so far.
  std::vector<std::string> statuses() const;
  int monitorEvents() const { return monitorEvents_; }

 private:
  platform::Async<void> callIgnoringErrors(std::string name, rtmpmedley::AMFList arguments);

  std::weak_ptr<rtmpmedley::RTMPConnection> connection_;
  const std::string key_;
  uint32_t id_ = 0;
  bool publishing_ = false;
  std::atomic<int> monitorEvents_{0};
  mutable std::mutex mutex_;
  std::vector<std::string> statuses_;
};

}  // namespace rtmpsmoke
