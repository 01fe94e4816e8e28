#pragma once
// How an accepted request joins the request list with its due tick, deadline tick and the
// moment of its request timer.
#include <cstddef>
#include <cstdint>
#include <span>

#include "store/process_objects.h"
#include "store/store_operations.h"
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
                                              FileTimeUnits stored_acceptance, wire::StatusRecord record);

// A request kept in the registry, as start-up recovery puts it back.
struct StoredMessage {
  MessageCopy message;           // its "InitialRequest"
  FileTimeUnits request_time{};  // its "RequestTime"; 0: counted as accepted now
};

// Puts stored requests back into the request list, in their order, as EnqueueRequest does with
// each message and its request time, under one hold of the queue and registry mutexes: a record
// each, status Queued with SystemErrorCode 0 written (the status reporter told), and the update
// event set once at the end. A message whose record cannot be made is skipped. Returns how
// many were listed; 0 when a mutex wait fails (nothing is then listed or written).
std::size_t EnqueueStoredRequests(ProcessObjects& objects, std::span<StoredMessage> requests);

}  // namespace qfu::store
