#include <gtest/gtest.h>

#include "Medley/Sources/Extension/DebugDescription.h"

using medley::Mirror;

namespace {
struct Base {
    int a = 1;
    Mirror customMirror() const { return Mirror::make("Base", {{"a", a}}); }
};
struct Derived : Base {
    int b = 2;
    Mirror customMirror() const {
        return Mirror::make("Derived", {{"b", b}}).withSuperclass(Base::customMirror());
    }
};
}  // namespace

TEST(DebugDescription, LayoutAndValueTexts) {
    EXPECT_EQ(Derived{}.customMirror().debugDescription(), "Derived{a: 1,b: 2}");
    EXPECT_EQ(Mirror("Empty").debugDescription(), "Empty{}");
    EXPECT_EQ(Mirror("Pair", {{std::nullopt, "x"}, {"second", "y"}, {std::nullopt, "z"}}).debugDescription(),
              "Pair{second: y}");
    std::optional<int> none;
    const auto m = Mirror::make("Settings", {{"flag", true},
                                             {"rate", 2.5},
                                             {"whole", 30.0},
                                             {"name", "cam"},
                                             {"byte", std::uint8_t{255}},
                                             {"maybe", std::optional<int>(3)},
                                             {"none", none},
                                             {"nested", Base{}}});
    EXPECT_EQ(m.debugDescription(),
              "Settings{flag: true,rate: 2.5,whole: 30.0,name: cam,byte: 255,maybe: Optional(3),"
              "none: nil,nested: Base{a: 1}}");
}
