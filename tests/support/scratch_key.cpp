#include "support/scratch_key.h"

#include <gtest/gtest.h>

#include "common/handle.h"

namespace qfu::test {
namespace {
constexpr const wchar_t* kTestsRoot = L"SOFTWARE\\QFUpdateTests\\";
}

ScratchKey::ScratchKey(const std::wstring& name, REGSAM view) : path_(kTestsRoot + name), view_(view) {
  Delete();
  UniqueHkey key;
  EXPECT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view_,
                              nullptr, key.put(), nullptr),
            ERROR_SUCCESS);
}

ScratchKey::~ScratchKey() { Delete(); }

void ScratchKey::Delete() {
  UniqueHkey key;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path_.c_str(), 0, KEY_ALL_ACCESS | view_, key.put()) !=
      ERROR_SUCCESS)
    return;
  ::RegDeleteTreeW(key.get(), nullptr);
  key.reset();
  ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, path_.c_str(), view_, 0);
}

void ScratchKey::SetValue(const wchar_t* value, DWORD type, const void* data, DWORD size,
                          const wchar_t* subkey) {
  const std::wstring path = subkey ? path_ + L"\\" + subkey : path_;
  UniqueHkey key;
  ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view_,
                              nullptr, key.put(), nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(::RegSetValueExW(key.get(), value, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
}

void ScratchKey::SetBinary(const wchar_t* value, const void* data, DWORD size, const wchar_t* subkey) {
  SetValue(value, REG_BINARY, data, size, subkey);
}

void ScratchKey::SetString(const wchar_t* value, const wchar_t* text, const wchar_t* subkey) {
  SetValue(value, REG_SZ, text, static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t)), subkey);
}

void ScratchKey::SetDword(const wchar_t* value, DWORD data, const wchar_t* subkey) {
  SetValue(value, REG_DWORD, &data, sizeof(data), subkey);
}

}  // namespace qfu::test
