#include "RTMPMedley/Sources/RTMP/Session/RTMPURL.h"

#include <vector>

#include "RTMPMedley/Sources/RTMP/Connection/RTMPConnectionURL.h"

namespace rtmpmedley {

struct RTMPURL::Parts {
  // Where the application's component ends in the text.
  size_t applicationEnd = 0;
  // Raw components after the application.
  std::vector<std::string> rest;
  std::optional<std::string> query;
};

std::optional<RTMPURL::Parts> RTMPURL::split() const {
  const auto authority = url_.find("://");
  if (authority == std::string::npos) return std::nullopt;
  const size_t pathStart = url_.find_first_of("/?#", authority + 3);
  if (pathStart == std::string::npos || url_[pathStart] != '/') return std::nullopt;
  const size_t pathEnd = std::min(url_.find_first_of("?#", pathStart), url_.size());
  Parts parts;
  // Components as the path holds them; empty ones (doubled or trailing slashes) count for nothing.
  bool haveApplication = false;
  size_t at = pathStart;
  while (at < pathEnd) {
    const size_t begin = at + 1;
    size_t end = url_.find('/', begin);
    if (end == std::string::npos || end > pathEnd) end = pathEnd;
    if (end > begin) {
      if (!haveApplication) {
        haveApplication = true;
        parts.applicationEnd = end;
      } else {
        parts.rest.push_back(url_.substr(begin, end - begin));
      }
    }
    at = end;
  }
  if (!haveApplication) return std::nullopt;
  if (pathEnd < url_.size() && url_[pathEnd] == '?') {
    const size_t queryEnd = std::min(url_.find('#', pathEnd), url_.size());
    parts.query = url_.substr(pathEnd + 1, queryEnd - pathEnd - 1);
  }
  return parts;
}

std::optional<std::string> RTMPURL::streamName() const {
  auto parts = split();
  if (!parts || parts->rest.empty()) return std::nullopt;
  std::string name;
  for (size_t i = 0; i < parts->rest.size(); ++i) name += (i ? "/" : "") + percentDecode(parts->rest[i]);
  if (parts->query && !parts->query->empty()) name += "?" + *parts->query;
  return name;
}

std::optional<std::string> RTMPURL::connectURL() const {
  auto parts = split();
  if (!parts) return std::nullopt;
  return url_.substr(0, parts->applicationEnd);
}

}  // namespace rtmpmedley
