#pragma once
// One RTMP NetStream carried by an RTMPConnection, an actor: it obtains its
// message stream id, publishes or plays, pauses, seeks and closes, matches the
// server's "onStatus" answers against its one waiting command, and turns
// encoded sound and pictures into audio and video messages with millisecond
// timestamp deltas and stream metadata.
//
// make() attaches the stream to its connection before it returns, so the
// connection creates it on the server ("createStream") once per connect, and
// no command can leave before the connection knows the stream. Every message
// the stream makes goes through the connection's ordered send at once, so
// messages reach the wire in the order they were made (a sequence header
// before its frames).
#include <atomic>
#include <cstdint>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Medley/Sources/Stream/IncomingStream.h"
#include "Medley/Sources/Stream/OutgoingStream.h"
#include "Medley/Sources/Stream/RawPictureQueue.h"
#include "Medley/Sources/Stream/StreamBase.h"
#include "Platform/Concurrency/AsyncStream.h"
#include "Platform/Concurrency/Continuation.h"
#include "Platform/Published/Published.h"
#include "RTMPMedley/Sources/RTMP/AMF/AMFTypes.h"
#include "RTMPMedley/Sources/RTMP/Connection/RTMPConnection.h"
#include "RTMPMedley/Sources/RTMP/Connection/RTMPResponse.h"
#include "RTMPMedley/Sources/RTMP/Connection/RTMPStatus.h"
#include "RTMPMedley/Sources/RTMP/Connection/RTMPStreamDelegate.h"
#include "RTMPMedley/Sources/RTMP/Stream/RTMPStreamInfo.h"
#include "RTMPMedley/Sources/RTMP/Stream/RTMPTimestamp.h"
#include "RTMPMedley/Sources/RTMP/Stream/RTMPVideoBacklog.h"

namespace rtmpmedley {

class RTMPStream final : public medley::StreamBase, public RTMPStreamDelegate {
 public:
  // NetStream status codes.
  enum class Code : uint8_t {
    bufferEmpty,
    bufferFlush,
    bufferFull,
    connectClosed,
    connectFailed,
    connectRejected,
    connectSuccess,
    drmUpdateNeeded,
    failed,
    multicastStreamReset,
    pauseNotify,
    playFailed,
    playFileStructureInvalid,
    playInsufficientBW,
    playNoSupportedTrackFound,
    playReset,
    playStart,
    playStop,
    playStreamNotFound,
    playTransition,
    playUnpublishNotify,
    publishBadName,
    publishIdle,
    publishStart,
    recordAlreadyExists,
    recordFailed,
    recordNoAccess,
    recordStart,
    recordStop,
    recordDiskQuotaExceeded,
    secondScreenStart,
    secondScreenStop,
    seekFailed,
    seekInvalidTime,
    seekNotify,
    stepNotify,
    unpauseNotify,
    unpublishSuccess,
    videoDimensionChange,
  };
  static constexpr size_t kCodeCount = 39;
  // Exactly the 39 texts, case-sensitive.
  static std::optional<Code> makeCode(std::string_view rawValue);
  static std::string_view rawValue(Code code);
  // "status", "warning" or "error".
  static std::string_view level(Code code);

  enum class HowToPublish : uint8_t { record, append, appendWithGap, live };
  static std::optional<HowToPublish> makeHowToPublish(std::string_view rawValue);
  static std::string_view rawValue(HowToPublish type);

  class Error : public std::exception {
   public:
    enum class Kind {
      // The peer answered the waiting command with a status whose level is not "status".
      requestFailed,
      // Not allowed in the stream's ready state; also what a waiting command
      // gets when a newer command takes its place.
      invalidState,
      // No matching answer within the request time-out.
      requestTimedOut,
      // Settings name a format the stream cannot carry.
      unsupportedCodec,
    };
    static Error requestFailed(RTMPResponse response);
    static Error invalidState(std::string why = {});
    static Error requestTimedOut();
    static Error unsupportedCodec();

    Kind kind() const { return kind_; }
    const std::optional<RTMPResponse>& response() const { return response_; }
    const char* what() const noexcept override { return message_.c_str(); }

