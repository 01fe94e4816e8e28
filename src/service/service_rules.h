#pragma once
// The service host's pure rules: which controls stop the service, and which Windows versions
// count as newer (automatic proxy for downloads). Portable, so that they are tested natively.
#include <cstdint>

namespace qfu::service {

// Controls acted on, as a bit mask over control numbers 0..15: STOP (1), SHUTDOWN (5) and
// PRESHUTDOWN (15).
inline constexpr std::uint32_t kStopControlsMask = 0x8022;

// True when the control number is one the service stops on.
[[nodiscard]] constexpr bool IsStopControl(std::uint32_t control) noexcept {
  return control < 16 && ((kStopControlsMask >> control) & 1) != 0;
}

// True for Windows 6.3 or later.
[[nodiscard]] constexpr bool IsNewerWindows(std::uint32_t major, std::uint32_t minor) noexcept {
  return major > 6 || (major == 6 && minor >= 3);
}

}  // namespace qfu::service
