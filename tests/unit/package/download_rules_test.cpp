#include "package/download_rules.h"

#include <gtest/gtest.h>

#include "common/utf.h"

namespace qfu::package {
namespace {

TEST(PackageFileName, IsTheLastPathSegmentAsItStandsInTheUrl) {
  const std::pair<WideStringView, WideStringView> cases[] = {
      {QFU_WIDE("/pub/My%20Client.msi"), QFU_WIDE("My%20Client.msi")},  // not decoded
      {QFU_WIDE("/half%2"), QFU_WIDE("half%2")},                        // an escape cut by the end
      {QFU_WIDE("client.msi"), QFU_WIDE("client.msi")},
  };
  for (const auto& [path, name] : cases) {
    EXPECT_EQ(PackageFileName(path).value_or(QFU_WIDE("refused")), name) << WideToUtf8(path);
  }
}

// Device names: request_name_test.
TEST(PackageFileName, RefusesWhatIsNotOnePlainFileInThePackageDirectory) {
  const WideStringView refused[] = {
      QFU_WIDE("/pub/"),    // the directory itself
      QFU_WIDE("/pub/.."),  // its parent
      QFU_WIDE("/client.msi."),
      QFU_WIDE("/client.msi "),  // Windows would drop the end
      QFU_WIDE("/..\\..\\Windows\\evil.dll"),
      QFU_WIDE("/client.msi:stream"),
      QFU_WIDE("/..%2F..%2Fevil.msi"),
      QFU_WIDE("/a%5cb.msi"),
      QFU_WIDE("/client.msi%3Astream"),
      QFU_WIDE("/con.msi"),
      WideStringView(QFU_WIDE("/a\0b.msi"), 8),
      QFU_WIDE("/a\x1F.msi"),  // control characters
  };
  for (const WideStringView path : refused)
    EXPECT_FALSE(PackageFileName(path).has_value()) << WideToUtf8(path);
}

TEST(ParseContentLength, ReadsDecimalLengthsAndNothingElse) {
  const std::pair<WideStringView, std::optional<std::uint64_t>> cases[] = {
      {QFU_WIDE(" 42 "), 42},
      {QFU_WIDE("18446744073709551615"), UINT64_MAX},
      {QFU_WIDE("18446744073709551616"), std::nullopt},  // one past
      {QFU_WIDE("  "), std::nullopt},
      {QFU_WIDE("-1"), std::nullopt},
      {QFU_WIDE("1 2"), std::nullopt},
  };
  for (const auto& [value, length] : cases) EXPECT_EQ(ParseContentLength(value), length) << WideToUtf8(value);
}

TEST(ParseContentRange, ReadsOnlyWellFormedRanges) {
  using R = ContentRange;
  EXPECT_EQ(ParseContentRange(QFU_WIDE("bytes 10-19/20")).value_or(R{}).total, 20u);
  EXPECT_EQ(ParseContentRange(QFU_WIDE("bytes 10-19/*")).value_or(R{9, 9, 9}).total, std::nullopt);
  EXPECT_EQ(ParseContentRange(QFU_WIDE("bytes 10-19/*")).value_or(R{}).last, 19u);
  for (const WideStringView refused :
       {QFU_WIDE("bytes 19-10/20"), QFU_WIDE("bytes 10-19/19"), QFU_WIDE("bytes */20"),
        QFU_WIDE("bytes 10-/20"), QFU_WIDE("items 10-19/20"), QFU_WIDE("bytes 1 0-19/20"),
        QFU_WIDE("bytes 10-18446744073709551615/*")}) {
    EXPECT_FALSE(ParseContentRange(refused).has_value()) << WideToUtf8(refused);
  }
  EXPECT_EQ(ParseUnsatisfiedRange(QFU_WIDE("bytes */300000")), 300000u);
  EXPECT_EQ(ParseUnsatisfiedRange(QFU_WIDE("bytes */*")), std::nullopt);
}

}  // namespace
}  // namespace qfu::package
