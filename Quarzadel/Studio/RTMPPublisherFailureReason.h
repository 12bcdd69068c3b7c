#pragma once
// The short phrase that says why a publish attempt failed.
#include <exception>
#include <string>

namespace quarzadel {

std::string publishFailureReason(const std::exception_ptr& error);

}  // namespace quarzadel
