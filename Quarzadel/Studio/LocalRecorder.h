#pragma once
// One local copy of the program: the pictures and sound that go live, written to
// an MPEG-4 file in the user's videos folder under "Quarzadel", named after the
// event's title and the time. The file is written in fragments of 2 s, so a copy
// cut short by a crash or a kill still plays up to its last fragment.
//
// appendVideo and appendAudio are called from the program pipelines' queues and
// return at once; all writing happens on the recorder's own serial queue, and
// finish is queued behind the buffers handed over before it.
//
// What waits for the copy is bounded by the length of program it holds: pictures
// the encoder has not taken (kVideoBacklogSeconds) and sound the sound input has
// not taken (kAudioBacklogSeconds). Past either, the oldest is dropped: pictures
// are counted in droppedVideoFrames and in the finished log line, sound frames in
// droppedAudioFrames and in a warning when the dropping starts and at the finish.
// Sound before the first picture is not written, by design, and not counted.
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

#include "Medley/Sources/Extension/AssetWriter.h"
#include "Platform/Dispatch/Runtime.h"
#include "Platform/Dispatch/SerialQueue.h"
#include "Platform/Media/PCMBuffer.h"
#include "Platform/Media/PCMBufferPool.h"
#include "Platform/Media/SampleBuffer.h"
#include "Platform/Time/AudioTime.h"
#include "Platform/Time/Date.h"
#include "Platform/Time/MediaTime.h"
#include "Quarzadel/Program/FrameGrid.h"
#include "Quarzadel/Program/StreamConfig.h"
#include "Quarzadel/Studio/TimedBacklog.h"

namespace quarzadel {

// A recorder that cannot be made: its domain, code and description.
struct LocalRecorderError : std::runtime_error {
  LocalRecorderError(std::string domain, int code, const std::string& description)
      : std::runtime_error(description), domain(std::move(domain)), code(code) {}
  std::string domain;
  int code;
};

class LocalRecorder : public std::enable_shared_from_this<LocalRecorder> {
 public:
  static constexpr const char* kFolderName = "Quarzadel";
  static constexpr size_t kMaximumBaseNameCharacters = 80;
  static constexpr int kAudioBitRate = 192'000;
  static constexpr int kAudioSampleRate = 48'000;
  static constexpr int kAudioChannels = 2;
  static constexpr double kFragmentSeconds = 2.0;
  // Pictures held while the encoder is briefly behind (a camera coming on air
  // costs it a few frame times); past this length of program the oldest is dropped.
  static constexpr double kVideoBacklogSeconds = 0.35;
  // Sound held while the sound input is behind; past this the oldest is dropped.
  static constexpr double kAudioBacklogSeconds = 1.0;
  // Sound waits for the next picture's turn on the queue, which takes it along,
  // and is queued on its own only once it holds this much (pictures paused): a
  // turn per sound buffer would wake the queue for a few milliseconds of sound.
  static constexpr double kAudioBatchSeconds = 0.05;

  // What the recorder takes from its surroundings.
  struct Environment {
    // The user's videos folder; the copy goes into its "Quarzadel" folder.
    std::filesystem::path moviesFolder;
    std::shared_ptr<platform::WallClock> wallClock = platform::WallClock::system();
    std::shared_ptr<platform::Runtime> runtime = platform::Runtime::shared();
    // From the publisher's encoder probe: without a hardware HEVC encoder the copy is
    // H.264, since a second software HEVC encode would starve the live one.
    bool hardwareHEVCEncoderAvailable = false;
    // Called once, on the main queue, when the file stops taking writes (a full
    // disk): the copy is to be finished then rather than at the stop.
    std::function<void(const std::shared_ptr<LocalRecorder>&)> onWriteFailure;
    // The videos folder of the environment (Platform/Files), set when none is given.
    static Environment standard();
  };

  using Completion = std::function<void(std::optional<std::filesystem::path> url, std::optional<std::string> error)>;
  // Free bytes of the volume that holds a folder; none when unknown.
  using VolumeSpace = std::function<std::optional<int64_t>(const std::filesystem::path& folder)>;

  // Creates the folder and the writer. Throws LocalRecorderError ("LocalRecorder",
  // code 1, "Can't record this format") when the writer cannot take the inputs, and
  // std::exception for a folder or file that cannot be made.
  static std::shared_ptr<LocalRecorder> make(std::string_view title, const StreamConfig& config,
                                             Environment environment = Environment::standard());
  LocalRecorder(std::string_view title, const StreamConfig& config, Environment environment);
  ~LocalRecorder();
  LocalRecorder(const LocalRecorder&) = delete;
  LocalRecorder& operator=(const LocalRecorder&) = delete;

