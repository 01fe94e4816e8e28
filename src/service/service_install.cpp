#include "service/service_install.h"

#include <windows.h>

#include <cstdio>

#include "common/handle.h"

namespace qfu::service {

void InstallService() {
  wchar_t path[MAX_PATH] = {};
  if (::GetModuleFileNameW(nullptr, path, MAX_PATH) == 0) {
    std::printf("Cannot install service (%d)\n", static_cast<int>(::GetLastError()));
    return;
  }
  UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) {
    std::printf("OpenSCManager failed (%d)\n", static_cast<int>(::GetLastError()));
    return;
  }
  // The binary path goes in as the system gave it, unquoted; no account name or password
  // means LocalSystem.
  UniqueServiceHandle created(::CreateServiceW(manager.get(), kServiceName, kServiceName, SERVICE_ALL_ACCESS,
                                               SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                               path, nullptr, nullptr, nullptr, nullptr, nullptr));
  if (!created) {
    std::printf("CreateService failed (%d)\n", static_cast<int>(::GetLastError()));
    return;
  }
  std::printf("Service installed successfully\n");
}

}  // namespace qfu::service
