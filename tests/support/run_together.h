#pragma once
// Runs the same work on many threads released at one moment, for tests of what happens when
// clients arrive at once.
#include <windows.h>

#include <cstddef>
#include <functional>

namespace qfu::test {

// The most threads RunTogether starts (one wait covers them all).
inline constexpr std::size_t kMaxTogether = MAXIMUM_WAIT_OBJECTS;

// Starts count threads (at most kMaxTogether), lets them all call work(index) at the same
// moment once every one has started, and waits at most timeout_ms for them to return. Returns
// true when all of them returned in time; threads still running then are terminated, so that
// they no longer touch the caller's objects, and the result is false.
[[nodiscard]] bool RunTogether(std::size_t count, const std::function<void(std::size_t)>& work,
                               DWORD timeout_ms);

}  // namespace qfu::test
