#include "worker/queue_worker.h"

namespace qfu::worker {

DWORD WINAPI QueueWorkerThread(LPVOID argument) {
  const auto* args = static_cast<const QueueWorkerArgs*>(argument);
  const HANDLE wake[2] = {args->objects->update_event.get(), args->stop_event};
  for (;;) {
    const DWORD wait = ::WaitForMultipleObjectsEx(2, wake, FALSE, INFINITE, TRUE);
    if (wait == WAIT_OBJECT_0 + 1 || wait == WAIT_FAILED) return 0;
    if (::WaitForSingleObject(args->stop_event, 0) == WAIT_OBJECT_0) return 0;
    // Not built yet: taking the due records from the request list and advancing each
    // through its stages. Until then a wake-up (update event or completion routine) only
    // loops back to the wait.
  }
}

}  // namespace qfu::worker
