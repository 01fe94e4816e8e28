#include "store/request_key.h"

#include <gtest/gtest.h>

#include "common/utf.h"
#include "support/test_messages.h"

namespace qfu::store {
namespace {

TEST(RequestKeyPath, AddsTheInstanceNumberOnlyWhenNotZeroAndReadsTheNameFieldOnlyToItsEnd) {
  const std::tuple<std::string, std::uint32_t, WideString> cases[] = {
      {"Client", 0, QFU_WIDE("Root\\Client")},
      {"Client", 26, QFU_WIDE("Root\\Client_0000001A")},
      {"Client", 0xFFFFFFFF, QFU_WIDE("Root\\Client_FFFFFFFF")},
      {std::string(37, 'n'), 0, QFU_WIDE("Root\\") + WideString(37, 'n')},  // a field without NUL
  };
  for (const auto& [name, instance, path] : cases) {
    EXPECT_EQ(
        BuildRequestKeyPath(QFU_WIDE("Root"), test::NameField(wire::MessageWriter().Name(name)), instance),
        path);
  }
}

TEST(RequestKeyPath, OnlyNonEmptyNamesWithoutBackslashCanKeyARequest) {
  for (const std::string& name : {std::string("Client"), std::string("My_App"), std::string(37, 'n')}) {
    EXPECT_TRUE(IsStorableRequestName(test::NameField(wire::MessageWriter().Name(name)))) << name;
  }
  for (const char* name : {"", "..\\Other", "Client\\Sub"}) {
    EXPECT_FALSE(IsStorableRequestName(test::NameField(wire::MessageWriter().Name(name)))) << name;
  }
}

TEST(ParseRequestKeyName, SplitsAtTheFirstUnderscoreReadsHexDigitsAndRefusesForeignNames) {
  const std::tuple<WideString, std::optional<std::string>, std::uint32_t> cases[] = {
      {QFU_WIDE("Client"), "Client", 0},
      {QFU_WIDE("My_App"), "My", 0xA},
      {QFU_WIDE("pkg_1a_2"), "pkg", 0x1A},
      {QFU_WIDE("pkg_zz"), "pkg", 0},
      {QFU_WIDE("pkg_123456789"), "pkg", 0x23456789},
      {WideString(36, 'n'), std::string(36, 'n'), 0},
      {QFU_WIDE(""), std::nullopt, 0},
      {QFU_WIDE("_1A"), std::nullopt, 0},
      {WideString(37, 'n'), std::nullopt, 0},  // 37 bytes of UTF-8 do not fit the field
  };
  for (const auto& [key, name, instance] : cases) {
    const auto parsed = ParseRequestKeyName(key);
    ASSERT_EQ(parsed.has_value(), name.has_value()) << WideToUtf8(key);
    if (!parsed) continue;
    EXPECT_EQ(FieldText(parsed->name), *name);
    EXPECT_EQ(parsed->name.back(), 0);
    EXPECT_EQ(parsed->instance_number, instance) << *name;
  }
}

}  // namespace
}  // namespace qfu::store
