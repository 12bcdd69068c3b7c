#include "Medley/Sources/Stream/StreamRecorder.h"

#include <algorithm>
#include <cstdio>
#include <random>
#include <utility>

#include "Medley/Sources/Extension/PCMBufferExtensions.h"
#include "Platform/Concurrency/Concurrency.h"
#include "Platform/Concurrency/Continuation.h"
#include "Platform/Files/Folders.h"
#include "Platform/Media/PCMBuffer.h"

namespace medley {

using platform::Async;
using platform::MediaType;
using platform::SampleBufferRef;

namespace {

constexpr double kMinimumFragmentInterval = 10.0;

// A fresh UUID in upper-case hexadecimal with hyphens.
std::string makeUUID() {
  thread_local std::mt19937_64 random{std::random_device{}()};
  const uint64_t high = random(), low = random();
  uint8_t bytes[16];
  for (int i = 0; i < 8; ++i) {
    bytes[i] = static_cast<uint8_t>(high >> (56 - 8 * i));
    bytes[8 + i] = static_cast<uint8_t>(low >> (56 - 8 * i));
  }
  bytes[6] = (bytes[6] & 0x0F) | 0x40;  // version 4
  bytes[8] = (bytes[8] & 0x3F) | 0x80;  // variant 1
  char text[37];
  std::snprintf(text, sizeof text, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", bytes[0],
                bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8], bytes[9], bytes[10],
                bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
  return text;
}

std::string extensionOf(const std::filesystem::path& path) {
  const auto extension = path.extension().string();
  return extension.empty() ? std::string() : extension.substr(1);
}

}  // namespace

// ---- Error

StreamRecorder::Error StreamRecorder::Error::fileAlreadyExists(std::filesystem::path outputURL) {
  Error e(Kind::fileAlreadyExists, "a file already exists at " + outputURL.string());
  e.outputURL_ = std::move(outputURL);
  return e;
}

StreamRecorder::Error StreamRecorder::Error::notSupportedFileType(std::string pathExtension) {
  Error e(Kind::notSupportedFileType, "not a supported file type: \"" + pathExtension + "\"");
  e.pathExtension_ = std::move(pathExtension);
  return e;
}

StreamRecorder::Error StreamRecorder::Error::failedToAppend(std::optional<std::string> error) {
  Error e(Kind::failedToAppend, "failed to append: " + error.value_or("no error"));
  e.error_ = std::move(error);
  return e;
}

StreamRecorder::Error StreamRecorder::Error::failedToFinishWriting(std::optional<std::string> error) {
  Error e(Kind::failedToFinishWriting, "failed to finish writing: " + error.value_or("no error"));
  e.error_ = std::move(error);
  return e;
}

StreamRecorder::Error StreamRecorder::Error::invalidState() { return Error(Kind::invalidState, "invalid state"); }

// ---- Recorder

const StreamRecorder::Settings& StreamRecorder::defaultSettings() {
  static const Settings settings{
      {MediaType::audio, AssetAudioSettings{0, 0, 0}},
      {MediaType::video, AssetVideoSettings{}},
  };
  return settings;
}

std::shared_ptr<StreamRecorder> StreamRecorder::make(std::shared_ptr<platform::Runtime> runtime) {
  return std::make_shared<StreamRecorder>(std::move(runtime));
}

StreamRecorder::StreamRecorder(std::shared_ptr<platform::Runtime> runtime)
    : Actor("Medley.StreamRecorder", std::move(runtime)), moviesDirectory_(platform::Folders::videos()) {}

StreamRecorder::~StreamRecorder() {
  std::lock_guard lock(inputLock_);
  if (inputContinuation_) inputContinuation_->finish();
}

Async<StreamRecorder::Settings> StreamRecorder::settings() {
  co_await hop();
  co_return settings_;
}

Async<bool> StreamRecorder::isRecording() {
  co_await hop();
  co_return isRecording_;
}

Async<std::optional<double>> StreamRecorder::movieFragmentInterval() {
  co_await hop();
  co_return movieFragmentInterval_;
}

Async<std::filesystem::path> StreamRecorder::moviesDirectory() {
  co_await hop();
  co_return moviesDirectory_;
}

Async<std::optional<std::filesystem::path>> StreamRecorder::outputURL() {
  co_await hop();
  co_return writer_ ? std::optional(writer_->outputURL()) : std::nullopt;
}

Async<void> StreamRecorder::setMovieFragmentInterval(std::optional<double> seconds) {
  co_await hop();
  movieFragmentInterval_ = seconds ? std::optional(std::max(*seconds, kMinimumFragmentInterval)) : std::nullopt;
}

Async<void> StreamRecorder::setMoviesDirectory(std::filesystem::path directory) {
  co_await hop();
  moviesDirectory_ = std::move(directory);
}

Async<bool> StreamRecorder::isReadyForMoreMediaData(MediaType mediaType) {
  co_await hop();
  auto it = writerInputs_.find(mediaType);
  if (it == writerInputs_.end() || !writer_ || writer_->status() == AssetWriter::Status::unknown) co_return true;
  co_return it->second->isReadyForMoreMediaData();
}

Async<platform::AsyncStream<StreamRecorder::Error>> StreamRecorder::error() {
  co_await hop();
  auto [stream, writer] = platform::AsyncStream<Error>::make(platform::BufferingPolicy::unbounded());
  if (auto previous = std::exchange(continuation_, std::move(writer))) previous->finish();
  co_return std::move(stream);
}

std::filesystem::path StreamRecorder::makeOutputURL(const std::optional<std::filesystem::path>& url) const {
  const auto generated = [] { return makeUUID() + ".mp4"; };
  if (!url) return moviesDirectory_ / generated();
  // Absolute paths stand for file URLs; relative ones are taken from the movies folder.
  const auto base = url->is_absolute() ? *url : moviesDirectory_ / *url;
  if (url->has_extension()) return base;
  return base / generated();
}

Async<void> StreamRecorder::startRecording(std::optional<std::filesystem::path> url, Settings settings) {
  co_await hop();
  if (isRecording_) throw Error::invalidState();
  const auto outputURL = makeOutputURL(url);
  std::error_code ignored;
  if (std::filesystem::exists(outputURL, ignored)) throw Error::fileAlreadyExists(outputURL);
  const auto extension = extensionOf(outputURL);
  const auto fileType = assetFileType(extension);
  if (!fileType || *fileType == AssetFileType::flv) throw Error::notSupportedFileType(extension);
  auto writer = AssetWriter::make(outputURL, *fileType, queue()->runtime());
  writer_ = std::move(writer);
  if (movieFragmentInterval_) {
    writer_->movieFragmentInterval = platform::MediaTime(static_cast<int64_t>(*movieFragmentInterval_), 1);
  }
  videoPresentationTime_ = platform::MediaTime::zero();
  audioPresentationTime_ = platform::MediaTime::zero();
  settings_ = std::move(settings);
  startInputConsumer();
  isRecording_ = true;
}

Async<std::filesystem::path> StreamRecorder::stopRecording() {
  co_await hop();
  if (!isRecording_) throw Error::invalidState();
  auto writer = writer_;
  if (writer && writer->status() == AssetWriter::Status::writing) {
    for (auto& [type, input] : writerInputs_) input->markAsFinished();
    co_await platform::withContinuation<void>([writer](platform::Continuation<void> done) {
      writer->finishWriting([done] { done.resume(); });
    });
    co_await hop();
    const auto url = writer->outputURL();
    reset();
    // A file that could not be completed is a failure, not a recording.
    if (writer->status() != AssetWriter::Status::completed) throw Error::failedToFinishWriting(writer->error());
    co_return url;
  }
  const auto error = writer ? writer->error() : std::nullopt;
  reset();
  throw Error::failedToFinishWriting(error);
}

void StreamRecorder::reset() {
  stopInputConsumer();
  isRecording_ = false;
  if (auto previous = std::exchange(continuation_, std::nullopt)) previous->finish();
  writer_.reset();
  writerInputs_.clear();
}

void StreamRecorder::startInputConsumer() {
  auto [stream, writer] = platform::AsyncStream<SampleBufferRef>::make(platform::BufferingPolicy::unbounded());
  {
    std::lock_guard lock(inputLock_);
    inputContinuation_ = std::move(writer);
  }
  inputConsumerTask_ = platform::spawn(
      queue(),
      [](std::shared_ptr<StreamRecorder> self, platform::AsyncStream<SampleBufferRef> input) -> Async<void> {
        while (auto sampleBuffer = co_await input.next()) self->append(*sampleBuffer);
      },
      shared_from_this(), std::move(stream));
}

void StreamRecorder::stopInputConsumer() {
  {
    std::lock_guard lock(inputLock_);
    if (inputContinuation_) inputContinuation_->finish();
    inputContinuation_.reset();
  }
  inputConsumerTask_.cancel();
  inputConsumerTask_ = {};
}

void StreamRecorder::enqueue(const SampleBufferRef& sampleBuffer) {
  if (!sampleBuffer) return;
  std::lock_guard lock(inputLock_);
  if (inputContinuation_) inputContinuation_->yield(sampleBuffer);
}

void StreamRecorder::enqueue(const platform::PCMBufferRef& buffer, const platform::AudioTime& when) {
  if (!buffer) return;
  {
    std::lock_guard lock(inputLock_);
    if (!inputContinuation_) return;
  }
  if (auto sampleBuffer = makeSampleBuffer(*buffer, when)) enqueue(sampleBuffer);
}

void StreamRecorder::append(const SampleBufferRef& sampleBuffer) {
  if (!isRecording_ || !writer_) return;
  const auto& format = sampleBuffer->formatDescription();
  const MediaType type = format && format->mediaType() == MediaType::video ? MediaType::video : MediaType::audio;
  auto input = makeWriterInput(type, format);
  if (!input) return;
  if (settings_.size() != writer_->inputs().size()) return;
  if (writer_->status() == AssetWriter::Status::unknown) {
    if (!writer_->startWriting()) {
      if (continuation_) continuation_->yield(Error::failedToAppend(writer_->error()));
      return;
    }
    writer_->startSession(sampleBuffer->presentationTime());
  }
  if (!input->isReadyForMoreMediaData()) return;
  if (input->append(sampleBuffer)) {
    (type == MediaType::video ? videoPresentationTime_ : audioPresentationTime_) = sampleBuffer->presentationTime();
  } else if (continuation_) {
    continuation_->yield(Error::failedToAppend(writer_->error()));
  }
}

std::shared_ptr<AssetWriter::Input> StreamRecorder::makeWriterInput(MediaType mediaType,
                                                                    const platform::FormatDescriptionRef& hint) {
  if (auto it = writerInputs_.find(mediaType); it != writerInputs_.end()) return it->second;
  AssetOutputSettings output;
  if (auto entry = settings_.find(mediaType); entry != settings_.end()) {
    if (mediaType == MediaType::audio) {
      if (const auto* audio = std::get_if<AssetAudioSettings>(&entry->second); audio && hint && hint->audioFormat()) {
        auto filled = *audio;
        if (filled.sampleRate == 0) filled.sampleRate = static_cast<int>(hint->audioFormat()->sampleRate());
        if (filled.channels == 0) filled.channels = static_cast<int>(hint->audioFormat()->channelCount());
        output = filled;
      }
    } else if (const auto* video = std::get_if<AssetVideoSettings>(&entry->second)) {
      dimensions_ = hint ? hint->dimensions() : platform::VideoDimensions{};
      auto filled = *video;
      if (filled.width == 0) filled.width = dimensions_.width;
      if (filled.height == 0) filled.height = dimensions_.height;
      output = filled;
    }
  }
  if (!writer_) return nullptr;
  if (!writer_->canApplyOutputSettings(output, mediaType)) return nullptr;
  // The file's tracks are fixed once writing has started.
  if (writer_->status() != AssetWriter::Status::unknown) return nullptr;
  auto input = std::make_shared<AssetWriter::Input>(mediaType, output, hint);
  input->expectsMediaDataInRealTime = true;
  writerInputs_[mediaType] = input;
  writer_->add(input);
  return input;
}

// ---- Hand-offs

Async<std::optional<uint8_t>> StreamRecorder::videoTrackId() {
  co_await hop();
  co_return tracks_.videoTrackId;
}

Async<std::optional<uint8_t>> StreamRecorder::audioTrackId() {
  co_await hop();
  co_return tracks_.audioTrackId;
}

Async<void> StreamRecorder::selectTrack(std::optional<uint8_t> id, MediaType mediaType) {
  co_await hop();
  tracks_.select(id, mediaType);
}

void StreamRecorder::mixer(MediaMixer&, const SampleBufferRef& sampleBuffer) { enqueue(sampleBuffer); }

void StreamRecorder::mixer(MediaMixer&, const platform::PCMBufferRef& buffer, const platform::AudioTime& when) {
  enqueue(buffer, when);
}

void StreamRecorder::stream(StreamConvertible&, const platform::AudioBufferRef& buffer, const platform::AudioTime& when) {
  // Encoded sound is not recorded.
  if (auto pcm = std::dynamic_pointer_cast<platform::PCMBuffer>(buffer)) enqueue(pcm, when);
}

void StreamRecorder::stream(StreamConvertible&, const SampleBufferRef& sampleBuffer) { enqueue(sampleBuffer); }

}  // namespace medley
