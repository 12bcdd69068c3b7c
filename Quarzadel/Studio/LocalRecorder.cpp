#include "Quarzadel/Studio/LocalRecorder.h"

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <limits>
#include <system_error>
#include <thread>

#include "Platform/Files/Folders.h"
#include "Quarzadel/App/AppInfo.h"
#include "Quarzadel/Log/Log.h"
#include "Quarzadel/Studio/CompleteFragments.h"

namespace quarzadel {

namespace {

constexpr std::string_view kReservedCharacters("/:\\?%*|\"<>\0", 11);

int averageBitRate(bool hevc, StreamConfig::Resolution resolution) {
  const bool hd1080 = resolution == StreamConfig::Resolution::hd1080;
  if (hevc) return hd1080 ? 10'000'000 : 6'000'000;
  return hd1080 ? 16'000'000 : 10'000'000;
}

// Creates the file only when no file of that name exists, so nothing is overwritten.
bool reserve(const std::filesystem::path& file) {
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    if (errno == EEXIST) return false;
    throw std::system_error(errno, std::generic_category(), file.string());
  }
  ::close(fd);
  return true;
}

}  // namespace

LocalRecorder::Environment LocalRecorder::Environment::standard() {
  Environment environment;
  environment.moviesFolder = platform::Folders::videos();
  return environment;
}

std::string LocalRecorder::baseName(std::string_view title) {
  std::string joined(title);
  for (char& c : joined) {
    if (kReservedCharacters.find(c) != std::string_view::npos) c = '-';
  }
  const auto first = joined.find_first_not_of(" \t.");
  if (first == std::string::npos) return kFolderName;
  const auto last = joined.find_last_not_of(" \t");
  std::string trimmed = joined.substr(first, last - first + 1);
  // Characters start at every byte that does not continue a UTF-8 sequence.
  size_t characters = 0;
  for (size_t i = 0; i < trimmed.size(); ++i) {
    if ((static_cast<unsigned char>(trimmed[i]) & 0xC0) == 0x80) continue;
    if (characters++ == kMaximumBaseNameCharacters) return trimmed.substr(0, i);
  }
  return trimmed;
}

std::string LocalRecorder::fileName(std::string_view title, platform::Date date) {
  return baseName(title) + " " + platform::formatDate(date, "yyyy-MM-dd HH.mm.ss") + ".mp4";
}

std::optional<int64_t> LocalRecorder::statvfsSpace(const std::filesystem::path& folder) {
  // The folder may not exist yet: ask the nearest folder that does.
  std::filesystem::path probe = folder;
  std::error_code error;
  while (!probe.empty() && !std::filesystem::exists(probe, error)) {
    if (probe == probe.parent_path()) break;
    probe = probe.parent_path();
  }
  struct statvfs info {};
  if (probe.empty() || ::statvfs(probe.c_str(), &info) != 0) return std::nullopt;
  return static_cast<int64_t>(info.f_bavail) * static_cast<int64_t>(info.f_frsize);
}

int64_t LocalRecorder::freeSpace(const std::filesystem::path& moviesFolder, const VolumeSpace& volumeSpace) {
  const auto space = volumeSpace ? volumeSpace(moviesFolder) : std::nullopt;
  return space.value_or(std::numeric_limits<int64_t>::max());
}

std::shared_ptr<LocalRecorder> LocalRecorder::make(std::string_view title, const StreamConfig& config,
                                                   Environment environment) {
  return std::make_shared<LocalRecorder>(title, config, std::move(environment));
}

