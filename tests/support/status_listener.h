#pragma once
// Serve a status pipe for a test, as a client of the product would: StatusListener well (through
// qfupdatectl's server), the others as a careless or hostile process might. Each stops misbehaving after
// hold_ms, so that a notifier that does not bound its waits returns late (and fails its test) instead of
// hanging.
#include <windows.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "common/handle.h"
#include "qfupdatectl/status_listener.h"

namespace qfu::test {

// Keeps every message that qfupdatectl's status pipe server reads.
class StatusListener {
 public:
  explicit StatusListener(const std::wstring& pipe_name)
      : server_(pipe_name, [this](std::span<const std::uint8_t> message, bool) {
          const std::lock_guard lock(mutex_);
          messages_.emplace_back(message.begin(), message.end());
          arrived_.notify_all();
        }) {}

  [[nodiscard]] bool valid() const { return server_.error() == ERROR_SUCCESS; }
  // Waits at most timeout_ms until count messages have arrived; returns those received so far.
  [[nodiscard]] std::vector<std::vector<std::uint8_t>> WaitFor(std::size_t count, DWORD timeout_ms) {
    std::unique_lock lock(mutex_);
    arrived_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return messages_.size() >= count; });
    return messages_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<std::vector<std::uint8_t>> messages_;
  ctl::StatusPipeServer server_;  // last: it stops before the messages go
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
