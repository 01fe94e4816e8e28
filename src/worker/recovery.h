#pragma once
// Start-up recovery: the one pass over the stored request keys before the queue worker and
// the pipe listeners start.
#include "store/process_objects.h"
#include "worker/client_api.h"

namespace qfu::worker {

// Walks the request keys by index under the cancel mutex and decides for each stored request:
// - Installing or RestartPending whose requested version is now installed: marked Completed,
//   and (not for a dry run) its package, msi.log and package directory removed;
// - Installing otherwise, DownloadRetry and every other status still in progress: re-queued
//   with its random delay cleared and the deadline counted from its stored "RequestTime";
// - RestartPending otherwise, and every final status: left alone.
// A key that cannot be read, whose name is not one the agent makes for a request a client
// may submit, or whose stored message names another request is left alone too.
// client_api: asked for the installed client's version. A failed wait for the cancel mutex
// recovers nothing; other failures skip the request they concern.
void RecoverStoredRequests(ProcessObjects& objects, ClientApi& client_api);

}  // namespace qfu::worker
