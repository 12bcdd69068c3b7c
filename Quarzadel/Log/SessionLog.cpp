#include "Quarzadel/Log/SessionLog.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <condition_variable>
#include <fstream>
#include <iterator>
#include <mutex>

#include "Platform/Defaults/UserDefaults.h"
#include "Platform/Files/Folders.h"
#include "Platform/Net/HttpClient.h"
#include "Quarzadel/App/AppInfo.h"
#include "Quarzadel/Log/Log.h"
#include "Quarzadel/Log/LogStore.h"

namespace quarzadel {
namespace {

// Past this many files of one name within one second, no file is opened.
constexpr int kMaxSerial = 1000;

std::shared_ptr<platform::SerialQueue> uploadQueue() {
  static const auto queue = platform::SerialQueue::make(std::string(kAppIdentifierPrefix) + ".mac.sessionlog.upload");
  return queue;
}

bool writeAll(int fd, const std::string& bytes) {
  size_t offset = 0;
  while (offset < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + offset, bytes.size() - offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    offset += static_cast<size_t>(n);
  }
  return true;
}

bool syntheticSources() { return platform::UserDefaults::standard()->boolean("SyntheticSources"); }

}  // namespace

std::shared_ptr<SessionLog> SessionLog::shared() {
  static const auto instance = make();
  return instance;
}

std::shared_ptr<SessionLog> SessionLog::make(std::shared_ptr<platform::WallClock> clock,
                                             std::optional<std::filesystem::path> folder,
                                             std::shared_ptr<platform::Runtime> runtime) {
  return std::make_shared<SessionLog>(std::move(clock), std::move(folder), std::move(runtime));
}

SessionLog::SessionLog(std::shared_ptr<platform::WallClock> clock, std::optional<std::filesystem::path> folder,
                       std::shared_ptr<platform::Runtime> runtime)
    : clock_(std::move(clock)),
      folder_(std::move(folder)),
      queue_(platform::SerialQueue::make(std::string(kAppIdentifierPrefix) + ".mac.sessionlog", std::move(runtime))) {}

SessionLog::~SessionLog() {
  if (fd_ >= 0) ::close(fd_);
}

std::filesystem::path SessionLog::logsDirectory() {
  auto folder = platform::Folders::logs() / "Quarzadel";
  std::error_code ignored;
  platform::Folders::create(folder, ignored);
  return folder;
}

std::string SessionLog::fileStamp(platform::Date date) { return platform::formatDate(date, "yyyy-MM-dd_HH:mm:ss"); }

std::string SessionLog::fileName(std::string_view name, platform::Date date, int serial) {
  size_t kept = std::min(name.size(), kMaximumNameBytes);
  while (kept < name.size() && kept > 0 && (static_cast<unsigned char>(name[kept]) & 0xC0) == 0x80) --kept;
  std::string out(name.substr(0, kept));
  for (char& c : out)
    if (c == '/') c = '_';
  out += '_';
  out += fileStamp(date);
  if (serial > 1) out += "-" + std::to_string(serial);
  out += ".log";
  return out;
}

std::string SessionLog::category(std::string_view file) {
  auto slash = file.rfind('/');
  std::string name(slash == std::string_view::npos ? file : file.substr(slash + 1));
  for (size_t at; (at = name.find(".cpp")) != std::string::npos;) name.erase(at, 4);
  return name;
}

std::string SessionLog::line(platform::Date date, std::string_view level, std::string_view category,
                             std::string_view message) {
  std::string out = platform::formatDate(date, "yyyy-MM-dd HH:mm:ss.SSS");
  out += " [";
  out += level;
  out += "] [";
  out += category;
  out += "] ";
  out += message;
  out += '\n';
  return out;
}

std::string SessionLog::firstLine() {
  return "Quarzadel for Mac " + appVersion() + " (" + appBuild() + ") on " + systemDescription();
}

void SessionLog::log(std::string_view level, std::string_view message, std::string_view file) {
  platform::Date date = clock_->now();
  std::weak_ptr<SessionLog> weak = weak_from_this();
  queue_->async([weak, date, level = std::string(level), message = std::string(message), file = std::string(file)] {
    if (auto self = weak.lock()) self->writeLine(date, level, message, file);
  });
}

std::optional<std::string> SessionLog::startSession(const std::string& name) {
  platform::Date date = clock_->now();
  std::optional<std::string> problem;
  queue_->sync([&] { problem = openFile(name, date); });
  if (problem) {
    std::fprintf(stderr, "quarzadel: the session log cannot be written: %s\n", problem->c_str());
    std::fflush(stderr);
  }
  log("INFO", firstLine(), "SessionLog");
  return problem;
}

std::optional<std::string> SessionLog::openFile(const std::string& name, platform::Date date) {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
  writeFailed_ = false;
  std::filesystem::path folder = folder_ ? *folder_ : platform::Folders::logs() / "Quarzadel";
  std::error_code created;
  if (!platform::Folders::create(folder, created) && !created)
    created = std::make_error_code(std::errc::not_a_directory);
  // A second session of one name within the same second gets its own file.
  std::filesystem::path url;
  int error = 0;
  for (int serial = 1; serial <= kMaxSerial; ++serial) {
    url = folder / fileName(name, date, serial);
    fd_ = ::open(url.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    error = fd_ < 0 ? errno : 0;
    if (fd_ >= 0 || error != EEXIST) break;
  }
  if (fd_ < 0 && error == EEXIST) {
    // Every name is another session's file: none is opened, and none is handed to the upload.
    currentURL_.reset();
    return "all " + std::to_string(kMaxSerial) + " file names for this session in " + folder.string() +
           " are taken (" + fileName(name, date) + " to " + fileName(name, date, kMaxSerial) + ")";
  }
  currentURL_ = url;
  if (fd_ >= 0) return std::nullopt;
  // The folder's own failure says more than the file's "No such file or directory".
  if (created) return folder.string() + ": " + created.message();
  return url.string() + ": " + std::strerror(error);
}

void SessionLog::writeLine(platform::Date date, const std::string& level, const std::string& message,
                           const std::string& file) {
  if (fd_ < 0) return;
  // A failed write (disk full) is dropped and said once; later lines are still tried.
  if (!writeAll(fd_, line(date, level, category(file), message)) && !writeFailed_) {
    writeFailed_ = true;
    const std::string reason = (currentURL_ ? currentURL_->string() : std::string()) + ": " + std::strerror(errno);
    std::fprintf(stderr, "quarzadel: the session log cannot be written: %s\n", reason.c_str());
    std::fflush(stderr);
    if (writeFailureHandler_) writeFailureHandler_(reason);
  }
}

std::optional<std::filesystem::path> SessionLog::closeOnQueue() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
  auto url = std::move(currentURL_);
  currentURL_.reset();
  return url;
}

void SessionLog::setWriteFailureHandler(std::function<void(const std::string& reason)> handler) {
  queue_->sync([&] { writeFailureHandler_ = std::move(handler); });
}

std::optional<std::filesystem::path> SessionLog::close() {
  std::optional<std::filesystem::path> url;
  queue_->sync([&] { url = closeOnQueue(); });
  return url;
}

void SessionLog::flush() {
  queue_->sync([] {});
}

void SessionLog::closeAndUpload(UploadCompletion completion) {
  auto url = close();
  if (url && !syntheticSources()) return upload(*url, std::move(completion));
  if (completion) uploadQueue()->async([completion] { completion(false); });
}

bool SessionLog::closeAndUploadAtTermination(std::optional<platform::Nanos> bound) {
  auto url = close();
  if (!url || syntheticSources()) return false;
  return uploadAndWait(*url, bound);
}

void SessionLog::upload(const std::filesystem::path& file, UploadCompletion completion, platform::Nanos idleLimit) {
  auto fail = [&] {
    if (completion) uploadQueue()->async([completion] { completion(false); });
  };
  std::ifstream in(file, std::ios::binary);
  if (!in) return fail();
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad() || bytes.empty()) return fail();
  std::string name = file.filename().string();
  auto store = LogStore::current();
  if (!store) return fail();

