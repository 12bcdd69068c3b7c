#pragma once
// The RTMPMedley module's one logger, registered under the module's identifier
// so that the application can reach the same object to set its level and appender.
//
//   RTMP_LOG_ERROR("connect failed:", error);  // the application joins items with one space
#include <string>

#include "Logwell/LWLogger.h"

namespace rtmpmedley {

// The library's identifier prefix followed by ".RTMPMedley".
const std::string& rtmpMedleyIdentifier();

// The module logger, made on first use (thread-safely) with LWLogger::with.
logwell::LWLogger& logger();

}  // namespace rtmpmedley

#define RTMP_LOG_TRACE(...) LW_TRACE(::rtmpmedley::logger(), __VA_ARGS__)
#define RTMP_LOG_DEBUG(...) LW_DEBUG(::rtmpmedley::logger(), __VA_ARGS__)
#define RTMP_LOG_INFO(...) LW_INFO(::rtmpmedley::logger(), __VA_ARGS__)
#define RTMP_LOG_WARN(...) LW_WARN(::rtmpmedley::logger(), __VA_ARGS__)
#define RTMP_LOG_ERROR(...) LW_ERROR(::rtmpmedley::logger(), __VA_ARGS__)
