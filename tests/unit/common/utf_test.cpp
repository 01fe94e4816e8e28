#include "common/utf.h"

#include <array>
#include <gtest/gtest.h>

namespace qfu {
namespace {

TEST(Utf, RoundTripsTextOutsideTheBasicPlaneAndReplacesInvalidInput) {
  const std::string text =
      "Gr\xC3\xBC\xC3\x9F"
      "e \xE2\x82\xAC \xF0\x9F\x98\x80";
  EXPECT_EQ(Utf8ToWide(text).size(), 10u);  // the emoji is a surrogate pair
  EXPECT_EQ(WideToUtf8(Utf8ToWide(text)), text);
  EXPECT_EQ(Utf8ToWide("a\xC3"), (WideString{'a', 0xFFFD}));        // truncated sequence
  EXPECT_EQ(Utf8ToWide("\xC0\xAF"), (WideString{0xFFFD, 0xFFFD}));  // overlong lead
  EXPECT_EQ(Utf8ToWide("\xED\xA0\x80"), (WideString{0xFFFD}));      // encoded surrogate
  EXPECT_EQ(WideToUtf8(WideString{0xD800, 'x'}), "\xEF\xBF\xBDx");  // lone surrogate
}

TEST(Utf, FieldTextsStopAtNulOrTheFieldsEndAndAreWrittenWhole) {
  EXPECT_EQ(FieldText(std::array<std::uint8_t, 4>{'a', 'b', 0, 'c'}), "ab");
  EXPECT_EQ(FieldText(std::array<std::uint8_t, 3>{'x', 'y', 'z'}), "xyz");
  std::array<std::uint8_t, 4> field{};
  EXPECT_FALSE(WriteFieldText(field, "ab\xC3\xBC"));  // 4 bytes do not fit with the NUL
  EXPECT_EQ(FieldText(field), "ab");                  // and the sequence is not split
  EXPECT_TRUE(WriteFieldText(field, "abc"));
  EXPECT_EQ(field[3], 0);
}

}  // namespace
}  // namespace qfu
