#include "Platform/Defaults/UserDefaults.h"

#include "Platform/Text/AsciiLowercase.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <sstream>
#include <system_error>

#include "Platform/Files/Folders.h"

namespace platform {

namespace fs = std::filesystem;
using Value = UserDefaults::Value;

namespace {

std::mutex& standardMutex() {
  static std::mutex m;
  return m;
}

std::shared_ptr<UserDefaults>& standardSlot() {
  static std::shared_ptr<UserDefaults> slot;
  return slot;
}


std::string trim(std::string_view text) {
  size_t b = 0, e = text.size();
  while (b < e && std::isspace(static_cast<unsigned char>(text[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(text[e - 1]))) --e;
  return std::string(text.substr(b, e - b));
}

// The whole trimmed text as a number, or none.
std::optional<double> parseNumber(std::string_view text) {
  std::string t = trim(text);
  if (t.empty()) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  double v = std::strtod(t.c_str(), &end);
  if (end == t.c_str() || errno == ERANGE) return std::nullopt;
  while (*end && std::isspace(static_cast<unsigned char>(*end))) ++end;
  if (*end) return std::nullopt;
  return v;
}

int64_t clampToInt64(double v) {
  if (std::isnan(v)) return 0;
  if (v >= 9.2233720368547758e18) return std::numeric_limits<int64_t>::max();
  if (v <= -9.2233720368547758e18) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(v);
}

// "(a, b, \"c d\")": the text form of an array given on the command line.
std::optional<std::vector<std::string>> parseTextArray(std::string_view text) {
  std::string t = trim(text);
  if (t.size() < 2 || t.front() != '(' || t.back() != ')') return std::nullopt;
  std::vector<std::string> out;
  size_t i = 1, end = t.size() - 1;
  auto skipSpace = [&] {
    while (i < end && std::isspace(static_cast<unsigned char>(t[i]))) ++i;
  };
  skipSpace();
  if (i == end) return out;
  while (true) {
    skipSpace();
    std::string item;
    if (i < end && t[i] == '"') {
      ++i;
      bool closed = false;
      while (i < end) {
        char c = t[i++];
        if (c == '\\' && i < end) {
          item.push_back(t[i++]);
        } else if (c == '"') {
          closed = true;
          break;
        } else {
          item.push_back(c);
        }
      }
      if (!closed) return std::nullopt;
    } else {
      size_t start = i;
      while (i < end && t[i] != ',') ++i;
      item = trim(std::string_view(t).substr(start, i - start));
      if (item.empty()) return std::nullopt;
    }
    out.push_back(std::move(item));
    skipSpace();
    if (i == end) break;
    if (t[i] != ',') return std::nullopt;
    ++i;
  }
  return out;
}

}  // namespace

std::shared_ptr<UserDefaults> UserDefaults::standard() {
  std::lock_guard lock(standardMutex());
  auto& slot = standardSlot();
  if (!slot) slot = std::make_shared<UserDefaults>(defaultFilePath());
  return slot;
}

void UserDefaults::setStandard(std::shared_ptr<UserDefaults> defaults) {
  std::lock_guard lock(standardMutex());
  standardSlot() = std::move(defaults);
}

std::shared_ptr<UserDefaults> UserDefaults::inMemory() { return std::make_shared<UserDefaults>(std::nullopt); }

std::shared_ptr<UserDefaults> UserDefaults::withFile(fs::path file) {
  return std::make_shared<UserDefaults>(std::move(file));
}

fs::path UserDefaults::defaultFilePath() { return Folders::config() / "Quarzadel" / "defaults.json"; }

UserDefaults::UserDefaults(std::optional<fs::path> file) : file_(std::move(file)) {}

void UserDefaults::setArguments(int argc, const char* const* argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i] ? argv[i] : "");
  setArguments(args);
}

void UserDefaults::setArguments(const std::vector<std::string>& arguments) {
  std::map<std::string, std::string> parsed;
  std::vector<std::string> stray;
  std::optional<std::string> withoutValue;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& a = arguments[i];
    // "--Key" sets nothing: one dash too many is kept to be refused, not dropped unseen.
    if (a.size() < 2 || a[0] != '-' || a[1] == '-') {
      stray.push_back(a);
      continue;
    }
    if (i + 1 >= arguments.size()) {
      withoutValue = a.substr(1);
      break;
    }
    parsed[a.substr(1)] = arguments[i + 1];
    ++i;
  }
  std::lock_guard lock(mutex_);
  arguments_ = std::move(parsed);
  strayArguments_ = std::move(stray);
  keyWithoutValue_ = std::move(withoutValue);
}

