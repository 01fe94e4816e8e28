#include "service/service_install.h"

#include <cstdio>
#include <string>

#include "common/handle.h"
#include "common/last_error.h"
#include "service/event_log.h"

namespace qfu::service {

DWORD ConfigureFailureActions(SC_HANDLE service) {
  SC_ACTION actions[3] = {
      {SC_ACTION_RESTART, kRestartDelayMs}, {SC_ACTION_RESTART, kRestartDelayMs}, {SC_ACTION_NONE, 0}};
  SERVICE_FAILURE_ACTIONSW failure = {};
  failure.dwResetPeriod = kFailureResetSeconds;
  failure.cActions = static_cast<DWORD>(std::size(actions));
  failure.lpsaActions = actions;  // no reboot message, no command
  if (!::ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure)) return LastError();
  // A failed start ends in SERVICE_STOPPED with its error as the exit code: without this flag
  // only a crash counts as a failure. A manager that does not know the flag at all
  // (ERROR_INVALID_LEVEL: Wine's) keeps the actions for crashes, which is no reason to fail.
  SERVICE_FAILURE_ACTIONS_FLAG on_non_crash = {TRUE};
  if (!::ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &on_non_crash)) {
    const DWORD error = LastError();
    if (error != ERROR_INVALID_LEVEL) return error;
  }
  return ERROR_SUCCESS;
}

DWORD ConfigureOwnFailureActions() {
  const UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return LastError();
  // SERVICE_START: the manager asks for it of whoever sets a restart action.
  const UniqueServiceHandle self(
      ::OpenServiceW(manager.get(), kServiceName, SERVICE_CHANGE_CONFIG | SERVICE_START));
  if (!self) return LastError();
  return ConfigureFailureActions(self.get());
}

DWORD InstallService() {
  wchar_t path[MAX_PATH] = {};
  const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (length == 0 || length == MAX_PATH) {
    const DWORD error = length == 0 ? ::GetLastError() : static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER);
    std::printf("Cannot install service (%d)\n", static_cast<int>(error));
    return error;
  }
  UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) {
    const DWORD error = LastError();
    std::printf("OpenSCManager failed (%d)\n", static_cast<int>(error));
    return error;
  }
  // Quoted: a path with spaces ("C:\Program Files\...") must not be read as a shorter program
  // with arguments. No account name or password means LocalSystem.
  const std::wstring command_line = L"\"" + std::wstring(path) + L"\"";
  UniqueServiceHandle created(::CreateServiceW(manager.get(), kServiceName, kServiceName, SERVICE_ALL_ACCESS,
                                               SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                               SERVICE_ERROR_NORMAL, command_line.c_str(), nullptr, nullptr,
                                               nullptr, nullptr, nullptr));
  if (!created) {
    const DWORD error = LastError();
    std::printf("CreateService failed (%d)\n", static_cast<int>(error));
    return error;
  }
  if (const DWORD error = ConfigureFailureActions(created.get()); error != ERROR_SUCCESS) {
    std::printf("ChangeServiceConfig2 failed (%d)\n", static_cast<int>(error));
    return error;
  }
  if (const DWORD error = RegisterEventMessageFile(path); error != ERROR_SUCCESS) {
    std::printf("Cannot register the event source (%d)\n", static_cast<int>(error));
    return error;
  }
  std::printf("Service installed successfully\n");
  return ERROR_SUCCESS;
}

}  // namespace qfu::service
