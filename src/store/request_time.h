#pragma once
// When a request was accepted ("RequestTime", "TimeStamp") and how an accepted request joins
// the request list with its due tick, deadline tick and request timer.
#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "ipc/message.h"
#include "service/process_objects.h"

namespace qfu::store {

// The locale the date and time texts are formatted for; the user default stands in when it
// is refused.
inline constexpr const wchar_t* kSystemDefaultLocale = L"!x-sys-default-locale";
inline constexpr std::size_t kDateTimePartCapacity = 32;  // units for the date, and for the time
inline constexpr std::size_t kDateTimeTextCapacity = 128;  // units for "date time"
inline constexpr std::size_t kTimeStampUnits = 64;         // "TimeStamp" is stored as 128 bytes
inline constexpr DWORD kTimeStampBytes = kTimeStampUnits * sizeof(wchar_t);

// Writes "date time" (the locale's short date, one space, the time without seconds) for
// local_time, or for the current local time when it is null, into buffer of units UTF-16
// units. Returns the HRESULT of the formatting: 0, or 0x8007007A when the text was cut.
[[nodiscard]] HRESULT FormatLocalDateTime(const SYSTEMTIME* local_time, wchar_t* buffer, std::size_t units);

// Writes "RequestTime" (REG_QWORD, the given UTC FILETIME) and "TimeStamp" (REG_SZ, 128 bytes:
// the clock's current local date and time as text) of the request key, creating it when
// needed. Returns the OR of the two write results (0 when the registry mutex wait failed).
[[nodiscard]] DWORD RecordRequestTime(ProcessObjects& objects, ipc::Bytes request_name_field,
                                      std::uint32_t instance_number, std::uint64_t request_time);

// Reads "RequestTime" into request_time (when given; 0 unless read) and "TimeStamp" into text
// of text_size bytes (when given; the dispatcher gives 128; always terminated, empty unless
// read). Returns the OR of the read results (0 when the registry mutex wait failed).
[[nodiscard]] DWORD ReadRequestTime(ProcessObjects& objects, ipc::Bytes request_name_field,
                                    std::uint32_t instance_number, std::uint64_t* request_time, wchar_t* text,
                                    DWORD text_size);

// Accepts the request message into the request list: a new record with its deadline tick
// (from stored_acceptance, the stored "RequestTime", or from now when that is 0), its due tick
// and request timer (start time, random delay), then status Queued and, for a new request
// (stored_acceptance 0), its identity values and request time; wakes the queue worker. Fills
// record with the message's identity and UpdateStatus 2. Returns result 0, or 0x80000003 when
// the record cannot be made or listed (nothing is then written, UpdateStatus stays 0).
[[nodiscard]] std::uint32_t EnqueueRequest(ProcessObjects& objects, ipc::Bytes message,
                                           std::uint64_t stored_acceptance, ipc::StatusRecord record);

}  // namespace qfu::store
