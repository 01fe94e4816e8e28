#pragma once
#include "store/process_objects.h"

namespace qfu::worker {

// Start-up pass over the stored request keys: re-queues the requests still in progress and
// completes installations that a restart finished. Runs before the worker and the pipe
// listeners start.
void RecoverStoredRequests(ProcessObjects& objects);

}  // namespace qfu::worker
