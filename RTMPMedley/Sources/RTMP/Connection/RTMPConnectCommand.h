#pragma once
// The "connect" command that opens the application on the server: transaction
// id 1 on message stream 0, with a command object made of the connection's
// settings and its URL (the application name and the tcUrl, the latter
// without credentials), and the extra connect arguments after it.
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "RTMPMedley/Sources/RTMP/AMF/AMFTypes.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPCommandMessage.h"
#include "RTMPMedley/Sources/RTMP/Connection/RTMPConnectionURL.h"

namespace rtmpmedley {

struct RTMPConnectCommand {
  using FourCcInfoMap = std::map<std::string, int64_t>;

  static constexpr int64_t kTransactionId = 1;
  static constexpr int64_t kCapabilities = 239;
  static constexpr int64_t kAudioCodecs = 0x0400;
  static constexpr int64_t kVideoCodecs = 0x0080;
  static constexpr int64_t kVideoFunction = 1;

  RTMPObjectEncoding objectEncoding = RTMPObjectEncoding::amf0;
  std::string flashVer;
  std::optional<std::string> swfUrl;
  std::optional<std::string> pageUrl;
  std::optional<std::vector<std::string>> fourCcList;
  std::optional<FourCcInfoMap> videoFourCcInfoMap;
  std::optional<FourCcInfoMap> audioFourCcInfoMap;
  int64_t capsEx = 0;
  AMFList arguments;

  // The path without its leading '/', then '?' and the query when there is one.
  static std::string applicationName(const RTMPConnectionURL& uri);
  // The command object for the URL (absent settings are AMF null).
  AMFObject makeCommandObject(const RTMPConnectionURL& uri) const;
  // None without a URL.
  std::shared_ptr<RTMPCommandMessage> makeMessage(const std::optional<RTMPConnectionURL>& uri) const;
};

}  // namespace rtmpmedley
