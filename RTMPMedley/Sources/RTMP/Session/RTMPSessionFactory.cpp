#include "RTMPMedley/Sources/RTMP/Session/RTMPSessionFactory.h"

#include "RTMPMedley/Sources/RTMP/Session/RTMPSession.h"

namespace rtmpmedley {

std::shared_ptr<medley::StreamSession> RTMPSessionFactory::make(
    const std::string& uri, medley::StreamSessionMode mode,
    std::shared_ptr<const medley::StreamSessionConfiguration> configuration) const {
  return std::make_shared<RTMPSession>(RTMPURL(uri), mode, std::move(configuration), runtime_, makeTransport_);
}

}  // namespace rtmpmedley
