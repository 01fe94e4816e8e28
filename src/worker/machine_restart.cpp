#include "worker/machine_restart.h"

#include "common/handle.h"
#include "common/last_error.h"

namespace qfu::worker {
namespace {

// SHTDN_REASON_FLAG_PLANNED | SHTDN_REASON_MAJOR_APPLICATION | SHTDN_REASON_MINOR_INSTALLATION.
constexpr DWORD kInstallationRestartReason = 0x80040002;

// Enables the shutdown privilege of the process's token. A failure is not reported: the
// restart call then fails with an error of its own, which the caller records.
void EnableShutdownPrivilege() {
  UniqueHandle token;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, token.put())) return;
  TOKEN_PRIVILEGES privileges = {};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  if (!::LookupPrivilegeValueW(nullptr, SE_SHUTDOWN_NAME, &privileges.Privileges[0].Luid)) return;
  (void)::AdjustTokenPrivileges(token.get(), FALSE, &privileges, 0, nullptr, nullptr);
}

}  // namespace

DWORD SystemMachineRestart::RestartMachine() {
  EnableShutdownPrivilege();
  // This machine, no message, at once; applications are asked to close, never forced.
  if (!::InitiateSystemShutdownExW(nullptr, nullptr, 0, FALSE, TRUE, kInstallationRestartReason)) {
    return LastError();
  }
  return ERROR_SUCCESS;
}

}  // namespace qfu::worker
