#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace medley {

using OSStatus = std::int32_t;

// Statuses the sessions return or carry in their errors.
namespace VTStatus {
inline constexpr OSStatus noErr = 0;
inline constexpr OSStatus propertyNotSupported = -12900;
inline constexpr OSStatus propertyReadOnly = -12901;
inline constexpr OSStatus parameter = -12902;
inline constexpr OSStatus invalidSession = -12903;
inline constexpr OSStatus allocationFailed = -12904;
inline constexpr OSStatus couldNotFindVideoDecoder = -12906;
inline constexpr OSStatus couldNotCreateInstance = -12907;
inline constexpr OSStatus couldNotFindVideoEncoder = -12908;
inline constexpr OSStatus videoDecoderBadData = -12909;
inline constexpr OSStatus videoDecoderMalfunction = -12911;
inline constexpr OSStatus videoEncoderMalfunction = -12912;
inline constexpr OSStatus imageBufferFormatNotSupported = -12915;
}  // namespace VTStatus

class VTSessionError : public std::runtime_error {
public:
    enum class Kind { failedToCreate, failedToPrepare, failedToConvert };

    VTSessionError(Kind kind, OSStatus status);

    Kind kind() const { return kind_; }
    OSStatus status() const { return status_; }
    std::string description() const { return what(); }

private:
    Kind kind_;
    OSStatus status_;
};

}  // namespace medley
