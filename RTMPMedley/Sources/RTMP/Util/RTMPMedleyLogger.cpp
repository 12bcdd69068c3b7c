#include "RTMPMedley/Sources/RTMP/Util/RTMPMedleyLogger.h"

#include "Medley/Sources/Util/MedleyLogger.h"

namespace rtmpmedley {

const std::string& rtmpMedleyIdentifier() {
  static const std::string identifier = std::string(medley::kLibraryIdentifierPrefix) + ".RTMPMedley";
  return identifier;
}

logwell::LWLogger& logger() {
  static const std::shared_ptr<logwell::LWLogger> shared = logwell::LWLogger::with(rtmpMedleyIdentifier());
  return *shared;
}

}  // namespace rtmpmedley
