// The terminal's share list: how typed numbers choose (at once when no longer
// number fits, after Enter otherwise), and finding by name.
#include <gtest/gtest.h>

#include "Quarzadel/Shell/SharePicker.h"

namespace quarzadel {
namespace {

using Target = SharePicker::Target;
using Outcome = SharePicker::Outcome;

std::vector<Target> listOf(int windows) {
  std::vector<Target> list{{Target::Kind::display, 0, "Display 1", 1920, 1080}};
  for (int i = 1; i <= windows; ++i)
    list.push_back({Target::Kind::window, static_cast<uint64_t>(100 + i), "Window " + std::to_string(i), 640, 480});
  return list;
}

TEST(SharePicker, ADigitChoosesAtOnceWhenNoLongerNumberFits) {
  SharePicker short_(listOf(2), false);
  const auto choice = short_.key('3');
  EXPECT_EQ(choice.outcome, Outcome::chosen);
  EXPECT_EQ(choice.target->name, "Window 2");

  // Twelve entries: "1" may become 10, 11 or 12; "2" cannot grow.
  SharePicker longer(listOf(11), false);
  EXPECT_EQ(longer.key('1').outcome, Outcome::waiting);
  EXPECT_EQ(longer.typed(), "1");
  const auto eleven = longer.key('1');
  ASSERT_EQ(eleven.outcome, Outcome::chosen);
  EXPECT_EQ(eleven.target->id, 110u);
  EXPECT_EQ(SharePicker(listOf(11), false).key('2').target->name, "Window 1");
}

TEST(SharePicker, EnterConfirmsBackspaceCorrectsAndANumberPastTheListIsIgnored) {
  SharePicker picker(listOf(11), false);
  EXPECT_EQ(picker.key('1').outcome, Outcome::waiting);
  EXPECT_EQ(picker.key('5').outcome, Outcome::waiting) << "15 is past the list";
  EXPECT_EQ(picker.typed(), "1");
  EXPECT_EQ(picker.key('\x7f').outcome, Outcome::waiting);
  EXPECT_EQ(picker.typed(), "");
  EXPECT_EQ(picker.key('1').outcome, Outcome::waiting);
  const auto first = picker.key('\r');
  ASSERT_EQ(first.outcome, Outcome::chosen);
  EXPECT_EQ(first.target->kind, Target::Kind::display);
  EXPECT_EQ(SharePicker(listOf(11), false).key('\r').outcome, Outcome::cancelled) << "Enter with nothing typed";
}

TEST(SharePicker, ZeroStopsOnlyARunningShareAndOtherKeysCancel) {
  EXPECT_EQ(SharePicker(listOf(1), true).key('0').outcome, Outcome::stopSharing);
  EXPECT_EQ(SharePicker(listOf(1), false).key('0').outcome, Outcome::cancelled);
  EXPECT_EQ(SharePicker(listOf(1), true).key('x').outcome, Outcome::cancelled);
  EXPECT_EQ(SharePicker({}, false).key('1').outcome, Outcome::waiting) << "nothing to choose";
}

TEST(SharePicker, FindsTheFirstScreenOrAWindowByNamePreferringAnExactOne) {
  const std::vector<Target> list{{Target::Kind::window, 1, "Slides - draft", 10, 10},
                                 {Target::Kind::display, 0, "Display 1", 10, 10},
                                 {Target::Kind::window, 2, "Slides", 10, 10}};
  EXPECT_EQ(SharePicker::find(list, Target::Kind::display)->id, 0u);
  EXPECT_EQ(SharePicker::find(list, Target::Kind::window, "slides")->id, 2u);
  EXPECT_EQ(SharePicker::find(list, Target::Kind::window, "DRAFT")->id, 1u);
  EXPECT_FALSE(SharePicker::find(list, Target::Kind::window, "Notes"));
  EXPECT_FALSE(SharePicker::find({}, Target::Kind::display));
}

}  // namespace
}  // namespace quarzadel
