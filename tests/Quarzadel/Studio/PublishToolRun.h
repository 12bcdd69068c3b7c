#pragma once
// Runs the publish tool (its command line given whole, e.g. inside a network
// namespace) and collects its JSON lines with the second each arrived, calling
// `at(second)` once a second meanwhile, for the tests that change the network
// or the server under a running publisher.
#include <chrono>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

namespace studiotest {

struct ToolLine {
  double at;  // seconds since the tool started
  nlohmann::json value;
};

inline std::vector<ToolLine> runPublishTool(const std::string& command, int seconds,
                                            const std::function<void(int)>& at) {
  using Clock = std::chrono::steady_clock;
  const auto began = Clock::now();
  auto elapsed = [&] { return std::chrono::duration<double>(Clock::now() - began).count(); };
  std::mutex lock;
  std::vector<ToolLine> lines;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return {};
  std::thread reader([&] {
    char buffer[8192];
    while (std::fgets(buffer, sizeof buffer, pipe)) {
      auto value = nlohmann::json::parse(buffer, nullptr, false);
      if (value.is_discarded()) continue;
      std::lock_guard guard(lock);
      lines.push_back({elapsed(), value});
    }
  });
  for (int second = 1; second <= seconds; ++second) {
    std::this_thread::sleep_until(began + std::chrono::seconds(second));
    at(second);
  }
  reader.join();
  ::pclose(pipe);
  return lines;
}

// The lines of one event, and the first line at or after `after` seconds that `predicate` picks.
inline std::vector<ToolLine> only(const std::vector<ToolLine>& lines, const std::string& event) {
  std::vector<ToolLine> out;
  for (const auto& l : lines)
    if (l.value.value("event", "") == event) out.push_back(l);
  return out;
}
inline const ToolLine* first(const std::vector<ToolLine>& lines,
                             const std::function<bool(const nlohmann::json&)>& predicate, double after = 0) {
  for (const auto& l : lines)
    if (l.at >= after && predicate(l.value)) return &l;
  return nullptr;
}

}  // namespace studiotest
