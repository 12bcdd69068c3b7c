#pragma once
// The test camera's error-injection controls: a button that makes the driver
// refuse the next buffer request, as a camera that cannot stream again would.
#include <string>

namespace vividcheck {

// Presses the driver's button that fails the next VIDIOC_REQBUFS of the camera
// at `path`; false (and the reason printed) when it has none.
bool failNextBufferRequest(const std::string& path);

}  // namespace vividcheck
