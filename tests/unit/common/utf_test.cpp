#include "common/utf.h"

#include <gtest/gtest.h>

#include <array>

namespace qfu {
namespace {

TEST(Utf, RoundTripsTextOutsideTheBasicPlane) {
  const std::string text = "Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC \xF0\x9F\x98\x80";
  const WideString wide = Utf8ToWide(text);
  EXPECT_EQ(wide.size(), 10u);  // the emoji is a surrogate pair
  EXPECT_EQ(WideToUtf8(wide), text);
}

TEST(Utf, ReplacesInvalidInputWithTheReplacementCharacter) {
  EXPECT_EQ(Utf8ToWide("a\xC3"), (WideString{'a', 0xFFFD}));                 // truncated sequence
  EXPECT_EQ(Utf8ToWide("\xC0\xAF"), (WideString{0xFFFD, 0xFFFD}));           // overlong lead
  EXPECT_EQ(Utf8ToWide("\xED\xA0\x80"), (WideString{0xFFFD}));               // encoded surrogate
  EXPECT_EQ(WideToUtf8(WideString{0xD800, 'x'}), "\xEF\xBF\xBDx");           // lone surrogate
}

TEST(Utf, FieldTextStopsAtNulOrAtTheEndOfTheField) {
  const std::array<std::uint8_t, 4> with_nul = {'a', 'b', 0, 'c'};
  const std::array<std::uint8_t, 3> without_nul = {'x', 'y', 'z'};
  EXPECT_EQ(FieldText(with_nul), "ab");
  EXPECT_EQ(FieldText(without_nul), "xyz");
}

TEST(Utf, WriteFieldTextTerminatesAndDoesNotSplitASequence) {
  std::array<std::uint8_t, 4> field{};
  EXPECT_FALSE(WriteFieldText(field, "ab\xC3\xBC"));  // 4 bytes do not fit with the NUL
  EXPECT_EQ(FieldText(field), "ab");
  EXPECT_TRUE(WriteFieldText(field, "abc"));
  EXPECT_EQ(field[3], 0);
}

}  // namespace
}  // namespace qfu
