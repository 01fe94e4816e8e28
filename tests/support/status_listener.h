#pragma once
// Serve a status pipe for a test, as a client of the product would: StatusListener well,
// SilentListener as a careless or hostile process might. It stops misbehaving after hold_ms, so
// that a notifier that does not bound its waits returns late (and fails its test) instead of
// hanging.
#include <windows.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/handle.h"

namespace qfu::test {

// One message-mode pipe instance, accepting one connection after another and keeping every
// message it reads.
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

// One instance with no in-buffer that accepts a client and never reads: no write to it can
// complete. After hold_ms it closes the instance, which ends any write still waiting.
class SilentListener {
 public:
  SilentListener(const std::wstring& pipe_name, DWORD hold_ms);
  SilentListener(const SilentListener&) = delete;
  SilentListener& operator=(const SilentListener&) = delete;
  ~SilentListener();

  [[nodiscard]] bool valid() const { return thread_.joinable(); }
  // True when a client connected (waits at most timeout_ms for one).
  [[nodiscard]] bool WaitForClient(DWORD timeout_ms) const;

 private:
  void Serve(DWORD hold_ms);

  UniqueFile pipe_;
  UniqueHandle stop_event_;
  UniqueHandle connect_event_;
  UniqueHandle client_came_;
  OVERLAPPED connect_ = {};
  std::thread thread_;
};

}  // namespace qfu::test
