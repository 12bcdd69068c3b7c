#pragma once
// A scripted Studio session: actions with waits between them, as held by the
// "Scenario" user default, e.g. "golive; wait 20; stop; close". Steps are
// separated by ";" or line breaks; "#" starts a comment to the end of the line.
// Each step is an action word, optionally followed by its argument (the rest of
// the step, trimmed). "wait SECONDS" moves the script's clock on; every other
// step runs at the script time reached so far.
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace quarzadel {

class Scenario {
 public:
  // What an action takes after its word: nothing, a text (optional or required)
  // or a non-negative number (required or optional).
  enum class Argument { none, optional, required, number, optionalNumber };

  struct Step {
    double time = 0;  // seconds after the scenario started
    std::string action;
    std::optional<std::string> argument;
    int line = 1;    // where the action word stands, 1-based
    int column = 1;
    bool operator==(const Step&) const = default;
  };

  // A step the runner cannot run. `unknownAction` holds the word when that is why.
  class Error : public std::runtime_error {
   public:
    Error(int line, int column, std::string reason, std::optional<std::string> unknownAction = std::nullopt);
    int line() const { return line_; }
    int column() const { return column_; }
    const std::string& reason() const { return reason_; }
    const std::optional<std::string>& unknownAction() const { return unknownAction_; }

   private:
    int line_;
    int column_;
    std::string reason_;
    std::optional<std::string> unknownAction_;
  };

  // Throws Error for the first malformed step.
  static Scenario parse(std::string_view script);

  // What the action takes, or none for a word the runner does not know.
  static std::optional<Argument> argumentOf(std::string_view action);

  const std::vector<Step>& steps() const { return steps_; }
  // The script time of the last step (or of the last wait).
  double duration() const { return duration_; }

 private:
  std::vector<Step> steps_;
  double duration_ = 0;
};

}  // namespace quarzadel
