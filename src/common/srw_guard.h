#pragma once
// Holds a slim reader/writer lock exclusively for a scope. Taking it cannot fail; it is
// released on every path.
#include <windows.h>

namespace qfu {

class ExclusiveSrwGuard {
 public:
  explicit ExclusiveSrwGuard(SRWLOCK& lock) noexcept : lock_(lock) { ::AcquireSRWLockExclusive(&lock_); }
  ExclusiveSrwGuard(const ExclusiveSrwGuard&) = delete;
  ExclusiveSrwGuard& operator=(const ExclusiveSrwGuard&) = delete;
  ~ExclusiveSrwGuard() { ::ReleaseSRWLockExclusive(&lock_); }

 private:
  SRWLOCK& lock_;
};

}  // namespace qfu
