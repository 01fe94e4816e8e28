#pragma once
// Runs the same work on many threads released at one moment: clients arriving at once.
#include <windows.h>

#include <cstddef>
#include <functional>

namespace qfu::test {

// The most threads RunTogether starts (one wait covers them all).
inline constexpr std::size_t kMaxTogether = MAXIMUM_WAIT_OBJECTS;

// Starts count threads (at most kMaxTogether) that call work(index) at one moment once all are
// created, and waits at most timeout_ms for them: true when all returned in time; threads
// still running then are terminated (they no longer touch the caller's objects).
[[nodiscard]] bool RunTogether(std::size_t count, const std::function<void(std::size_t)>& work,
                               DWORD timeout_ms);

}  // namespace qfu::test
