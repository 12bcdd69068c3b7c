#pragma once
// Records what a media mixer mixes, or what a stream sends or plays, into an
// MPEG-4 or QuickTime movie. Media arrives on any thread through the hand-offs,
// which only enqueue it; one consumer task on the recorder's actor writes it in
// arrival order. Each media type gets its writer input from its first sample, with
// the zero values of its settings (size, sample rate, channels) taken from that
// sample; writing starts once every media type of the settings has its input.
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>

#include "Medley/Sources/Extension/AssetWriter.h"
#include "Medley/Sources/Mixer/MediaMixerOutput.h"
#include "Medley/Sources/Stream/StreamOutput.h"
#include "Platform/Concurrency/Actor.h"
#include "Platform/Concurrency/AsyncStream.h"
#include "Platform/Concurrency/Task.h"

namespace medley {

class StreamRecorder final : public platform::Actor,
                             public MediaMixerOutput,
                             public StreamOutput,
                             public std::enable_shared_from_this<StreamRecorder> {
 public:
  // Output settings per media type; a media type without an entry is written as it comes.
  using Settings = std::map<platform::MediaType, AssetOutputSettings>;

  class Error : public std::runtime_error {
   public:
    enum class Kind {
      fileAlreadyExists,
      notSupportedFileType,
      failedToCreateAssetWriter,
      failedToCreateAssetWriterInput,
      failedToAppend,
      failedToFinishWriting,
      invalidState,
    };
    static Error fileAlreadyExists(std::filesystem::path outputURL);
    static Error notSupportedFileType(std::string pathExtension);
    static Error failedToAppend(std::optional<std::string> error);
    static Error failedToFinishWriting(std::optional<std::string> error);
    static Error invalidState();

    Kind kind() const { return kind_; }
    const std::filesystem::path& outputURL() const { return outputURL_; }
    const std::string& pathExtension() const { return pathExtension_; }
    // The writer's error, when it had one.
    const std::optional<std::string>& error() const { return error_; }

   private:
    Error(Kind kind, const std::string& what) : std::runtime_error(what), kind_(kind) {}
    Kind kind_;
    std::filesystem::path outputURL_;
    std::string pathExtension_;
    std::optional<std::string> error_;
  };

  // AAC and H.264, with sample rate, channels and picture size from the first samples.
  static const Settings& defaultSettings();

  static std::shared_ptr<StreamRecorder> make(std::shared_ptr<platform::Runtime> runtime = platform::Runtime::shared());
  explicit StreamRecorder(std::shared_ptr<platform::Runtime> runtime);
  ~StreamRecorder() override;

  platform::Async<Settings> settings();
  platform::Async<bool> isRecording();
  platform::Async<std::optional<double>> movieFragmentInterval();
  platform::Async<std::filesystem::path> moviesDirectory();
  // The current writer's file, none without a writer.
  platform::Async<std::optional<std::filesystem::path>> outputURL();
  // None clears it; a value is kept at 10 seconds or more.
  platform::Async<void> setMovieFragmentInterval(std::optional<double> seconds);
  // Tests point this at a scratch folder.
  platform::Async<void> setMoviesDirectory(std::filesystem::path directory);

  // Throws Error (invalidState, fileAlreadyExists, notSupportedFileType) or the
  // writer's AssetWriterError; the recorder stays idle then.
  platform::Async<void> startRecording(std::optional<std::filesystem::path> url, Settings settings);
  // The finished file. Throws invalidState when not recording, and
  // failedToFinishWriting when nothing was written or the file could not be
  // completed; the recorder is idle afterwards either way.
  platform::Async<std::filesystem::path> stopRecording();
  // Whether the input of a media type takes more now (true before it exists):
  // producers that are not live can pace themselves on it.
  platform::Async<bool> isReadyForMoreMediaData(platform::MediaType mediaType);
  // A new sequence of append failures; the one obtained before ends.
  platform::Async<platform::AsyncStream<Error>> error();

  // MediaMixerOutput
  platform::Async<std::optional<uint8_t>> videoTrackId() override;
  platform::Async<std::optional<uint8_t>> audioTrackId() override;
  void mixer(MediaMixer& mixer, const platform::SampleBufferRef& sampleBuffer) override;
  void mixer(MediaMixer& mixer, const platform::PCMBufferRef& buffer, const platform::AudioTime& when) override;
  platform::Async<void> selectTrack(std::optional<uint8_t> id, platform::MediaType mediaType) override;

  // StreamOutput
  void stream(StreamConvertible& stream, const platform::AudioBufferRef& buffer,
              const platform::AudioTime& when) override;
  void stream(StreamConvertible& stream, const platform::SampleBufferRef& sampleBuffer) override;

 private:
  std::filesystem::path makeOutputURL(const std::optional<std::filesystem::path>& url) const;
  void enqueue(const platform::SampleBufferRef& sampleBuffer);
  void enqueue(const platform::PCMBufferRef& buffer, const platform::AudioTime& when);
  void append(const platform::SampleBufferRef& sampleBuffer);
  std::shared_ptr<AssetWriter::Input> makeWriterInput(platform::MediaType mediaType,
                                                      const platform::FormatDescriptionRef& hint);
  void startInputConsumer();
  void stopInputConsumer();
  void reset();

  Settings settings_ = defaultSettings();
  bool isRecording_ = false;
  std::optional<double> movieFragmentInterval_;
  MediaMixerTrackSelection tracks_;
  std::filesystem::path moviesDirectory_;
  std::shared_ptr<AssetWriter> writer_;
  std::optional<platform::AsyncStreamWriter<Error>> continuation_;
  std::map<platform::MediaType, std::shared_ptr<AssetWriter::Input>> writerInputs_;
  platform::MediaTime audioPresentationTime_ = platform::MediaTime::zero();
  platform::MediaTime videoPresentationTime_ = platform::MediaTime::zero();
  platform::VideoDimensions dimensions_{};
  platform::TaskHandle<void> inputConsumerTask_;

  // The hand-offs read it from any thread.
  mutable std::mutex inputLock_;
  std::optional<platform::AsyncStreamWriter<platform::SampleBufferRef>> inputContinuation_;
};

}  // namespace medley
