#pragma once
// Writes media into an MPEG-4, QuickTime or FLV file through libavformat. Each
// input takes either encoded media, written as it comes, or raw pictures and PCM
// sound, encoded first with our codecs (H.264 or HEVC, AAC). An input's track is
// made from its first encoded sample; the container's header goes out once every
// input has one, and what comes before waits for it.
//
// Times are written relative to the session's start; samples that end before it
// are left out. With a fragment interval the file is written as fragments (cut at
// key frames, and at the interval), each flushed to the disk, so a file cut short
// by a crash still plays up to its last whole fragment. Pictures carry their
// colour tags in the stream and in the container (BT.709 unless the encoded
// stream says otherwise).
//
// Threads: inputs are appended to from any thread, one thread at a time per input;
// packets are written on the writer's own queue. finishWriting completes there.
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "Medley/Sources/Codec/VideoCodecSettings.h"
#include "Platform/Concurrency/Task.h"
#include "Platform/Dispatch/SerialQueue.h"
#include "Platform/Media/AudioBuffer.h"
#include "Platform/Media/ColorAttachments.h"
#include "Platform/Media/FormatDescription.h"
#include "Platform/Media/PCMBuffer.h"
#include "Platform/Media/SampleBuffer.h"
#include "Platform/Time/AudioTime.h"
#include "Platform/Time/MediaTime.h"

struct AVFormatContext;
struct AVPacket;

namespace medley {

class AudioCodec;
class VideoCodec;

enum class AssetFileType { mpeg4, quickTimeMovie, flv };
// "mp4", "mov" or "flv", exactly; none for anything else.
std::optional<AssetFileType> assetFileType(std::string_view pathExtension);

// Raw pictures encoded to H.264 or HEVC.
struct AssetVideoSettings {
  VideoCodecSettings::Format codec = VideoCodecSettings::Format::h264;
  int width = 0;
  int height = 0;
  int averageBitRate = 0;  // 0: the encoder's default
  std::optional<int> expectedFrameRate;
  int maxKeyFrameIntervalDuration = 2;
  std::string profileLevel;  // empty: main profile, automatic level
  bool requiresHardwareEncoder = false;  // HEVC on the GPU only
  // The average rate of the H.264 that stands in where that GPU encoder does not
  // start; 0: averageBitRate.
  int fallbackAverageBitRate = 0;
  platform::ColorAttachments color = platform::ColorAttachments::bt709();
  // Constant holds averageBitRate with a rate buffer of one second.
  VideoCodecSettings::BitRateMode bitRateMode = VideoCodecSettings::BitRateMode::average();
  // Each picture is encoded inside append, on the appending thread, with no
  // encoder thread or queue in between: for an owner whose own queue only hands
  // pictures over and bounds what waits for it.
  bool encodesOnAppendingThread = false;
};

// PCM encoded to AAC.
struct AssetAudioSettings {
  int sampleRate = 0;  // 0: the input's
  int channels = 0;    // 0: the input's
  int bitRate = 0;     // 0: the encoder's default
};

// Nothing: the input takes encoded media and writes it unchanged.
using AssetOutputSettings = std::variant<std::monostate, AssetVideoSettings, AssetAudioSettings>;

struct AssetWriterError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

class AssetWriter : public std::enable_shared_from_this<AssetWriter> {
 public:
  enum class Status { unknown, writing, completed, failed, cancelled };

  class Input {
   public:
    // An input says it is busy (isReadyForMoreMediaData false) while any of these
    // holds this much of its media; the caller keeps or drops what it has not
    // handed over, nothing handed over is dropped here.
    // Raw pictures waiting for the encoder, at most its own queue's three (past
    // that the encoder itself would drop the oldest).
    static constexpr double kEncoderQueueSeconds = 0.1;
    static constexpr size_t kEncoderQueueMost = 3;
    // Encoded samples waiting for the writer's queue.
    static constexpr double kPendingSeconds = 2.0;
    // Media handed to the encoder and not yet in the file (the encoder's own delay
    // and what waits for a slow disk), once the file has begun.
    static constexpr double kWriterQueueSeconds = 3.0;

    Input(platform::MediaType mediaType, AssetOutputSettings settings,
          platform::FormatDescriptionRef sourceFormatHint = nullptr);
    ~Input();
    Input(const Input&) = delete;
    Input& operator=(const Input&) = delete;

    platform::MediaType mediaType() const { return mediaType_; }
    const AssetOutputSettings& outputSettings() const { return settings_; }
    bool expectsMediaDataInRealTime = false;

