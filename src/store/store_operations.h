#pragma once
// The operations through which the agent reads and changes Update Requests: single values of
// a request key, enumeration of the request keys, cancel, and the postponed-request query.
// Each works on the service key under HKEY_LOCAL_MACHINE and takes the process-wide objects
// for its mutexes, the request list, the update event and the status reporter. Operations on one
// request key take the registry mutex around their own key access only; callers never hold
// it when they call them, except EnqueueRequest, which holds it (the mutex lets its owner take
// it again) across a new record's writes. Lock order: cancel, queue, registry.
#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

#include "store/process_objects.h"
#include "store/request_record.h"
#include "wire/message.h"
#include "wire/status_record.h"

namespace qfu::store {

// Values of a request key.
namespace value {
inline constexpr const wchar_t* kUpdateStatus = L"UpdateStatus";        // REG_DWORD
inline constexpr const wchar_t* kSystemErrorCode = L"SystemErrorCode";  // REG_DWORD
inline constexpr const wchar_t* kInitialRequest = L"InitialRequest";    // REG_BINARY, the whole message
inline constexpr const wchar_t* kUiName = L"UIName";                    // REG_BINARY, 80 bytes
inline constexpr const wchar_t* kSoftwareVersion = L"SoftwareVersion";  // REG_BINARY, 18 bytes
inline constexpr const wchar_t* kTargetPath = L"TargetPath";            // REG_SZ, 522 bytes
inline constexpr const wchar_t* kCancelPending = L"CancelPending";      // REG_DWORD, 1
inline constexpr const wchar_t* kRequestTime = L"RequestTime";          // REG_QWORD, UTC FILETIME
inline constexpr const wchar_t* kTimeStamp = L"TimeStamp";              // REG_SZ, 128 bytes
}  // namespace value

// Size in bytes of "TargetPath" as the worker writes and reads it: the record's whole path.
inline constexpr DWORD kTargetPathBytes = kTargetPathCapacity * sizeof(wchar_t);  // 522

// A copy of a stored "InitialRequest", owned by whoever asked for it.
struct MessageCopy {
  std::unique_ptr<std::uint8_t[]> bytes;
  std::uint32_t length = 0;
  [[nodiscard]] wire::Bytes span() const noexcept { return {bytes.get(), length}; }
};

// Writes "UpdateStatus" and "SystemErrorCode" of the message's request key, creating the key
// when needed. With first_write also "InitialRequest" (the whole message), "UIName" and
// "SoftwareVersion"; otherwise a final status deletes "InitialRequest", "TargetPath",
// "CancelPending" and "RequestTime" in the same hold of the registry mutex. Then, with the
// mutex released, tells the status reporter (never for Queued), whatever the writes gave.
// Returns the OR of the write results, or the Win32 error of a failed registry mutex wait
// (nothing is then written).
[[nodiscard]] DWORD SetRequestStatus(ProcessObjects& objects, wire::Bytes message, wire::UpdateStatus status,
                                     std::uint32_t error_code, bool first_write);

// Fills record from the request key: size and length 159, the caller's 37-byte name and the
// instance number, then UpdateStatus, SystemErrorCode, UIName and SoftwareVersion as stored.
// When all four were read and initial_request is given, it receives a copy of
// "InitialRequest". Returns the OR of the four read results (2: no such request or value), 14
// when the copy cannot be allocated, the copy's read error, or the Win32 error of a failed
// registry mutex wait (the record then holds only the name and instance number).
[[nodiscard]] DWORD ReadRequestStatus(ProcessObjects& objects, wire::Bytes request_name_field,
                                      std::uint32_t instance_number, wire::StatusRecord record,
                                      MessageCopy* initial_request = nullptr);

// What ReadStoredStatus found in a request key.
struct StoredStatus {
  DWORD read = ERROR_SUCCESS;   // what ReadRequestStatus returned
  wire::UpdateStatus status{};  // 0 when "UpdateStatus" could not be read
  std::uint32_t system_error_code = 0;
};

// The stored status of the request key, read as ReadRequestStatus reads it into a record of
// its own (initial_request as there).
[[nodiscard]] StoredStatus ReadStoredStatus(ProcessObjects& objects, wire::Bytes request_name_field,
                                            std::uint32_t instance_number,
                                            MessageCopy* initial_request = nullptr);

// Sets cancel_pending to whether "CancelPending" holds a value other than 0. Returns the read's
// result (2 when no cancel was ever recorded).
[[nodiscard]] DWORD ReadCancelPending(ProcessObjects& objects, wire::Bytes request_name_field,
                                      std::uint32_t instance_number, bool& cancel_pending);

// Writes "CancelPending" = 1. Returns the Win32 error.
[[nodiscard]] DWORD SetCancelPending(ProcessObjects& objects, wire::Bytes request_name_field,
                                     std::uint32_t instance_number);

// Deletes what an earlier request of the key may have left for a new one to trip over:
// "CancelPending" and "TargetPath" (the key is created when missing: callers give a key they
// have read). Returns the first Win32 error (0 also when neither value was there).
[[nodiscard]] DWORD ClearLeftoverRequestValues(ProcessObjects& objects, wire::Bytes request_name_field,
                                               std::uint32_t instance_number);
// Writes "TargetPath" as REG_SZ of exactly size bytes of path (the worker gives
// kTargetPathBytes). Returns the Win32 error.
[[nodiscard]] DWORD SetTargetPath(ProcessObjects& objects, wire::Bytes request_name_field,
                                  std::uint32_t instance_number, const wchar_t* path, DWORD size);

// A request recovered at start knows its package only from "TargetPath", which a final status
// deletes: fills an empty target_path (kTargetPathCapacity units) from it, unless the request
// is a dry run, which has no package of ours.
void RecallTargetPath(ProcessObjects& objects, const wire::RequestMessage& request, bool dry_run,
                      wchar_t* target_path);

// Reads "TargetPath" into buffer of size bytes (callers give kTargetPathBytes); the text is
// always terminated inside the buffer, and empty when the read fails. Returns the Win32 error.
[[nodiscard]] DWORD GetTargetPath(ProcessObjects& objects, wire::Bytes request_name_field,
                                  std::uint32_t instance_number, wchar_t* buffer, DWORD size);

// Reads the name of the service key's subkey at index into key_name, as stored (at most 259
// units): opens the service key for reading, enumerates, closes it again. Returns the Win32
// error: 259 (ERROR_NO_MORE_ITEMS) past the last subkey. Takes no mutex.
[[nodiscard]] DWORD ReadServiceSubkeyName(DWORD index, std::wstring& key_name);

// Reads the name of the service key's subkey at index and splits it into the UTF-8 request
// name (written NUL-padded into name, 37 bytes from the dispatcher) and the instance number.
// A subkey whose name no request can have leaves name empty and instance 0. Returns the Win32
// error: 259 (ERROR_NO_MORE_ITEMS) past the last subkey. Takes no mutex.
[[nodiscard]] DWORD EnumerateRequestKey(DWORD index, wire::MutableBytes name, std::uint32_t& instance_number);

// True when the two 37-byte request name fields name the same request key: their texts agree
// without regard to letter case, as the registry compares key names.
[[nodiscard]] bool SameRequestName(wire::Bytes a, wire::Bytes b);

// Cancels the message's request (name, without regard to letter case, and instance number). A
// record waiting in the request list is removed, marked Cancelled (record: UpdateStatus
// 0x8000000B) and its package deleted unless its own message is a dry run; a request the
// worker holds gets "CancelPending" = 1 (record: UpdateStatus 12) and the update event, and
// the worker cancels it when it lets go of it; a request that nothing will take up again (a
// restart left pending, one that recovery left alone) is cancelled at once like a waiting one.
// Returns result 0, or 0x80000006 when the request is unknown, already final, or the cancel
// and queue mutexes cannot be taken.
[[nodiscard]] wire::ResultCode CancelRequest(ProcessObjects& objects, wire::Bytes message,
                                             wire::StatusRecord record);

enum class PostponedMode {
  kQuery,       // stop at the first Postponed request
  kInstallNow,  // make every Postponed request due at once, without window or prompt
};

// Looks for records in the request list whose stored status is Postponed (9). record is left
// empty (size and length 159). In kInstallNow mode each such record gets due tick 0
// and the install-now flag, and the update event is signalled once. Returns result 0 when a
// postponed request was found, else 0x80000005.
[[nodiscard]] wire::ResultCode FindPostponedRequests(ProcessObjects& objects, wire::StatusRecord record,
                                                     PostponedMode mode);

}  // namespace qfu::store
