#include "store/registry_value.h"

#include <algorithm>
#include <cstdint>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "support/scratch_key.h"
#include "support/value_bytes.h"

namespace qfu::store {
namespace {

using Bytes = std::vector<std::uint8_t>;
using test::WithOddByte;
constexpr auto Units = test::Utf16Bytes;

constexpr DWORD kUnits = 8;             // the buffer the table reads into
constexpr std::size_t kGuardUnits = 4;  // watched past its end
const std::wstring kSeven = L"1234567";
const std::wstring kEight = L"12345678";

TEST(ReadRegistryValue, TextEndsInsideTheBufferOrTheReadFails) {
  test::ScratchKey key(L"RegistryValueTexts");
  ASSERT_TRUE(::SetEnvironmentVariableW(L"QFU_X", L"x"));  // what an expansion would give
  const struct {
    const wchar_t* what;
    DWORD type;
    Bytes stored;
    RegistryRead read;
    std::wstring text;
  } cases[] = {
      {L"sz exact fill", REG_SZ, Units(kSeven + L'\0'), RegistryRead::kText, kSeven},
      {L"sz one too long", REG_SZ, Units(kEight + L'\0'), RegistryRead::kValueNotUsable, L""},
      {L"sz unterminated exact fill", REG_SZ, Units(kEight), RegistryRead::kValueNotUsable, L""},
      {L"sz unterminated one less", REG_SZ, Units(kSeven), RegistryRead::kText, kSeven},
      {L"sz odd byte count", REG_SZ, WithOddByte(Units(L"abc")), RegistryRead::kText, L"abc"},
      {L"sz embedded NUL", REG_SZ, Units(std::wstring(L"ab\0cd\0", 6)), RegistryRead::kText, L"ab"},
      {L"sz empty", REG_SZ, Bytes{}, RegistryRead::kText, L""},
      {L"expand_sz not expanded", REG_EXPAND_SZ, Units(std::wstring(L"%QFU_X%") + L'\0'), RegistryRead::kText,
       L"%QFU_X%"},
      {L"binary exact fill", REG_BINARY, Units(kEight), RegistryRead::kValueNotUsable, L""},
      {L"binary one less", REG_BINARY, Units(kSeven), RegistryRead::kText, kSeven},
      {L"binary odd byte count", REG_BINARY, WithOddByte(Units(kSeven)), RegistryRead::kText, kSeven},
      {L"binary embedded NUL", REG_BINARY, Units(std::wstring(L"ab\0cdefg", 8)), RegistryRead::kText, L"ab"},
      {L"binary larger than the buffer", REG_BINARY, Units(kEight + L"9"), RegistryRead::kValueNotUsable,
       L""},
      {L"none one less", REG_NONE, Units(kSeven), RegistryRead::kText, kSeven},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << std::string(c.what, c.what + wcslen(c.what)));
    test::SetValueFollowedByText(key, L"Text", c.type, c.stored);
    wchar_t area[kUnits + kGuardUnits];
    std::fill(std::begin(area), std::end(area), L'g');
    EXPECT_EQ(ReadRegistryValue(HKEY_LOCAL_MACHINE, key.path().c_str(), L"Text", area,
                                kUnits * sizeof(wchar_t), KEY_WOW64_64KEY),
              c.read);
    EXPECT_EQ(std::wstring(area, wcsnlen(area, kUnits)), c.text);
    EXPECT_LT(wcsnlen(area, kUnits), kUnits);  // terminated inside the buffer, whatever the result
    EXPECT_TRUE(std::all_of(area + kUnits, std::end(area), [](wchar_t unit) { return unit == L'g'; }));
  }
}

TEST(ReadRegistryValue, TellsAKeyNotOpenedFromAValueNotUsable) {
  test::ScratchKey key64(L"RegistryValue64", KEY_WOW64_64KEY);
  test::ScratchKey key32(L"RegistryValue32", KEY_WOW64_32KEY);
  key64.SetString(L"Here", L"sixty-four");
  key32.SetString(L"Here", L"thirty-two");
  const struct {
    const test::ScratchKey* key;
    const wchar_t* value;
    REGSAM view;
    RegistryRead read;
    const wchar_t* text;
  } cases[] = {
      {&key64, L"Here", KEY_WOW64_64KEY, RegistryRead::kText, L"sixty-four"},
      {&key32, L"Here", KEY_WOW64_32KEY, RegistryRead::kText, L"thirty-two"},
      {&key64, L"Here", KEY_WOW64_32KEY, RegistryRead::kKeyNotOpened, L""},  // the views are apart
      {&key64, L"Missing", KEY_WOW64_64KEY, RegistryRead::kValueNotUsable, L""},
  };
  for (const auto& c : cases) {
    wchar_t buffer[32] = L"left over";
    EXPECT_EQ(
        ReadRegistryValue(HKEY_LOCAL_MACHINE, c.key->path().c_str(), c.value, buffer, sizeof(buffer), c.view),
        c.read);
    EXPECT_STREQ(buffer, c.text);
  }
}

}  // namespace
}  // namespace qfu::store
