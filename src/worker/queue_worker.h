#pragma once
#include <windows.h>

#include "store/process_objects.h"

namespace qfu::worker {

struct QueueWorkerArgs {
  ProcessObjects* objects = nullptr;
  HANDLE stop_event = nullptr;  // manual-reset; set by the control handler
};

// Thread entry of the queue worker (argument: QueueWorkerArgs*, which must outlive the
// thread). Sleeps, alertably so that request-timer completion routines run here, on
// {update event, stop event}; returns 0 when the stop event is set.
DWORD WINAPI QueueWorkerThread(LPVOID args);

}  // namespace qfu::worker
