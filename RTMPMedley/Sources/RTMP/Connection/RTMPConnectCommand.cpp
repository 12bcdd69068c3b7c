#include "RTMPMedley/Sources/RTMP/Connection/RTMPConnectCommand.h"

#include "RTMPMedley/Sources/RTMP/Connection/RTMPAuthenticator.h"

namespace rtmpmedley {

namespace {

AMFValue fourCcInfo(const std::optional<RTMPConnectCommand::FourCcInfoMap>& map) {
  if (!map) return AMFValue();
  AMFObject object;
  for (const auto& [fourCc, info] : *map) object.emplace(fourCc, AMFValue(info));
  return AMFValue(std::move(object));
}

}  // namespace

std::string RTMPConnectCommand::applicationName(const RTMPConnectionURL& uri) {
  std::string name = uri.path().empty() ? std::string() : uri.path().substr(1);
  if (uri.query()) name += "?" + *uri.query();
  return name;
}

AMFObject RTMPConnectCommand::makeCommandObject(const RTMPConnectionURL& uri) const {
  AMFObject object;
  object.emplace("objectEncoding", AMFValue(static_cast<int64_t>(objectEncoding)));
  object.emplace("app", AMFValue(applicationName(uri)));
  object.emplace("flashVer", AMFValue(flashVer));
  object.emplace("swfUrl", AMFValue(swfUrl));
  object.emplace("tcUrl", AMFValue(RTMPAuthenticator().makeTcUrl(uri)));
  object.emplace("fpad", AMFValue(false));
  object.emplace("capabilities", AMFValue(kCapabilities));
  object.emplace("audioCodecs", AMFValue(kAudioCodecs));
  object.emplace("videoCodecs", AMFValue(kVideoCodecs));
  object.emplace("videoFunction", AMFValue(kVideoFunction));
  object.emplace("pageUrl", AMFValue(pageUrl));
  if (fourCcList) {
    AMFList list;
    for (const auto& fourCc : *fourCcList) list.emplace_back(fourCc);
    object.emplace("fourCcList", AMFValue(std::move(list)));
  } else {
    object.emplace("fourCcList", AMFValue());
  }
  object.emplace("videoFourCcInfoMap", fourCcInfo(videoFourCcInfoMap));
  object.emplace("audioFourCcInfoMap", fourCcInfo(audioFourCcInfoMap));
  object.emplace("capsEx", AMFValue(capsEx));
  return object;
}

std::shared_ptr<RTMPCommandMessage> RTMPConnectCommand::makeMessage(const std::optional<RTMPConnectionURL>& uri) const {
  if (!uri) return nullptr;
  return std::make_shared<RTMPCommandMessage>(0, 0, objectEncoding, "connect", kTransactionId,
                                              makeCommandObject(*uri), arguments);
}

}  // namespace rtmpmedley