std::vector<std::string> UserDefaults::strayArguments() const {
  std::lock_guard lock(mutex_);
  return strayArguments_;
}

std::optional<std::string> UserDefaults::keyWithoutValue() const {
  std::lock_guard lock(mutex_);
  return keyWithoutValue_;
}

void UserDefaults::registerDefaults(const std::map<std::string, Value>& values) {
  std::lock_guard lock(mutex_);
  for (const auto& [key, value] : values) registered_[key] = value;
}

void UserDefaults::reloadIfChanged() const {
  if (!file_) return;
  FileStamp stamp;
  struct stat st {};
  if (::stat(file_->c_str(), &st) == 0) {
    stamp.exists = true;
    stamp.mtimeNanos = static_cast<int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
    stamp.size = static_cast<uint64_t>(st.st_size);
    stamp.inode = static_cast<uint64_t>(st.st_ino);
  }
  if (stamp_ && *stamp_ == stamp) return;
  stamp_ = stamp;
  persistent_ = Value::object();
  if (!stamp.exists) return;
  std::ifstream in(*file_, std::ios::binary);
  if (!in) return;
  // A damaged file reads as empty; it is kept until the next write moves it aside.
  Value parsed = Value::parse(in, nullptr, /*allow_exceptions=*/false);
  if (parsed.is_object()) persistent_ = std::move(parsed);
}

std::optional<Value> UserDefaults::object(const std::string& key) const {
  std::lock_guard lock(mutex_);
  if (auto it = arguments_.find(key); it != arguments_.end()) return Value(it->second);
  reloadIfChanged();
  if (auto it = persistent_.find(key); it != persistent_.end()) return *it;
  if (auto it = registered_.find(key); it != registered_.end()) return it->second;
  return std::nullopt;
}

std::optional<std::string> UserDefaults::string(const std::string& key) const {
  auto v = object(key);
  if (!v) return std::nullopt;
  if (v->is_string()) return v->get<std::string>();
  if (v->is_boolean()) return v->get<bool>() ? "1" : "0";
  // The shortest text that reads back as the same number.
  if (v->is_number()) return v->dump();
  return std::nullopt;
}

bool UserDefaults::isArgument(const std::string& key) const {
  std::lock_guard lock(mutex_);
  return arguments_.count(key) != 0;
}

std::vector<std::string> UserDefaults::argumentKeys() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> keys;
  for (const auto& entry : arguments_) keys.push_back(entry.first);
  return keys;
}

bool UserDefaults::boolean(const std::string& key) const {
  auto v = object(key);
  if (!v) return false;
  if (v->is_boolean()) return v->get<bool>();
  if (v->is_number()) return v->get<double>() != 0.0;
  if (v->is_string()) {
    std::string t = platform::asciiLowercase(trim(v->get<std::string>()));
    if (t == "yes" || t == "true" || t == "y" || t == "t") return true;
    if (auto n = parseNumber(t)) return *n != 0.0;
  }
  return false;
}