  const std::filesystem::path& url() const { return url_; }
  // What the copy's pictures are encoded in: HEVC as chosen, until its encoder
  // starts in H.264 instead (the GPU's HEVC encoder did not start).
  bool isHEVC() const { return hevc_; }
  // The copy's average video rate: the codec's own, so H.264's once it encodes H.264.
  int videoBitRate() const { return videoBitRate_; }

  // One program picture; any thread; returns at once.
  void appendVideo(const platform::SampleBufferRef& sampleBuffer);
  // One program sound buffer with its time; any thread; returns at once.
  void appendAudio(const platform::PCMBufferRef& buffer, const platform::AudioTime& when);
  // Finishes the file after every buffer handed over before. The completion runs on
  // the main queue with the file on success, and the writer's error if it has one.
  // A file that failed while being written keeps its whole fragments and comes
  // with the error.
  void finish(Completion completion);

  // Free space of the volume holding the videos folder; the largest value when it
  // cannot be read, so that the copy is not refused for that.
  static int64_t freeSpace(const std::filesystem::path& moviesFolder, const VolumeSpace& volumeSpace = statvfsSpace);
  static std::optional<int64_t> statvfsSpace(const std::filesystem::path& folder);

  // The title with reserved characters made hyphens, trimmed (leading dots too, so
  // the copy is never a hidden file), cut to 80 characters (never inside a UTF-8
  // sequence); "Quarzadel" when nothing is left.
  static std::string baseName(std::string_view title);
  // "<base name> yyyy-MM-dd HH.mm.ss.mp4" in local time.
  static std::string fileName(std::string_view title, platform::Date date);

  // Pictures the encoder has not taken yet; on the queue, for tests that pace their input.
  size_t pendingEncoderFrames() const { return videoInput_->pendingEncoderFrames(); }
  // Pictures handed over and not yet given to the encoder; any thread, for the same tests.
  size_t heldPictures() const { return videoBacklog_.size(); }
  // Pictures and sound frames dropped so far because the copy was behind.
  int64_t droppedVideoFrames() const { return droppedVideoFrames_; }
  int64_t droppedAudioFrames() const { return droppedAudioFrames_; }
  const std::shared_ptr<platform::SerialQueue>& queue() const { return queue_; }

 private:
  struct Sound {
    platform::PCMBufferRef buffer;
    platform::AudioTime when;
  };

  // On the queue: starts the file at the first picture, then hands what waits to the inputs.
  void writeVideo();
  void writeAudio();
  // On the queue, after a picture went to the encoder: once it has started, the
  // codec it really encodes in; a change is logged.
  void noteEncodedCodec();
  // Tells the environment, once, when the writer has failed.
  void reportWriteFailure();
  // Hands the held pictures to the encoder while it takes them; with `wait`, waits for it.
  void drainVideoBacklog(bool wait);
  void drainAudioBacklog();
  void countDroppedSound(const std::vector<Sound>& dropped);
  void logDroppedSound() const;
  // What waited when the copy ended unwritten.
  void dropBacklogs();
  void finishOnQueue(Completion completion);
  void complete(Completion completion, std::optional<std::filesystem::path> url, std::optional<std::string> error);

  std::shared_ptr<platform::Runtime> runtime_;
  std::function<void(const std::shared_ptr<LocalRecorder>&)> onWriteFailure_;
  std::shared_ptr<platform::SerialQueue> queue_;
  std::filesystem::path url_;
  std::atomic<bool> hevc_{false};
  std::atomic<int> videoBitRate_{0};
  std::shared_ptr<medley::AssetWriter> writer_;
  std::shared_ptr<medley::AssetWriter::Input> videoInput_;
  std::shared_ptr<medley::AssetWriter::Input> audioInput_;
  // On the queue only.
  std::optional<platform::MediaTime> startPTS_;
  bool finished_ = false;
  bool failureReported_ = false;
  bool codecKnown_ = false;
  std::atomic<int64_t> droppedVideoFrames_{0};
  std::atomic<int64_t> droppedAudioFrames_{0};
  // Filled by the appends, emptied on the queue; a write is queued only when none is.
  TimedBacklog<platform::SampleBufferRef> videoBacklog_{kVideoBacklogSeconds};
  TimedBacklog<Sound> audioBacklog_{kAudioBacklogSeconds};
  std::atomic<bool> videoWriteQueued_{false};
  std::atomic<bool> audioWriteQueued_{false};
  // The copies of the producer's sound buffers.
  std::shared_ptr<platform::PCMBufferPool> soundCopies_ = platform::PCMBufferPool::make(16);
  double frameInterval_;
  // The copy's pictures on its frame-rate grid, as the stream's are; placed as
  // they are handed over.
  std::mutex gridMutex_;
  FrameGrid videoGrid_;
};

}  // namespace quarzadel
