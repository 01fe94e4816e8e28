#include "store/store_operations.h"

#include <algorithm>
#include <array>
#include <new>

#include "common/utf.h"
#include "store/request_key_access.h"
#include "wire/update_status.h"

namespace qfu::store {
namespace {

// Deleted when a request reaches a final status; the rest of the key stays answerable.
constexpr const wchar_t* kPrunedValues[] = {value::kInitialRequest, value::kTargetPath, value::kCancelPending,
                                            value::kRequestTime};

DWORD SetDword(HKEY key, const wchar_t* name, DWORD data) noexcept {
  return SetValue(key, name, REG_DWORD, &data, sizeof(data));
}

DWORD SetBinary(HKEY key, const wchar_t* name, wire::Bytes data) noexcept {
  return SetValue(key, name, REG_BINARY, data.data(), static_cast<DWORD>(data.size()));
}

// Copies a header field of the message into a zero-filled array of its full size, so that
// exactly that many bytes are stored even for a message cut short.
template <std::size_t N>
std::array<std::uint8_t, N> FieldBytes(wire::Bytes field) noexcept {
  std::array<std::uint8_t, N> bytes{};
  std::copy_n(field.begin(), std::min(field.size(), N), bytes.begin());
  return bytes;
}

void CopyInto(wire::Bytes from, wire::MutableBytes to) noexcept {
  std::copy_n(from.begin(), std::min(from.size(), to.size()), to.begin());
}

// The record of the message's request in the list, or null. Both the name and the instance
// number must agree: cancelling one instance must never remove another.
RequestRecord* FindRecord(RequestList& list, const wire::RequestMessage& request) {
  RequestRecord* match = nullptr;
  list.ForEach([&](RequestRecord& candidate) {
    const wire::RequestMessage listed(candidate.message());
    if (listed.instance_number() == request.instance_number() &&
        SameRequestName(listed.request_name_field(), request.request_name_field())) {
      match = &candidate;
    }
    return match == nullptr;
  });
  return match;
}

// Writes "CancelPending" = 1 when the stored status is not final, reading and writing in one
// hold of the registry mutex: the worker's final write, which deletes the flag, comes either
// before (nothing is written) or after (it deletes the flag). True when the flag was written.
bool SetCancelPendingIfActive(ProcessObjects& objects, wire::Bytes name, std::uint32_t instance_number) {
  bool active = false;
  const DWORD result = AccessRequestKey(objects, name, instance_number, KeyAccess::kWrite, [&](HKEY key) {
    DWORD status = 0;
    if (const DWORD read = QueryValue(key, value::kUpdateStatus, &status, sizeof(status));
        read != ERROR_SUCCESS) {
      return read;
    }
    active = !wire::IsFinalStatus(static_cast<wire::UpdateStatus>(status));
    return active ? SetDword(key, value::kCancelPending, 1) : DWORD{ERROR_SUCCESS};
  });
  return result == ERROR_SUCCESS && active;
}

// Marks the request Cancelled and removes its package unless it is a dry run. A request
// recovered at start and not downloaded again in this run knows its package only from
// "TargetPath", which the final status deletes: target_path (kTargetPathCapacity units) is
// read from it first when empty. installation_ran: the log and the package directory go too.
void CarryOutCancel(ProcessObjects& objects, wire::Bytes message, bool dry_run, wchar_t* target_path,
                    bool installation_ran) {
  RecallTargetPath(objects, wire::RequestMessage(message), dry_run, target_path);
  (void)SetRequestStatus(objects, message, wire::kCancelled, 0, false);
  if (!dry_run && objects.package_files != nullptr) {
    objects.package_files->RemovePackageFiles(target_path, installation_ran);
  }
}

}  // namespace

bool SameRequestName(wire::Bytes a, wire::Bytes b) {
  const WideString first = Utf8ToWide(FieldText(a));
  const WideString second = Utf8ToWide(FieldText(b));
  // Ordinal, ignoring case by the system's upper-case table, as the registry compares key names.
  return ::CompareStringOrdinal(first.data(), static_cast<int>(first.size()), second.data(),
                                static_cast<int>(second.size()), TRUE) == CSTR_EQUAL;
}

DWORD SetRequestStatus(ProcessObjects& objects, wire::Bytes message, wire::UpdateStatus status,
                       std::uint32_t error_code, bool first_write) {
  const wire::RequestMessage request(message);
  const DWORD result = AccessRequestKey(
      objects, request.request_name_field(), request.instance_number(), KeyAccess::kWrite, [&](HKEY key) {
        DWORD written = SetDword(key, value::kUpdateStatus, wire::WireValue(status));
        written |= SetDword(key, value::kSystemErrorCode, error_code);
        if (first_write) {
          const auto ui_name = FieldBytes<wire::kUiNameSize>(request.ui_name_field());
          const auto version = FieldBytes<wire::kSoftwareVersionSize>(request.software_version_field());
          written |= SetBinary(key, value::kInitialRequest, message);
          written |= SetBinary(key, value::kUiName, ui_name);
          written |= SetBinary(key, value::kSoftwareVersion, version);
        } else if (wire::IsFinalStatus(status)) {
          // Pruned in the same hold of the registry mutex as the status write, so no reader
          // sees a final status beside a stored request. A missing value is no error.
          for (const wchar_t* name : kPrunedValues) ::RegDeleteValueW(key, name);
        }
        return written;
      });
  // After the registry mutex is released: a slow listener must not hold up the store.
  if (objects.status_reporter != nullptr) objects.status_reporter->StatusChanged(message, status, error_code);
  return result;
}

DWORD ReadRequestStatus(ProcessObjects& objects, wire::Bytes request_name_field,
                        std::uint32_t instance_number, wire::StatusRecord record,
                        MessageCopy* initial_request) {
  record.Clear();
  CopyInto(request_name_field, record.request_name_field());
  record.set_instance_number(instance_number);
  if (initial_request != nullptr) *initial_request = MessageCopy{};

  return AccessRequestKey(
      objects, request_name_field, instance_number, KeyAccess::kRead, [&](HKEY key) -> DWORD {
        DWORD status = 0;
        DWORD error_code = 0;
        std::array<std::uint8_t, wire::kUiNameSize> ui_name{};
        std::array<std::uint8_t, wire::kSoftwareVersionSize> version{};
        // Only what was read in full reaches the record: a failed read leaves its field zero.
        DWORD read = ERROR_SUCCESS;
        auto query = [&](const wchar_t* name, void* buffer, std::size_t size) {
          const DWORD error = QueryValue(key, name, buffer, static_cast<DWORD>(size));
          read |= error;
          return error == ERROR_SUCCESS;
        };
        if (query(value::kUpdateStatus, &status, sizeof(status)))
          record.set_update_status(static_cast<wire::UpdateStatus>(status));
        if (query(value::kSystemErrorCode, &error_code, sizeof(error_code)))
          record.set_system_error_code(error_code);
        if (query(value::kUiName, ui_name.data(), ui_name.size())) CopyInto(ui_name, record.ui_name_field());
        if (query(value::kSoftwareVersion, version.data(), version.size())) {
          CopyInto(version, record.software_version_field());
        }
        if (read != ERROR_SUCCESS || initial_request == nullptr) return read;

        DWORD size = 0;
        if (const LSTATUS error =
                ::RegQueryValueExW(key, value::kInitialRequest, nullptr, nullptr, nullptr, &size);
            error != ERROR_SUCCESS) {
          return static_cast<DWORD>(error);
        }
        std::unique_ptr<std::uint8_t[]> bytes(new (std::nothrow) std::uint8_t[size == 0 ? 1 : size]);
        if (!bytes) return ERROR_OUTOFMEMORY;
        if (const DWORD error = QueryValue(key, value::kInitialRequest, bytes.get(), size);
            error != ERROR_SUCCESS) {
          return error;
        }
        initial_request->bytes = std::move(bytes);
        initial_request->length = size;
        return ERROR_SUCCESS;
      });
}

StoredStatus ReadStoredStatus(ProcessObjects& objects, wire::Bytes request_name_field,
                              std::uint32_t instance_number, MessageCopy* initial_request) {
  std::array<std::uint8_t, wire::kStatusRecordSize> bytes{};
  const wire::StatusRecord record(bytes);
  const DWORD read = ReadRequestStatus(objects, request_name_field, instance_number, record, initial_request);
  return {.read = read, .status = record.update_status(), .system_error_code = record.system_error_code()};
}

DWORD ReadCancelPending(ProcessObjects& objects, wire::Bytes request_name_field,
                        std::uint32_t instance_number, bool& cancel_pending) {
  cancel_pending = false;
  return AccessRequestKey(objects, request_name_field, instance_number, KeyAccess::kRead, [&](HKEY key) {
    DWORD flag = 0;
    const DWORD read = QueryValue(key, value::kCancelPending, &flag, sizeof(flag));
    if (read == ERROR_SUCCESS) cancel_pending = flag != 0;
    return read;
  });
}

DWORD SetCancelPending(ProcessObjects& objects, wire::Bytes request_name_field,
                       std::uint32_t instance_number) {
  return AccessRequestKey(objects, request_name_field, instance_number, KeyAccess::kWrite,
                          [](HKEY key) { return SetDword(key, value::kCancelPending, 1); });
}

DWORD ClearLeftoverRequestValues(ProcessObjects& objects, wire::Bytes request_name_field,
                                 std::uint32_t instance_number) {
  return AccessRequestKey(objects, request_name_field, instance_number, KeyAccess::kWrite, [](HKEY key) {
    for (const wchar_t* name : {value::kCancelPending, value::kTargetPath}) {
      const LSTATUS deleted = ::RegDeleteValueW(key, name);
      if (deleted != ERROR_SUCCESS && deleted != ERROR_FILE_NOT_FOUND) return static_cast<DWORD>(deleted);
    }
    return DWORD{ERROR_SUCCESS};
  });
}

DWORD SetTargetPath(ProcessObjects& objects, wire::Bytes request_name_field, std::uint32_t instance_number,
                    const wchar_t* path, DWORD size) {
  return AccessRequestKey(objects, request_name_field, instance_number, KeyAccess::kWrite,
                          [&](HKEY key) { return SetValue(key, value::kTargetPath, REG_SZ, path, size); });
}

DWORD GetTargetPath(ProcessObjects& objects, wire::Bytes request_name_field, std::uint32_t instance_number,
                    wchar_t* buffer, DWORD size) {
  if (size >= sizeof(wchar_t)) buffer[0] = L'\0';
  return AccessRequestKey(objects, request_name_field, instance_number, KeyAccess::kRead,
                          [&](HKEY key) { return QueryStringValue(key, value::kTargetPath, buffer, size); });
}

void RecallTargetPath(ProcessObjects& objects, const wire::RequestMessage& request, bool dry_run,
                      wchar_t* target_path) {
  if (dry_run || target_path[0] != L'\0') return;
  (void)GetTargetPath(objects, request.request_name_field(), request.instance_number(), target_path,
                      kTargetPathBytes);
}

DWORD ReadServiceSubkeyName(DWORD index, std::wstring& key_name) {
  key_name.clear();
  UniqueHkey service_key;
  LSTATUS status = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kServiceKeyPath, 0, KEY_READ, service_key.put());
  if (status != ERROR_SUCCESS) return static_cast<DWORD>(status);
  wchar_t name[kKeyNameCapacity] = {};
  DWORD units = kKeyNameCapacity;
  status = ::RegEnumKeyExW(service_key.get(), index, name, &units, nullptr, nullptr, nullptr, nullptr);
  if (status != ERROR_SUCCESS) return static_cast<DWORD>(status);
  key_name.assign(name, std::min<DWORD>(units, kKeyNameCapacity - 1));
  return ERROR_SUCCESS;
}