int64_t UserDefaults::integer(const std::string& key) const {
  auto v = object(key);
  if (!v) return 0;
  if (v->is_boolean()) return v->get<bool>() ? 1 : 0;
  if (v->is_number_unsigned()) {
    auto u = v->get<uint64_t>();
    return u > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) ? std::numeric_limits<int64_t>::max()
                                                                         : static_cast<int64_t>(u);
  }
  if (v->is_number_integer()) return v->get<int64_t>();
  if (v->is_number_float()) return clampToInt64(v->get<double>());
  if (v->is_string()) {
    std::string t = trim(v->get<std::string>());
    if (auto n = parseNumber(t)) return clampToInt64(*n);
    // The leading integer of text such as "12px".
    errno = 0;
    char* end = nullptr;
    long long n = std::strtoll(t.c_str(), &end, 10);
    if (end != t.c_str()) return static_cast<int64_t>(n);
    std::string l = platform::asciiLowercase(t);
    if (l == "yes" || l == "true") return 1;
  }
  return 0;
}

double UserDefaults::doubleValue(const std::string& key) const {
  auto v = object(key);
  if (!v) return 0.0;
  if (v->is_boolean()) return v->get<bool>() ? 1.0 : 0.0;
  if (v->is_number()) return v->get<double>();
  if (v->is_string()) {
    std::string t = trim(v->get<std::string>());
    if (auto n = parseNumber(t)) return *n;
    char* end = nullptr;
    double d = std::strtod(t.c_str(), &end);
    if (end != t.c_str() && std::isfinite(d)) return d;
    std::string l = platform::asciiLowercase(t);
    if (l == "yes" || l == "true") return 1.0;
  }
  return 0.0;
}

std::optional<std::vector<std::string>> UserDefaults::stringArray(const std::string& key) const {
  auto v = object(key);
  if (!v) return std::nullopt;
  if (v->is_string()) return parseTextArray(v->get<std::string>());
  if (!v->is_array()) return std::nullopt;
  std::vector<std::string> out;
  for (const auto& item : *v) {
    if (!item.is_string()) return std::nullopt;
    out.push_back(item.get<std::string>());
  }
  return out;
}

void UserDefaults::set(const std::string& key, Value value) {
  std::lock_guard lock(mutex_);
  reloadIfChanged();
  Value next = persistent_;
  next[key] = std::move(value);
  writeFile(next);
  persistent_ = std::move(next);
}

void UserDefaults::remove(const std::string& key) {
  std::lock_guard lock(mutex_);
  reloadIfChanged();
  if (!persistent_.contains(key)) return;
  Value next = persistent_;
  next.erase(key);
  writeFile(next);
  persistent_ = std::move(next);
}

void UserDefaults::writeFile(const Value& contents) {
  if (!file_) return;
  const fs::path& path = *file_;
  std::error_code ec;
  if (path.has_parent_path()) fs::create_directories(path.parent_path(), ec);

  // A file that does not parse would be overwritten: keep it beside the new one.
  if (stamp_ && stamp_->exists && persistent_.empty() && stamp_->size > 0) {
    std::ifstream in(path, std::ios::binary);
    if (in && !Value::parse(in, nullptr, false).is_object()) {
      fs::path aside = path;
      aside += ".damaged";
      fs::rename(path, aside, ec);
    }
  }

  const std::string text = contents.dump(2) + "\n";
  std::string templ = path.string() + ".tmp-XXXXXX";
  int fd = ::mkostemp(templ.data(), O_CLOEXEC);
  if (fd < 0) throw std::system_error(errno, std::generic_category(), "cannot write " + path.string());
  const fs::path temp(templ);
  size_t written = 0;
  while (written < text.size()) {
    ssize_t n = ::write(fd, text.data() + written, text.size() - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      int e = errno;
      ::close(fd);
      ::unlink(temp.c_str());
      throw std::system_error(e, std::generic_category(), "cannot write " + temp.string());
    }
    written += static_cast<size_t>(n);
  }
  if (::fsync(fd) != 0 || ::close(fd) != 0) {
    int e = errno;
    ::unlink(temp.c_str());
    throw std::system_error(e, std::generic_category(), "cannot write " + temp.string());
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    int e = errno;
    ::unlink(temp.c_str());
    throw std::system_error(e, std::generic_category(), "cannot replace " + path.string());
  }
  // Our own write must not count as a change from outside; the next read
  // re-stats and finds the new stamp.
  stamp_.reset();
}

}  // namespace platform
