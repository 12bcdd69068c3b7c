#pragma once

#include "Logwell/LWLogger.h"

namespace medley {

// The module logger, as the NAL and video codec code reach it.
inline logwell::LWLogger& nalLogger() {
    static const std::shared_ptr<logwell::LWLogger> logger = logwell::LWLogger::with("quarzadel.Medley");
    return *logger;
}

}  // namespace medley
