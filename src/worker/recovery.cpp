#include "worker/recovery.h"

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "common/mutex_guard.h"
#include "common/utf.h"
#include "store/enqueue.h"
#include "store/request_key.h"
#include "store/request_name.h"
#include "store/request_time.h"
#include "store/request_walk.h"
#include "store/store_operations.h"
#include "wire/update_status.h"
#include "worker/installed_version.h"

namespace qfu::worker {
namespace {

// The request a subkey names, when its name is exactly the one the agent builds for a request
// that submit accepts. Anything else was not written by the agent for such a request: a name
// that merely parses ("My_App", "Client_1A") would address another key, and a name that
// submit refuses ("CON", "a..b") must never become a package directory.
std::optional<store::ParsedKeyName> OwnRequestKey(const std::wstring& key_name) {
  auto parsed = store::ParseRequestKeyName(key_name);
  if (!parsed || !store::IsAcceptableRequestName(parsed->name)) return std::nullopt;
  if (store::FormatRequestKeyName(Utf8ToWide(FieldText(parsed->name)), parsed->instance_number) != key_name) {
    return std::nullopt;
  }
  return parsed;
}

// True when the stored message is a whole request message that names the request of its key:
// the same name, without regard to letter case as the registry compares key names ("MIXED"
// submitted after "Mixed" is stored in the key "Mixed"), and the same identifying instance
// number (only a dry run carries one). Work on another request's message would write to that
// request's key instead.
bool MessageNamesKey(wire::Bytes message, const store::ParsedKeyName& key) {
  if (!wire::PassesFramingCheck(message)) return false;
  const wire::RequestMessage request(message);
  return store::SameRequestName(request.request_name_field(), key.name) &&
         request.instance_number() == key.instance_number;
}

// Installing or RestartPending: the restart may have finished the installation. Returns true
// when the request is over (marked Completed here).
bool CompleteFinishedInstallation(ProcessObjects& objects, ClientApi& client_api,
                                  const store::ParsedKeyName& key, const store::MessageCopy& message) {
  std::array<wchar_t, store::kTargetPathCapacity> target_path{};  // a missing value reads as empty
  (void)store::GetTargetPath(objects, key.name, key.instance_number, target_path.data(),
                             store::kTargetPathBytes);
  const wire::RequestMessage request(message.span());
  if (CompareInstalledVersion(request, client_api) != store::InstalledVersionResult::kSame) return false;
  (void)store::SetRequestStatus(objects, message.span(), wire::kCompleted, 0, false);
  // A dry run never installed anything: whatever its path names is not its package.
  if (!request.HasFlag(wire::flags::kDryRun) && target_path[0] != L'\0' && objects.package_files != nullptr) {
    objects.package_files->RemovePackageFiles(target_path.data(), true);
  }
  return true;
}

// Decides the stored request in progress; true when it is to be resumed.
bool ShouldResume(ProcessObjects& objects, ClientApi& client_api, store::StoredRequest& request) {
  const auto key = OwnRequestKey(request.key_name);
  if (!key || !MessageNamesKey(request.stored.message.span(), *key)) return false;
  if (request.status == wire::kInstalling || request.status == wire::kRestartPending) {
    if (CompleteFinishedInstallation(objects, client_api, *key, request.stored.message)) return false;
    // An installation cut short runs again; a restart still pending waits for the machine.
    return request.status == wire::kInstalling;
  }
  return true;  // DownloadRetry included
}

}  // namespace

void RecoverStoredRequests(ProcessObjects& objects, ClientApi& client_api) {
  // Exclusive of cancel and of the worker's install stage, whoever else holds it.
  MutexGuard cancel(objects.cancel_mutex.get());
  if (!cancel.acquired()) return;
  // Read first, in one walk that reads a final request's status only, then decided and put
  // back together: the decisions take the other mutexes, which come before the registry mutex.
  std::vector<store::StoredRequest> in_progress;
  (void)store::ReadRequestsInProgress(
      objects, [](const std::wstring& key_name) { return OwnRequestKey(key_name).has_value(); }, in_progress);
  std::vector<store::StoredMessage> resumed;
  for (store::StoredRequest& request : in_progress) {
    if (!ShouldResume(objects, client_api, request)) continue;
    // No random delay again: it was added at the first acceptance.
    wire::ClearRandomDelay(
        wire::MutableBytes(request.stored.message.bytes.get(), request.stored.message.length));
    resumed.push_back(std::move(request.stored));
  }
  // A failure leaves the requests stored with their old status, for the next start.
  (void)store::EnqueueStoredRequests(objects, resumed);
}

}  // namespace qfu::worker
