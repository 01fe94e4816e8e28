#pragma once
// The client end of the agent's request and info pipes: one connection, any number of
// request/reply exchanges on it, every wait bounded.
#include <windows.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "common/handle.h"
#include "common/pipe_access.h"

namespace qfu::ctl {

// How long a connect waits for a free instance of a busy pipe.
inline constexpr DWORD kBusyPipeWaitMs = 5000;
// The agent's replies fit in 231 bytes; anything longer than this is refused as malformed.
inline constexpr DWORD kReplyBufferSize = 4096;

class PipeClient {
 public:
  // Opens the pipe in message mode, waiting up to busy_wait_ms while all its instances are
  // busy. Returns 0 or the Win32 error (ERROR_PIPE_BUSY when the wait ran out).
  [[nodiscard]] DWORD Connect(const std::wstring& pipe_name, DWORD busy_wait_ms = kBusyPipeWaitMs);

  // Writes the message as one pipe message and reads one reply message into reply, each
  // within timeout_ms. Returns 0, ERROR_TIMEOUT when the agent did not answer in time,
  // ERROR_MORE_DATA for a reply longer than kReplyBufferSize, or another Win32 error.
  [[nodiscard]] DWORD Exchange(std::span<const std::uint8_t> message, std::vector<std::uint8_t>& reply,
                               DWORD timeout_ms);

 private:
  UniqueFile pipe_;
  UniqueHandle io_done_;
};

}  // namespace qfu::ctl
