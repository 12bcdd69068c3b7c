#pragma once
// Makes RTMP sessions for "rtmp" and "rtmps" URLs; register it with
// medley::StreamSessionBuilderFactory.
#include <memory>
#include <set>
#include <string>

#include "Medley/Sources/Stream/StreamSessionFactory.h"
#include "RTMPMedley/Sources/RTMP/Connection/RTMPConnectionSettings.h"

namespace rtmpmedley {

class RTMPSessionFactory final : public medley::StreamSessionFactory {
 public:
  // `makeTransport` empty: TCP or TLS sockets.
  explicit RTMPSessionFactory(std::shared_ptr<platform::Runtime> runtime = platform::Runtime::shared(),
                              RTMPTransportFactory makeTransport = {})
      : runtime_(std::move(runtime)), makeTransport_(std::move(makeTransport)) {}

  std::set<std::string> supportedProtocols() const override { return {"rtmp", "rtmps"}; }
  // The configuration is not used.
  std::shared_ptr<medley::StreamSession> make(
      const std::string& uri, medley::StreamSessionMode mode,
      std::shared_ptr<const medley::StreamSessionConfiguration> configuration) const override;

 private:
  std::shared_ptr<platform::Runtime> runtime_;
  RTMPTransportFactory makeTransport_;
};

}  // namespace rtmpmedley
