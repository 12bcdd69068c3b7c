#pragma once
// The terminal's stand-in for a system's sharing picker: what can be shared as
// a numbered list, and the host's choice typed as its number, key by key.
#include <optional>
#include <string>
#include <vector>

#include "Platform/Capture/ScreenCapture.h"

namespace quarzadel {

class SharePicker {
 public:
  using Target = platform::ScreenCaptureTarget;
  enum class Outcome { waiting, chosen, stopSharing, cancelled };
  struct Choice {
    Outcome outcome = Outcome::waiting;
    std::optional<Target> target;  // when chosen
  };

  // `sharing`: a share runs, so 0 offers to stop it.
  SharePicker(std::vector<Target> targets, bool sharing);

  // The list for the host, one line per entry, numbered from 1.
  std::string menu() const;
  // The digits typed so far.
  const std::string& typed() const { return typed_; }
  // One key: a digit, Backspace, or Enter to confirm a number that could
  // still grow; any other key cancels. A number no longer than the list
  // allows is taken at once.
  Choice key(char key);

  // The first screen, or the window whose name is `name` (else the first that
  // holds it), ignoring case.
  static std::optional<Target> find(const std::vector<Target>& targets, Target::Kind kind, const std::string& name = {});

 private:
  std::vector<Target> targets_;
  bool sharing_;
  std::string typed_;
};

}  // namespace quarzadel
