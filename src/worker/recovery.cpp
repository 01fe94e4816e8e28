#include "worker/recovery.h"

namespace qfu::worker {

// Not built yet: the walk over the request keys. Until then stored requests stay in the
// registry untouched and nothing is re-queued at start.
void RecoverStoredRequests(ProcessObjects&) {}

}  // namespace qfu::worker
