#pragma once
// A session URL, rtmp://host[:port]/app/name[?query], split into the URL the
// connection connects to (up to the application) and the stream name (the
// path after the application, with the query).
#include <optional>
#include <string>

namespace rtmpmedley {

class RTMPURL {
 public:
  explicit RTMPURL(std::string url) : url_(std::move(url)) {}

  const std::string& url() const { return url_; }
  // The path components after the application, percent-decoded and joined
  // with "/", then "?" and the query when there is one. None without an
  // application or without a component after it.
  std::optional<std::string> streamName() const;
  // The URL as written, cut after the application's path component (so the
  // stream name and the query are gone); none without an application.
  std::optional<std::string> connectURL() const;

 private:
  struct Parts;
  std::optional<Parts> split() const;
  std::string url_;
};

}  // namespace rtmpmedley
