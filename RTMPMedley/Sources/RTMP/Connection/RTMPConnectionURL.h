#pragma once
// The URL of an RTMP connection, split into its parts the way the connect
// command and the login exchange need them. Parsing is strict about
// characters (a space or a stray '%' makes the text no URL) and keeps the
// text as given: absoluteString() is the input unchanged.
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace rtmpmedley {

class RTMPConnectionURL {
 public:
  using QueryItem = std::pair<std::string, std::optional<std::string>>;

  // None when the text is no URL.
  static std::optional<RTMPConnectionURL> parse(std::string_view text);

  const std::string& absoluteString() const { return text_; }
  // Empty when the text has none.
  const std::string& scheme() const { return scheme_; }
  // Percent-decoded user name and password of the user-info part.
  const std::optional<std::string>& user() const { return user_; }
  const std::optional<std::string>& password() const { return password_; }
  // Without the brackets of an IPv6 literal; none when empty or absent.
  const std::optional<std::string>& host() const { return host_; }
  const std::optional<int>& port() const { return port_; }
  // Percent-decoded.
  const std::string& path() const { return path_; }
  // As written, without the '?'.
  const std::optional<std::string>& query() const { return query_; }

  // The query's items, names and values percent-decoded; an item without
  // '=' has no value.
  std::vector<QueryItem> queryItems() const;

  // The same URL without its user name, password and '@'.
  std::string withoutCredentials() const;
  // For log lines: without credentials and with every query value masked.
  std::string redacted() const;

 private:
  std::string text_;
  std::string scheme_;
  std::optional<std::string> user_;
  std::optional<std::string> password_;
  std::optional<std::string> host_;
  std::optional<int> port_;
  std::string path_;
  std::optional<std::string> query_;
  // Raw pieces for rebuilding the text.
  bool hasAuthority_ = false;
  std::string hostPort_;
  std::string rawPath_;
  std::optional<std::string> fragment_;
};

// Percent-decodes; bytes after a '%' that are no two hex digits stay as they are.
std::string percentDecode(std::string_view text);
// Every query value replaced by "***", for log lines.
std::string redactQuery(std::string_view query);
// For log lines, from any text: drops a user-info part and masks the query values.
std::string redactURLText(std::string_view text);
// For texts of a login exchange: masks the values of the items that are
// secrets (password, salt, challenge, opaque, response), wherever they stand;
// everything else, the server's reason included, stays as it is.
std::string redactSecrets(std::string_view text);

}  // namespace rtmpmedley