DWORD EnumerateRequestKey(DWORD index, wire::MutableBytes name, std::uint32_t& instance_number) {
  std::fill(name.begin(), name.end(), std::uint8_t{0});
  instance_number = 0;
  std::wstring key_name;
  if (const DWORD status = ReadServiceSubkeyName(index, key_name); status != ERROR_SUCCESS) return status;
  // A subkey that no request can have (an empty or too long name) enumerates as an empty
  // name, which every operation on one request refuses.
  const auto parsed = ParseRequestKeyName(key_name);
  if (!parsed) return ERROR_SUCCESS;
  if (!WriteFieldText(name, FieldText(parsed->name))) {
    std::fill(name.begin(), name.end(), std::uint8_t{0});
    return ERROR_MORE_DATA;
  }
  instance_number = parsed->instance_number;
  return ERROR_SUCCESS;
}

wire::ResultCode CancelRequest(ProcessObjects& objects, wire::Bytes message, wire::StatusRecord record) {
  const wire::RequestMessage request(message);
  const wire::Bytes name = request.request_name_field();
  const std::uint32_t instance = request.instance_number();
  wire::PrepareStatusRecord(message, record);
  MutexPairGuard locks(objects.cancel_mutex.get(), objects.queue_mutex.get());
  if (!locks.acquired()) return wire::result::kCannotCancel;

  if (RequestRecord* waiting = FindRecord(objects.requests, request)) {
    RequestRecordPtr cancelled = objects.requests.Unlink(waiting);
    locks.ReleaseSecond();
    // Whether it is a dry run, its own message says: a cancel of "*" marks its copies as dry
    // runs only to carry the instance number.
    const bool dry_run = wire::RequestMessage(cancelled->message()).HasFlag(wire::flags::kDryRun);
    CarryOutCancel(objects, cancelled->message(), dry_run, cancelled->target_path, false);
    cancelled.reset();  // cancels and closes its request timer
    record.set_update_status(wire::kCancelled);
    record.set_system_error_code(0);
    return wire::result::kDone;
  }

  if (FindRecord(objects.held, request) != nullptr) {
    // The worker holds it. The flag is written before the queue mutex is released: the worker
    // puts the record back under that mutex, finds the flag then and carries it out at once.
    const DWORD read = ReadRequestStatus(objects, name, instance, record);
    if (read != ERROR_SUCCESS || !SetCancelPendingIfActive(objects, name, instance)) {
      return wire::result::kCannotCancel;
    }
    locks.ReleaseSecond();
    record.set_update_status(wire::kCancelRequested);
    record.set_system_error_code(0);
    ::SetEvent(objects.update_event.get());
    return wire::result::kDone;
  }

  // Neither waiting nor held: nothing takes it up again (a restart left pending, or a request
  // that start-up recovery left alone), so it is cancelled now. The cancel mutex, still held,
  // keeps recovery and the worker's installation away meanwhile.
  locks.ReleaseSecond();
  const DWORD read = ReadRequestStatus(objects, name, instance, record);
  const wire::UpdateStatus status = record.update_status();
  if (read != ERROR_SUCCESS || wire::IsFinalStatus(status)) return wire::result::kCannotCancel;
  // Its own stored message says whether it is a dry run; a key without one holds no package of ours.
  MessageCopy stored;
  const bool dry_run = ReadStoredStatus(objects, name, instance, &stored).read != ERROR_SUCCESS ||
                       wire::RequestMessage(stored.span()).HasFlag(wire::flags::kDryRun);
  wchar_t target_path[kTargetPathCapacity] = {};
  // After a restart left pending the installation ran: its log has no one left to read it.
  CarryOutCancel(objects, message, dry_run, target_path, status == wire::kRestartPending);
  record.set_update_status(wire::kCancelled);
  record.set_system_error_code(0);
  return wire::result::kDone;
}

wire::ResultCode FindPostponedRequests(ProcessObjects& objects, wire::StatusRecord record,
                                       PostponedMode mode) {
  record.Clear();
  MutexGuard queue(objects.queue_mutex.get());
  if (!queue.acquired()) return wire::result::kNothingToReport;

  bool found = false;
  objects.requests.ForEach([&](RequestRecord& waiting) {
    const wire::RequestMessage request(waiting.message());
    const StoredStatus stored =
        ReadStoredStatus(objects, request.request_name_field(), request.instance_number());
    if (stored.read != ERROR_SUCCESS || stored.status != wire::kPostponed) return true;
    found = true;
    if (mode != PostponedMode::kInstallNow) return false;
    waiting.due_tick = {};
    waiting.install_now = 1;
    return true;
  });
  queue.Release();

  if (found && mode == PostponedMode::kInstallNow) ::SetEvent(objects.update_event.get());
  return found ? wire::result::kDone : wire::result::kNothingToReport;
}

}  // namespace qfu::store