LocalRecorder::LocalRecorder(std::string_view title, const StreamConfig& config, Environment environment)
    : runtime_(environment.runtime),
      onWriteFailure_(std::move(environment.onWriteFailure)),
      queue_(platform::SerialQueue::make(std::string(kAppIdentifierPrefix) + ".mac.recorder", runtime_,
                                         platform::QualityOfService::utility)),
      frameInterval_(1.0 / (config.frameRate > 0 ? config.frameRate : 30)),
      videoGrid_(config.frameRate) {
  const auto folder = environment.moviesFolder / kFolderName;
  std::error_code error;
  if (!platform::Folders::create(folder, error)) {
    throw std::system_error(error ? error : std::make_error_code(std::errc::not_a_directory), folder.string());
  }
  // Two copies started within the same second get distinct names.
  const auto name = fileName(title, environment.wallClock->now());
  const auto stem = name.substr(0, name.size() - 4);
  url_ = folder / name;
  for (int n = 2; !reserve(url_); ++n) url_ = folder / (stem + " " + std::to_string(n) + ".mp4");

  try {
    writer_ = medley::AssetWriter::make(url_, medley::AssetFileType::mpeg4, runtime_);
  } catch (...) {
    std::filesystem::remove(url_, error);
    throw;
  }
  writer_->movieFragmentInterval = platform::MediaTime::fromSeconds(kFragmentSeconds, 600);
  writer_->shouldOptimizeForNetworkUse = false;

  hevc_ = environment.hardwareHEVCEncoderAvailable;
  videoBitRate_ = averageBitRate(hevc_, config.resolution);
  medley::AssetVideoSettings video;
  video.codec = hevc_ ? medley::VideoCodecSettings::Format::hevc : medley::VideoCodecSettings::Format::h264;
  video.width = config.width();
  video.height = config.height();
  video.averageBitRate = videoBitRate_;
  video.expectedFrameRate = static_cast<int>(config.frameRate);
  video.maxKeyFrameIntervalDuration = 2;
  video.profileLevel = hevc_ ? "HEVC_Main_AutoLevel" : "H264_High_AutoLevel";
  video.requiresHardwareEncoder = hevc_;
  // H.264 in its place needs H.264's rate for the same picture.
  video.fallbackAverageBitRate = averageBitRate(false, config.resolution);
  video.color = platform::ColorAttachments::bt709();
  // The recorder's queue only hands pictures over: it encodes them itself.
  video.encodesOnAppendingThread = true;
  medley::AssetAudioSettings audio{kAudioSampleRate, kAudioChannels, kAudioBitRate};

  videoInput_ = std::make_shared<medley::AssetWriter::Input>(platform::MediaType::video, video);
  audioInput_ = std::make_shared<medley::AssetWriter::Input>(platform::MediaType::audio, audio);
  videoInput_->expectsMediaDataInRealTime = true;
  audioInput_->expectsMediaDataInRealTime = true;
  if (!writer_->canAdd(*videoInput_) || !writer_->canAdd(*audioInput_)) {
    std::filesystem::remove(url_, error);
    throw LocalRecorderError("LocalRecorder", 1, "Can't record this format");
  }
  writer_->add(videoInput_);
  writer_->add(audioInput_);
  Log::recordingCopy(url_, hevc_, videoBitRate_, __FILE__);
}

void LocalRecorder::noteEncodedCodec() {
  if (codecKnown_) return;
  const auto format = videoInput_->encodedVideoFormat();
  if (!format) return;
  codecKnown_ = true;
  const bool hevc = *format == medley::VideoCodecSettings::Format::hevc;
  if (hevc == hevc_) return;
  // The GPU's HEVC encoder did not start: the copy is H.264 at H.264's rate, and its line says so.
  hevc_ = hevc;
  videoBitRate_ = videoInput_->encodedVideoBitRate().value_or(videoBitRate_);
  Log::recordingCopy(url_, hevc, videoBitRate_, __FILE__);
}

LocalRecorder::~LocalRecorder() {
  if (writer_ && writer_->status() == medley::AssetWriter::Status::writing) writer_->cancelWriting();
}

void LocalRecorder::appendVideo(const platform::SampleBufferRef& picture) {
  if (!picture) return;
  platform::SampleBufferRef placed;
  {
    // Pictures carry their sources' own, jittering times: readers of a copy whose
    // times wander off the rate guess odd rates and drop or repeat pictures.
    std::lock_guard lock(gridMutex_);
    placed = videoGrid_.place(picture);
  }
  if (!placed) return;
  droppedVideoFrames_ += static_cast<int64_t>(videoBacklog_.push(std::move(placed), frameInterval_).size());
  if (!videoWriteQueued_.exchange(true)) queue_->async([self = shared_from_this()] { self->writeVideo(); });
}

