#pragma once
// `watch`: serves the status pipe and prints one line per status change.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <thread>

#include "command_line.h"
#include "common/handle.h"

namespace qfu::ctl {

// How many instances of the status pipe wait for the agent. One, served by one thread, so that
// the changes print in the order the agent sent them: the agent writes each notification on a
// connection of its own, and with several instances their reader threads could print a later
// change first. The agent waits (bounded) while the instance is busy with the previous one.
inline constexpr unsigned kStatusPipeInstances = 1;
// Larger than a record, so that an oversized message shows up as such instead of as a short
// read of its first bytes.
inline constexpr DWORD kStatusReadBufferSize = 512;

// The status pipe's one instance, served on a thread of its own: one client after another,
// every message it reads handed to on_message on that thread. A message longer than
// kStatusReadBufferSize comes with oversized set (its first bytes only), and its sender is
// dropped. Serves until the object goes.
class StatusPipeServer {
 public:
  using OnMessage = std::function<void(std::span<const std::uint8_t> message, bool oversized)>;

  // Claims the name (refused while another program serves it) and waits a bounded time until
  // the instance listens. A failure later sets failed, when given; error() says why.
  StatusPipeServer(const std::wstring& pipe_name, OnMessage on_message, HANDLE failed = nullptr);
  StatusPipeServer(const StatusPipeServer&) = delete;
  StatusPipeServer& operator=(const StatusPipeServer&) = delete;
  ~StatusPipeServer();  // stops serving and waits for the thread

  // 0 while serving, else the Win32 error that ended it (or kept it from starting).
  [[nodiscard]] DWORD error() const { return error_; }

 private:
  void Serve();
  // Completes the overlapped operation just started (started: what the call returned).
  // Returns 0, its error, or ERROR_OPERATION_ABORTED when stopped first (it is cancelled then).
  DWORD Complete(BOOL started, DWORD& transferred);

  OnMessage on_message_;
  HANDLE failed_;
  UniqueFile pipe_;
  UniqueHandle stop_;
  UniqueHandle io_done_;
  UniqueHandle listening_;
  OVERLAPPED overlapped_ = {};
  std::atomic<DWORD> error_ = ERROR_SUCCESS;
  std::thread thread_;
};

// Serves line.pipe until Ctrl+C, line.count records, or line.timeout_seconds. Returns the
// exit code: 0 when stopped by Ctrl+C, by reaching the count, or by the timeout when no
// count was asked for; 1 when the pipe cannot be served or the count was not reached in time.
[[nodiscard]] int RunStatusListener(const CommandLine& line);

}  // namespace qfu::ctl
