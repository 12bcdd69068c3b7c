#include "Quarzadel/Shell/Scenario.h"

#include <charconv>
#include <cmath>
#include <map>

namespace quarzadel {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

const std::map<std::string, Scenario::Argument, std::less<>>& actions() {
  using A = Scenario::Argument;
  static const std::map<std::string, A, std::less<>> table{
      {"golive", A::none},   {"stop", A::none},     {"close", A::none},         {"quit", A::none},
      {"next", A::none},     {"camera", A::required}, {"mic", A::required},     {"mute", A::none},
      {"unmute", A::none},   {"dismiss", A::none},  {"action", A::none},        {"share", A::optional},
      {"unshare", A::none},  {"framing", A::required}, {"bitrate", A::number},  {"wait", A::number},
      {"unplug", A::optional}, {"plug", A::optional}, {"suspend", A::optional}, {"resume", A::optional},
      {"hang", A::optional}, {"unhang", A::optional}, {"freeze", A::optionalNumber},
  };
  return table;
}

std::optional<double> number(std::string_view text) {
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value) || value < 0)
    return std::nullopt;
  return value;
}

// One step's text with where it starts in the script.
struct Piece {
  std::string_view text;
  int line;
  int column;
};

}  // namespace

Scenario::Error::Error(int line, int column, std::string reason, std::optional<std::string> unknownAction)
    : std::runtime_error("line " + std::to_string(line) + ", position " + std::to_string(column) + ": " + reason),
      line_(line),
      column_(column),
      reason_(std::move(reason)),
      unknownAction_(std::move(unknownAction)) {}

std::optional<Scenario::Argument> Scenario::argumentOf(std::string_view action) {
  const auto& table = actions();
  auto it = table.find(action);
  if (it == table.end()) return std::nullopt;
  return it->second;
}

Scenario Scenario::parse(std::string_view script) {
  // Cut the script into steps, dropping comments, keeping each step's place.
  std::vector<Piece> pieces;
  int line = 1;
  size_t lineStart = 0;
  size_t stepStart = 0;
  bool inComment = false;
  const auto endStep = [&](size_t end) {
    if (end > stepStart)
      pieces.push_back({script.substr(stepStart, end - stepStart), line, static_cast<int>(stepStart - lineStart) + 1});
  };
  for (size_t i = 0; i <= script.size(); ++i) {
    const bool atEnd = i == script.size();
    const char c = atEnd ? '\n' : script[i];
    if (c == '\n') {
      if (!inComment) endStep(i);
      inComment = false;
      ++line;
      lineStart = stepStart = i + 1;
    } else if (inComment) {
      continue;
    } else if (c == ';') {
      endStep(i);
      stepStart = i + 1;
    } else if (c == '#') {
      endStep(i);
      inComment = true;
    }
  }

  Scenario scenario;
  double time = 0;
  for (const Piece& piece : pieces) {
    size_t begin = 0;
    while (begin < piece.text.size() && isBlank(piece.text[begin])) ++begin;
    if (begin == piece.text.size()) continue;  // an empty step
    size_t wordEnd = begin;
    while (wordEnd < piece.text.size() && !isBlank(piece.text[wordEnd])) ++wordEnd;
    size_t argBegin = wordEnd;
    while (argBegin < piece.text.size() && isBlank(piece.text[argBegin])) ++argBegin;
    size_t argEnd = piece.text.size();
    while (argEnd > argBegin && isBlank(piece.text[argEnd - 1])) --argEnd;

    const std::string word(piece.text.substr(begin, wordEnd - begin));
    const int wordColumn = piece.column + static_cast<int>(begin);
    const int argColumn = piece.column + static_cast<int>(argBegin);
    std::optional<std::string> argument;
    if (argEnd > argBegin) argument = std::string(piece.text.substr(argBegin, argEnd - argBegin));

    const auto kind = argumentOf(word);
    if (!kind) throw Error(piece.line, wordColumn, "unknown action \"" + word + "\"", word);
    switch (*kind) {
      case Argument::none:
        if (argument) throw Error(piece.line, argColumn, "\"" + word + "\" takes no argument");
        break;
      case Argument::required:
        if (!argument) throw Error(piece.line, wordColumn, "\"" + word + "\" needs an argument");
        break;
      case Argument::number:
        if (!argument)
          throw Error(piece.line, wordColumn, "\"" + word + "\" needs a number");
        [[fallthrough]];
      case Argument::optionalNumber:
        if (argument && !number(*argument))
          throw Error(piece.line, argColumn,
                      "\"" + word + "\" needs a number that is not negative, not \"" + *argument + "\"");
        break;
      case Argument::optional:
        break;
    }
    if (word == "framing" && *argument != "automatic" && *argument != "fill" && *argument != "fit")
      throw Error(piece.line, argColumn, "framing is automatic, fill or fit, not \"" + *argument + "\"");
    // Plain "share" is the synthetic picture; a real one is named.
    if (word == "share" && argument && *argument != "screen" &&
        !(argument->starts_with("window") && argument->size() > 6 && isBlank((*argument)[6])))
      throw Error(piece.line, argColumn, "share takes screen or window NAME, not \"" + *argument + "\"");
    if (word == "wait") {
      time += *number(*argument);
      continue;
    }
    scenario.steps_.push_back({time, word, argument, piece.line, wordColumn});
  }
  scenario.duration_ = time;
  return scenario;
}

}  // namespace quarzadel
