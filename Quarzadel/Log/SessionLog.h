#pragma once
// The application's own log sink: one plain-text file per Studio session in the
// logs folder, every line "yyyy-MM-dd HH:mm:ss.SSS [LEVEL] [Category] message",
// and the upload of a closed file to the log store. All file work runs on the
// session log's own serial queue; lines are stamped when they are logged.
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "Platform/Dispatch/SerialQueue.h"
#include "Platform/Time/Date.h"
#include "Platform/Time/HostClock.h"

namespace quarzadel {

class SessionLog : public std::enable_shared_from_this<SessionLog> {
 public:
  using UploadCompletion = std::function<void(bool ok)>;

  // The process's session log, made on first use.
  static std::shared_ptr<SessionLog> shared();
  // A separate session log (tests, tools). With a folder, files go there instead
  // of the logs folder.
  static std::shared_ptr<SessionLog> make(std::shared_ptr<platform::WallClock> clock = platform::WallClock::system(),
                                          std::optional<std::filesystem::path> folder = std::nullopt,
                                          std::shared_ptr<platform::Runtime> runtime = platform::Runtime::shared());

  SessionLog(std::shared_ptr<platform::WallClock> clock, std::optional<std::filesystem::path> folder,
             std::shared_ptr<platform::Runtime> runtime);
  ~SessionLog();
  SessionLog(const SessionLog&) = delete;
  SessionLog& operator=(const SessionLog&) = delete;

  // Stamps the line now and queues its write; callable from any thread. Lines
  // logged while no file is open are dropped.
  void log(std::string_view level, std::string_view message, std::string_view file);
  // Opens a new file named after `name` (the Studio's stream key) and the time,
  // closing any open one, and logs the first line. Not to be called on the queue.
  // When the file cannot be made, says why on standard error and returns the
  // reason; the lines of this session then go nowhere.
  std::optional<std::string> startSession(const std::string& name);
  // Called, on the session log's queue, once for each file that stops taking lines
  // (a full disk), with the file and why; the line also goes to standard error.
  // Empty: nothing is called.
  void setWriteFailureHandler(std::function<void(const std::string& reason)> handler);
  // Closes the open file after every line queued before; returns the URL of the
  // file opened last, or none when none was opened since the last close (nor
  // when every name of its second was another session's file).
  std::optional<std::filesystem::path> close();
  // Waits until the lines queued so far are written.
  void flush();

  // The Studio's close: close, then upload the file without waiting (not when
  // synthetic sources are on). The completion, when given, gets the result on the
  // upload queue: false when nothing was sent.
  void closeAndUpload(UploadCompletion completion = {});
  // At termination: close, then upload and wait for the result, at most `bound`
  // when given; without one, as long as the upload moves (the idle limit ends it).
  // True when a file was uploaded.
  bool closeAndUploadAtTermination(std::optional<platform::Nanos> bound = std::nullopt);

  // An upload fails once the store has taken no byte for this long.
  static constexpr platform::Nanos kUploadIdleLimit = platform::seconds(60);

  // One HTTP PUT of the whole file to the log store; the result goes to the system
  // log. Missing, unreadable or empty files and an invalid store URL are not sent
  // (completion false). The access key goes to the store's host only: a redirect
  // is not followed and counts as a failure. The completion runs on the upload queue.
  static void upload(const std::filesystem::path& file, UploadCompletion completion = {},
                     platform::Nanos idleLimit = kUploadIdleLimit);
  // The same, waiting for the result (at most `bound` when given); false on
  // failure or time-out.
  static bool uploadAndWait(const std::filesystem::path& file, std::optional<platform::Nanos> bound = std::nullopt);

  // $XDG_STATE_HOME/Quarzadel (created when missing).
  static std::filesystem::path logsDirectory();
  // "yyyy-MM-dd_HH:mm:ss" in local time.
  static std::string fileStamp(platform::Date date);
  // The longest name kept in a file name, in bytes: with the stamp, a serial and
  // ".log" it stays within the 255 bytes a file name may have.
  static constexpr size_t kMaximumNameBytes = 200;
  // <name with every "/" as "_">_<stamp>.log, or ..._<stamp>-<n>.log for the
  // n-th file of one name within one second (at most 1000). A longer name is cut to its first
  // kMaximumNameBytes bytes (never inside a UTF-8 sequence).
  static std::string fileName(std::string_view name, platform::Date date, int serial = 1);
  // The last path component with every ".cpp" removed.
  static std::string category(std::string_view file);
  // One complete line, with its line feed.
  static std::string line(platform::Date date, std::string_view level, std::string_view category,
                          std::string_view message);
  // "Quarzadel for Mac <version> (<build>) on <system>".
  static std::string firstLine();

 private:
  // On queue_; the reason when no file could be opened.
  std::optional<std::string> openFile(const std::string& name, platform::Date date);
  void writeLine(platform::Date date, const std::string& level, const std::string& message,
                 const std::string& file);  // on queue_
  std::optional<std::filesystem::path> closeOnQueue();

  const std::shared_ptr<platform::WallClock> clock_;
  const std::optional<std::filesystem::path> folder_;
  const std::shared_ptr<platform::SerialQueue> queue_;
  // Touched on queue_ only.
  int fd_ = -1;
  std::optional<std::filesystem::path> currentURL_;
  bool writeFailed_ = false;  // said once per file
  std::function<void(const std::string&)> writeFailureHandler_;
};

}  // namespace quarzadel
