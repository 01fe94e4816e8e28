#include "store/registry_value.h"

#include <algorithm>
#include <cwchar>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "support/scratch_key.h"

namespace qfu::store {
namespace {

// The text's UTF-16 units as bytes, and one odd byte more when asked.
std::vector<std::uint8_t> Units(const std::wstring& text, bool odd_byte = false) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  std::vector<std::uint8_t> units(bytes, bytes + text.size() * sizeof(wchar_t));
  if (odd_byte) units.push_back('x');
  return units;
}

// Stores the bytes from a buffer in which non-zero bytes follow them: a string would otherwise
// be stored with the NUL after its data (Windows and Wine add it when it is there).
void StoreFollowedByText(test::ScratchKey& key, DWORD type, std::vector<std::uint8_t> bytes) {
  const auto size = static_cast<DWORD>(bytes.size());
  bytes.insert(bytes.end(), {'q', 'q'});
  key.SetValue(L"Text", type, bytes.data(), size);
}

// Whatever is stored, the text read ends inside the 8-unit buffer and nothing past it is
// written; a text that would not fit with its terminator is refused, not cut.
TEST(ReadRegistryValue, TextEndsInsideTheBufferOrTheReadFails) {
  constexpr DWORD kUnits = 8;
  test::ScratchKey key(L"RegistryValue", KEY_WOW64_64KEY);
  const struct {
    DWORD type = REG_SZ;
    std::vector<std::uint8_t> stored;
    RegistryRead read = RegistryRead::kText;
    std::wstring text = {};
  } rows[] = {
      {.stored = Units(std::wstring(L"1234567") + L'\0'), .text = L"1234567"},
      {.stored = Units(std::wstring(L"12345678") + L'\0'), .read = RegistryRead::kValueNotUsable},
      {.stored = Units(L"12345678"), .read = RegistryRead::kValueNotUsable},  // no terminator
      {.stored = Units(L"1234567"), .text = L"1234567"},
      {.stored = Units(L"abc", true), .text = L"abc"},
      {.type = REG_EXPAND_SZ, .stored = Units(std::wstring(L"%PATH%") + L'\0'), .text = L"%PATH%"},
      {.type = REG_BINARY, .stored = Units(L"123456789"), .read = RegistryRead::kValueNotUsable},
      {.type = REG_BINARY, .stored = Units(std::wstring(L"ab\0cdefg", 8)), .text = L"ab"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(&row - rows);
    StoreFollowedByText(key, row.type, row.stored);
    wchar_t area[kUnits + 4];
    std::fill(std::begin(area), std::end(area), L'g');
    EXPECT_EQ(ReadRegistryValue(HKEY_LOCAL_MACHINE, key.path().c_str(), L"Text", area,
                                kUnits * sizeof(wchar_t), KEY_WOW64_64KEY),
              row.read);
    EXPECT_EQ(std::wstring(area, wcsnlen(area, kUnits)), row.text);
    EXPECT_TRUE(std::all_of(area + kUnits, std::end(area), [](wchar_t unit) { return unit == L'g'; }));
  }
}

}  // namespace
}  // namespace qfu::store
