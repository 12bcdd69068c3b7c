#pragma once
// What an RTMP connection is made with: the values of its connect command, its
// time-outs and outgoing chunk size, and where its byte transport comes from.
// The defaults are those the application uses.
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Dispatch/Runtime.h"
#include "Platform/Dispatch/SerialQueue.h"
#include "RTMPMedley/Sources/RTMP/Connection/RTMPTransport.h"

namespace rtmpmedley {

// What a transport is made for: one attempt to reach one server.
struct RTMPTransportOptions {
  // TLS over TCP (an rtmps URL).
  bool secure = false;
  platform::QualityOfService qualityOfService = platform::QualityOfService::userInitiated;
  // Bounds the transport's connect(); zero or less: no bound.
  std::chrono::nanoseconds connectTimeout{0};
  std::shared_ptr<platform::Runtime> runtime;
};

// Makes a new, unconnected transport; called once per connect attempt.
using RTMPTransportFactory = std::function<std::shared_ptr<RTMPTransport>(const RTMPTransportOptions&)>;

struct RTMPConnectionSettings {
  using FourCcInfoMap = std::map<std::string, int64_t>;

  static constexpr const char* kDefaultFlashVer = "FMLE/3.0 (compatible; FMSc/1.0)";
  static constexpr int64_t kDefaultChunkSize = 8192;
  static const std::vector<std::string>& defaultFourCcList();
  static const FourCcInfoMap& defaultAudioFourCcInfoMap();
  static const FourCcInfoMap& defaultVideoFourCcInfoMap();
  // TCP, or TLS over TCP, with the system's trust store.
  static RTMPTransportFactory socketFactory();

  // Connect command values.
  std::optional<std::string> swfUrl;
  std::optional<std::string> pageUrl;
  std::string flashVer = kDefaultFlashVer;
  std::optional<std::vector<std::string>> fourCcList = defaultFourCcList();
  std::optional<FourCcInfoMap> videoFourCcInfoMap = defaultVideoFourCcInfoMap();
  std::optional<FourCcInfoMap> audioFourCcInfoMap = defaultAudioFourCcInfoMap();
  int64_t capsEx = 0;

  // Bounds the transport's connect, and again the handshake with the answer to
  // "connect" once the transport is up. Zero or less: no bound.
  std::chrono::nanoseconds timeout = std::chrono::seconds(15);
  // How long a command waits for its answer; zero or less: no bound.
  std::chrono::nanoseconds requestTimeout = std::chrono::milliseconds(10000);
  // Announced to the server once connected (clamped to 1...0x7FFFFFFF).
  int64_t chunkSize = kDefaultChunkSize;
  platform::QualityOfService qualityOfService = platform::QualityOfService::userInitiated;

  // Empty: socketFactory().
  RTMPTransportFactory makeTransport;
};

}  // namespace rtmpmedley
