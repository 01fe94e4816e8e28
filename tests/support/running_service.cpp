#include "support/running_service.h"

#include "common/handle.h"
#include "ipc/pipe_server.h"
#include "store/request_key.h"
#include "support/service_control.h"

namespace qfu::test {
namespace {

constexpr DWORD kServiceStateTimeoutMs = 20000;
constexpr DWORD kPipeReadyTimeoutMs = 10000;
constexpr DWORD kPipeRetryMs = 50;

// Stops the service and waits for its process to end, so that no pipe instance of the old
// process can take the next test's connections or fail the next start.
void StopService() {
  ServiceControl service;
  if (!service.valid()) return;
  EXPECT_TRUE(service.Stop()) << "state " << service.State();
}

// The queue worker does not advance requests, so every test starts from an empty store.
void ClearStoredState() {
  UniqueHkey key;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, store::kServiceKeyPath, 0, KEY_ALL_ACCESS, key.put()) !=
      ERROR_SUCCESS) {
    return;
  }
  for (const std::wstring& name : RequestKeyNames()) {
    EXPECT_EQ(::RegDeleteTreeW(key.get(), name.c_str()), ERROR_SUCCESS);
  }
  ::RegDeleteValueW(key.get(), L"UserAgent");
}

// True once the pipe exists and one of its instances waits for a client (a pipe not created
// yet fails the wait at once).
bool WaitForPipe(const wchar_t* name) {
  return WaitUntil([&] { return ::WaitNamedPipeW(name, kPipeRetryMs) != FALSE; }, kPipeReadyTimeoutMs);
}

}  // namespace

void RunningService::SetUp() {
  StopService();
  ClearStoredState();
  ServiceControl::EnsureInstalled();
  ServiceControl service;
  ASSERT_TRUE(service.valid());
  ASSERT_TRUE(service.Start()) << ::GetLastError();
  ASSERT_TRUE(service.WaitForState(SERVICE_RUNNING, kServiceStateTimeoutMs)) << service.State();
  ASSERT_TRUE(WaitForAgentPipes());
}

bool WaitForAgentPipes() { return WaitForPipe(wire::kRequestPipeName) && WaitForPipe(wire::kInfoPipeName); }

void RunningService::TearDown() { StopService(); }

AgentConnection::AgentConnection(const wchar_t* pipe_name) {
  error_ = client_.Connect(pipe_name);
  connected_ = error_ == ERROR_SUCCESS;
}

std::vector<std::uint8_t> AgentConnection::Send(wire::Bytes message) {
  std::vector<std::uint8_t> reply;
  error_ = client_.Exchange(message, reply, kReplyTimeoutMs);
  if (error_ != ERROR_SUCCESS) reply.clear();
  return reply;
}

std::vector<std::uint8_t> SendOnce(const wchar_t* pipe_name, wire::Bytes message) {
  AgentConnection connection(pipe_name);
  if (!connection.connected()) return {};
  return connection.Send(message);
}

std::vector<std::wstring> RequestKeyNames() {
  std::vector<std::wstring> names;
  UniqueHkey key;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, store::kServiceKeyPath, 0, KEY_READ, key.put()) != ERROR_SUCCESS) {
    return names;
  }
  for (DWORD index = 0;; ++index) {
    wchar_t name[store::kKeyNameCapacity] = {};
    DWORD units = store::kKeyNameCapacity;
    if (::RegEnumKeyExW(key.get(), index, name, &units, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
      break;
    names.emplace_back(name, units);
  }
  return names;
}

std::optional<std::wstring> StoredUserAgent() {
  wchar_t text[1024] = {};
  DWORD size = sizeof(text) - sizeof(wchar_t);
  if (::RegGetValueW(HKEY_LOCAL_MACHINE, store::kServiceKeyPath, L"UserAgent", RRF_RT_REG_SZ, nullptr, text,
                     &size) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  return std::wstring(text);
}

ProcessResult RunQfupdatectl(const std::wstring& arguments, const wchar_t* copy) {
  return RunProcess(BuiltCommand(copy, arguments), kToolTimeoutMs);
}

}  // namespace qfu::test
