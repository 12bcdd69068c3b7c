// Cutting a fragmented movie back to its last whole fragment.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "Platform/Files/ScopedEnv.h"
#include "Quarzadel/Studio/CompleteFragments.h"

namespace {

using quarzadel::CompleteFragments;

// A box of `length` bytes as its header declares it; `present` of them written.
std::string box(const char* type, uint32_t length, size_t present = SIZE_MAX) {
  std::string out{char(length >> 24), char(length >> 16), char(length >> 8), char(length), type[0], type[1], type[2],
                  type[3]};
  out.resize(length, 'x');
  return out.substr(0, std::min<size_t>(present, length));
}

std::string largeBox(const char* type, uint64_t length) {
  std::string out{0, 0, 0, 1, type[0], type[1], type[2], type[3]};
  for (int shift = 56; shift >= 0; shift -= 8) out.push_back(char(length >> shift));
  out.resize(length, 'y');
  return out;
}

struct CompleteFragmentsTest : testing::Test {
  std::filesystem::path dir = platform::testing::scratchDirectory("complete-fragments");
  std::filesystem::path write(const std::string& bytes) {
    const auto file = dir / "copy.mp4";
    std::ofstream(file, std::ios::binary) << bytes;
    return file;
  }
};

TEST_F(CompleteFragmentsTest, AFileEndsAfterItsLastFragmentWhoseMediaDataCameWhole) {
  const std::string head = box("ftyp", 24) + box("moov", 300);
  const std::string one = head + box("moof", 60) + largeBox("mdat", 500);
  const std::string two = one + box("moof", 60) + box("mdat", 40);
  struct Row {
    std::string bytes;
    uint64_t length;
    int fragments;
  };
  const std::vector<Row> rows{
      {two, two.size(), 2},
      {one + box("moof", 60) + box("mdat", 400, 123), one.size(), 1},  // media data cut off
      {one + box("moof", 60), one.size(), 1},                          // a header without its media data
      {one + box("moof", 60, 30), one.size(), 1},                      // a header cut off
      {one + std::string(3, '\0'), one.size(), 1},                     // not even a box header
      {one + std::string("\0\0\0\4free", 8) + "zz", one.size(), 1},  // a length no box can have
      {one + std::string("\0\0\0\0mdat", 8) + "zzz", one.size(), 1},  // a box never closed
      {head + box("mdat", 20), head.size() + 20, 0},                    // media data of no fragment
      {head.substr(0, 100), 24, 0},
  };
  for (const auto& [bytes, length, fragments] : rows) {
    const auto file = write(bytes);
    const auto found = CompleteFragments::of(file);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->length, length);
    EXPECT_EQ(found->fragments, fragments);
    const auto kept = CompleteFragments::keep(file);
    ASSERT_TRUE(kept);
    EXPECT_EQ(std::filesystem::file_size(file), length);
  }
  EXPECT_FALSE(CompleteFragments::of(dir / "missing.mp4"));
  EXPECT_FALSE(CompleteFragments::keep(dir / "missing.mp4"));
}

}  // namespace
