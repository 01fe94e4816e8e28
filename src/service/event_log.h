#pragma once

namespace qfu::service {

// Event identifier of the "cannot start" error entry (error severity, customer bit, facility 2).
inline constexpr unsigned long kServiceErrorEventId = 0xC0020001;

// Writes "<function> failed with <error>" to the Application event log as an error of the
// source QFUpdate. The caller passes the error it took right after the failing call: the
// event log's own calls, and whatever ran since, change the last error.
void ReportServiceError(const wchar_t* function_name, unsigned long error);

}  // namespace qfu::service
