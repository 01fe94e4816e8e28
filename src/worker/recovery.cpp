#include "worker/recovery.h"

#include <array>
#include <optional>
#include <string>

#include "common/bytes.h"
#include "common/mutex_guard.h"
#include "common/utf.h"
#include "store/enqueue.h"
#include "store/request_key.h"
#include "store/request_name.h"
#include "store/request_time.h"
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

// Puts the stored request back into the request list: no random delay again, and the deadline
// from its first acceptance (a missing "RequestTime" counts it as accepted now).
void Resume(ProcessObjects& objects, const store::ParsedKeyName& key, store::MessageCopy& message) {
  const wire::MutableBytes bytes(message.bytes.get(), message.length);
  (void)WriteU32(bytes, wire::kRandomDelayMinAt, 0);
  (void)WriteU32(bytes, wire::kRandomDelayMaxAt, 0);
  std::uint64_t request_time = 0;
  (void)store::ReadRequestTime(objects, key.name, key.instance_number, &request_time, nullptr, 0);
  std::array<std::uint8_t, wire::kStatusRecordSize> scratch{};
  // A failure leaves the request stored with its old status, for the next start.
  (void)store::EnqueueRequest(objects, message.span(), request_time, wire::StatusRecord(scratch));
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

void RecoverRequest(ProcessObjects& objects, ClientApi& client_api, const std::wstring& key_name) {
  const auto key = OwnRequestKey(key_name);
  if (!key) return;
  store::MessageCopy message;
  // Fails for every key without "InitialRequest": a request already final, or no request.
  const store::StoredStatus stored =
      store::ReadStoredStatus(objects, key->name, key->instance_number, &message);
  if (stored.read != ERROR_SUCCESS) return;
  if (!MessageNamesKey(message.span(), *key)) return;

  const wire::UpdateStatus status = stored.status;
  if (status == wire::kInstalling || status == wire::kRestartPending) {
    if (CompleteFinishedInstallation(objects, client_api, *key, message)) return;
    // An installation cut short runs again; a restart still pending waits for the machine.
    if (status == wire::kInstalling) Resume(objects, *key, message);
    return;
  }
  if (!wire::IsFinalStatus(status)) Resume(objects, *key, message);  // DownloadRetry included
}

}  // namespace

void RecoverStoredRequests(ProcessObjects& objects, ClientApi& client_api) {
  // Exclusive of cancel and of the worker's install stage, whoever else holds it.
  MutexGuard cancel(objects.cancel_mutex.get());
  if (!cancel.acquired()) return;
  // By index: the walk creates and deletes no keys, so the indexes stay valid. The service key
  // is opened anew for each index and closed before the request's own key is touched.
  for (DWORD index = 0;; ++index) {
    std::wstring key_name;
    if (store::ReadServiceSubkeyName(objects, index, key_name) != ERROR_SUCCESS) return;  // 259 at the end
    RecoverRequest(objects, client_api, key_name);
  }
}

}  // namespace qfu::worker
