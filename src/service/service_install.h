#pragma once
#include <windows.h>

namespace qfu::service {

// The service's name, which the service control manager, the event log and the service
// dispatcher know it by.
inline constexpr wchar_t kServiceName[] = L"QFUpdate";

// The service's recovery: restart 60 s after each of the first two failures, then nothing;
// the failure count starts again after a day without failures.
inline constexpr DWORD kRestartDelayMs = 60000;
inline constexpr DWORD kFailureResetSeconds = 24 * 60 * 60;

// Registers this program, its path quoted, as the auto-start, own-process LocalSystem service
// QFUpdate with its failure actions, registers it as the message file of its event source, and
// prints the outcome to standard output. Returns 0, or the Win32 error of the failed step.
[[nodiscard]] DWORD InstallService();

// Gives service (opened with SERVICE_CHANGE_CONFIG and SERVICE_START) the failure actions
// above, and makes a stop with a non-zero exit code count as a failure too (where the manager
// knows that flag). Returns the Win32 error of the first call that failed.
[[nodiscard]] DWORD ConfigureFailureActions(SC_HANDLE service);

// The service, running, gives itself the failure actions (a copy installed by the Windows
// Installer has none otherwise). Returns the Win32 error.
[[nodiscard]] DWORD ConfigureOwnFailureActions();

}  // namespace qfu::service
