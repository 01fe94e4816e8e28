#pragma once
// The QFUpdate service under test: driven through the Service Control Manager, started for each
// integration test with its stored state cleared, and the client side of its pipes (the one
// pipe client of qfupdatectl).
#include <windows.h>

#include <cstdint>
#include <gtest/gtest.h>
#include <string>
#include <utility>
#include <vector>

#include "common/handle.h"
#include "qfupdatectl/pipe_client.h"
#include "support/process.h"
#include "wire/message.h"

namespace qfu::test {

// Bound on every reply the tests wait for, and on every run of qfupdatectl.
inline constexpr DWORD kReplyTimeoutMs = 10000;
inline constexpr DWORD kToolTimeoutMs = 20000;

class ServiceControl {
 public:
  ServiceControl();  // opens the installed service (valid() is false when it is not installed)

  [[nodiscard]] bool valid() const { return service_.valid(); }
  [[nodiscard]] bool Start();
  // The service's status with its process (all zero when it cannot be read).
  [[nodiscard]] SERVICE_STATUS_PROCESS Status();
  [[nodiscard]] DWORD State() { return Status().dwCurrentState; }
  [[nodiscard]] DWORD ProcessId() { return Status().dwProcessId; }  // 0 when it does not run
  // The start type and the registered command line (0xFFFFFFFF and empty when unreadable).
  [[nodiscard]] std::pair<DWORD, std::wstring> Config();
  [[nodiscard]] bool WaitForState(DWORD state, DWORD timeout_ms);
  // Sends the stop control (unless stopped already) and waits at most 20 s for the service to
  // stop and 10 s more for its process to end, so that no pipe instance of the old process
  // meets the next start. True when both happened.
  [[nodiscard]] bool Stop();
  // Ends the service's process with TerminateProcess, as a crash or a power cut would end it,
  // and waits at most 10 s for it to end; true when it did.
  [[nodiscard]] bool Kill();
  void StopIfRunning() { (void)(valid() && Stop()); }

  // Installs the service with qfupdate.exe from the build if it is not installed.
  static void EnsureInstalled();
  // Stops and deletes the service if it is installed.
  static void Uninstall();

 private:
  UniqueServiceHandle manager_;
  UniqueServiceHandle service_;
};

// Runs a built copy of qfupdatectl (by default the one signed by the publisher).
[[nodiscard]] ProcessResult RunQfupdatectl(const std::wstring& arguments,
                                           const wchar_t* copy = L"signed\\qfupdatectl.exe");

// Before each test: stops the service if it runs, deletes every subkey of its service key and
// its "UserAgent" value, installs it if needed, starts it and waits until both of its pipes
// accept connections. After each test: stops it again.
class RunningService : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
};

// Waits a bounded time until both pipes of the service accept connections; true when they do.
[[nodiscard]] bool WaitForAgentPipes();

// One connection to a pipe of the service.
class AgentConnection {
 public:
  // Connects, waiting a bounded time while the pipe is busy; connected() says whether it did.
  explicit AgentConnection(const wchar_t* pipe_name) : error_(client_.Connect(pipe_name)) {}

  [[nodiscard]] bool connected() const { return connected_; }
  // Sends the message and returns the reply; empty when none came (error() says why).
  [[nodiscard]] std::vector<std::uint8_t> Send(wire::Bytes message);
  [[nodiscard]] DWORD error() const { return error_; }

 private:
  ctl::PipeClient client_;
  DWORD error_;
  bool connected_ = error_ == ERROR_SUCCESS;
};

// Sends one message on a connection of its own and returns the reply (empty when none came).
[[nodiscard]] std::vector<std::uint8_t> SendOnce(const wchar_t* pipe_name, wire::Bytes message);

// The names of the subkeys of the service key (the request keys), in enumeration order.
[[nodiscard]] std::vector<std::wstring> RequestKeyNames();

}  // namespace qfu::test
