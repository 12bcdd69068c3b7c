#include "Quarzadel/Studio/RTMPPublisherTransport.h"

#include "Medley/Sources/Mixer/MediaMixer.h"
#include "Quarzadel/Studio/RTMPStreamSink.h"
#include "RTMPMedley/Sources/RTMP/Connection/RTMPConnection.h"
#include "RTMPMedley/Sources/RTMP/Stream/RTMPStream.h"

namespace quarzadel {
namespace {

using rtmpmedley::RTMPConnection;
using rtmpmedley::RTMPStream;

class RTMPPublisherStream final : public PublisherStream {
 public:
  RTMPPublisherStream(std::shared_ptr<RTMPStream> stream, std::shared_ptr<platform::Runtime> runtime)
      : stream_(std::move(stream)), runtime_(std::move(runtime)) {}
  platform::Async<void> setAudioSettings(medley::AudioCodecSettings settings) override {
    return stream_->setAudioSettings(std::move(settings));
  }
  platform::Async<void> setVideoSettings(medley::VideoCodecSettings settings) override {
    return stream_->setVideoSettings(std::move(settings));
  }
  platform::Async<medley::VideoCodecSettings> videoSettings() override { return stream_->videoSettings(); }
  platform::Async<void> setBitRateStrategy(std::shared_ptr<medley::StreamBitRateStrategy> strategy) override {
    return stream_->setBitRateStrategy(std::move(strategy));
  }
  platform::Async<void> publish(std::string streamKey) override {
    co_await stream_->publish(std::move(streamKey), RTMPStream::HowToPublish::live);
  }
  platform::Async<void> close() override { return stream_->close(); }
  std::shared_ptr<MediaSink> makeSink(double frameRate) override {
    auto mixer = std::make_shared<medley::MediaMixer>(medley::MediaMixer::CaptureSessionMode::manual, false, runtime_);
    return std::make_shared<RTMPStreamSink>(stream_, std::move(mixer), frameRate);
  }
  platform::Publisher<std::optional<StreamConfig::VideoCodec>> sentVideoCodec() override {
    return stream_->sentVideoCodecPublisher().map([](const std::optional<platform::FourCC>& codec) {
      std::optional<StreamConfig::VideoCodec> sent;
      if (codec == platform::codec::hevc) sent = StreamConfig::VideoCodec::hevc;
      if (codec == platform::codec::h264) sent = StreamConfig::VideoCodec::h264;
      return sent;
    });
  }
  platform::Async<PictureCounts> pictureCounts() override {
    const auto s = co_await stream_->snapshot();
    co_return PictureCounts{static_cast<int64_t>(s.videoMessages),
                            static_cast<int64_t>(s.droppedVideoInput + s.droppedVideoOutput)};
  }

 private:
  std::shared_ptr<RTMPStream> stream_;
  std::shared_ptr<platform::Runtime> runtime_;
};

class RTMPPublisherConnection final : public PublisherConnection {
 public:
  RTMPPublisherConnection(std::shared_ptr<RTMPConnection> connection, std::shared_ptr<platform::Runtime> runtime)
      : connection_(std::move(connection)), runtime_(std::move(runtime)) {}
  platform::Async<void> connect(std::string serverURL) override {
    co_await connection_->connect(std::move(serverURL));
  }
  platform::Async<void> close() override { return connection_->close(); }
  platform::Async<void> abort() override { return connection_->abort(); }
  platform::Async<platform::AsyncStream<rtmpmedley::RTMPStatus>> status() override { return connection_->status(); }
  std::shared_ptr<PublisherStream> makeStream() override {
    return std::make_shared<RTMPPublisherStream>(RTMPStream::make(connection_), runtime_);
  }

 private:
  std::shared_ptr<RTMPConnection> connection_;
  std::shared_ptr<platform::Runtime> runtime_;
};

}  // namespace

PublisherConnectionFactory rtmpPublisherConnections(std::shared_ptr<platform::Runtime> runtime,
                                                    rtmpmedley::RTMPTransportFactory makeTransport) {
  return [runtime, makeTransport] {
    RTMPConnection::Settings settings;
    settings.capsEx = 0;
    settings.timeout = std::chrono::seconds(15);
    settings.requestTimeout = std::chrono::milliseconds(10000);
    settings.chunkSize = 8192;
    settings.qualityOfService = platform::QualityOfService::userInitiated;
    settings.makeTransport = makeTransport;
    auto connection = std::make_shared<RTMPConnection>(std::move(settings), runtime);
    return std::shared_ptr<PublisherConnection>(std::make_shared<RTMPPublisherConnection>(connection, runtime));
  };
}

}  // namespace quarzadel
