#pragma once
// Holds one or two of the agent's mutexes for a scope. The wait has no time limit; an
// abandoned mutex (its last owner died holding it) counts as acquired, since the wait
// hands it to us all the same and it must be released. A wait that fails keeps its Win32
// error for the caller to return (a null handle counts as ERROR_INVALID_HANDLE). Whatever
// was acquired is released on every path.
#include <windows.h>

namespace qfu {

// The Win32 error of a wait on mutexes that did not hand them over: the thread's last error
// for WAIT_FAILED (ERROR_INVALID_HANDLE should it be 0), the wait's own result otherwise.
[[nodiscard]] inline DWORD MutexWaitError(DWORD wait) noexcept {
  if (wait != WAIT_FAILED) return wait;
  const DWORD error = ::GetLastError();
  return error != ERROR_SUCCESS ? error : ERROR_INVALID_HANDLE;
}

class MutexGuard {
 public:
  explicit MutexGuard(HANDLE mutex) noexcept {
    if (mutex == nullptr) return;
    const DWORD wait = ::WaitForSingleObject(mutex, INFINITE);
    if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED) {
      mutex_ = mutex;
      error_ = ERROR_SUCCESS;
    } else {
      error_ = MutexWaitError(wait);
    }
  }
  MutexGuard(const MutexGuard&) = delete;
  MutexGuard& operator=(const MutexGuard&) = delete;
  ~MutexGuard() { Release(); }

  [[nodiscard]] bool acquired() const noexcept { return mutex_ != nullptr; }
  // 0 when the wait handed the mutex over, else the Win32 error of the failed wait.
  [[nodiscard]] DWORD error() const noexcept { return error_; }
  // Releases the mutex before the end of the scope.
  void Release() noexcept {
    if (mutex_ != nullptr) ::ReleaseMutex(mutex_);
    mutex_ = nullptr;
  }

 private:
  HANDLE mutex_ = nullptr;
  DWORD error_ = ERROR_INVALID_HANDLE;
};

// Waits for both mutexes at once (one wait for the pair, as cancel takes the cancel and
// queue mutexes); each can be released on its own.
class MutexPairGuard {
 public:
  MutexPairGuard(HANDLE first, HANDLE second) noexcept {
    if (first == nullptr || second == nullptr) return;
    const HANDLE both[2] = {first, second};
    const DWORD wait = ::WaitForMultipleObjects(2, both, TRUE, INFINITE);
    if (wait <= WAIT_OBJECT_0 + 1 || (wait >= WAIT_ABANDONED_0 && wait <= WAIT_ABANDONED_0 + 1)) {
      first_ = first;
      second_ = second;
      error_ = ERROR_SUCCESS;
    } else {
      error_ = MutexWaitError(wait);
    }
  }
  MutexPairGuard(const MutexPairGuard&) = delete;
  MutexPairGuard& operator=(const MutexPairGuard&) = delete;
  ~MutexPairGuard() {
    ReleaseSecond();
    ReleaseFirst();
  }

  [[nodiscard]] bool acquired() const noexcept { return first_ != nullptr; }
  // 0 when the wait handed both mutexes over, else the Win32 error of the failed wait.
  [[nodiscard]] DWORD error() const noexcept { return error_; }
  void ReleaseFirst() noexcept {
    if (first_ != nullptr) ::ReleaseMutex(first_);
    first_ = nullptr;
  }
  void ReleaseSecond() noexcept {
    if (second_ != nullptr) ::ReleaseMutex(second_);
    second_ = nullptr;
  }

 private:
  HANDLE first_ = nullptr;
  HANDLE second_ = nullptr;
  DWORD error_ = ERROR_INVALID_HANDLE;
};

}  // namespace qfu