   private:
    Error(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}
    Kind kind_;
    std::optional<RTMPResponse> response_;
    std::string message_;
  };

  // Attaches the new stream to the connection before returning.
  static std::shared_ptr<RTMPStream> make(const std::shared_ptr<RTMPConnection>& connection,
                                          std::optional<std::string> fcPublishName = std::nullopt);
  ~RTMPStream() override;

  // Commands.
  // "play" with the arguments (the stream name first); without a name, stops
  // playing through close.
  platform::Async<RTMPResponse> play(AMFList arguments);
  platform::Async<void> seek(double offset);
  // "publish" with the name and the type; without a name, stops publishing.
  platform::Async<RTMPResponse> publish(std::optional<std::string> name, HowToPublish type = HowToPublish::live);
  // "closeStream", after what the encoders still held has been sent; idle once
  // it is out; returns the answer ("NetStream.Play.Stop" or
  // "NetStream.Unpublish.Success").
  platform::Async<RTMPResponse> closeStream();
  // A data message while publishing; the first one of a handler since the
  // publish (or with `resetTimestamp`) carries the time since the publish.
  platform::Async<void> sendData(std::string handlerName, AMFList arguments, bool resetTimestamp = false);
  platform::Async<void> receiveAudio(bool flag);
  platform::Async<void> receiveVideo(bool flag);
  platform::Async<RTMPResponse> pause(bool paused);
  platform::Async<RTMPResponse> togglePause();

  // A new sequence of received statuses (unbounded); the one handed out
  // before is finished.
  platform::Async<platform::AsyncStream<RTMPStatus>> status();

  // RTMPStreamDelegate.
  platform::Async<uint32_t> id() override;
  platform::Async<std::optional<std::string>> fcPublishName() override;
  platform::Async<void> createStream() override;
  // closeStream(), for the connection's close: the answer is not needed.
  platform::Async<void> close() override;
  platform::Async<void> unpublishOnClose() override;
  // A command still waiting (a publish or play among them) fails at once with
  // the closing status, instead of waiting out its time-out.
  platform::Async<void> connectionClosed(RTMPStatus status) override;
  platform::Async<void> dispatch(RTMPMessagePtr message, RTMPChunkType type) override;
  platform::Async<void> dispatch(medley::NetworkMonitorEvent event) override;

  // StreamConvertible.
  platform::Async<medley::StreamReadyState> readyState() override;
  platform::Async<void> setAudioSettings(medley::AudioCodecSettings settings) override;
  platform::Async<void> setVideoSettings(medley::VideoCodecSettings settings) override;
  // A positive count bounds, at once, each queue of raw pictures on the way to
  // the encoder (the mixer hand-off's and the encoder thread's) to that many
  // pictures beside its bound in time, whichever is tighter; 0 or less: time alone.
  platform::Async<void> setVideoInputBufferCounts(int counts) override;
  // Compressed pictures are sent, raw pictures go to the encoder.
  platform::Async<void> append(platform::SampleBufferRef sampleBuffer) override;
  // Compressed sound is sent, PCM goes to the encoder.
  platform::Async<void> append(platform::AudioBufferRef buffer, platform::AudioTime when) override;

  // MediaMixerOutput: the hand-offs only queue, from any thread. Sound waits
  // in a list the actor takes in one turn; pictures wait in a queue bounded by
  // time (the oldest go once they span more than RawPictureQueue::kDefaultSpan),
  // from which the actor takes them one job at a time and passes them to the
  // encoder's thread, where they wait within the same span (HEVC in software:
  // the actor encodes them at once).
  platform::Async<std::optional<uint8_t>> videoTrackId() override;
  platform::Async<std::optional<uint8_t>> audioTrackId() override;
  void mixer(medley::MediaMixer& mixer, const platform::SampleBufferRef& sampleBuffer) override;
  void mixer(medley::MediaMixer& mixer, const platform::PCMBufferRef& buffer, const platform::AudioTime& when) override;
  platform::Async<void> selectTrack(std::optional<uint8_t> id, platform::MediaType mediaType) override;

