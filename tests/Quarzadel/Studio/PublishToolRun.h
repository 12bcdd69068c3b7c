#pragma once
// The publish tool run as a test runs it: its command line given whole, its
// JSON lines collected with the second each arrived, and the ways the tests
// pick lines out of them.
#include <chrono>
#include <cstdio>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

namespace quarzadel {

using nlohmann::json;

struct Line {
  double at;  // seconds since the tool started
  nlohmann::json value;
};

// Runs the publish tool (its command line given whole, inside a namespace) and
// collects its JSON lines with the second each arrived, calling `at(second)`
// once a second meanwhile.
inline std::vector<Line> runPublishTool(const std::string& command, int seconds, const std::function<void(int)>& at) {
  const auto began = std::chrono::steady_clock::now();
  std::vector<Line> lines;  // the reader's until it is joined
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return {};
  std::thread reader([&] {
    char buffer[8192];
    while (std::fgets(buffer, sizeof buffer, pipe))
      if (auto value = json::parse(buffer, nullptr, false); !value.is_discarded())
        lines.push_back({std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count(), value});
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
inline std::vector<Line> only(const std::vector<Line>& lines, const std::string& event) {
  std::vector<Line> out;
  for (const auto& l : lines)
    if (l.value.value("event", "") == event) out.push_back(l);
  return out;
}
inline const Line* first(const std::vector<Line>& lines, const std::function<bool(const json&)>& predicate, double after = 0) {
  for (const auto& l : lines)
    if (l.at >= after && predicate(l.value)) return &l;
  return nullptr;
}

inline bool startsWith(const json& value, const std::string& key, const std::string& prefix) {
  return value.contains(key) && value[key].is_string() && value[key].get<std::string>().rfind(prefix, 0) == 0;
}

// Picks a log line with this message, or a state line (with this reason).
inline auto says(const std::string& message) {
  return [message](const json& v) { return v.value("message", "") == message; };
}
inline auto inState(const std::string& state, const std::string& reason = "") {
  return [=](const json& v) {
    return v["event"] == "state" && v["state"] == state && (reason.empty() || v.value("reason", "") == reason);
  };
}

// Every line with its time, for the failure messages.
inline std::string trace(const std::vector<Line>& lines) {
  std::string out;
  for (const auto& l : lines) out += std::to_string(l.at).substr(0, 5) + " " + l.value.dump() + "\n";
  return out;
}

}  // namespace quarzadel
