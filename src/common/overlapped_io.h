#pragma once
// Bounded overlapped I/O: wait for an operation up to a time-out and, when it is still pending
// then, cancel it and wait for the cancellation, so that neither its OVERLAPPED nor its buffer
// is in use after the call.
#include <windows.h>

#include "common/last_error.h"

namespace qfu {

// Finishes the overlapped operation that ReadFile, WriteFile or TransactNamedPipe started on
// handle (started: what the call returned; its OVERLAPPED must carry a manual-reset event),
// or cuts it short when stop_event (null: none) is set first. Returns 0 or the Win32 error: the
// call's own when it failed at once, ERROR_TIMEOUT when timeout_ms passed first,
// ERROR_OPERATION_ABORTED when the stop event was set first, else the operation's
// (ERROR_MORE_DATA: a message longer than the buffer). bytes gets the count transferred.
[[nodiscard]] inline DWORD FinishOverlappedIo(HANDLE handle, OVERLAPPED& overlapped, BOOL started,
                                              DWORD timeout_ms, DWORD& bytes,
                                              HANDLE stop_event = nullptr) noexcept {
  bytes = 0;
  if (!started && ::GetLastError() != ERROR_IO_PENDING) return LastError();
  const HANDLE waits[2] = {overlapped.hEvent, stop_event};
  const DWORD wait = ::WaitForMultipleObjects(stop_event != nullptr ? 2 : 1, waits, FALSE, timeout_ms);
  if (wait != WAIT_OBJECT_0) {
    const DWORD error = wait == WAIT_TIMEOUT        ? ERROR_TIMEOUT
                        : wait == WAIT_OBJECT_0 + 1 ? ERROR_OPERATION_ABORTED
                                                    : ::GetLastError();
    ::CancelIoEx(handle, &overlapped);
    (void)::GetOverlappedResult(handle, &overlapped, &bytes, TRUE);
    return error;
  }
  if (!::GetOverlappedResult(handle, &overlapped, &bytes, FALSE)) return LastError();
  return ERROR_SUCCESS;
}

}  // namespace qfu
