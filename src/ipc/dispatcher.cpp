#include "ipc/dispatcher.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "common/bytes.h"
#include "common/mutex_guard.h"
#include "common/srw_guard.h"
#include "common/utf.h"
#include "store/enqueue.h"
#include "store/request_name.h"
#include "store/request_time.h"
#include "store/store_operations.h"
#include "store/user_agent.h"
#include "wire/status_record.h"
#include "wire/update_status.h"

namespace qfu::ipc {

using namespace wire;
namespace {

// The request name that cancels every active request.
constexpr std::string_view kCancelAllName = "*";

// Result code for a failed read of one request: not found, or not carried out.
ResultCode ReadFailureResult(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND ? result::kNoSuchRequest : result::kCannotCarryOut;
}

// Type 1: replaces the download user agent and stores it as "UserAgent".
ResultCode SetUserAgentMessage(AgentConfig& config, Bytes message) {
  MutexGuard guard(config.user_agent_mutex.get());
  if (!guard.acquired()) return result::kCannotCarryOut;
  const auto text = ItemText(message, kUserAgentItem);
  if (!text) return result::kBadMessage;
  // A text that does not fit the buffer with its terminator is refused, and the buffer keeps
  // the user agent it had: a cut user agent would be sent to package servers unnoticed.
  if (text->size() >= kUserAgentCapacity) return result::kBadMessage;
  std::copy(text->begin(), text->end(), config.user_agent);
  config.user_agent[text->size()] = L'\0';
  // The buffer in memory has changed whatever the write gives; its outcome is not reported.
  (void)store::SetUserAgent(HKEY_LOCAL_MACHINE, store::kServiceKeyPath, config.user_agent);
  return result::kDone;
}

// Type 2: creates and queues a request unless one of that name and instance is still active
// or completed.
ResultCode SubmitRequestMessage(ProcessObjects& objects, Bytes message, StatusRecord record) {
  if (!FindItem(message, kPackageUrlItem) || !FindItem(message, kInstallerArgumentsItem))
    return result::kBadMessage;
  const RequestMessage request(message);
  if (!store::IsAcceptableRequestName(request.request_name_field())) return result::kBadMessage;
  // A window time that is no time of day would never open: refused before anything is stored.
  if (!HasAcceptableInstallWindow(request)) return result::kBadMessage;
  // A package digest that cannot be read would pin nothing: refused, not ignored.
  if (const PackageDigest digest = ReadPackageDigest(message); digest.present && !digest.well_formed) {
    return result::kBadMessage;
  }
  // The check of the stored status and the enqueue are one step: two clients submitting the
  // same name at once must not both find it free and both queue it.
  const ExclusiveSrwGuard submitting(objects.submit_lock);
  const DWORD read =
      store::ReadRequestStatus(objects, request.request_name_field(), request.instance_number(), record);
  if (read == ERROR_SUCCESS && wire::BlocksResubmission(record.update_status()))
    return result::kAlreadyExists;
  // A flag that a cancel of an earlier request of this name left in its key never cancels the
  // new one, and a package path it left never makes the new one resume a file it did not write.
  // A failure leaves the request unsubmitted rather than cancelled unasked.
  if (read != ERROR_FILE_NOT_FOUND) {
    const DWORD cleared =
        store::ClearLeftoverRequestValues(objects, request.request_name_field(), request.instance_number());
    if (cleared != ERROR_SUCCESS) {
      record.set_system_error_code(cleared);
      return result::kCannotCarryOut;
    }
  }
  return store::EnqueueRequest(objects, message, {}, record);
}

// Types 3 and 4 after the request is known: its stored status and its time stamp item.
DWORD ReadStoredRequest(ProcessObjects& objects, Bytes name_field, std::uint32_t instance_number,
                        MutableBytes reply) {
  const StatusRecord record(reply);
  DWORD error = store::ReadRequestStatus(objects, name_field, instance_number, record);
  wchar_t time_stamp[store::kTimeStampUnits] = {};
  if (error == ERROR_SUCCESS) {
    error = store::ReadRequestTime(objects, name_field, instance_number, nullptr, time_stamp,
                                   store::kTimeStampBytes);
  }
  if (error == ERROR_SUCCESS) AppendTextItem(reply, kTimeStampItem, time_stamp);
  return error;
}

// Type 3: one request as stored, with its time stamp.
ResultCode QueryRequestMessage(ProcessObjects& objects, Bytes message, MutableBytes reply) {
  const RequestMessage request(message);
  const DWORD error =
      ReadStoredRequest(objects, request.request_name_field(), request.instance_number(), reply);
  return error == ERROR_SUCCESS ? result::kDone : ReadFailureResult(error);
}

// Type 4: the request at the index carried in the flags field.
ResultCode EnumerateRequestsMessage(ProcessObjects& objects, Bytes message, MutableBytes reply) {
  store::RequestNameField name{};
  std::uint32_t instance_number = 0;
  DWORD error =
      store::EnumerateRequestKey(RequestMessage(message).enumeration_index(), name, instance_number);
  if (error == ERROR_SUCCESS) error = ReadStoredRequest(objects, name, instance_number, reply);
  if (error == ERROR_SUCCESS) return result::kDone;
  return error == ERROR_NO_MORE_ITEMS ? result::kNothingToReport : result::kCannotCarryOut;
}

// Cancels every request whose stored status is not final, each under its own name and
// instance number; the reply holds the last one tried.
ResultCode CancelAll(ProcessObjects& objects, Bytes message, StatusRecord record) {
  ResultCode outcome = result::kNothingToReport;
  // A copy of the message that names the enumerated request in turn.
  std::vector<std::uint8_t> named(message.begin(), message.end());
  for (DWORD index = 0;; ++index) {
    store::RequestNameField name{};
    std::uint32_t instance_number = 0;
    if (store::EnumerateRequestKey(index, name, instance_number) != ERROR_SUCCESS) break;
    const store::StoredStatus stored = store::ReadStoredStatus(objects, name, instance_number);
    if (stored.read != ERROR_SUCCESS || wire::IsFinalStatus(stored.status)) continue;
    std::copy(name.begin(), name.end(), named.begin() + kRequestNameAt);
    // The dry-run flag only carries the instance number: the cancel takes whether the request
    // is a dry run from the request's own message.
    WriteU32(named, kRequestFlagsAt, WireValue(RequestMessage(named).flags() | flags::kDryRun));
    WriteU32(named, kInstanceNumberAt, instance_number);
    outcome = store::CancelRequest(objects, named, record);
  }
  return outcome;
}

// Type 5: cancels one request, or every active one with the name "*".
ResultCode CancelRequestMessage(ProcessObjects& objects, Bytes message, StatusRecord record) {
  const RequestMessage request(message);
  if (request.request_name() == kCancelAllName) return CancelAll(objects, message, record);
  const DWORD error =
      store::ReadRequestStatus(objects, request.request_name_field(), request.instance_number(), record);
  if (error != ERROR_SUCCESS) return ReadFailureResult(error);
  return store::CancelRequest(objects, message, record);
}

}  // namespace

void Dispatch(ProcessObjects& objects, AgentConfig& config, Bytes message, MutableBytes reply) {
  StatusRecord record(reply);
  wire::PrepareStatusRecord(message, record);
  ResultCode outcome = result::kBadMessage;
  switch (RequestMessage(message).type()) {
    case kSetUserAgent:
      outcome = SetUserAgentMessage(config, message);
      break;
    case kSubmitRequest:
      outcome = SubmitRequestMessage(objects, message, record);
      break;
    case kQueryRequest:
      outcome = QueryRequestMessage(objects, message, reply);
      break;
    case kEnumerateRequests:
      outcome = EnumerateRequestsMessage(objects, message, reply);
      break;
    case kCancelRequest:
      outcome = CancelRequestMessage(objects, message, record);
      break;
    case kQueryPostponed:
      outcome = store::FindPostponedRequests(objects, record, store::PostponedMode::kQuery);
      break;
    case kInstallPostponedNow:
      outcome = store::FindPostponedRequests(objects, record, store::PostponedMode::kInstallNow);
      break;
    default:
      break;
  }
  record.set_result_code(outcome);
}

}  // namespace qfu::ipc
