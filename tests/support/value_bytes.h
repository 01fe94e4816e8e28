#pragma once
// Registry value data as the tests write it: the UTF-16 bytes of a text, a size made odd, and
// a value stored with nothing after it that could end it.
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/scratch_key.h"

namespace qfu::test {

// The UTF-16 bytes of text, without a terminator; add L'\0' to text for one.
[[nodiscard]] inline std::vector<std::uint8_t> Utf16Bytes(const std::wstring& text) {
  const auto* first = reinterpret_cast<const std::uint8_t*>(text.data());
  return std::vector<std::uint8_t>(first, first + text.size() * sizeof(wchar_t));
}

// The bytes and one more: a value whose size is odd.
[[nodiscard]] inline std::vector<std::uint8_t> WithOddByte(std::vector<std::uint8_t> bytes) {
  bytes.push_back('z');
  return bytes;
}

// Stores bytes as a value of that type, from a buffer in which non-zero bytes follow them: a
// string type is otherwise stored with the NUL that follows its data (Windows and Wine add it
// when it is there), and would never be unterminated.
inline void SetValueFollowedByText(ScratchKey& key, const wchar_t* value, DWORD type,
                                   const std::vector<std::uint8_t>& bytes) {
  std::vector<std::uint8_t> padded = bytes;
  padded.insert(padded.end(), {'q', 'q'});
  key.SetValue(value, type, padded.data(), static_cast<DWORD>(bytes.size()));
}

}  // namespace qfu::test
