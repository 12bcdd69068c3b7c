#pragma once
// The session-log uploads a closing Studio starts. They run in the background;
// at termination the program waits for them as long as they move (each fails
// once its store has taken nothing for the idle limit), so quitting right after
// a Studio closed does not cut its log's upload off, however long the log. The
// host may abandon the wait.
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>

namespace quarzadel {

class LogUploads : public std::enable_shared_from_this<LogUploads> {
 public:
  // Sends a file and calls back once with whether it arrived (any thread).
  using Sender = std::function<void(const std::filesystem::path&, std::function<void(bool ok)>)>;

  // Empty sender: SessionLog::upload.
  static std::shared_ptr<LogUploads> make(Sender sender = {});
  explicit LogUploads(Sender sender);

  void upload(const std::filesystem::path& file);
  // Waits until every upload started has ended, or the wait is abandoned; true when all ended.
  bool waitAll();
  // Ends the waits, now and later, with what is still in flight left behind (any thread).
  void abandon();
  int pending() const;
  // Uploads that ended without arriving.
  int failed() const;

 private:
  Sender sender_;
  mutable std::mutex mutex_;
  std::condition_variable ended_;
  int pending_ = 0;
  int failed_ = 0;
  bool abandoned_ = false;
};

}  // namespace quarzadel
