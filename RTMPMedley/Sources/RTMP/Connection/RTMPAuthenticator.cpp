#include "RTMPMedley/Sources/RTMP/Connection/RTMPAuthenticator.h"

#include <cstdio>
#include <random>

#include "RTMPMedley/Sources/RTMP/Util/MD5.h"

namespace rtmpmedley {

namespace {

std::string base64OfMD5(const std::string& text) {
  const auto digest = MD5::calculate(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
  return RTMPAuthenticator::base64(digest.data(), digest.size());
}

uint32_t systemRandom() {
  static thread_local std::mt19937 engine(std::random_device{}());
  return static_cast<uint32_t>(engine());
}

}  // namespace

RTMPAuthenticator::RTMPAuthenticator(std::function<uint32_t()> random)
    : random_(random ? std::move(random) : std::function<uint32_t()>(systemRandom)) {}

std::string RTMPAuthenticator::base64(const uint8_t* bytes, size_t size) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((size + 2) / 3 * 4);
  for (size_t i = 0; i < size; i += 3) {
    const uint32_t n = (uint32_t(bytes[i]) << 16) | (i + 1 < size ? uint32_t(bytes[i + 1]) << 8 : 0) |
                       (i + 2 < size ? uint32_t(bytes[i + 2]) : 0);
    out.push_back(kAlphabet[(n >> 18) & 63]);
    out.push_back(kAlphabet[(n >> 12) & 63]);
    out.push_back(i + 1 < size ? kAlphabet[(n >> 6) & 63] : '=');
    out.push_back(i + 2 < size ? kAlphabet[n & 63] : '=');
  }
  return out;
}

std::string RTMPAuthenticator::makeTcUrl(const RTMPConnectionURL& url) const { return url.withoutCredentials(); }

std::map<std::string, std::string> RTMPAuthenticator::queryParameters(const RTMPConnectionURL& url) {
  std::map<std::string, std::string> parameters;
  for (auto& [name, value] : url.queryItems())
    if (value) parameters[name] = *value;
  return parameters;
}

std::optional<std::string> RTMPAuthenticator::withUser(const RTMPConnectionURL& url) {
  if (!url.user() || !url.password()) return std::nullopt;
  for (const auto& [name, value] : url.queryItems())
    if (name == "authmod") return url.absoluteString();
  const bool noQuery = !url.query() || url.query()->empty();
  return url.absoluteString() + (noQuery ? "?" : "&") + "authmod=adobe&user=" + *url.user();
}

std::optional<std::string> RTMPAuthenticator::makeCommand(const std::string& command, const RTMPStatus& status) const {
  const std::string& description = status.description;
  const auto url = RTMPConnectionURL::parse(command);
  if (!url) return std::nullopt;
  // A challenge also names the method, so it is looked for first.
  if (description.find("reason=needauth") != std::string::npos) {
    if (description.find('?') == std::string::npos) return url->absoluteString();
    const auto named = withUser(*url);
    const auto namedURL = named ? RTMPConnectionURL::parse(*named) : std::nullopt;
    if (!namedURL) return std::nullopt;
    return makeResponse(*namedURL, description);
  }
  if (description.find("authmod=adobe") != std::string::npos) return withUser(*url);
  return std::nullopt;
}

std::optional<std::string> RTMPAuthenticator::makeResponse(const RTMPConnectionURL& url,
                                                           const std::string& description) const {
  const auto mark = description.find('?');
  if (mark == std::string::npos) return url.absoluteString();
  // Only a parse: the placeholder's host plays no part.
  const auto placeholder = RTMPConnectionURL::parse("http://127.0.0.1?" + description.substr(mark + 1));
  if (!placeholder) return std::nullopt;
  const auto query = queryParameters(*placeholder);
  const auto salt = query.find("salt");
  if (!url.user() || !url.password() || salt == query.end()) return std::nullopt;

  char challenge[9];
  std::snprintf(challenge, sizeof challenge, "%08x", random_());
  std::string hash = base64OfMD5(*url.user() + salt->second + *url.password());
  std::string answer = url.absoluteString();
  if (const auto opaque = query.find("opaque"); opaque != query.end()) {
    answer += "&opaque=" + opaque->second;
    hash += opaque->second;
  } else if (const auto server = query.find("challenge"); server != query.end()) {
    hash += server->second;
  }
  answer += std::string("&challenge=") + challenge + "&response=" + base64OfMD5(hash + challenge);
  return answer;
}

}  // namespace rtmpmedley
