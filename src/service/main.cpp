#include <windows.h>

#include "service/service_host.h"
#include "service/service_install.h"

// "install" (in any letter case) registers the service; anything else runs it under the
// Service Control Manager. Returns 0 in every case.
int wmain(int argc, wchar_t** argv) {
  if (argc > 1 && ::lstrcmpiW(argv[1], L"install") == 0) {
    (void)qfu::service::InstallService();  // the outcome is printed
    return 0;
  }
  qfu::service::RunServiceDispatcher();
  return 0;
}
