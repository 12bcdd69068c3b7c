#pragma once
// User defaults: named settings looked up in three domains, first match wins:
//   1. the argument domain: "-Key value" pairs from the command line (values are text);
//   2. the persistent domain: a JSON object in $XDG_CONFIG_HOME/Quarzadel/defaults.json,
//      re-read whenever the file changed on disk and rewritten atomically by set/remove;
//   3. the registration domain: built-in values given to registerDefaults().
// Typed reads coerce between text, numbers and booleans the usual way. Thread-safe.
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace platform {

class UserDefaults {
 public:
  using Value = nlohmann::json;

  // The process-wide store backed by the defaults file. Tests may swap it.
  static std::shared_ptr<UserDefaults> standard();
  static void setStandard(std::shared_ptr<UserDefaults> defaults);
  // A store whose persistent domain lives in memory only.
  static std::shared_ptr<UserDefaults> inMemory();
  // A store whose persistent domain is the given JSON file.
  static std::shared_ptr<UserDefaults> withFile(std::filesystem::path file);
  // $XDG_CONFIG_HOME/Quarzadel/defaults.json.
  static std::filesystem::path defaultFilePath();

  explicit UserDefaults(std::optional<std::filesystem::path> file);
  UserDefaults(const UserDefaults&) = delete;
  UserDefaults& operator=(const UserDefaults&) = delete;

  // Replaces the argument domain from a command line (argv[0] is skipped). Each
  // "-Key value" pair sets Key to the text value. A word where a "-Key" belongs
  // ("--Key" among them) and a last "-Key" without a value set nothing: they are
  // kept for the program to refuse (strayArguments, keyWithoutValue).
  void setArguments(int argc, const char* const* argv);
  void setArguments(const std::vector<std::string>& arguments);  // without argv[0]
  // Merges values into the registration domain.
  void registerDefaults(const std::map<std::string, Value>& values);

  // The raw value of the first domain that has the key.
  std::optional<Value> object(const std::string& key) const;
  bool contains(const std::string& key) const { return object(key).has_value(); }
  // True when the key's value comes from the command line (always text there).
  bool isArgument(const std::string& key) const;
  // The keys the command line gave, in name order.
  std::vector<std::string> argumentKeys() const;
  // Words of the command line that stand where a "-Key" belongs ("--Key" too), in order.
  std::vector<std::string> strayArguments() const;
  // The key of a last "-Key" that has no value after it.
  std::optional<std::string> keyWithoutValue() const;
  // Text; numbers are formatted, booleans give "1"/"0"; arrays and objects give none.
  std::optional<std::string> string(const std::string& key) const;
  // YES/NO, true/false, y/n, numbers non-zero (also as text); absent or other: false.
  bool boolean(const std::string& key) const;
  // Numbers truncate; text gives its leading integer; booleans 0/1; otherwise 0.
  int64_t integer(const std::string& key) const;
  // Numbers; text parsed as a number; booleans 0/1; otherwise 0.
  double doubleValue(const std::string& key) const;
  // A JSON array of strings, or text in the "(a, b, \"c d\")" form; otherwise none.
  std::optional<std::vector<std::string>> stringArray(const std::string& key) const;

  // Writes to the persistent domain. A failure to write the file throws
  // std::system_error; the in-memory view is not changed then.
  void set(const std::string& key, Value value);
  void remove(const std::string& key);

  // The persistent file, or none for an in-memory store.
  const std::optional<std::filesystem::path>& file() const { return file_; }

 private:
  struct FileStamp {
    bool exists = false;
    int64_t mtimeNanos = 0;
    uint64_t size = 0;
    uint64_t inode = 0;
    bool operator==(const FileStamp&) const = default;
  };
  // Refreshes persistent_ from the file when it changed (mutex_ held).
  void reloadIfChanged() const;
  void writeFile(const Value& contents);  // mutex_ held

  const std::optional<std::filesystem::path> file_;
  mutable std::mutex mutex_;
  std::map<std::string, std::string> arguments_;
  std::vector<std::string> strayArguments_;
  std::optional<std::string> keyWithoutValue_;
  std::map<std::string, Value> registered_;
  mutable Value persistent_ = Value::object();
  mutable std::optional<FileStamp> stamp_;
};

}  // namespace platform
