#include "worker/client_api.h"

#include <strsafe.h>

#include "common/handle.h"

namespace qfu::worker {
namespace {

constexpr const char* kNetworkTypeExport = "QuillfernGetPointOfPresenceNetworkType";
constexpr const char* kConnectionStateExport = "QuillfernGetConnectionState";
constexpr const char* kSetConditionExport = "QuillfernSetExternalCondition";
constexpr const char* kVersionExport = "QuillfernGetVersion";

constexpr const wchar_t* kTriggerCondition = L"QFUPDATE_TRIGGER";
constexpr const wchar_t* kConditionTrue = L"TRUE";
constexpr const wchar_t* kConditionFalse = L"FALSE";

// Loads the library, calls the export with args and frees the library again; fallback when
// either is missing. The exports are declared WINAPI: on x64 and ARM64 there is only one
// calling convention, but the declaration stays right should the agent be built for x86.
template <typename Result, typename... Args>
Result CallExport(const wchar_t* library, const char* export_name, Result fallback, Args... args) {
  // Only the system directory is searched: a library of that name planted beside the agent
  // or in the current directory is never loaded into a LocalSystem process.
  const UniqueModule module(::LoadLibraryExW(library, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
  if (!module) return fallback;
  using Export = Result(WINAPI*)(Args...);
  // Through void(*)(): FARPROC's own signature says nothing about the export's.
  const auto function =
      reinterpret_cast<Export>(reinterpret_cast<void (*)()>(::GetProcAddress(module.get(), export_name)));
  if (function == nullptr) return fallback;
  return function(args...);
}

}  // namespace

bool FormatClientVersion(DWORD version, std::span<wchar_t> buffer) noexcept {
  if (version == 0 || buffer.empty() || buffer.size() > STRSAFE_MAX_CCH) return false;
  const unsigned major = version >> 24;
  const unsigned minor = (version >> 16) & 0xFF;
  const unsigned build = version & 0xFFFF;
  // A buffer too small gives STRSAFE_E_INSUFFICIENT_BUFFER with the text cut and terminated,
  // which is what the caller asked for.
  (void)::StringCchPrintfW(buffer.data(), buffer.size(), L"%u.%02u.%u", major, minor, build);
  return true;
}

DWORD LibraryClientApi::NetworkType() { return CallExport<DWORD>(library_, kNetworkTypeExport, 0); }

bool LibraryClientApi::IsConnected() {
  // The fallback is a state other than connected.
  return CallExport<DWORD>(library_, kConnectionStateExport, 0) == kClientConnectedState;
}

DWORD LibraryClientApi::SetTriggerCondition(bool downloading) {
  return CallExport<DWORD, const wchar_t*, const wchar_t*>(
      library_, kSetConditionExport, 0, kTriggerCondition, downloading ? kConditionTrue : kConditionFalse);
}

bool LibraryClientApi::InstalledVersion(std::span<wchar_t> buffer) {
  return FormatClientVersion(CallExport<DWORD>(library_, kVersionExport, 0), buffer);
}

}  // namespace qfu::worker
