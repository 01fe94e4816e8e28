#pragma once
#include <windows.h>

#include "common/handle.h"
#include "service/process_objects.h"
#include "worker/queue_worker.h"

namespace qfu::service {

inline constexpr DWORD kStartPendingWaitHintMs = 3000;
inline constexpr DWORD kStopPendingWaitHintMs = 180000;
inline constexpr DWORD kPeriodicWakeMs = 300000;
// Controls acted on, as a bit mask over control numbers 0..15: STOP (1), SHUTDOWN (5) and
// PRESHUTDOWN (15).
inline constexpr DWORD kStopControlsMask = 0x8022;
inline constexpr DWORD kControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PRESHUTDOWN;  // 0x101
// The user-agent value is read with this many bytes at most (the buffer's 260 units).
inline constexpr DWORD kUserAgentReadBytes = kUserAgentCapacity * sizeof(wchar_t);

// True when the control number is one the service stops on.
[[nodiscard]] constexpr bool IsStopControl(DWORD control) noexcept {
  return control < 16 && ((kStopControlsMask >> control) & 1) != 0;
}

// True for Windows 6.3 or later.
[[nodiscard]] constexpr bool IsNewerWindows(DWORD major, DWORD minor) noexcept {
  return major > 6 || (major == 6 && minor >= 3);
}

// Hands control to the Service Control Manager; reports "StartServiceCtrlDispatcher" to the
// event log when that fails (as it does when started from a console).
void RunServiceDispatcher();

// The start-up sequence: resource module, Windows version, random seed, named objects, user
// agent, start-up recovery, periodic wake timer, the queue worker (handed back in
// worker_thread, with worker_args as its argument) and the two pipe listeners. Returns 0 or
// the Win32 error that ended the start.
[[nodiscard]] DWORD RunStartupSequence(ProcessObjects& objects, worker::QueueWorkerArgs& worker_args,
                                       UniqueHandle& worker_thread);

}  // namespace qfu::service
