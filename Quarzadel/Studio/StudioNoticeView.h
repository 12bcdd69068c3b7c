#pragma once
// The Studio view's notice element: the notice shown and what its dismiss
// control runs. Its action button calls the notice's action.
#include <functional>

#include "Quarzadel/Studio/StudioNotice.h"

namespace quarzadel {

struct NoticeView {
  StudioNotice notice;
  std::function<void()> dismiss;

  // The action button; nothing when the notice has no action.
  void performAction() const {
    if (notice.action) notice.action();
  }
};

}  // namespace quarzadel
