#include "Quarzadel/Shell/LogUploads.h"


#include "Quarzadel/Log/SessionLog.h"

namespace quarzadel {

std::shared_ptr<LogUploads> LogUploads::make(Sender sender) {
  if (!sender)
    sender = [](const std::filesystem::path& file, std::function<void(bool)> done) {
      SessionLog::upload(file, std::move(done));
    };
  return std::make_shared<LogUploads>(std::move(sender));
}

LogUploads::LogUploads(Sender sender) : sender_(std::move(sender)) {}

void LogUploads::upload(const std::filesystem::path& file) {
  {
    std::lock_guard lock(mutex_);
    ++pending_;
  }
  // The uploads object outlives its senders' callbacks: they hold it.
  sender_(file, [self = shared_from_this()](bool ok) {
    std::lock_guard lock(self->mutex_);
    --self->pending_;
    if (!ok) ++self->failed_;
    self->ended_.notify_all();
  });
}

bool LogUploads::waitAll() {
  std::unique_lock lock(mutex_);
  ended_.wait(lock, [this] { return pending_ == 0 || abandoned_; });
  return pending_ == 0;
}

void LogUploads::abandon() {
  std::lock_guard lock(mutex_);
  abandoned_ = true;
  ended_.notify_all();
}

int LogUploads::failed() const {
  std::lock_guard lock(mutex_);
  return failed_;
}

int LogUploads::pending() const {
  std::lock_guard lock(mutex_);
  return pending_;
}

}  // namespace quarzadel
