// rtmpprobe: connects to RTMP or RTMPS servers, asks each for a stream id,
// stays connected for a while answering the server's pings, and closes.
//
//   rtmpprobe [--stay SECONDS] [--ca FILE] [--timeout SECONDS] [--verbose] URL...
//
// Prints the connect answer, the stream id, the pings answered and the
// closing status of each URL; exits 0 when every URL went through all steps.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Platform/Concurrency/Concurrency.h"
#include "Platform/Dispatch/RuntimeExit.h"
#include "Platform/Memory/MallocSettings.h"
#include "RTMPMedley/Sources/RTMP/Connection/RTMPConnection.h"
#include "RTMPMedley/Sources/RTMP/Util/RTMPMedleyLogger.h"

using namespace rtmpmedley;

namespace {

// Counts the pongs the connection sends; passes warnings (or everything) on to stderr.
class ProbeAppender final : public logwell::LWLoggerAppender {
 public:
  explicit ProbeAppender(bool verbose) : verbose_(verbose) {}
  void append(const logwell::LWLogger&, logwell::LWLogLevel level, logwell::LWMessage message, std::string_view,
              std::string_view function, int) override {
    const std::string text = logwell::joinMessage(message, " ");
    if (text.rfind("<< RTMPUserControlMessage", 0) == 0 && text.find("event: 7") != std::string::npos) ++pongs;
    if (verbose_ || level >= logwell::LWLogLevel::warn) {
      std::lock_guard lock(mutex_);
      std::cerr << "  [" << logwell::description(level) << "] " << function << ": " << text << "\n";
    }
  }
  void append(const logwell::LWLogger&, logwell::LWLogLevel, std::string_view format, const logwell::LWFormatArgument&,
              std::string_view, std::string_view, int) override {
    if (verbose_) {
      std::lock_guard lock(mutex_);
      std::cerr << "  " << format << "\n";
    }
  }
  std::atomic<int> pongs{0};

 private:
  const bool verbose_;
  std::mutex mutex_;
};

struct Options {
  int stay = 6;
  int timeout = 15;
  bool verbose = false;
  std::vector<std::string> urls;
};

void usage() {
  std::cerr << "usage: rtmpprobe [--stay SECONDS] [--ca FILE] [--timeout SECONDS] [--verbose] URL...\n";
}

std::string shown(const std::string& url) { return redactURLText(url); }

bool probe(const std::string& url, const Options& options, ProbeAppender& appender) {
  auto runtime = platform::Runtime::shared();
  RTMPConnection::Settings settings;
  settings.timeout = std::chrono::seconds(options.timeout);
  auto connection = std::make_shared<RTMPConnection>(std::move(settings), runtime);
  std::cout << shown(url) << "\n";

  // The statuses the connection reports, printed as they come.
  struct Seen {
    std::mutex mutex;
    std::vector<std::string> codes;
  };
  auto seen = std::make_shared<Seen>();
  auto statuses = platform::blockingWait(connection->status(), runtime->globalQueue());
  auto watcher = platform::spawn(
      runtime->globalQueue(),
      [](platform::AsyncStream<RTMPStatus> stream, std::shared_ptr<Seen> seen) -> platform::Async<void> {
        while (auto status = co_await stream.next()) {
          std::lock_guard lock(seen->mutex);
          seen->codes.push_back(status->code);
        }
      },
      std::move(statuses), seen);
  auto lastCode = [&] {
    std::lock_guard lock(seen->mutex);
    return seen->codes.empty() ? std::string() : seen->codes.back();
  };

  try {
    const auto response = platform::blockingWait(connection->connect(url), runtime->globalQueue());
    std::cout << "  connect: " << (response.status ? response.status->code : std::string("(no status)")) << "\n";
    if (!response.status || response.status->code != "NetConnection.Connect.Success") return false;
  } catch (const std::exception& e) {
    std::cout << "  connect failed: " << e.what() << "\n";
    return false;
  }

  try {
    const auto answer = platform::blockingWait(connection->call("createStream"), runtime->globalQueue());
    const auto id = answer.arguments.empty() ? std::nullopt : answer.arguments[0].number();
    if (!id) {
      std::cout << "  createStream: no stream id in the answer\n";
      return false;
    }
    std::cout << "  createStream: stream id " << static_cast<int64_t>(*id) << "\n";
  } catch (const std::exception& e) {
    std::cout << "  createStream failed: " << e.what() << "\n";
    return false;
  }

  const int pongsBefore = appender.pongs;
  const auto begin = std::chrono::steady_clock::now();
  while (std::chrono::steady_clock::now() - begin < std::chrono::seconds(options.stay)) {
    if (!connection->isConnected()) {
      const auto lost = std::chrono::steady_clock::now();
      const double after = std::chrono::duration<double>(lost - begin).count();
      // The closing status follows the loss; how soon is part of the report.
      while (lastCode().empty() && std::chrono::steady_clock::now() - lost < std::chrono::seconds(5))
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      const auto reported = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - lost).count();
      std::cout << "  connection lost after " << after << " s: " << lastCode() << " (" << static_cast<int>(reported)
                << " ms later)\n";
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  std::cout << "  stayed " << options.stay << " s, pings answered: " << appender.pongs - pongsBefore << "\n";

  try {
    platform::blockingWait(connection->close(), runtime->globalQueue());
  } catch (const std::exception& e) {
    std::cout << "  close failed: " << e.what() << "\n";
    return false;
  }
  for (int i = 0; i < 100 && lastCode().empty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const std::string closing = lastCode();
  std::cout << "  close: " << closing << "\n";
  return closing == "NetConnection.Connect.Closed";
}

}  // namespace

int main(int argc, char** argv) {
  // The runtime's workers stop before the static objects go.
  platform::RuntimeStopAtReturn stopRuntime;
  // Memory that publish attempts and encoders free is given back, not kept in the heap.
  platform::MallocSettings::fix();
  // Line by line, so that a watcher sees each step as it happens.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto next = [&]() -> std::string {
      if (i + 1 >= argc) {
        usage();
        std::exit(2);
      }
      return argv[++i];
    };
    if (arg == "--stay") {
      options.stay = std::atoi(next().c_str());
    } else if (arg == "--timeout") {
      options.timeout = std::atoi(next().c_str());
    } else if (arg == "--ca") {
      ::setenv("SSL_CERT_FILE", next().c_str(), 1);
    } else if (arg == "--verbose") {
      options.verbose = true;
    } else if (arg == "-h" || arg == "--help") {
      usage();
      return 0;
    } else {
      options.urls.push_back(arg);
    }
  }
  if (options.urls.empty()) {
    usage();
    return 2;
  }
  auto appender = std::make_shared<ProbeAppender>(options.verbose);
  logger().setAppender(appender);
  logger().setLevel(logwell::LWLogLevel::trace);

  bool allWell = true;
  for (const auto& url : options.urls) allWell = probe(url, options, *appender) && allWell;
  logger().setLevel(logwell::LWLogLevel::error);
  return allWell ? 0 : 1;
}
