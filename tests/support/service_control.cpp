#include "support/service_control.h"

#include <algorithm>
#include <vector>

#include "support/process.h"

namespace qfu::test {

ServiceControl::ServiceControl() : manager_(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)) {
  if (manager_) service_.reset(::OpenServiceW(manager_.get(), L"QFUpdate", SERVICE_ALL_ACCESS));
}

bool ServiceControl::Start() { return ::StartServiceW(service_.get(), 0, nullptr) != FALSE; }

bool ServiceControl::Control(DWORD control) {
  SERVICE_STATUS status = {};
  return ::ControlService(service_.get(), control, &status) != FALSE;
}

DWORD ServiceControl::State() {
  SERVICE_STATUS status = {};
  return ::QueryServiceStatus(service_.get(), &status) ? status.dwCurrentState : 0;
}

DWORD ServiceControl::ControlsAccepted() {
  SERVICE_STATUS status = {};
  return ::QueryServiceStatus(service_.get(), &status) ? status.dwControlsAccepted : 0;
}

std::vector<BYTE> ServiceControl::Config() {
  DWORD needed = 0;
  ::QueryServiceConfigW(service_.get(), nullptr, 0, &needed);
  std::vector<BYTE> buffer(std::max<DWORD>(needed, sizeof(QUERY_SERVICE_CONFIGW)));
  if (!::QueryServiceConfigW(service_.get(), reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data()),
                             static_cast<DWORD>(buffer.size()), &needed)) {
    buffer.clear();
  }
  return buffer;
}

DWORD ServiceControl::StartType() {
  const std::vector<BYTE> config = Config();
  return config.empty() ? 0xFFFFFFFF
                        : reinterpret_cast<const QUERY_SERVICE_CONFIGW*>(config.data())->dwStartType;
}

std::wstring ServiceControl::BinaryPath() {
  const std::vector<BYTE> config = Config();
  if (config.empty()) return {};
  const wchar_t* path = reinterpret_cast<const QUERY_SERVICE_CONFIGW*>(config.data())->lpBinaryPathName;
  return path != nullptr ? path : L"";
}

namespace {

constexpr DWORD kStopTimeoutMs = 20000;
constexpr DWORD kProcessExitTimeoutMs = 10000;

// The service's state with its process; all zero when it cannot be read.
SERVICE_STATUS_PROCESS StatusOf(SC_HANDLE service) {
  SERVICE_STATUS_PROCESS status = {};
  DWORD needed = 0;
  if (!::QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                              sizeof(status), &needed)) {
    return {};
  }
  return status;
}

}  // namespace

DWORD ServiceControl::ProcessId() { return StatusOf(service_.get()).dwProcessId; }

DWORD ServiceControl::Win32ExitCode() { return StatusOf(service_.get()).dwWin32ExitCode; }

bool ServiceControl::WaitForState(DWORD state, DWORD timeout_ms) {
  return WaitUntil([&] { return State() == state; }, timeout_ms);
}

bool ServiceControl::Stop() {
  UniqueHandle process;
  if (const DWORD process_id = ProcessId(); process_id != 0) {
    process.reset(::OpenProcess(SYNCHRONIZE, FALSE, process_id));
  }
  if (State() != SERVICE_STOPPED && !Control(SERVICE_CONTROL_STOP)) return false;
  if (!WaitForState(SERVICE_STOPPED, kStopTimeoutMs)) return false;
  return !process || ::WaitForSingleObject(process.get(), kProcessExitTimeoutMs) == WAIT_OBJECT_0;
}

bool ServiceControl::Kill() {
  const DWORD process_id = ProcessId();
  if (process_id == 0) return false;
  const UniqueHandle process(::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, process_id));
  if (!process || !::TerminateProcess(process.get(), ERROR_PROCESS_ABORTED)) return false;
  return ::WaitForSingleObject(process.get(), kProcessExitTimeoutMs) == WAIT_OBJECT_0;
}

void ServiceControl::StopIfRunning() {
  if (valid() && State() != SERVICE_STOPPED) (void)Stop();
}

void ServiceControl::EnsureInstalled() {
  if (ServiceControl().valid()) return;
  (void)RunProcess(L"\"" + BuiltProgram(L"qfupdate.exe") + L"\" install");
}

void ServiceControl::Uninstall() {
  ServiceControl service;
  if (!service.valid()) return;
  service.StopIfRunning();
  ::DeleteService(service.service_.get());
}

}  // namespace qfu::test
