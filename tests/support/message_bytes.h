#pragma once
// Malformed copies of well-formed messages and replies: a 32-bit field overwritten, bytes cut
// off or zeros appended. Header-only, so that the native tests use it too.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/bytes.h"

namespace qfu::test {

// The bytes with the 32-bit field at offset replaced by value.
[[nodiscard]] inline std::vector<std::uint8_t> Patched(std::vector<std::uint8_t> bytes, std::size_t offset,
                                                       std::uint32_t value) {
  WriteU32(bytes, offset, value);
  return bytes;
}

// The first size bytes, or the bytes followed by zeros up to size.
[[nodiscard]] inline std::vector<std::uint8_t> Resized(std::vector<std::uint8_t> bytes, std::size_t size) {
  bytes.resize(size, 0);
  return bytes;
}

}  // namespace qfu::test
