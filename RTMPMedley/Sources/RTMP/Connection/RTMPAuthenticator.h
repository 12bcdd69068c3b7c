#pragma once
// Answers the login challenges of ingest servers that refuse a connect and
// ask for credentials in the rejection's description: the first rejection
// asks for the user name ("authmod=adobe"), the second carries a salt and a
// challenge ("reason=needauth") to which the client answers with a digest of
// user, salt and password. The credentials come from the URL's user-info
// part and never travel in the clear: the connect command's tcUrl drops them.
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "RTMPMedley/Sources/RTMP/Connection/RTMPConnectionURL.h"
#include "RTMPMedley/Sources/RTMP/Connection/RTMPStatus.h"

namespace rtmpmedley {

class RTMPAuthenticator {
 public:
  // `random` draws the client challenge; the system's random source by default.
  explicit RTMPAuthenticator(std::function<uint32_t()> random = {});

  // The URL without user name and password, for the connect command.
  std::string makeTcUrl(const RTMPConnectionURL& url) const;

  // The URL of the next attempt after a rejection of a connect to `url` (the
  // URL as the user gave it, whatever the attempts before added), or none
  // when the rejection asks for nothing this client can answer.
  std::optional<std::string> makeCommand(const std::string& url, const RTMPStatus& status) const;

  // The URL with the answer to the challenge in `description` appended; the
  // URL unchanged when the description has no query; none when the URL has
  // no user name or password or the query no salt.
  std::optional<std::string> makeResponse(const RTMPConnectionURL& url, const std::string& description) const;

  // The query items that have a value, by name (the last one wins).
  static std::map<std::string, std::string> queryParameters(const RTMPConnectionURL& url);

  // Standard alphabet, with padding.
  static std::string base64(const uint8_t* bytes, size_t size);

 private:
  // The URL naming the login method and the user, as the first rejection asks;
  // none without a user name and password.
  static std::optional<std::string> withUser(const RTMPConnectionURL& url);
  std::function<uint32_t()> random_;
};

}  // namespace rtmpmedley
