#include "service/event_log.h"

#include <strsafe.h>

#include <cwchar>

#include "common/handle.h"
#include "common/utf.h"
#include "service/service_install.h"
#include "store/request_key.h"
#include "wire/update_status.h"

namespace qfu::service {
namespace {

// The source's key below the Application log, where readers find its message file.
constexpr const wchar_t* kEventSourceKeyPath =
    L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\QFUpdate";
// The event types the source writes: error, warning and information.
constexpr DWORD kTypesSupported = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
// Room for a status name ("VerificationFailed"), a code ("0x80096010") and a code's text.
constexpr std::size_t kStatusNameCapacity = 32;
constexpr std::size_t kCodeCapacity = 16;
constexpr DWORD kErrorTextCapacity = 512;

// The system's text of error (the download library's own for its 12xxx codes), on one line
// and without trailing blanks; a code without text gets a short note instead.
void FormatErrorText(DWORD error, wchar_t (&text)[kErrorTextCapacity]) {
  const HMODULE winhttp = ::GetModuleHandleW(L"winhttp.dll");
  // No inserts (a text with %1 in it stays as it is); MAX_WIDTH_MASK joins its lines.
  DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK;
  if (winhttp != nullptr) flags |= FORMAT_MESSAGE_FROM_HMODULE;
  DWORD length = ::FormatMessageW(flags, winhttp, error, 0, text, kErrorTextCapacity, nullptr);
  while (length > 0 && (text[length - 1] == L' ' || text[length - 1] == L'\r' || text[length - 1] == L'\n')) {
    text[--length] = L'\0';
  }
  if (length == 0) (void)::StringCchCopyW(text, kErrorTextCapacity, L"(no text for this code)");
}

}  // namespace

void ApplicationLogSink::WriteEvent(WORD type, DWORD event_id,
                                    std::span<const wchar_t* const> strings) noexcept {
  UniqueEventSource source(::RegisterEventSourceW(nullptr, kServiceName));
  if (!source) return;
  // ReportEventW takes the strings as non-const pointers but only reads them.
  ::ReportEventW(source.get(), type, 0, event_id, nullptr, static_cast<WORD>(strings.size()), 0,
                 const_cast<const wchar_t**>(strings.data()), nullptr);
}

void ReportServiceError(const wchar_t* function_name, unsigned long error) {
  constexpr std::size_t kMessageCapacity = 80;
  wchar_t message[kMessageCapacity] = {};
  // %ls: a wide string under both the C99 and the Microsoft conventions of the CRT. A text
  // that does not fit is cut, which is fine for a log line.
  (void)::StringCchPrintfW(message, kMessageCapacity, L"%ls failed with %d", function_name,
                           static_cast<int>(error));
  const wchar_t* strings[2] = {kServiceName, message};
  ApplicationLogSink().WriteEvent(EVENTLOG_ERROR_TYPE, kServiceErrorEventId, strings);
}

void OutcomeEventReporter::StatusChanged(wire::Bytes message, wire::UpdateStatus status,
                                         std::uint32_t detail) noexcept {
  next_.StatusChanged(message, status, detail);
  const std::uint32_t event_id = OutcomeEventId(status, detail);
  if (event_id == 0) return;

  const wire::RequestMessage request(message);
  const WideString key_name =
      store::FormatRequestKeyName(Utf8ToWide(request.request_name()), request.instance_number());
  wchar_t status_name[kStatusNameCapacity] = {};
  const char* name = wire::UpdateStatusName(status);  // ASCII
  for (std::size_t i = 0; name != nullptr && name[i] != '\0' && i + 1 < kStatusNameCapacity; ++i) {
    status_name[i] = static_cast<wchar_t>(name[i]);
  }
  wchar_t code[kCodeCapacity] = {};
  // Win32 errors and installer exit codes read best in decimal, HRESULTs in hexadecimal.
  (void)::StringCchPrintfW(code, kCodeCapacity, (detail & wire::kFailureBit) != 0 ? L"0x%08X" : L"%u",
                           static_cast<unsigned>(detail));
  wchar_t error_text[kErrorTextCapacity] = {};
  FormatErrorText(detail, error_text);
  const wchar_t* strings[4] = {key_name.c_str(), status_name, code, error_text};
  sink_.WriteEvent(EventTypeOf(event_id), event_id, strings);
}

DWORD RegisterEventMessageFile(const wchar_t* module_path) {
  UniqueHkey key;
  if (const LSTATUS error = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kEventSourceKeyPath, 0, nullptr, 0,
                                              KEY_SET_VALUE, nullptr, key.put(), nullptr);
      error != ERROR_SUCCESS) {
    return static_cast<DWORD>(error);
  }
  const auto path_bytes = static_cast<DWORD>((std::wcslen(module_path) + 1) * sizeof(wchar_t));
  if (const LSTATUS error = ::RegSetValueExW(key.get(), L"EventMessageFile", 0, REG_EXPAND_SZ,
                                             reinterpret_cast<const BYTE*>(module_path), path_bytes);
      error != ERROR_SUCCESS) {
    return static_cast<DWORD>(error);
  }
  const DWORD types = kTypesSupported;
  return static_cast<DWORD>(::RegSetValueExW(key.get(), L"TypesSupported", 0, REG_DWORD,
                                             reinterpret_cast<const BYTE*>(&types), sizeof(types)));
}

}  // namespace qfu::service
