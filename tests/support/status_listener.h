#pragma once
// Serves a status pipe for a test, as a client of the product would: one message-mode pipe
// instance, accepting one connection after another and keeping every message it reads.
#include <windows.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/handle.h"

namespace qfu::test {

class StatusListener {
 public:
  // Creates the pipe instance at once (so a notification sent after construction finds it)
  // and serves it on a thread of its own.
  explicit StatusListener(const std::wstring& pipe_name);
  StatusListener(const StatusListener&) = delete;
  StatusListener& operator=(const StatusListener&) = delete;
  ~StatusListener();  // stops serving and closes the pipe

  [[nodiscard]] bool valid() const { return pipe_.valid(); }
  // Waits at most timeout_ms until count messages have arrived; returns those received so far.
  [[nodiscard]] std::vector<std::vector<std::uint8_t>> WaitFor(std::size_t count, DWORD timeout_ms);

 private:
  void Serve();
  // Waits for an overlapped operation or the stop event; false when stopped or failed.
  bool Complete(OVERLAPPED& overlapped, DWORD& transferred);

  UniqueFile pipe_;
  UniqueHandle stop_event_;
  UniqueHandle io_event_;
  UniqueHandle listening_;  // set once the first connection is awaited
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<std::vector<std::uint8_t>> messages_;
  std::thread thread_;
};

}  // namespace qfu::test