  // The stream's state at one moment, for tools and tests.
  struct Snapshot {
    uint32_t id = 0;
    medley::StreamReadyState readyState = medley::StreamReadyState::idle;
    RTMPStreamInfo info;
    AMFArray metadata;
    bool audioSampleAccess = true;
    bool videoSampleAccess = true;
    uint16_t currentFPS = 0;
    uint16_t frameCount = 0;
    bool isPaused = false;
    HowToPublish howToPublish = HowToPublish::live;
    uint64_t requestTimeout = 0;
    std::optional<Code> expectedResponse;
    bool waiting = false;
    RTMPObjectEncoding objectEncoding = RTMPObjectEncoding::amf0;
    std::optional<platform::AudioFormat> audioFormat;
    platform::FormatDescriptionRef videoFormat;
    RTMPTimestamp audioTimestamp;
    RTMPTimestamp videoTimestamp;
    // Encoded frames handed to the connection since the stream was made.
    uint64_t videoMessages = 0;
    uint64_t audioMessages = 0;
    // Raw pictures the queues before the encoder, the encoder thread's
    // included, let go because it fell behind.
    uint64_t droppedVideoInput = 0;
    // Encoded pictures dropped because those before them waited too long for the network.
    uint64_t droppedVideoOutput = 0;
  };
  platform::Async<Snapshot> snapshot();
  platform::Publisher<medley::StreamReadyState> readyStatePublisher() const { return readyState_.publisher(); }
  platform::Publisher<uint16_t> currentFPSPublisher() const { return currentFPS_.publisher(); }
  // The codec of the pictures a publish sends (none before its first), which
  // is not the one set when the encoder had to fall back to another.
  platform::Publisher<std::optional<platform::FourCC>> sentVideoCodecPublisher() const {
    return sentVideoCodec_.publisher();
  }
  // The stream metadata as a publish would send it now.
  platform::Async<AMFArray> makeMetadata();
  // Stops the encoders and waits until what they still held has been sent,
  // so that a close that follows comes after the last frame.
  platform::Async<void> finishOutgoing();
  // The playback half, made on first use.
  platform::Async<std::shared_ptr<medley::IncomingStream>> incomingStream();

  // Frames counted between two monitor reports saturate here.
  static constexpr uint16_t kMaxFrameCount = 0xFFFF;

 protected:
  std::shared_ptr<medley::StreamPlayback> incoming() override;
  medley::OutgoingStream& outgoing() override { return outgoing_; }

 private:
  RTMPStream(const std::shared_ptr<RTMPConnection>& connection, std::optional<std::string> fcPublishName);
  std::shared_ptr<RTMPStream> self();
  std::shared_ptr<medley::IncomingStream> incomingHalf();

  // The send step: through the connection's ordered send, counted.
  void send(RTMPChunkType type, RTMPChunkStreamId chunkStreamId, const RTMPMessage& message);
  // Media: the connection writes the payload where it lies.
  void send(RTMPChunkType type, RTMPChunkStreamId chunkStreamId, std::shared_ptr<const RTMPMessage> message);
  // sendData's send step, on the stream's queue while publishing.
  void sendDataMessage(const std::string& handlerName, AMFList arguments, bool resetTimestamp);
  RTMPCommandMessage makeCommand(std::string name, AMFList arguments) const;
  // Takes the waiting slot (failing a displaced command), arms the time-out,
  // sends the command and waits for the answer. `generation`, when given, gets
  // the request's number at once: the request is current while
  // requestGeneration_ still equals it.
  enum class BeforeTimeout { nothing, startIncoming, stopIncoming };
  platform::Async<RTMPResponse> request(Code expected, RTMPCommandMessage command, BeforeTimeout before,
                                        bool idleOnceSent = false, uint64_t* generation = nullptr);
  static platform::Async<void> timeout(std::weak_ptr<RTMPStream> weak, uint64_t generation, BeforeTimeout before);
  void resolveWaiting(std::optional<RTMPResponse> response, std::exception_ptr error);
  void setReadyState(medley::StreamReadyState state);
  void yieldStatus(const RTMPStatus& status);
  uint32_t millisecondsSince(platform::Nanos since) const;

  // Formats, with the effects of a change.
  void setAudioFormat(std::optional<platform::AudioFormat> format);
  void setVideoFormat(platform::FormatDescriptionRef format);
  // Sends the metadata again when its video codec is no longer the one being sent.
  void updateMetadata();

