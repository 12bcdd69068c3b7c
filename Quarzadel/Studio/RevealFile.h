#pragma once
// Shows the user where a file is: prints its folder, and opens that folder in the
// desktop's file manager (xdg-open) when a desktop session exists.
#include <filesystem>
#include <functional>
#include <string>

namespace quarzadel {

// True when DISPLAY or WAYLAND_DISPLAY is set.
bool hasDesktopSession();
// `open` runs the opener (default: xdg-open without waiting for it).
void revealFile(const std::filesystem::path& file,
                const std::function<void(const std::filesystem::path& folder)>& open = nullptr);

}  // namespace quarzadel
