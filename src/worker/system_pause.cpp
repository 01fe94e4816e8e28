#include "worker/production_ports.h"

namespace qfu::worker {

bool SystemPause::Sleep(Milliseconds interval) {
  const ULONGLONG end = ::GetTickCount64() + interval.count();
  for (;;) {
    const ULONGLONG now = ::GetTickCount64();
    const DWORD left = now >= end ? 0 : static_cast<DWORD>(end - now);
    const DWORD wait = ::WaitForSingleObjectEx(stop_event_, left, TRUE);
    if (wait == WAIT_OBJECT_0) return false;
    // A completion routine ran (it woke the worker for later): the pause goes on.
    if (wait != WAIT_IO_COMPLETION) return true;
  }
}

bool SystemPause::StopRequested() {
  for (;;) {
    const DWORD wait = ::WaitForSingleObjectEx(stop_event_, 0, TRUE);
    if (wait != WAIT_IO_COMPLETION) return wait == WAIT_OBJECT_0;
  }
}

}  // namespace qfu::worker
