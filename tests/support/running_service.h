#pragma once
// The QFUpdate service running under Wine for an integration test, with its stored state
// cleared first, and the client side of its pipes (the one pipe client of qfupdatectl).
#include <windows.h>

#include <cstdint>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <vector>

#include "qfupdatectl/pipe_client.h"
#include "support/process.h"
#include "wire/message.h"

namespace qfu::test {

// Bound on every reply the tests wait for.
inline constexpr DWORD kReplyTimeoutMs = 10000;
// Bound on every run of qfupdatectl.
inline constexpr DWORD kToolTimeoutMs = 20000;

// Runs a built copy of qfupdatectl (by default the one signed by the publisher) with the
// arguments, waiting at most kToolTimeoutMs.
[[nodiscard]] ProcessResult RunQfupdatectl(const std::wstring& arguments,
                                           const wchar_t* copy = L"signed\\qfupdatectl.exe");

// Before each test: stops the service if it runs (and waits for its process to end), deletes
// every subkey of its service key and its "UserAgent" value, installs it if needed, starts it
// and waits until both of its pipes accept connections. After each test: stops it again.
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
  explicit AgentConnection(const wchar_t* pipe_name);

  [[nodiscard]] bool connected() const { return connected_; }
  // Sends the message and returns the reply; empty when none came (error() says why).
  [[nodiscard]] std::vector<std::uint8_t> Send(wire::Bytes message);
  [[nodiscard]] DWORD error() const { return error_; }

 private:
  ctl::PipeClient client_;
  bool connected_ = false;
  DWORD error_ = ERROR_SUCCESS;
};

// Sends one message on a connection of its own and returns the reply (empty when none came).
[[nodiscard]] std::vector<std::uint8_t> SendOnce(const wchar_t* pipe_name, wire::Bytes message);

// The names of the subkeys of the service key (the request keys), in enumeration order.
[[nodiscard]] std::vector<std::wstring> RequestKeyNames();
// The text of the service key's "UserAgent" value, or nothing when it is missing.
[[nodiscard]] std::optional<std::wstring> StoredUserAgent();

}  // namespace qfu::test
