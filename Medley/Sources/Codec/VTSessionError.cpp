#include "Medley/Sources/Codec/VTSessionError.h"

namespace medley {

namespace {
std::string describe(VTSessionError::Kind kind, OSStatus status) {
    const char* name = kind == VTSessionError::Kind::failedToCreate    ? "failedToCreate"
                       : kind == VTSessionError::Kind::failedToPrepare ? "failedToPrepare"
                                                                       : "failedToConvert";
    return std::string("VTSessionError.") + name + "(status: " + std::to_string(status) + ")";
}
}  // namespace

VTSessionError::VTSessionError(Kind kind, OSStatus status)
    : std::runtime_error(describe(kind, status)), kind_(kind), status_(status) {}

}  // namespace medley
