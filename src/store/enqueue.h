#pragma once
// How an accepted request joins the request list with its due tick, deadline tick and the
// moment of its request timer.
#include <cstdint>

#include "store/process_objects.h"
#include "wire/message.h"

namespace qfu::store {

// Accepts the request message into the request list: a new record with its deadline tick
// (from stored_acceptance, the stored "RequestTime", or from now when that is 0), its due tick
// and the moment its request timer is to fire (start time, random delay; the queue worker arms
// it), then status Queued and, for a new request (stored_acceptance 0), its identity values
// and request time; wakes the queue worker. Fills record with the message's identity and
// UpdateStatus 2. Holds the queue and registry mutexes across listing and writing. Returns
// result 0, or 0x80000003 when the record cannot be made or listed, or a mutex wait fails
// (nothing is then written, UpdateStatus stays 0, and SystemErrorCode holds a failed wait's
// Win32 error).
[[nodiscard]] wire::ResultCode EnqueueRequest(ProcessObjects& objects, wire::Bytes message,
                                              std::uint64_t stored_acceptance, wire::StatusRecord record);

}  // namespace qfu::store