void LocalRecorder::appendAudio(const platform::PCMBufferRef& buffer, const platform::AudioTime& when) {
  if (!buffer || buffer->frameLength() == 0) return;
  // Copied here: the producer may reuse its buffer once this returns.
  auto copy = soundCopies_->copy(*buffer);
  if (!copy) return countDroppedSound({Sound{buffer, when}});
  const double rate = buffer->format().sampleRate();
  const double seconds = rate > 0 ? buffer->frameLength() / rate : 0;
  countDroppedSound(audioBacklog_.push(Sound{std::move(copy), when}, seconds));
  if (audioBacklog_.heldSeconds() < kAudioBatchSeconds) return;
  if (!audioWriteQueued_.exchange(true)) queue_->async([self = shared_from_this()] { self->writeAudio(); });
}

void LocalRecorder::writeVideo() {
  videoWriteQueued_ = false;
  if (finished_) return dropBacklogs();
  if (!startPTS_) {
    const auto first = videoBacklog_.front();
    if (!first) return;
    if (!writer_->startWriting()) {
      const auto error = writer_->error();
      Log::recordingFailedToStart(error ? std::optional<LogError>(*error) : std::nullopt, __FILE__);
      finished_ = true;
      dropBacklogs();
      return reportWriteFailure();
    }
    const auto pts = (*first)->presentationTime();
    writer_->startSession(pts);
    startPTS_ = pts;
  }
  if (writer_->status() != medley::AssetWriter::Status::writing) {
    dropBacklogs();
    return reportWriteFailure();
  }
  drainVideoBacklog(false);
  drainAudioBacklog();
}

void LocalRecorder::drainVideoBacklog(bool wait) {
  // Only the pictures held now: on a machine too busy for the encoder to keep up,
  // pictures that come meanwhile would keep this going, and the sound, a finish
  // and every other turn of the queue would wait behind it until the sound held
  // was dropped. Those get a turn of their own; sound goes in after each picture.
  // The encoder runs inside append, but the writer's queue can still be full: a
  // finish waits a bounded while for it.
  for (size_t left = videoBacklog_.size(), waits = 0;
       left > 0 && writer_->status() == medley::AssetWriter::Status::writing;) {
    if (videoInput_->isReadyForMoreMediaData()) {
      const auto picture = videoBacklog_.pop();
      if (!picture) break;
      --left;
      videoInput_->append(*picture);
      noteEncodedCodec();
      drainAudioBacklog();
    } else if (wait && waits++ < 1000) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    } else {
      break;
    }
  }
}

void LocalRecorder::reportWriteFailure() {
  if (failureReported_ || writer_->status() != medley::AssetWriter::Status::failed) return;
  failureReported_ = true;
  if (!onWriteFailure_) return;
  runtime_->mainQueue()->async([self = shared_from_this()] { self->onWriteFailure_(self); });
}

void LocalRecorder::writeAudio() {
  audioWriteQueued_ = false;
  // A first picture handed over before this sound starts the file first.
  if (!finished_ && !startPTS_ && videoBacklog_.size() > 0) writeVideo();
  // Sound before the first picture is never written.
  if (finished_ || !startPTS_) return audioBacklog_.clear();
  if (writer_->status() != medley::AssetWriter::Status::writing) {
    dropBacklogs();
    return reportWriteFailure();
  }
  drainAudioBacklog();
}

void LocalRecorder::drainAudioBacklog() {
  while (audioBacklog_.size() > 0 && audioInput_->isReadyForMoreMediaData()) {
    const auto sound = audioBacklog_.pop();
    if (!sound) break;
    const auto host = sound->when.hostTime;
    if (platform::MediaTime::fromNanos(host) < *startPTS_) continue;  // before the first picture
    const double rate = sound->buffer->format().sampleRate();
    audioInput_->append(sound->buffer, platform::AudioTime::with(host, static_cast<int64_t>(host * rate / 1e9), rate));
  }
}

