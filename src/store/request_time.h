#pragma once
// When a request was accepted: "RequestTime" (the UTC moment) and "TimeStamp" (its text) of the
// request key.
#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "store/process_objects.h"
#include "wire/message.h"

namespace qfu::store {

inline constexpr std::size_t kTimeStampUnits = 64;  // "TimeStamp" is stored as 128 bytes
inline constexpr DWORD kTimeStampBytes = kTimeStampUnits * sizeof(wchar_t);

// Writes "RequestTime" (REG_QWORD, the given UTC FILETIME) and "TimeStamp" (REG_SZ, 128 bytes:
// the clock's current local date and time as text) of the request key, creating it when
// needed. Returns the OR of the two write results, or the Win32 error of a failed registry
// mutex wait (nothing is then written).
[[nodiscard]] DWORD RecordRequestTime(ProcessObjects& objects, wire::Bytes request_name_field,
                                      std::uint32_t instance_number, FileTimeUnits request_time);

// Reads "RequestTime" into request_time (when given; 0 unless read) and "TimeStamp" into text
// of text_size bytes (when given; the dispatcher gives 128; always terminated, empty unless
// read). Returns the OR of the read results, or the Win32 error of a failed registry mutex
// wait.
[[nodiscard]] DWORD ReadRequestTime(ProcessObjects& objects, wire::Bytes request_name_field,
                                    std::uint32_t instance_number, FileTimeUnits* request_time, wchar_t* text,
                                    DWORD text_size);

}  // namespace qfu::store
