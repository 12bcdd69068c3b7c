#pragma once
// The Medley module's one logger, registered under the module's identifier so
// that the application can reach the same object to set its level and appender.
//
//   MEDLEY_LOG_INFO("bitRate change from", old, "to", now);  // the application joins items with one space
#include <string>

#include "Logwell/LWIdentifiers.h"
#include "Logwell/LWLogger.h"

namespace medley {

// The library's identifier prefix, shared by its queue labels and logger identifiers.
inline constexpr const char* kLibraryIdentifierPrefix = logwell::kLibraryIdentifierPrefix;

// The library's identifier prefix followed by ".Medley".
const std::string& medleyIdentifier();

// The module logger, made on first use (thread-safely) with LWLogger::with.
logwell::LWLogger& logger();

}  // namespace medley

#define MEDLEY_LOG_TRACE(...) LW_TRACE(::medley::logger(), __VA_ARGS__)
#define MEDLEY_LOG_DEBUG(...) LW_DEBUG(::medley::logger(), __VA_ARGS__)
#define MEDLEY_LOG_INFO(...) LW_INFO(::medley::logger(), __VA_ARGS__)
#define MEDLEY_LOG_WARN(...) LW_WARN(::medley::logger(), __VA_ARGS__)
#define MEDLEY_LOG_ERROR(...) LW_ERROR(::medley::logger(), __VA_ARGS__)
