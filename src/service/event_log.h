#pragma once

namespace qfu::service {

// Event identifier of the "cannot start" error entry (error severity, customer bit, facility 2).
inline constexpr unsigned long kServiceErrorEventId = 0xC0020001;

// Writes "<function> failed with <GetLastError()>" to the Application event log as an error
// of the source QFUpdate. Takes the last error first, before any other call can change it.
void ReportServiceError(const wchar_t* function_name);

}  // namespace qfu::service
