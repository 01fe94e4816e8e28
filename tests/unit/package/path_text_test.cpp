#include "package/path_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/utf.h"

namespace qfu::package {
namespace {

std::vector<std::string> Utf8(const std::vector<WideString>& tokens) {
  std::vector<std::string> out;
  for (const WideString& token : tokens) out.push_back(WideToUtf8(token));
  return out;
}

TEST(SplitPath, ReturnsTheNonEmptyTokensBetweenAnyOfTheDelimiters) {
  const struct {
    WideStringView text, delimiters;
    std::vector<std::string> tokens;
  } cases[] = {
      {QFU_WIDE("\\Quillfern"), QFU_WIDE("\\"), {"Quillfern"}},
      {QFU_WIDE("\\Vendor\\Agent"), QFU_WIDE("\\"), {"Vendor", "Agent"}},
      {QFU_WIDE("\\\\Vendor\\\\\\Agent\\\\"), QFU_WIDE("\\"), {"Vendor", "Agent"}},
      {QFU_WIDE("a/b\\c"), QFU_WIDE("\\/"), {"a", "b", "c"}},
      {QFU_WIDE("a/b"), QFU_WIDE("\\"), {"a/b"}},
      {QFU_WIDE("\\\\\\"), QFU_WIDE("\\"), {}},
      {QFU_WIDE(""), QFU_WIDE("\\"), {}},
      {QFU_WIDE("abc"), QFU_WIDE(""), {"abc"}},
  };
  for (const auto& c : cases) EXPECT_EQ(Utf8(SplitPath(c.text, c.delimiters)), c.tokens) << WideToUtf8(c.text);
}

TEST(NormalizeProgramDataSubdirectory, PutsBackslashesRightAndRefusesWhatCouldLeaveProgramData) {
  const struct {
    WideStringView override_text;
    const char* normalized;  // null: refused, the default stays
  } cases[] = {
      {QFU_WIDE("\\Quillfern"), "\\Quillfern"},
      {QFU_WIDE("\\Vendor\\Agent"), "\\Vendor\\Agent"},
      {QFU_WIDE("Vendor\\Agent"), "\\Vendor\\Agent"},
      {QFU_WIDE("\\Vendor\\Agent\\"), "\\Vendor\\Agent"},
      {QFU_WIDE("\\\\Vendor\\\\Agent\\\\"), "\\Vendor\\Agent"},
      {QFU_WIDE("\\\\server\\share"), "\\server\\share"},  // below ProgramData, not a share
      {QFU_WIDE("\\My Vendor\\Agent 2.0"), "\\My Vendor\\Agent 2.0"},
      {QFU_WIDE(""), nullptr},
      {QFU_WIDE("\\\\"), nullptr},
      {QFU_WIDE("\\.."), nullptr},
      {QFU_WIDE("\\Vendor\\..\\..\\Windows"), nullptr},
      {QFU_WIDE("\\Vendor\\.\\Agent"), nullptr},
      {QFU_WIDE("\\..."), nullptr},  // Windows drops the trailing dots: ""
      {QFU_WIDE("\\Agent."), nullptr},
      {QFU_WIDE("\\Agent "), nullptr},
      {QFU_WIDE("C:\\Windows"), nullptr},
      {QFU_WIDE("C:"), nullptr},
      {QFU_WIDE("\\\\?\\C:\\Windows"), nullptr},
      {QFU_WIDE("\\\\.\\PhysicalDrive0"), nullptr},
      {QFU_WIDE("\\Vendor/../../Windows"), nullptr},
      {QFU_WIDE("\\Agent:stream"), nullptr},
      {QFU_WIDE("\\Age*nt"), nullptr},
      {QFU_WIDE("\\Age\tnt"), nullptr},
  };
  for (const auto& c : cases) {
    const auto normalized = NormalizeProgramDataSubdirectory(c.override_text);
    if (c.normalized == nullptr) {
      EXPECT_FALSE(normalized.has_value()) << WideToUtf8(c.override_text);
    } else {
      ASSERT_TRUE(normalized.has_value()) << WideToUtf8(c.override_text);
      EXPECT_EQ(WideToUtf8(*normalized), c.normalized);
    }
  }
  // Up to 259 units after normalising: the leading backslash counts.
  const WideString longest = QFU_WIDE("\\") + WideString(258, QFU_WIDE('a'));
  EXPECT_TRUE(NormalizeProgramDataSubdirectory(longest).has_value());
  EXPECT_FALSE(NormalizeProgramDataSubdirectory(longest + QFU_WIDE("a")).has_value());
  EXPECT_FALSE(NormalizeProgramDataSubdirectory(WideString(259, QFU_WIDE('a'))).has_value());
}

TEST(IsAcceptableRequestName, AppliesTheSubmitRuleToTheUtf16Name) {
  for (const WideString& name : {WideString(QFU_WIDE("Client")), WideString(QFU_WIDE("Gr\u00FC\u00DF")),
                                 WideString(36, QFU_WIDE('n'))}) {
    EXPECT_TRUE(IsAcceptableRequestName(name)) << WideToUtf8(name);
  }
  const WideString refused[] = {
      QFU_WIDE(""), QFU_WIDE(".."), QFU_WIDE("a\\b"), QFU_WIDE("a:b"), QFU_WIDE("CON"), QFU_WIDE("a_b"),
      WideString(37, QFU_WIDE('n')),
      WideString(13, QFU_WIDE('\u20AC')),          // 13 units, 39 bytes of UTF-8: no room in the field
      WideString(QFU_WIDE("ab\0cd"), 5),           // would end at the NUL
      WideString(1, static_cast<WideChar>(0xD800)) + QFU_WIDE("x"),  // a lone surrogate
  };
  for (const WideString& name : refused) EXPECT_FALSE(IsAcceptableRequestName(name)) << WideToUtf8(name);
}

}  // namespace
}  // namespace qfu::package
