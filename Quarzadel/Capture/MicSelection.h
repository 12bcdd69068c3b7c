#pragma once
// The host's microphone choice: follow the system's default input, or one
// particular microphone. Stored in user defaults as "system" or the device's
// identifier, and coded in keyed form ({"system":{}} or {"device":{"_0":id}}).
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

namespace quarzadel {

class MicSelection {
 public:
  // A failure to decode, with the coding path where it happened.
  class DecodingError : public std::runtime_error {
   public:
    enum class Kind { typeMismatch, keyNotFound };
    DecodingError(Kind kind, std::vector<std::string> codingPath, const std::string& description)
        : std::runtime_error(description), kind(kind), codingPath(std::move(codingPath)) {}
    Kind kind;
    std::vector<std::string> codingPath;
  };

  static constexpr const char* kInvalidKeyCount = "Invalid number of keys found, expected one.";

  static MicSelection system() { return MicSelection(std::nullopt); }
  static MicSelection device(std::string id) { return MicSelection(std::move(id)); }
  // From the value stored under "StudioMicSelection": none, "" and "system" follow the system.
  static MicSelection fromStoredValue(const std::optional<std::string>& stored);

  bool isSystem() const { return !device_; }
  // The microphone's identifier for a `device` selection.
  const std::optional<std::string>& deviceID() const { return device_; }
  // What the Studio stores: "system" or the identifier.
  std::string storedValue() const { return device_ ? *device_ : "system"; }

  nlohmann::json encode() const;
  // Throws DecodingError.
  static MicSelection decode(const nlohmann::json& json, std::vector<std::string> codingPath = {});

  friend bool operator==(const MicSelection&, const MicSelection&) = default;

 private:
  explicit MicSelection(std::optional<std::string> device) : device_(std::move(device)) {}
  std::optional<std::string> device_;
};

}  // namespace quarzadel

template <>
struct std::hash<quarzadel::MicSelection> {
  size_t operator()(const quarzadel::MicSelection& s) const noexcept {
    return s.deviceID() ? std::hash<std::string>{}(*s.deviceID()) ^ 0x5bd1e995 : 0;
  }
};
