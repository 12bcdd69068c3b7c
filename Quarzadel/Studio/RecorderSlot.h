#pragma once
// Where the Studio's media fan-out finds the local copy being recorded, from the
// program pipelines' queues, and the Studio's two steps around it: starting the
// copy when going live (when it is wanted and there is room) and finishing it when
// stopping, each giving the notice to show. The lock is held only to read or
// replace the recorder, never across a call into it.
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include "Platform/Concurrency/Async.h"
#include "Platform/Concurrency/Continuation.h"
#include "Platform/Defaults/UserDefaults.h"
#include "Quarzadel/Program/StreamConfig.h"
#include "Quarzadel/Studio/LocalRecorder.h"
#include "Quarzadel/Studio/RecorderNotice.h"

namespace quarzadel {

class RecorderSlot {
 public:
  // The copy needs more free space than this.
  static constexpr int64_t kMinimumFreeSpace = 3'000'000'000;
  static constexpr double kSavedNoticeSeconds = 20;
  static constexpr double kNoticeSeconds = 6;
  static constexpr const char* kRecordLocallyKey = "RecordLocally";
  // The texts the host reads; they name this computer and its file manager.
  static constexpr const char* kLowSpaceNotice = "Not recording a copy on this computer: less than 3 GB of free space.";
  static constexpr const char* kCannotStartNotice = "Couldn't record a copy on this computer: ";
  static constexpr const char* kSavedNotice = "Saved a copy of your stream: ";
  static constexpr const char* kNotSavedNotice = "The local copy couldn't be saved: ";
  // Followed by the error, then kStoppedEarlyPlays and the file's name.
  static constexpr const char* kStoppedEarlyNotice = "The local copy stopped early: ";
  static constexpr const char* kStoppedEarlyPlays = ". It plays up to then: ";
  static constexpr const char* kRevealAction = "Show in File Manager";

  std::shared_ptr<LocalRecorder> recorder() const;
  void setRecorder(std::shared_ptr<LocalRecorder> recorder);
  // The file being recorded, none when no copy is.
  std::optional<std::filesystem::path> recordingURL() const;

  // The fan-out: to the recorder in the slot, if any; returns at once.
  void appendVideo(const platform::SampleBufferRef& sampleBuffer) const;
  void appendAudio(const platform::PCMBufferRef& buffer, const platform::AudioTime& when) const;

  // The user default "RecordLocally": absent means record.
  static bool recordLocallyDefault(const platform::UserDefaults& defaults);

  // Going live: starts a copy when the setting and the user default want one, none
  // is being recorded and the videos folder's volume has more than 3 GB free. The
  // notice to show when the copy is refused or cannot start; going live goes on.
  std::optional<RecorderNotice> startLocalCopy(std::string_view title, bool recordLocally, const StreamConfig& config,
                                               const platform::UserDefaults& defaults,
                                               LocalRecorder::Environment environment = LocalRecorder::Environment::standard(),
                                               const LocalRecorder::VolumeSpace& volumeSpace = LocalRecorder::statvfsSpace);

  // Stopping: empties the slot, finishes the copy and gives the notice of its
  // outcome (none when nothing was recorded and the writer reports no error).
  // A call while an earlier one is still finishing waits for it and gives no
  // notice, so closing right after a stop never ends the process mid-finish.
  // Resumes on the caller's queue.
  platform::Async<std::optional<RecorderNotice>> finishRecording();

  // The notice for a finished copy: saved, cut short by a failed write (a file and
  // an error), or not saved.
  static std::optional<RecorderNotice> finishedNotice(const std::optional<std::filesystem::path>& url,
                                                      const std::optional<std::string>& error);

 private:
  // A finish in flight and the callers waiting for its end.
  struct Finishing {
    std::mutex lock;
    bool done = false;
    std::vector<platform::Continuation<>> waiters;
  };

  mutable std::mutex lock_;
  std::shared_ptr<LocalRecorder> recorder_;
  std::shared_ptr<Finishing> finishing_;
};

}  // namespace quarzadel
