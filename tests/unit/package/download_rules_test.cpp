#include "package/download_rules.h"

#include <gtest/gtest.h>

#include "common/utf.h"

namespace qfu::package {
namespace {

TEST(PackageFileName, IsTheLastPathSegmentAsItStandsInTheUrl) {
  const std::pair<WideStringView, WideStringView> cases[] = {
      {QFU_WIDE("/client.msi"), QFU_WIDE("client.msi")},
      {QFU_WIDE("/pub/new/client.msi"), QFU_WIDE("client.msi")},
      {QFU_WIDE("/pub/My%20Client.msi"), QFU_WIDE("My%20Client.msi")},  // not decoded
      {QFU_WIDE("/100%25.msi"), QFU_WIDE("100%25.msi")},
      {QFU_WIDE("/a/..b"), QFU_WIDE("..b")},
      {QFU_WIDE("/../setup"), QFU_WIDE("setup")},
      {QFU_WIDE("/CONSOLE.msi"), QFU_WIDE("CONSOLE.msi")},
      {QFU_WIDE("/COM10"), QFU_WIDE("COM10")},
      {QFU_WIDE("/trailing%"), QFU_WIDE("trailing%")},
      {QFU_WIDE("/half%2"), QFU_WIDE("half%2")},
      {QFU_WIDE("/%2E%2E"), QFU_WIDE("%2E%2E")},  // a name of its own: nothing decodes it
      {QFU_WIDE("client.msi"), QFU_WIDE("client.msi")},
  };
  for (const auto& [path, name] : cases) {
    const auto file_name = PackageFileName(path);
    ASSERT_TRUE(file_name.has_value()) << WideToUtf8(path);
    EXPECT_EQ(*file_name, name) << WideToUtf8(path);
  }
}

TEST(PackageFileName, RefusesWhatIsNotOnePlainFileInThePackageDirectory) {
  const WideStringView refused[] = {
      QFU_WIDE(""), QFU_WIDE("/"), QFU_WIDE("/pub/"),             // the directory itself
      QFU_WIDE("/."), QFU_WIDE("/.."), QFU_WIDE("/pub/.."),       // it again, or its parent
      QFU_WIDE("/client.msi."), QFU_WIDE("/client.msi "),         // Windows would drop the end
      QFU_WIDE("/..\\..\\Windows\\evil.dll"), QFU_WIDE("/a\\b.msi"),
      QFU_WIDE("/C:evil.msi"), QFU_WIDE("/client.msi:stream"),
      QFU_WIDE("/..%2F..%2Fevil.msi"), QFU_WIDE("/a%2fb.msi"),
      QFU_WIDE("/..%5C..%5Cevil.msi"), QFU_WIDE("/a%5cb.msi"),
      QFU_WIDE("/client.msi%3Astream"), QFU_WIDE("/C%3aevil.msi"),
      QFU_WIDE("/NUL"), QFU_WIDE("/con.msi"), QFU_WIDE("/COM1.msi"), QFU_WIDE("/lpt9"), QFU_WIDE("/aux .msi"),
  };
  for (const WideStringView path : refused) EXPECT_FALSE(PackageFileName(path).has_value()) << WideToUtf8(path);
}

TEST(ParseContentLength, ReadsDecimalLengthsAndNothingElse) {
  const std::pair<WideStringView, std::optional<std::uint64_t>> cases[] = {
      {QFU_WIDE("0"), 0},
      {QFU_WIDE("300000"), 300000},
      {QFU_WIDE(" 42 "), 42},
      {QFU_WIDE("4294967296"), 4294967296u},  // beyond 32 bits
      {QFU_WIDE("18446744073709551615"), UINT64_MAX},
      {QFU_WIDE("18446744073709551616"), std::nullopt},  // one past
      {QFU_WIDE("99999999999999999999"), std::nullopt},
      {QFU_WIDE(""), std::nullopt},
      {QFU_WIDE("  "), std::nullopt},
      {QFU_WIDE("-1"), std::nullopt},
      {QFU_WIDE("+1"), std::nullopt},
      {QFU_WIDE("12a"), std::nullopt},
      {QFU_WIDE("1 2"), std::nullopt},
      {QFU_WIDE("0x10"), std::nullopt},
  };
  for (const auto& [value, length] : cases) EXPECT_EQ(ParseContentLength(value), length) << WideToUtf8(value);
}

}  // namespace
}  // namespace qfu::package
