#include <gtest/gtest.h>

#include "Quarzadel/Capture/MicSelection.h"

namespace quarzadel {
namespace {

TEST(MicSelectionTest, DecodingFailures) {
  using K = MicSelection::DecodingError::Kind;
  const std::string keys = "Invalid number of keys found, expected one.";
  for (auto [text, kind, message] : std::vector<std::tuple<const char*, K, std::string>>{
           {R"({"system":{},"device":{"_0":"a"}})", K::typeMismatch, keys},
           {R"({"device":{}})", K::keyNotFound, ""}}) {
    try {
      MicSelection::decode(nlohmann::json::parse(text));
      ADD_FAILURE() << text << " decoded";
    } catch (const MicSelection::DecodingError& e) {
      EXPECT_EQ(e.kind, kind) << text;
      if (!message.empty()) EXPECT_EQ(e.what(), message);
    }
  }
}

}  // namespace
}  // namespace quarzadel
