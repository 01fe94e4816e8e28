#include "support/service_control.h"

#include <algorithm>

#include "store/request_key.h"
#include "wire/pipes.h"

namespace qfu::test {
namespace {

constexpr DWORD kServiceStateTimeoutMs = 20000;
constexpr DWORD kProcessExitTimeoutMs = 10000;

// True once the pipe exists and one of its instances waits for a client (a pipe not created
// yet fails the wait at once).
bool WaitForPipe(const wchar_t* name) {
  return WaitUntil([&] { return ::WaitNamedPipeW(name, 50) != FALSE; }, kReplyTimeoutMs);
}

}  // namespace

ServiceControl::ServiceControl() : manager_(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)) {
  if (manager_) service_.reset(::OpenServiceW(manager_.get(), L"QFUpdate", SERVICE_ALL_ACCESS));
}

bool ServiceControl::Start() { return ::StartServiceW(service_.get(), 0, nullptr) != FALSE; }

SERVICE_STATUS_PROCESS ServiceControl::Status() {
  SERVICE_STATUS_PROCESS status = {};
  DWORD needed = 0;
  if (!::QueryServiceStatusEx(service_.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                              sizeof(status), &needed)) {
    return {};
  }
  return status;
}

std::pair<DWORD, std::wstring> ServiceControl::Config() {
  DWORD needed = 0;
  ::QueryServiceConfigW(service_.get(), nullptr, 0, &needed);
  std::vector<BYTE> buffer(std::max<DWORD>(needed, sizeof(QUERY_SERVICE_CONFIGW)));
  const auto* config = reinterpret_cast<const QUERY_SERVICE_CONFIGW*>(buffer.data());
  if (!::QueryServiceConfigW(service_.get(), reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data()),
                             static_cast<DWORD>(buffer.size()), &needed)) {
    return {0xFFFFFFFF, L""};
  }
  return {config->dwStartType, config->lpBinaryPathName != nullptr ? config->lpBinaryPathName : L""};
}

bool ServiceControl::WaitForState(DWORD state, DWORD timeout_ms) {
  return WaitUntil([&] { return State() == state; }, timeout_ms);
}

bool ServiceControl::Stop() {
  UniqueHandle process;
  if (const DWORD process_id = ProcessId(); process_id != 0) {
    process.reset(::OpenProcess(SYNCHRONIZE, FALSE, process_id));
  }
  SERVICE_STATUS status = {};
  if (State() != SERVICE_STOPPED && !::ControlService(service_.get(), SERVICE_CONTROL_STOP, &status))
    return false;
  if (!WaitForState(SERVICE_STOPPED, kServiceStateTimeoutMs)) return false;
  return !process || ::WaitForSingleObject(process.get(), kProcessExitTimeoutMs) == WAIT_OBJECT_0;
}

bool ServiceControl::Kill() {
  const UniqueHandle process(::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, ProcessId()));
  return process && ::TerminateProcess(process.get(), ERROR_PROCESS_ABORTED) &&
         ::WaitForSingleObject(process.get(), kProcessExitTimeoutMs) == WAIT_OBJECT_0;
}

void ServiceControl::EnsureInstalled() {
  if (!ServiceControl().valid()) (void)RunProcess(BuiltCommand(L"qfupdate.exe", L"install"));
}

void ServiceControl::Uninstall() {
  ServiceControl service;
  service.StopIfRunning();
  if (service.valid()) ::DeleteService(service.service_.get());
}

ProcessResult RunQfupdatectl(const std::wstring& arguments, const wchar_t* copy) {
  return RunProcess(BuiltCommand(copy, arguments), kToolTimeoutMs);
}

void RunningService::SetUp() {
  // The queue worker does not advance requests, so every test starts from an empty store.
  ServiceControl stopped;
  EXPECT_TRUE(!stopped.valid() || stopped.Stop()) << "state " << stopped.State();
  UniqueHkey key;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, store::kServiceKeyPath, 0, KEY_ALL_ACCESS, key.put()) ==
      ERROR_SUCCESS) {
    for (const std::wstring& name : RequestKeyNames())
      EXPECT_EQ(::RegDeleteTreeW(key.get(), name.c_str()), 0);
    ::RegDeleteValueW(key.get(), L"UserAgent");
  }
  ServiceControl::EnsureInstalled();
  ServiceControl service;
  ASSERT_TRUE(service.valid());
  ASSERT_TRUE(service.Start()) << ::GetLastError();
  ASSERT_TRUE(service.WaitForState(SERVICE_RUNNING, kServiceStateTimeoutMs)) << service.State();
  ASSERT_TRUE(WaitForAgentPipes());
}

void RunningService::TearDown() {
  ServiceControl service;
  EXPECT_TRUE(!service.valid() || service.Stop()) << "state " << service.State();
}

bool WaitForAgentPipes() { return WaitForPipe(wire::kRequestPipeName) && WaitForPipe(wire::kInfoPipeName); }

std::vector<std::uint8_t> AgentConnection::Send(wire::Bytes message) {
  std::vector<std::uint8_t> reply;
  error_ = client_.Exchange(message, reply, kReplyTimeoutMs);
  if (error_ != ERROR_SUCCESS) reply.clear();
  return reply;
}

std::vector<std::uint8_t> SendOnce(const wchar_t* pipe_name, wire::Bytes message) {
  AgentConnection connection(pipe_name);
  return connection.connected() ? connection.Send(message) : std::vector<std::uint8_t>();
}

std::vector<std::wstring> RequestKeyNames() {
  std::vector<std::wstring> names;
  UniqueHkey key;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, store::kServiceKeyPath, 0, KEY_READ, key.put()) != ERROR_SUCCESS) {
    return names;
  }
  wchar_t name[store::kKeyNameCapacity] = {};
  for (DWORD index = 0, units = store::kKeyNameCapacity;
       ::RegEnumKeyExW(key.get(), index, name, &units, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
       ++index, units = store::kKeyNameCapacity) {
    names.emplace_back(name, units);
  }
  return names;
}

}  // namespace qfu::test
