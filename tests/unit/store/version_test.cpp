#include "store/version.h"

#include <gtest/gtest.h>

#include "common/utf.h"

namespace qfu::store {
namespace {

using Result = InstalledVersionResult;
constexpr std::uint32_t kMax = 0xFFFFFFFFu;

TEST(ParseVersion, ReadsLikeScanfWithMissingPartsZero) {
  const std::pair<WideStringView, VersionParts> cases[] = {
      {QFU_WIDE(" \t1. 2.\n3"), {1, 2, 3, 0}},  // white space before a number is skipped
      {QFU_WIDE("1 .2"), {1, 0, 0, 0}},         // ... but a '.' must follow the number directly
      {QFU_WIDE("1.2a.3"), {1, 2, 0, 0}},       // a number ends at the first non-digit
      {QFU_WIDE("v1.2"), {0, 0, 0, 0}},
      {QFU_WIDE("1.2.3.4.5"), {1, 2, 3, 4}},
      {QFU_WIDE("+7.-1.-0"), {7, kMax, 0, 0}},  // signs as "%u" takes them: '-' negates modulo 2^32
      // Out of range: saturates instead of wrapping, whatever the sign.
      {QFU_WIDE("4294967295.4294967296.99999999999999999999.7"), {kMax, kMax, kMax, 7}},
      {QFU_WIDE("429496729.42949672950.-4294967296"), {429496729, kMax, kMax, 0}},
  };
  for (const auto& [text, parts] : cases) EXPECT_EQ(ParseVersion(text), parts) << WideToUtf8(text);
}

TEST(CompareVersionTexts, EmptyTextsDecideFirstThenTheFirstDifferingPartAsUnsigned) {
  struct Case {
    WideStringView requested, installed;
    Result expected;
  };
  const Case cases[] = {
      {QFU_WIDE("1.0"), QFU_WIDE(""), Result::kInstalledUnknown},
      {QFU_WIDE(""), QFU_WIDE(""), Result::kInstalledUnknown},
      {QFU_WIDE(""), QFU_WIDE("9.2.0.1"), Result::kNoRequestedVersion},
      {QFU_WIDE("x"), QFU_WIDE("0.0.0.0"), Result::kSame},          // there but no number: all parts 0
      {QFU_WIDE("9.2.0.10"), QFU_WIDE("9.2.0.1"), Result::kNewer},  // numeric, not text, order
      {QFU_WIDE("12.5.345.0"), QFU_WIDE("12.05.345"), Result::kSame},
      {QFU_WIDE("12.4.999.9"), QFU_WIDE("12.05.345"), Result::kOlder},
      {QFU_WIDE("1.0.0.0"), QFU_WIDE("4000000000.0"), Result::kOlder},  // above INT32_MAX: unsigned
      {QFU_WIDE("4000000000"), QFU_WIDE("1"), Result::kNewer},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CompareVersionTexts(c.requested, c.installed), c.expected)
        << WideToUtf8(c.requested) << " vs " << WideToUtf8(c.installed);
  }
}

}  // namespace
}  // namespace qfu::store
