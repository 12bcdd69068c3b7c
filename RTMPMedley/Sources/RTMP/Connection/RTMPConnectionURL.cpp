#include "RTMPMedley/Sources/RTMP/Connection/RTMPConnectionURL.h"

#include <algorithm>
#include <cctype>
#include <iterator>

namespace rtmpmedley {

namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Characters a URL may carry unencoded (RFC 3986 reserved and unreserved).
bool isURLCharacter(unsigned char c) {
  if (std::isalnum(c)) return true;
  switch (c) {
    case '-': case '.': case '_': case '~': case ':': case '/': case '?': case '#': case '[': case ']':
    case '@': case '!': case '$': case '&': case '\'': case '(': case ')': case '*': case '+': case ',':
    case ';': case '=': case '%':
      return true;
    default:
      return false;
  }
}

bool isValidText(std::string_view text) {
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (!isURLCharacter(c)) return false;
    if (c == '%' && (i + 2 >= text.size() || hexValue(text[i + 1]) < 0 || hexValue(text[i + 2]) < 0)) return false;
  }
  return true;
}

bool isSchemeText(std::string_view s) {
  if (s.empty() || !std::isalpha(static_cast<unsigned char>(s[0]))) return false;
  for (char c : s)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.') return false;
  return true;
}

}  // namespace

std::string percentDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      const int hi = hexValue(text[i + 1]);
      const int lo = hexValue(text[i + 2]);
      if (hi >= 0 && lo >= 0) {
        out.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
        continue;
      }
    }
    out.push_back(text[i]);
  }
  return out;
}

std::optional<RTMPConnectionURL> RTMPConnectionURL::parse(std::string_view text) {
  if (text.empty() || !isValidText(text)) return std::nullopt;
  RTMPConnectionURL url;
  url.text_ = std::string(text);
  std::string_view rest = text;

  if (const auto hash = rest.find('#'); hash != std::string_view::npos) {
    url.fragment_ = std::string(rest.substr(hash + 1));
    if (url.fragment_->find('#') != std::string::npos) return std::nullopt;
    rest = rest.substr(0, hash);
  }
  if (const auto colon = rest.find(':'); colon != std::string_view::npos) {
    const auto slash = rest.find_first_of("/?");
    if ((slash == std::string_view::npos || colon < slash) && isSchemeText(rest.substr(0, colon))) {
      url.scheme_ = std::string(rest.substr(0, colon));
      rest = rest.substr(colon + 1);
    }
  }
  if (const auto mark = rest.find('?'); mark != std::string_view::npos) {
    url.query_ = std::string(rest.substr(mark + 1));
    rest = rest.substr(0, mark);
  }
  if (rest.starts_with("//")) {
    url.hasAuthority_ = true;
    rest = rest.substr(2);
    const auto end = rest.find('/');
    std::string_view authority = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end);
    if (const auto at = authority.rfind('@'); at != std::string_view::npos) {
      const std::string_view info = authority.substr(0, at);
      authority = authority.substr(at + 1);
      const auto colon = info.find(':');
      url.user_ = percentDecode(info.substr(0, colon));
      if (colon != std::string_view::npos) url.password_ = percentDecode(info.substr(colon + 1));
    }
    url.hostPort_ = std::string(authority);
    std::string_view host = authority;
    std::string_view port;
    if (authority.starts_with('[')) {
      const auto close = authority.find(']');
      if (close == std::string_view::npos) return std::nullopt;
      host = authority.substr(1, close - 1);
      const std::string_view after = authority.substr(close + 1);
      if (!after.empty()) {
        if (after[0] != ':') return std::nullopt;
        port = after.substr(1);
      }
    } else if (const auto colon = authority.rfind(':'); colon != std::string_view::npos) {
      host = authority.substr(0, colon);
      port = authority.substr(colon + 1);
      if (host.find_first_of("[]") != std::string_view::npos) return std::nullopt;
    }
    if (!port.empty()) {
      if (port.size() > 5) return std::nullopt;
      int value = 0;
      for (char c : port) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
        value = value * 10 + (c - '0');
      }
      if (value > 65535) return std::nullopt;
      url.port_ = value;
    }
    if (!host.empty()) url.host_ = percentDecode(host);
  }
  url.rawPath_ = std::string(rest);
  url.path_ = percentDecode(rest);
  return url;
}

std::vector<RTMPConnectionURL::QueryItem> RTMPConnectionURL::queryItems() const {
  std::vector<QueryItem> items;
  if (!query_ || query_->empty()) return items;
  std::string_view rest = *query_;
  while (true) {
    const auto amp = rest.find('&');
    const std::string_view item = rest.substr(0, amp);
    const auto eq = item.find('=');
    if (eq == std::string_view::npos)
      items.emplace_back(percentDecode(item), std::nullopt);
    else
      items.emplace_back(percentDecode(item.substr(0, eq)), percentDecode(item.substr(eq + 1)));
    if (amp == std::string_view::npos) break;
    rest = rest.substr(amp + 1);
  }
  return items;
}

std::string RTMPConnectionURL::withoutCredentials() const {
  std::string out;
  if (!scheme_.empty()) out += scheme_ + ":";
  if (hasAuthority_) out += "//" + hostPort_;
  out += rawPath_;
  if (query_) out += "?" + *query_;
  if (fragment_) out += "#" + *fragment_;
  return out;
}

std::string RTMPConnectionURL::redacted() const {
  std::string out;
  if (!scheme_.empty()) out += scheme_ + ":";
  if (hasAuthority_) out += "//" + hostPort_;
  out += rawPath_;
  if (query_) out += "?" + redactQuery(*query_);
  return out;
}

std::string redactQuery(std::string_view query) {
  std::string out;
  while (true) {
    const auto amp = query.find('&');
    const std::string_view item = query.substr(0, amp);
    const auto eq = item.find('=');
    out += item.substr(0, eq);
    if (eq != std::string_view::npos) out += "=***";
    if (amp == std::string_view::npos) break;
    out += '&';
    query = query.substr(amp + 1);
  }
  return out;
}

std::string redactURLText(std::string_view text) {
  std::string out;
  // Drop a user-info part even when the rest is no URL.
  if (const auto start = text.find("//"); start != std::string_view::npos) {
    const auto end = text.find_first_of("/?#", start + 2);
    const auto at = text.substr(0, end).rfind('@');
    if (at != std::string_view::npos && at > start) {
      out = std::string(text.substr(0, start + 2));
      text = text.substr(at + 1);
    }
  }
  const auto mark = text.find('?');
  if (mark == std::string_view::npos) return out + std::string(text);
  return out + std::string(text.substr(0, mark + 1)) + redactQuery(text.substr(mark + 1));
}

std::string redactSecrets(std::string_view text) {
  static constexpr std::string_view kSecrets[] = {"password", "salt", "challenge", "opaque", "response"};
  auto isNameCharacter = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; };
  std::string out;
  size_t i = 0;
  while (i < text.size()) {
    const auto eq = text.find('=', i);
    if (eq == std::string_view::npos) break;
    size_t nameStart = eq;
    while (nameStart > i && isNameCharacter(text[nameStart - 1])) --nameStart;
    const std::string_view name = text.substr(nameStart, eq - nameStart);
    out += text.substr(i, eq + 1 - i);
    i = eq + 1;
    if (std::find(std::begin(kSecrets), std::end(kSecrets), name) == std::end(kSecrets)) continue;
    const auto end = text.find_first_of("& \t\r\n;,]", i);
    i = end == std::string_view::npos ? text.size() : end;
    out += "***";
  }
  out += text.substr(i);
  return out;
}

}  // namespace rtmpmedley
