// Request names, the key names they are stored under, and the versions requests compare.
#include "store/request_name.h"

#include <gtest/gtest.h>
#include <vector>

#include "common/utf.h"
#include "store/request_key.h"
#include "store/version.h"
#include "support/test_messages.h"

namespace qfu::store {
namespace {

using test::NameField;
using wire::MessageWriter;

// The texts between the bars.
std::vector<std::string> Split(const std::string& texts) {
  std::vector<std::string> parts(1);
  for (const char c : texts) {
    if (c == '|') {
      parts.emplace_back();
    } else {
      parts.back().push_back(c);
    }
  }
  return parts;
}

// A name submit accepts keys a request and comes back whole from its key name; the others
// never reach the registry.
TEST(RequestName, AcceptsPlainNamesThatSurviveTheirKeyName) {
  for (const std::string& name : Split("Client|Client.Update-2|Gr\xC3\xBC\xC3\x9F|" + std::string(36, 'n') +
                                       "|CONSOLE|COM10|LPT0|My App")) {
    EXPECT_TRUE(IsAcceptableRequestName(NameField(MessageWriter().Name(name)))) << name;
    const auto parsed = ParseRequestKeyName(FormatRequestKeyName(Utf8ToWide(name), 7));
    ASSERT_TRUE(parsed.has_value()) << name;
    EXPECT_EQ(std::pair(std::string(FieldText(parsed->name)), parsed->instance_number), std::pair(name, 7u));
  }
  // Empty, no NUL in the field, "_" that splits the key name, cancel's "*", what no folder or
  // key can be named, devices in any case and with any extension, and what is not UTF-8.
  for (const std::string& name :
       Split("|" + std::string(37, 'n') +
             "|My_App|*|a\\b|a/b|C:|a<b|a\"b|a?b|..|a..b|trailing.|trailing "
             "|tab\there|del\x7F|CON|con|Nul|COM1|"
             "lpt9|nul.tar.gz|COM1 .log|COM\xC2\xB9|\xC3\x28|\xC0\xAF|\xED\xA0\x80")) {
    EXPECT_FALSE(IsAcceptableRequestName(NameField(MessageWriter().Name(name)))) << name;
  }
}

TEST(CompareVersionTexts, EmptyTextsDecideFirstThenTheFirstDifferingPartAsUnsigned) {
  using Result = InstalledVersionResult;
  const struct {
    WideStringView requested, installed;
    Result result;
  } rows[] = {
      {.requested = QFU_WIDE("1.0"), .installed = QFU_WIDE(""), .result = Result::kInstalledUnknown},
      {.requested = QFU_WIDE(""), .installed = QFU_WIDE("9.2"), .result = Result::kNoRequestedVersion},
      {.requested = QFU_WIDE("x"), .installed = QFU_WIDE("0.0.0.0"), .result = Result::kSame},
      {.requested = QFU_WIDE("9.2.0.10"), .installed = QFU_WIDE("9.2.0.1"), .result = Result::kNewer},
      {.requested = QFU_WIDE("12.5.345.0"), .installed = QFU_WIDE("12.05.345"), .result = Result::kSame},
      {.requested = QFU_WIDE("1.0.0.0"), .installed = QFU_WIDE("4000000000.0"), .result = Result::kOlder},
      {.requested = QFU_WIDE(" \t1. 2.\n3"), .installed = QFU_WIDE("1.2.3"), .result = Result::kSame},
      {.requested = QFU_WIDE("1 .2"), .installed = QFU_WIDE("1"), .result = Result::kSame},
      {.requested = QFU_WIDE("+7.-1"), .installed = QFU_WIDE("7.4294967295"), .result = Result::kSame},
      {.requested = QFU_WIDE("99999999999.1"),
       .installed = QFU_WIDE("4294967295.1"),
       .result = Result::kSame},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(CompareVersionTexts(row.requested, row.installed), row.result)
        << WideToUtf8(row.requested) << " vs " << WideToUtf8(row.installed);
  }
}

}  // namespace
}  // namespace qfu::store
