#pragma once
#include <windows.h>

#include "common/handle.h"
#include "ipc/pipe_server.h"
#include "service/service_rules.h"
#include "store/agent_config.h"
#include "store/process_objects.h"
#include "worker/queue_worker.h"

namespace qfu::service {

inline constexpr DWORD kStartPendingWaitHintMs = 3000;
// While it stops, the service reports STOP_PENDING with a rising checkpoint this often, each
// report promising the next within the wait hint.
inline constexpr DWORD kStopProgressMs = 1000;
inline constexpr DWORD kStopPendingWaitHintMs = 5000;
// How long a stop waits for the queue worker, whose every wait ends on the stop event, before
// the service reports STOPPED anyway (its process ends with that report): well within the 30 s
// that the Windows Installer waits when it stops the service for an upgrade. A running
// installer is waited for without this limit: cutting it short would leave the product half
// installed.
inline constexpr DWORD kStopWorkerLimitMs = 20000;
inline constexpr DWORD kPeriodicWakeMs = 300000;
inline constexpr DWORD kControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PRESHUTDOWN;  // 0x101
// The user-agent value is read with this many bytes at most (the buffer's 260 units).
inline constexpr DWORD kUserAgentReadBytes = kUserAgentCapacity * sizeof(wchar_t);

// Hands control to the Service Control Manager; reports "StartServiceCtrlDispatcher" to the
// event log when that fails (as it does when started from a console).
void RunServiceDispatcher();

// The start-up sequence: resource module, Windows version, random seed, named objects, the
// first instance of each pipe, user agent, start-up recovery, periodic wake timer, the queue
// worker (handed back in worker_thread, with worker_args as its argument) and the two pipe
// listeners. objects are the store's, config the agent's configuration, which this fills and
// hands down. Returns nothing failed, or the call that ended the start
// ("CreateMutex", "CreateEvent", "CreateThread", "CreateNamedPipe", ...) with its Win32 error;
// the queue worker may be running then.
[[nodiscard]] ipc::FailedCall RunStartupSequence(ProcessObjects& objects, AgentConfig& config,
                                                 worker::QueueWorkerArgs& worker_args,
                                                 UniqueHandle& worker_thread);

}  // namespace qfu::service