void LocalRecorder::countDroppedSound(const std::vector<Sound>& dropped) {
  int64_t frames = 0;
  for (const auto& sound : dropped) frames += sound.buffer->frameLength();
  if (frames == 0) return;
  // Said once when it starts; the total comes with the finish.
  if (droppedAudioFrames_.fetch_add(frames) == 0) {
    Log::recordingDroppingSound(url_, __FILE__);
  }
}

void LocalRecorder::logDroppedSound() const {
  const int64_t frames = droppedAudioFrames_;
  if (frames == 0) return;
  Log::recordingDroppedSound(url_, frames * 1000 / kAudioSampleRate, __FILE__);
}

void LocalRecorder::dropBacklogs() {
  videoBacklog_.clear();
  audioBacklog_.clear();
}

void LocalRecorder::finish(Completion completion) {
  queue_->async([self = shared_from_this(), completion = std::move(completion)]() mutable {
    self->finishOnQueue(std::move(completion));
  });
}

void LocalRecorder::finishOnQueue(Completion completion) {
  if (!finished_ && startPTS_ && writer_->status() == medley::AssetWriter::Status::writing) {
    finished_ = true;
    drainVideoBacklog(true);
    drainAudioBacklog();
    droppedVideoFrames_ += static_cast<int64_t>(videoBacklog_.takeAll().size());
    countDroppedSound(audioBacklog_.takeAll());
    logDroppedSound();
    videoInput_->markAsFinished();
    audioInput_->markAsFinished();
    writer_->finishWriting([self = shared_from_this(), completion = std::move(completion)]() mutable {
      const bool saved = self->writer_->status() == medley::AssetWriter::Status::completed;
      const auto error = self->writer_->error();
      const int64_t dropped = self->droppedVideoFrames_;
      Log::recordingFinished(saved, self->url_, error ? std::optional<LogError>(*error) : std::nullopt, dropped,
                             __FILE__);
      self->complete(std::move(completion), saved ? std::optional(self->url_) : std::nullopt, error);
    });
    return;
  }
  if (!finished_ && startPTS_ && writer_->status() == medley::AssetWriter::Status::failed) {
    // The file stopped taking writes: what it holds up to its last whole fragment plays.
    finished_ = true;
    droppedVideoFrames_ += static_cast<int64_t>(videoBacklog_.takeAll().size());
    audioBacklog_.clear();  // the file took no more: the failure is what is reported
    logDroppedSound();
    writer_->finishWriting([self = shared_from_this(), completion = std::move(completion)]() mutable {
      const auto error = self->writer_->error();
      const auto kept = CompleteFragments::keep(self->url_);
      if (kept && kept->fragments == 0) {
        std::error_code ignored;  // nothing in it plays
        std::filesystem::remove(self->url_, ignored);
      }
      Log::recordingFinished(false, self->url_, error ? std::optional<LogError>(*error) : std::nullopt,
                             self->droppedVideoFrames_, __FILE__);
      self->complete(std::move(completion), kept && kept->fragments > 0 ? std::optional(self->url_) : std::nullopt,
                     error);
    });
    return;
  }
  const bool neverWritten = !startPTS_;
  finished_ = true;
  dropBacklogs();
  if (neverWritten) {
    // The name was reserved for a file that never came.
    std::error_code ignored;
    if (std::filesystem::file_size(url_, ignored) == 0) std::filesystem::remove(url_, ignored);
  }
  complete(std::move(completion), std::nullopt, writer_->error());
}

void LocalRecorder::complete(Completion completion, std::optional<std::filesystem::path> url,
                             std::optional<std::string> error) {
  if (!completion) return;
  runtime_->mainQueue()->async([completion = std::move(completion), url = std::move(url), error = std::move(error)] {
    completion(url, error);
  });
}

}  // namespace quarzadel
