#include "store/request_key.h"

#include <gtest/gtest.h>

#include "common/utf.h"
#include "wire/update_status.h"
#include "support/test_messages.h"

namespace qfu::store {
namespace {

WideString PathFor(std::string_view name, std::uint32_t instance) {
  const auto message = wire::MessageWriter().Name(name);
  return BuildRequestKeyPath(QFU_WIDE("Root"), wire::RequestMessage(message.span()).request_name_field(), instance);
}

TEST(RequestKeyPath, AddsTheInstanceNumberOnlyWhenItIsNotZero) {
  EXPECT_EQ(PathFor("Client", 0), QFU_WIDE("Root\\Client"));
  EXPECT_EQ(PathFor("Client", 1), QFU_WIDE("Root\\Client_00000001"));
  EXPECT_EQ(PathFor("Client", 26), QFU_WIDE("Root\\Client_0000001A"));
  EXPECT_EQ(PathFor("Client", 0xFFFFFFFF), QFU_WIDE("Root\\Client_FFFFFFFF"));
}

TEST(RequestKeyPath, ReadsANameFieldWithoutNulOnlyToItsEnd) {
  EXPECT_EQ(PathFor(std::string(37, 'n'), 0), WideString(QFU_WIDE("Root\\")) + WideString(37, 'n'));
}

TEST(ParseRequestKeyName, SplitsAtTheFirstUnderscoreAndReadsHexDigits) {
  struct Case {
    const WideChar* key;
    std::string_view name;
    std::uint32_t instance;
  };
  const Case cases[] = {
      {QFU_WIDE("Client"), "Client", 0},
      {QFU_WIDE("Client_00000001"), "Client", 1},
      {QFU_WIDE("My_App"), "My", 0xA},
      {QFU_WIDE("pkg_1A"), "pkg", 0x1A},
      {QFU_WIDE("pkg_1a_2"), "pkg", 0x1A},
      {QFU_WIDE("pkg_zz"), "pkg", 0},
      {QFU_WIDE("pkg_123456789"), "pkg", 0x23456789},
  };
  for (const Case& c : cases) {
    const auto parsed = ParseRequestKeyName(c.key);
    ASSERT_TRUE(parsed.has_value()) << c.name;
    EXPECT_EQ(FieldText(parsed->name), c.name);
    EXPECT_EQ(parsed->name.back(), 0);
    EXPECT_EQ(parsed->instance_number, c.instance) << c.name;
  }
}

TEST(ParseRequestKeyName, RefusesNamesThatNoRequestCanHave) {
  EXPECT_FALSE(ParseRequestKeyName(QFU_WIDE("")).has_value());
  EXPECT_FALSE(ParseRequestKeyName(QFU_WIDE("_1A")).has_value());
  EXPECT_FALSE(ParseRequestKeyName(WideString(37, 'n')).has_value());  // 37 bytes of UTF-8
  EXPECT_TRUE(ParseRequestKeyName(WideString(36, 'n')).has_value());
}

TEST(ParseRequestKeyName, RoundTripsWhatTheKeyNameFormatWrites) {
  const auto parsed = ParseRequestKeyName(FormatRequestKeyName(QFU_WIDE("Gr\u00fc\u00df"), 0xBEEF));
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(FieldText(parsed->name), "Gr\xC3\xBC\xC3\x9F");
  EXPECT_EQ(parsed->instance_number, 0xBEEFu);
}

TEST(RequestKeyPath, OnlyNonEmptyNamesWithoutBackslashCanKeyARequest) {
  auto storable = [](std::string_view name) {
    const auto message = wire::MessageWriter().Name(name);
    return IsStorableRequestName(wire::RequestMessage(message.span()).request_name_field());
  };
  EXPECT_TRUE(storable("Client"));
  EXPECT_TRUE(storable("My_App"));
  EXPECT_TRUE(storable(std::string(37, 'n')));  // no NUL: read to the field's end
  EXPECT_FALSE(storable(""));
  EXPECT_FALSE(storable("..\\Other"));
  EXPECT_FALSE(storable("Client\\Sub"));
}

}  // namespace
}  // namespace qfu::store
