#pragma once
// The one way a function here returns the Win32 error of a call that failed.
#include <windows.h>

namespace qfu {

// The calling thread's last error, read right after a call that failed. Never 0: a call that
// failed without setting one reports ERROR_INTERNAL_ERROR, so that no failure reads as success.
[[nodiscard]] inline DWORD LastError() noexcept {
  const DWORD error = ::GetLastError();
  return error != ERROR_SUCCESS ? error : static_cast<DWORD>(ERROR_INTERNAL_ERROR);
}

}  // namespace qfu
