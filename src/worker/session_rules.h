#pragma once
// Which sessions of the machine count as a logged-on user. Portable, so that the rule is
// tested natively.
#include <cstdint>

namespace qfu::worker {

// Session connection states as the Remote Desktop Services functions report them.
inline constexpr std::uint32_t kSessionActive = 0;        // WTSActive
inline constexpr std::uint32_t kSessionDisconnected = 4;  // WTSDisconnected

// True when the session's state lets it count at all: active or disconnected (the state with
// its disconnected bit cleared is active). Only such sessions have their user name asked.
[[nodiscard]] constexpr bool SessionStateMayCount(std::uint32_t state) noexcept {
  return (state & ~kSessionDisconnected) == kSessionActive;
}

// True when a session counts as a logged-on user: its state may count and its user name is
// not empty (first_unit: the name's first UTF-16 unit).
[[nodiscard]] constexpr bool SessionHasLoggedOnUser(std::uint32_t state, std::uint16_t first_unit) noexcept {
  return SessionStateMayCount(state) && first_unit != 0;
}

}  // namespace qfu::worker
