#include "Quarzadel/Log/LogStore.h"

#include <cstdlib>

#include "Platform/Defaults/UserDefaults.h"
#include "Platform/Net/HttpClient.h"

namespace quarzadel {

std::optional<LogStore> LogStore::parse(std::string_view url) {
  auto schemeEnd = url.find("://");
  if (schemeEnd == std::string_view::npos) return std::nullopt;
  std::string_view scheme = url.substr(0, schemeEnd);
  if (scheme != "http" && scheme != "https") return std::nullopt;
  std::string_view rest = url.substr(schemeEnd + 3);
  size_t authorityEnd = rest.find_first_of("/?#");
  std::string_view authority = rest.substr(0, authorityEnd);
  std::string_view path = authorityEnd == std::string_view::npos ? "/" : rest.substr(authorityEnd);
  if (path.find_first_of("?#") != std::string_view::npos) return std::nullopt;

  LogStore store;
  auto at = authority.rfind('@');
  if (at != std::string_view::npos) {
    store.accessKey = authority.substr(0, at);
    authority = authority.substr(at + 1);
  }
  if (authority.empty() || authority.front() == ':') return std::nullopt;
  store.endpoint = std::string(scheme) + "://" + std::string(authority) + std::string(path);
  if (store.endpoint.back() != '/') store.endpoint += '/';
  return store;
}

std::optional<LogStore> LogStore::current() {
  // A configured store that is no valid URL gives none: logs never go elsewhere by surprise.
  if (auto value = platform::UserDefaults::standard()->string("LogStoreURL"); value && !value->empty())
    return parse(*value);
  if (const char* env = std::getenv("QUARZADEL_LOG_STORE_URL"); env && *env) return parse(env);
  return parse(kBuiltInLogStoreURL);
}

std::string LogStore::uploadURL(std::string_view fileName) const {
  return endpoint + platform::percentEncodePathSegment(fileName);
}

}  // namespace quarzadel
