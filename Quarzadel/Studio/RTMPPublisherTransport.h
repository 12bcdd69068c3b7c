#pragma once
// What the publisher needs of one attempt's connection and stream, so tests
// can run the attempt loop against scripted peers. The RTMP implementation
// makes an RTMPConnection with the publisher's settings and an RTMPStream on
// it without a publish name.
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Medley/Sources/Codec/AudioCodecSettings.h"
#include "Medley/Sources/Codec/VideoCodecSettings.h"
#include "Medley/Sources/Stream/StreamBitRateStrategy.h"
#include "Platform/Concurrency/AsyncStream.h"
#include "Platform/Concurrency/Task.h"
#include "Platform/Published/Publisher.h"
#include "Quarzadel/Program/StreamConfig.h"
#include "Quarzadel/Studio/MediaSink.h"
#include "RTMPMedley/Sources/RTMP/Connection/RTMPStatus.h"
#include "RTMPMedley/Sources/RTMP/Connection/RTMPConnectionSettings.h"

namespace quarzadel {

// What became of the pictures one stream was given since it was made: handed
// to the connection, or dropped on the way (an encoder behind, pictures that
// waited too long for the network).
struct PictureCounts {
  int64_t sent = 0;
  int64_t dropped = 0;
};

class PublisherStream {
 public:
  virtual ~PublisherStream() = default;
  virtual platform::Async<void> setAudioSettings(medley::AudioCodecSettings settings) = 0;
  virtual platform::Async<void> setVideoSettings(medley::VideoCodecSettings settings) = 0;
  virtual platform::Async<medley::VideoCodecSettings> videoSettings() = 0;
  virtual platform::Async<void> setBitRateStrategy(std::shared_ptr<medley::StreamBitRateStrategy> strategy) = 0;
  // "publish" with the key as a live stream; returns at "NetStream.Publish.Start".
  virtual platform::Async<void> publish(std::string streamKey) = 0;
  virtual platform::Async<void> close() = 0;
  // A new sink that queues media into this stream, its pictures on this frame rate's grid.
  virtual std::shared_ptr<MediaSink> makeSink(double frameRate) = 0;
  // The codec of the pictures sent (none before the first), from any thread:
  // H.264 where the GPU's HEVC encoder it was set to did not start.
  virtual platform::Publisher<std::optional<StreamConfig::VideoCodec>> sentVideoCodec() = 0;
  virtual platform::Async<PictureCounts> pictureCounts() = 0;
};

class PublisherConnection {
 public:
  virtual ~PublisherConnection() = default;
  virtual platform::Async<void> connect(std::string serverURL) = 0;
  // Orderly: what is queued goes out first, then the connection ends.
  virtual platform::Async<void> close() = 0;
  // At once: the queue is dropped and the server sees a reset, so it frees
  // the stream key without waiting for a backlog it may never read.
  virtual platform::Async<void> abort() = 0;
  virtual platform::Async<platform::AsyncStream<rtmpmedley::RTMPStatus>> status() = 0;
  // The attempt's stream on this connection.
  virtual std::shared_ptr<PublisherStream> makeStream() = 0;
};

using PublisherConnectionFactory = std::function<std::shared_ptr<PublisherConnection>()>;

// RTMP connections with the publisher's settings; `makeTransport` empty: sockets.
PublisherConnectionFactory rtmpPublisherConnections(std::shared_ptr<platform::Runtime> runtime,
                                                    rtmpmedley::RTMPTransportFactory makeTransport = {});

}  // namespace quarzadel
