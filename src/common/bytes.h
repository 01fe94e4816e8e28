#pragma once
// Little-endian fields of untrusted byte buffers, read and written by offset with a bounds
// check instead of overlaying structs on the bytes.
#include <cstddef>
#include <cstdint>
#include <span>

namespace qfu {

// Returns the 32-bit little-endian value at offset, or 0 when it does not lie inside bytes.
[[nodiscard]] constexpr std::uint32_t ReadU32(std::span<const std::uint8_t> bytes, std::size_t offset) {
  if (offset > bytes.size() || bytes.size() - offset < 4) return 0;
  return static_cast<std::uint32_t>(bytes[offset]) | (static_cast<std::uint32_t>(bytes[offset + 1]) << 8) |
         (static_cast<std::uint32_t>(bytes[offset + 2]) << 16) |
         (static_cast<std::uint32_t>(bytes[offset + 3]) << 24);
}

// Returns the 16-bit little-endian value at offset, or 0 when it does not lie inside bytes.
[[nodiscard]] constexpr std::uint16_t ReadU16(std::span<const std::uint8_t> bytes, std::size_t offset) {
  if (offset > bytes.size() || bytes.size() - offset < 2) return 0;
  return static_cast<std::uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
}

// Writes value little-endian at offset; returns false (writing nothing) when it does not fit.
constexpr bool WriteU32(std::span<std::uint8_t> bytes, std::size_t offset, std::uint32_t value) {
  if (offset > bytes.size() || bytes.size() - offset < 4) return false;
  for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
  return true;
}

constexpr bool WriteU16(std::span<std::uint8_t> bytes, std::size_t offset, std::uint16_t value) {
  if (offset > bytes.size() || bytes.size() - offset < 2) return false;
  bytes[offset] = static_cast<std::uint8_t>(value);
  bytes[offset + 1] = static_cast<std::uint8_t>(value >> 8);
  return true;
}

// Returns the count bytes at offset, or an empty span when they do not lie inside bytes.
template <typename Byte>
[[nodiscard]] constexpr std::span<Byte> Slice(std::span<Byte> bytes, std::size_t offset, std::size_t count) {
  if (offset > bytes.size() || bytes.size() - offset < count) return {};
  return bytes.subspan(offset, count);
}

}  // namespace qfu