  auto request = platform::HttpRequest::put(store->uploadURL(name), std::move(bytes));
  if (!store->accessKey.empty()) request.headers["AccessKey"] = store->accessKey;
  request.headers["Content-Type"] = "application/octet-stream";
  // A large log on a slow link may take long; only a store that stops taking it fails.
  request.timeout = 0;
  request.idleLimit = idleLimit;
  request.followRedirects = false;
  platform::HttpClient::shared()->send(std::move(request), uploadQueue(),
                                       [name, completion](platform::HttpResult result) {
                                         int status = -1;
                                         std::string description;
                                         if (auto* response = std::get_if<platform::HttpResponse>(&result)) {
                                           status = response->statusCode;
                                         } else {
                                           description = std::get<platform::HttpError>(result).message;
                                         }
                                         bool ok = status >= 200 && status <= 299 &&
                                                   std::holds_alternative<platform::HttpResponse>(result);
                                         std::string text = "Session log upload " + name + ": " +
                                                            (ok ? std::string("ok")
                                                                : "failed " + std::to_string(status) + " " + description);
                                         if (Log::logger().isEnabled(platform::LogType::debug))
                                           Log::logger().debug(text);
                                         if (completion) completion(ok);
                                       });
}

bool SessionLog::uploadAndWait(const std::filesystem::path& file, std::optional<platform::Nanos> bound) {
  struct Wait {
    std::mutex mutex;
    std::condition_variable done;
    std::optional<bool> result;
  };
  auto wait = std::make_shared<Wait>();
  upload(file, [wait](bool ok) {
    std::lock_guard lock(wait->mutex);
    wait->result = ok;
    wait->done.notify_all();
  });
  std::unique_lock lock(wait->mutex);
  if (bound)
    wait->done.wait_for(lock, std::chrono::nanoseconds(*bound), [&] { return wait->result.has_value(); });
  else
    wait->done.wait(lock, [&] { return wait->result.has_value(); });
  return wait->result.value_or(false);
}

}  // namespace quarzadel
