#pragma once
// Serve a status pipe for a test, as a client of the product would: StatusListener well, the
// others as a careless or hostile process might. Each stops misbehaving after hold_ms, so that
// a notifier that does not bound its waits returns late (and fails its test) instead of hanging.
#include <windows.h>

#include <atomic>
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

// The only instance of the pipe, connected to a client of the hog's own. Every retake_ms it
// lets that client go and, as soon as the instance listens again, takes it with a new one, so
// that others see the instance come free and find it busy again. After hold_ms it lets go for
// good and leaves the instance listening (with room for a status record) for whoever comes.
class InstanceHog {
 public:
  InstanceHog(const std::wstring& pipe_name, DWORD retake_ms, DWORD hold_ms);
  InstanceHog(const InstanceHog&) = delete;
  InstanceHog& operator=(const InstanceHog&) = delete;
  ~InstanceHog();

  [[nodiscard]] bool valid() const { return thread_.joinable(); }
  // Stops at once (the counts below are final then).
  void Stop();
  // How often the instance came free, and how often another client took it before the hog.
  [[nodiscard]] std::size_t frees() const { return frees_; }
  [[nodiscard]] std::size_t losses() const { return losses_; }

 private:
  // Disconnects whoever holds the instance and listens again: false when that fails.
  bool Listen();
  // Waits at most timeout_ms for a client to take the listening instance; cancels otherwise.
  void FinishListen(DWORD timeout_ms);
  void Serve(DWORD retake_ms, DWORD hold_ms);

  std::wstring pipe_name_;
  UniqueFile pipe_;
  UniqueFile own_client_;
  UniqueHandle stop_event_;
  UniqueHandle connect_event_;
  OVERLAPPED connect_ = {};
  bool listening_ = false;
  std::atomic<std::size_t> frees_ = 0;
  std::atomic<std::size_t> losses_ = 0;
  std::thread thread_;
};

}  // namespace qfu::test
