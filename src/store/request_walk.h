#pragma once
// The start-up walk over the stored request keys: the service key stays open and the registry
// mutex held for the whole walk, and each key's status is read before anything else, so that a
// request already final costs one read.
#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "store/enqueue.h"
#include "store/process_objects.h"
#include "wire/update_status.h"

namespace qfu::store {

// A stored request still in progress, as the walk read it in one opening of its key.
struct StoredRequest {
  std::wstring key_name;
  wire::UpdateStatus status{};  // "UpdateStatus", never a final status
  StoredMessage stored;         // "InitialRequest" and "RequestTime" (0 when absent)
};

// Walks the service key's subkeys by index. For each whose name accept takes, reads
// "UpdateStatus" first and, only when it is not final, the values ReadRequestStatus reads
// ("SystemErrorCode", "UIName", "SoftwareVersion": each must read as there), "InitialRequest"
// and "RequestTime", in the same opening; such a request is appended to in_progress. A key
// with a value missing or unreadable is left out. Returns 0 at the end of the keys, or the
// Win32 error of the registry mutex wait or of opening the service key.
[[nodiscard]] DWORD ReadRequestsInProgress(ProcessObjects& objects,
                                           const std::function<bool(const std::wstring&)>& accept,
                                           std::vector<StoredRequest>& in_progress);

}  // namespace qfu::store
