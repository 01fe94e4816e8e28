#include "service/event_log.h"

#include <windows.h>
#include <strsafe.h>

#include "common/handle.h"
#include "service/service_install.h"

namespace qfu::service {

void ReportServiceError(const wchar_t* function_name, unsigned long error) {
  UniqueEventSource source(::RegisterEventSourceW(nullptr, kServiceName));
  if (!source) return;
  constexpr std::size_t kMessageCapacity = 80;
  wchar_t message[kMessageCapacity] = {};
  // %ls: a wide string under both the C99 and the Microsoft conventions of the CRT. A text
  // that does not fit is cut, which is fine for a log line.
  (void)::StringCchPrintfW(message, kMessageCapacity, L"%ls failed with %d", function_name, static_cast<int>(error));
  const wchar_t* strings[2] = {kServiceName, message};
  ::ReportEventW(source.get(), EVENTLOG_ERROR_TYPE, 0, kServiceErrorEventId, nullptr, 2, 0, strings, nullptr);
}

}  // namespace qfu::service
