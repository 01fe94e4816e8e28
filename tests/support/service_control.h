#pragma once
// Drives the QFUpdate service through the Service Control Manager for tests.
#include <windows.h>

#include <string>
#include <vector>

#include "common/handle.h"

namespace qfu::test {

class ServiceControl {
 public:
  ServiceControl();  // opens the installed service (valid() is false when it is not installed)

  [[nodiscard]] bool valid() const { return service_.valid(); }
  [[nodiscard]] bool Start();
  [[nodiscard]] bool Control(DWORD control);
  [[nodiscard]] DWORD State();
  [[nodiscard]] DWORD ControlsAccepted();
  [[nodiscard]] DWORD StartType();
  // The registered command line of the service's program (empty when it cannot be read).
  [[nodiscard]] std::wstring BinaryPath();
  // The process id of the running service, 0 when it does not run.
  [[nodiscard]] DWORD ProcessId();
  // The Win32 exit code of the last stop: 0, or the error that failed the start.
  [[nodiscard]] DWORD Win32ExitCode();
  // Polls the state until it is state or timeout_ms have passed.
  [[nodiscard]] bool WaitForState(DWORD state, DWORD timeout_ms);
  // Sends the stop control and waits at most 20 s for the service to stop and 10 s more for
  // its process to end, so that no pipe instance of the old process meets the next start.
  // True when both happened; a service that is stopped already counts as stopped.
  [[nodiscard]] bool Stop();
  // Ends the service's process with TerminateProcess, as a crash or a power cut would end it,
  // and waits at most 10 s for the process to end; true when it did. Start() then starts it
  // again. (Wine's manager keeps reporting the dead process's last state until that start.)
  [[nodiscard]] bool Kill();
  // Stops the service if it runs, as Stop() does.
  void StopIfRunning();

  // Installs the service with qfupdate.exe from the build if it is not installed.
  static void EnsureInstalled();
  // Stops and deletes the service if it is installed.
  static void Uninstall();

 private:
  // The service's configuration (QUERY_SERVICE_CONFIGW and its strings); empty on failure.
  [[nodiscard]] std::vector<BYTE> Config();

  UniqueServiceHandle manager_;
  UniqueServiceHandle service_;
};

}  // namespace qfu::test
