#pragma once
// The one transient message the Studio shows: a text, whether it is information
// or a warning, and an optional action with its title. A notice is known by its
// id, fresh for every notice made, so it equals only itself and its copies, and
// the dismissal started for one notice never clears another with the same text.
#include <functional>
#include <optional>
#include <string>

namespace quarzadel {

struct StudioNotice {
  enum class Kind { info, warning };

  StudioNotice(std::string text, Kind kind, std::optional<std::string> actionTitle = std::nullopt,
               std::function<void()> action = {});

  const std::string& id() const { return id_; }
  const std::string& text() const { return text_; }
  Kind kind() const { return kind_; }

  std::optional<std::string> actionTitle;
  std::function<void()> action;

  // "Notice: <text>", with " [<action title>]" when there is one.
  std::string logText() const;

  friend bool operator==(const StudioNotice& a, const StudioNotice& b) { return a.id_ == b.id_; }

  // A random version-4 UUID in upper case.
  static std::string makeUUID();

 private:
  std::string id_;
  std::string text_;
  Kind kind_;
};

}  // namespace quarzadel
