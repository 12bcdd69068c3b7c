// Cutting a fragmented movie back to its last whole fragment.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "Platform/Files/ScopedEnv.h"
#include "Quarzadel/Studio/CompleteFragments.h"

namespace {

using quarzadel::completeFragmentsLength;
using quarzadel::keepCompleteFragments;

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

struct CompleteFragments : testing::Test {
  std::filesystem::path dir = platform::testing::scratchDirectory("complete-fragments");
  std::filesystem::path write(const std::string& bytes) {
    const auto file = dir / "copy.mp4";
    std::ofstream(file, std::ios::binary) << bytes;
    return file;
  }
};

TEST_F(CompleteFragments, AFileEndsAfterItsLastFragmentWhoseMediaDataCameWhole) {
  const std::string head = box("ftyp", 24) + box("moov", 300);
  const std::string whole = head + box("moof", 60) + largeBox("mdat", 500);
  const std::vector<std::pair<std::string, uint64_t>> rows{
      {whole, whole.size()},
      {whole + box("moof", 60) + box("mdat", 400, 123), whole.size()},  // media data cut off
      {whole + box("moof", 60), whole.size()},                          // a header without its media data
      {whole + box("moof", 60, 30), whole.size()},                      // a header cut off
      {whole + std::string(3, '\0'), whole.size()},                      // not even a box header
      {whole + std::string("\0\0\0\4free", 8) + "zz", whole.size()},   // a length no box can have
      {whole + std::string("\0\0\0\0mdat", 8) + "zzz", whole.size()},   // a box never closed
      {head.substr(0, 100), 24},
  };
  for (const auto& [bytes, length] : rows) {
    const auto file = write(bytes);
    EXPECT_EQ(completeFragmentsLength(file), length);
    ASSERT_TRUE(keepCompleteFragments(file));
    EXPECT_EQ(std::filesystem::file_size(file), length);
  }
  EXPECT_FALSE(completeFragmentsLength(dir / "missing.mp4"));
  EXPECT_FALSE(keepCompleteFragments(dir / "missing.mp4"));
}

}  // namespace
