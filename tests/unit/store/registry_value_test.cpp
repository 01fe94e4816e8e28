#include "store/registry_value.h"

#include <gtest/gtest.h>

#include "support/scratch_key.h"

namespace qfu::store {
namespace {

TEST(ReadRegistryValue, ReadsOnlyInTheViewThatHoldsTheValue) {
  test::ScratchKey key64(L"RegistryValue64", KEY_WOW64_64KEY);
  test::ScratchKey key32(L"RegistryValue32", KEY_WOW64_32KEY);
  key64.SetString(L"OnlyHere", L"sixty-four");
  key32.SetString(L"OnlyHere", L"thirty-two");

  wchar_t buffer[64] = {};
  ASSERT_TRUE(ReadRegistryValue(HKEY_LOCAL_MACHINE, key64.path().c_str(), L"OnlyHere", buffer, sizeof(buffer),
                                KEY_WOW64_64KEY));
  EXPECT_STREQ(buffer, L"sixty-four");
  EXPECT_FALSE(ReadRegistryValue(HKEY_LOCAL_MACHINE, key64.path().c_str(), L"OnlyHere", buffer, sizeof(buffer),
                                 KEY_WOW64_32KEY));
  ASSERT_TRUE(ReadRegistryValue(HKEY_LOCAL_MACHINE, key32.path().c_str(), L"OnlyHere", buffer, sizeof(buffer),
                                KEY_WOW64_32KEY));
  EXPECT_STREQ(buffer, L"thirty-two");
  EXPECT_FALSE(ReadRegistryValue(HKEY_LOCAL_MACHINE, key32.path().c_str(), L"OnlyHere", buffer, sizeof(buffer),
                                 KEY_WOW64_64KEY));
}

TEST(ReadRegistryValue, MissingKeyMissingValueAndTooSmallBufferAreFalse) {
  test::ScratchKey key(L"RegistryValueMissing", KEY_WOW64_64KEY);
  key.SetString(L"Long", L"a text longer than four bytes");
  wchar_t buffer[2] = {L'd', 0};
  EXPECT_FALSE(ReadRegistryValue(HKEY_LOCAL_MACHINE, L"SOFTWARE\\QFUpdateTests\\NoSuchKey", L"Any", buffer,
                                 sizeof(buffer), KEY_WOW64_64KEY));
  EXPECT_FALSE(ReadRegistryValue(HKEY_LOCAL_MACHINE, key.path().c_str(), L"NoSuchValue", buffer, sizeof(buffer),
                                 KEY_WOW64_64KEY));
  EXPECT_FALSE(
      ReadRegistryValue(HKEY_LOCAL_MACHINE, key.path().c_str(), L"Long", buffer, sizeof(buffer), KEY_WOW64_64KEY));
  DWORD number = 0;
  key.SetDword(L"Number", 7);
  EXPECT_TRUE(ReadRegistryValue(HKEY_LOCAL_MACHINE, key.path().c_str(), L"Number", &number, sizeof(number),
                                KEY_WOW64_64KEY));
  EXPECT_EQ(number, 7u);
}

}  // namespace
}  // namespace qfu::store
