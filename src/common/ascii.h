#pragma once
// ASCII letter case, for names and escapes that Windows and URLs compare without regard to it
// (device names, percent escapes). Other characters are left as they are.

namespace qfu {

template <typename Char>
[[nodiscard]] constexpr Char AsciiUpper(Char c) noexcept {
  return c >= Char('a') && c <= Char('z') ? static_cast<Char>(c - Char('a') + Char('A')) : c;
}

}  // namespace qfu
