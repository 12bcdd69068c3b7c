#include "RTMPMedley/Sources/RTMP/Connection/RTMPConnectionSettings.h"

#include <algorithm>
#include <cstdint>

#include "RTMPMedley/Sources/RTMP/Connection/RTMPSocket.h"

namespace rtmpmedley {

const std::vector<std::string>& RTMPConnectionSettings::defaultFourCcList() {
  static const std::vector<std::string> list{"hvc1", "Opus"};
  return list;
}

const RTMPConnectionSettings::FourCcInfoMap& RTMPConnectionSettings::defaultAudioFourCcInfoMap() {
  static const FourCcInfoMap map{{"Opus", 2}};
  return map;
}

const RTMPConnectionSettings::FourCcInfoMap& RTMPConnectionSettings::defaultVideoFourCcInfoMap() {
  static const FourCcInfoMap map{{"hvc1", 3}};
  return map;
}

RTMPTransportFactory RTMPConnectionSettings::socketFactory() {
  return [](const RTMPTransportOptions& options) -> std::shared_ptr<RTMPTransport> {
    // The socket counts whole seconds; a part of one is rounded up, not dropped.
    int seconds = 0;
    if (options.connectTimeout.count() > 0)
      seconds = static_cast<int>(std::clamp<int64_t>(
          std::chrono::ceil<std::chrono::seconds>(options.connectTimeout).count(), 1, INT32_MAX));
    return std::make_shared<RTMPSocket>(
        options.qualityOfService,
        options.secure ? RTMPSocket::SecurityLevel::negotiatedSSL : RTMPSocket::SecurityLevel::none,
        options.runtime ? options.runtime : platform::Runtime::shared(), seconds);
  };
}

}  // namespace rtmpmedley
