#pragma once
// Where session logs are uploaded: the storage endpoint (its path ends in
// "/logs/") and its access key, configured as one URL with the key as its user
// part, e.g. "https://KEY@storage.example.net/zone/logs/". Read from the "LogStoreURL"
// default, else the QUARZADEL_LOG_STORE_URL environment variable, else the
// built-in store.
#include <optional>
#include <string>
#include <string_view>

namespace quarzadel {

struct LogStore {
  std::string endpoint;   // without the key; ends with "/"
  std::string accessKey;  // empty: no key header is sent

  // None when the configured value is no valid store URL.
  static std::optional<LogStore> current();
  // None when the text is not an http(s) URL with a host.
  static std::optional<LogStore> parse(std::string_view url);
  // The endpoint followed by the file name as one percent-encoded path segment.
  std::string uploadURL(std::string_view fileName) const;
};

inline constexpr const char* kBuiltInLogStoreURL =
    "https://7f3e91a2-4b6c-4d8e-9a1f5c7e2b3d-8e4f-4c1a@storage.quarzadel.com/quarzadel-logs/logs/";

}  // namespace quarzadel
