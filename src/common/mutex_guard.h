#pragma once
// Holds one or two of the agent's mutexes for a scope. The wait has no time limit; an
// abandoned mutex (its last owner died holding it) counts as acquired, since the wait
// hands it to us all the same and it must be released. Whatever was acquired is released
// on every path.
#include <windows.h>

namespace qfu {

class MutexGuard {
 public:
  explicit MutexGuard(HANDLE mutex) noexcept {
    if (mutex == nullptr) return;
    const DWORD wait = ::WaitForSingleObject(mutex, INFINITE);
    if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED) mutex_ = mutex;
  }
  MutexGuard(const MutexGuard&) = delete;
  MutexGuard& operator=(const MutexGuard&) = delete;
  ~MutexGuard() { Release(); }

  [[nodiscard]] bool acquired() const noexcept { return mutex_ != nullptr; }
  // Releases the mutex before the end of the scope.
  void Release() noexcept {
    if (mutex_ != nullptr) ::ReleaseMutex(mutex_);
    mutex_ = nullptr;
  }

 private:
  HANDLE mutex_ = nullptr;
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
    }
  }
  MutexPairGuard(const MutexPairGuard&) = delete;
  MutexPairGuard& operator=(const MutexPairGuard&) = delete;
  ~MutexPairGuard() {
    ReleaseSecond();
    ReleaseFirst();
  }

  [[nodiscard]] bool acquired() const noexcept { return first_ != nullptr; }
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
};

}  // namespace qfu
