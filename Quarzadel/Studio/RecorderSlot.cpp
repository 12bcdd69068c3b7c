#include "Quarzadel/Studio/RecorderSlot.h"

#include <exception>
#include <utility>

#include "Platform/Concurrency/Continuation.h"
#include "Quarzadel/Log/Log.h"
#include "Quarzadel/Studio/RevealFile.h"

namespace quarzadel {

std::shared_ptr<LocalRecorder> RecorderSlot::recorder() const {
  std::lock_guard lock(lock_);
  return recorder_;
}

void RecorderSlot::setRecorder(std::shared_ptr<LocalRecorder> recorder) {
  std::lock_guard lock(lock_);
  recorder_ = std::move(recorder);
}

std::optional<std::filesystem::path> RecorderSlot::recordingURL() const {
  auto current = recorder();
  return current ? std::optional(current->url()) : std::nullopt;
}

void RecorderSlot::appendVideo(const platform::SampleBufferRef& sampleBuffer) const {
  if (auto current = recorder()) current->appendVideo(sampleBuffer);
}

void RecorderSlot::appendAudio(const platform::PCMBufferRef& buffer, const platform::AudioTime& when) const {
  if (auto current = recorder()) current->appendAudio(buffer, when);
}

bool RecorderSlot::recordLocallyDefault(const platform::UserDefaults& defaults) {
  return !defaults.contains(kRecordLocallyKey) || defaults.boolean(kRecordLocallyKey);
}

std::optional<RecorderNotice> RecorderSlot::startLocalCopy(std::string_view title, bool recordLocally,
                                                           const StreamConfig& config,
                                                           const platform::UserDefaults& defaults,
                                                           LocalRecorder::Environment environment,
                                                           const LocalRecorder::VolumeSpace& volumeSpace) {
  if (!recordLocally || !recordLocallyDefault(defaults)) return std::nullopt;
  if (recorder()) return std::nullopt;
  if (LocalRecorder::freeSpace(environment.moviesFolder, volumeSpace) <= kMinimumFreeSpace) {
    return RecorderNotice{kLowSpaceNotice,
                          RecorderNotice::Kind::warning, std::nullopt, nullptr, kNoticeSeconds};
  }
  try {
    setRecorder(LocalRecorder::make(title, config, std::move(environment)));
    return std::nullopt;
  } catch (const std::exception& error) {
    // Starting the copy is the engine's step: its line carries the engine's category.
    Log::couldNotStartLocalRecording(LogError(error), "StudioEngine.cpp");
    return RecorderNotice{std::string(kCannotStartNotice) + error.what(),
                          RecorderNotice::Kind::warning, std::nullopt, nullptr, kNoticeSeconds};
  }
}

std::optional<RecorderNotice> RecorderSlot::finishedNotice(const std::optional<std::filesystem::path>& url,
                                                           const std::optional<std::string>& error) {
  if (url && error) {
    const auto file = *url;
    return RecorderNotice{kStoppedEarlyNotice + *error + kStoppedEarlyPlays + file.filename().string(),
                          RecorderNotice::Kind::warning, std::string(kRevealAction), [file] { revealFile(file); },
                          kSavedNoticeSeconds};
  }
  if (url) {
    const auto file = *url;
    return RecorderNotice{kSavedNotice + file.filename().string(), RecorderNotice::Kind::info,
                          std::string(kRevealAction), [file] { revealFile(file); }, kSavedNoticeSeconds};
  }
  if (error) {
    return RecorderNotice{kNotSavedNotice + *error, RecorderNotice::Kind::warning, std::nullopt, nullptr,
                          kNoticeSeconds};
  }
  return std::nullopt;
}

platform::Async<std::optional<RecorderNotice>> RecorderSlot::finishRecording() {
  std::shared_ptr<LocalRecorder> current;
  std::shared_ptr<Finishing> finishing;
  {
    std::lock_guard lock(lock_);
    current = std::exchange(recorder_, nullptr);
    if (current) finishing_ = std::make_shared<Finishing>();
    finishing = finishing_;
  }
  if (!current) {
    if (finishing) {
      auto wait = [finishing](platform::Continuation<> waiter) {
        std::lock_guard lock(finishing->lock);
        if (finishing->done) waiter.resume();
        else finishing->waiters.push_back(std::move(waiter));
      };
      co_await platform::withContinuation<void>(std::move(wait));
      // Once more round the queue: what the finishing caller does with its notice comes first.
      co_await platform::yieldNow();
    }
    co_return std::nullopt;
  }
  using Outcome = std::pair<std::optional<std::filesystem::path>, std::optional<std::string>>;
  const auto outcome = co_await platform::withContinuation<Outcome>([current](platform::Continuation<Outcome> done) {
    current->finish([done](std::optional<std::filesystem::path> url, std::optional<std::string> error) {
      done.resume(Outcome{std::move(url), std::move(error)});
    });
  });
  std::vector<platform::Continuation<>> waiters;
  {
    std::lock_guard lock(finishing->lock);
    finishing->done = true;
    waiters.swap(finishing->waiters);
  }
  {
    std::lock_guard lock(lock_);
    if (finishing_ == finishing) finishing_.reset();
  }
  for (const auto& waiter : waiters) waiter.resume();
  co_return finishedNotice(outcome.first, outcome.second);
}

}  // namespace quarzadel
