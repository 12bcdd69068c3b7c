#include "Medley/Sources/Util/MedleyLogger.h"

namespace medley {

const std::string& medleyIdentifier() {
  static const std::string identifier = std::string(kLibraryIdentifierPrefix) + ".Medley";
  return identifier;
}

logwell::LWLogger& logger() {
  static const std::shared_ptr<logwell::LWLogger> shared = logwell::LWLogger::with(medleyIdentifier());
  return *shared;
}

}  // namespace medley