  // Receiving.
  void dispatchCommand(const RTMPCommandMessage& message);
  void dispatchData(const class RTMPDataMessage& message);
  void receiveAudioMessage(const class RTMPAudioMessage& message, RTMPChunkType type);
  void receiveVideoMessage(const class RTMPVideoMessage& message, RTMPChunkType type);

  // Outgoing media.
  void startMixerInputs();
  void finishMixerInputs();
  // A raw picture to the encoder (and the outputs).
  void appendRawPicture(const platform::SampleBufferRef& sampleBuffer);
  // One job of the reader pass over the waiting pictures.
  static void takeRawPicture(const std::weak_ptr<RTMPStream>& weak);
  // Whether the actor calls the encoder itself rather than the session's own thread.
  bool encodesOnActor(const medley::VideoCodecSettings& settings) const;
  // Takes the sound handed in since the last turn; `close` takes no more after it.
  void takeSound(bool close = false);
  void appendRawSound(const platform::PCMBufferRef& buffer, const platform::AudioTime& when);
  void startPumps();
  AMFArray buildMetadata() const;

  std::weak_ptr<RTMPConnection> connection_;
  const std::optional<std::string> fcPublishName_;
  uint64_t requestTimeout_ = 3000;

  AMFArray metadata_;
  RTMPStreamInfo info_;
  RTMPObjectEncoding objectEncoding_ = RTMPObjectEncoding::amf0;
  bool audioSampleAccess_ = true;
  bool videoSampleAccess_ = true;
  platform::Published<uint16_t> currentFPS_{0};
  platform::Published<std::optional<platform::FourCC>> sentVideoCodec_;
  platform::Published<medley::StreamReadyState> readyState_{medley::StreamReadyState::idle};
  medley::MediaMixerTrackSelection tracks_;
  bool isPaused_ = false;
  platform::Nanos startedAt_ = 0;
  uint16_t frameCount_ = 0;
  std::shared_ptr<platform::CompressedAudioBuffer> audioBuffer_;
  HowToPublish howToPublish_ = HowToPublish::live;
  std::optional<platform::Continuation<RTMPResponse>> continuation_;
  std::optional<Code> expectedResponse_;
  // Which request the slot holds; a time-out ends only its own.
  uint64_t requestGeneration_ = 0;
  // The waiting request's time-out, cancelled once the request is resolved so
  // that no sleeping task outlives what it guards.
  std::optional<platform::TaskHandle<void>> timeoutTask_;
  std::map<std::string, platform::Nanos, std::less<>> dataTimestamps_;
  RTMPTimestamp audioTimestamp_;
  RTMPTimestamp videoTimestamp_;
  std::optional<platform::AsyncStreamWriter<RTMPStatus>> statusContinuation_;
  uint32_t id_ = 0;
  std::shared_ptr<medley::IncomingStream> incoming_;
  medley::OutgoingStream outgoing_;
  std::optional<platform::AudioFormat> audioFormat_;
  platform::FormatDescriptionRef videoFormat_;
  uint64_t videoMessages_ = 0;
  RTMPVideoBacklog videoBacklog_;
  uint64_t audioMessages_ = 0;
  // The encoded-media pumps of the current publish.
  std::vector<platform::TaskHandle<void>> pumps_;
  // A close waits for what the encoders still hold to go out; a second close
  // meanwhile finds the stream closing.
  bool closing_ = false;

  // The mixer hand-offs write from any thread.
  using AudioInput = std::pair<platform::PCMBufferRef, platform::AudioTime>;
  std::mutex mixerMutex_;
  bool takesSound_ = false;
  // Handed in, not yet taken: one turn of the actor takes what one job of the
  // caller hands in.
  std::vector<AudioInput> handedSound_;
  bool soundTurnQueued_ = false;
  // What the actor's turn is taking; touched on the actor only.
  std::vector<AudioInput> takenSound_;
  // Open from the construction task on; a picture handed in before is dropped.
  std::atomic<bool> takesPictures_{false};
  medley::RawPictureQueue rawPictures_;
};

}  // namespace rtmpmedley