    // False while the encoder or the writer is behind, and after markAsFinished.
    bool isReadyForMoreMediaData() const;
    // A raw picture, a PCM sample buffer or an encoded sample. False when it was
    // not taken: not writing, finished, or of the wrong kind.
    bool append(const platform::SampleBufferRef& sampleBuffer);
    // PCM (encoded here) or AAC packets (written as they are).
    bool append(const platform::AudioBufferRef& buffer, const platform::AudioTime& when);
    // Ends the input: what the encoder still holds is written first.
    void markAsFinished();
    // Raw pictures the encoder has not taken yet; from the appending thread.
    size_t pendingEncoderFrames() const;
    // The codec the pictures are encoded in, once the encoder has started: H.264
    // where the GPU's HEVC encoder asked for did not start. None before the first
    // picture and for inputs that take no raw pictures. From the appending thread.
    std::optional<VideoCodecSettings::Format> encodedVideoFormat() const;
    // The bit rate those pictures are encoded at, on the same terms.
    std::optional<int> encodedVideoBitRate() const;
    // Seconds of media handed over and not yet written; 0 before the first write.
    double unwrittenSeconds() const;

   private:
    friend class AssetWriter;
    struct Track;
    bool accepting() const;
    void noteAppended(const platform::MediaTime& time);
    void start(const std::shared_ptr<AssetWriter>& writer);

    platform::MediaType mediaType_;
    AssetOutputSettings settings_;
    platform::FormatDescriptionRef hint_;
    std::weak_ptr<AssetWriter> writer_;
    std::shared_ptr<Track> track_;
    std::unique_ptr<VideoCodec> videoCodec_;
    std::unique_ptr<AudioCodec> audioCodec_;
    platform::TaskHandle<void> reader_;
    std::atomic<bool> finished_{false};
    // The latest time handed over, in nanoseconds.
    std::atomic<int64_t> appendedUpTo_{INT64_MIN};
  };

  // Throws AssetWriterError when the file cannot be made.
  static std::shared_ptr<AssetWriter> make(std::filesystem::path url, AssetFileType fileType,
                                           std::shared_ptr<platform::Runtime> runtime = platform::Runtime::shared());
  AssetWriter(std::filesystem::path url, AssetFileType fileType, std::shared_ptr<platform::Runtime> runtime);
  ~AssetWriter();
  AssetWriter(const AssetWriter&) = delete;
  AssetWriter& operator=(const AssetWriter&) = delete;

  const std::filesystem::path& outputURL() const { return url_; }
  AssetFileType fileType() const { return fileType_; }
  // Set before startWriting: fragments of about this length; none writes one movie at the end.
  std::optional<platform::MediaTime> movieFragmentInterval;
  // Set before startWriting: the movie's index goes first (not with fragments).
  bool shouldOptimizeForNetworkUse = false;

  bool canApplyOutputSettings(const AssetOutputSettings& settings, platform::MediaType mediaType) const;
  bool canAdd(const Input& input) const;
  // Only before startWriting.
  void add(const std::shared_ptr<Input>& input);
  const std::vector<std::shared_ptr<Input>>& inputs() const { return inputs_; }

  // Opens the file. False (status failed, error set) when it cannot be written.
  bool startWriting();
  // Times are written relative to this one.
  void startSession(platform::MediaTime sourceTime);
  // Finishes every input not finished yet, then writes the rest and the index and
  // closes the file; `completion` runs on the writer's queue when it is done.
  void finishWriting(std::function<void()> completion);
  // Stops at once; the file keeps what was written.
  void cancelWriting();

  Status status() const;
  // The failure, none while there is none.
  std::optional<std::string> error() const;
  const std::shared_ptr<platform::SerialQueue>& queue() const { return queue_; }

  // Packets written so far, per track in the order of the inputs (on the queue).
  std::vector<int64_t> writtenPackets() const;

 private:
  friend class Input;
  struct Packet;
  void enqueue(const std::shared_ptr<Input::Track>& track, Packet packet);
  void write(Input::Track& track, Packet packet);
  void openTrack(Input::Track& track, const Packet& packet);
  void writeHeaderWhenReady(bool finishing);
  void fail(const std::string& message);
  void closeFile();

  std::filesystem::path url_;
  AssetFileType fileType_;
  std::shared_ptr<platform::SerialQueue> queue_;
  std::vector<std::shared_ptr<Input>> inputs_;
  std::vector<std::shared_ptr<Input::Track>> tracks_;

  mutable std::mutex mutex_;  // status, error, session start
  Status status_ = Status::unknown;
  std::optional<std::string> error_;
  std::optional<platform::MediaTime> sessionStart_;

  // On the queue only.
  AVFormatContext* context_ = nullptr;
  AVPacket* packet_ = nullptr;  // reused for every packet written
  bool headerWritten_ = false;
  bool finishing_ = false;
};

}  // namespace medley
