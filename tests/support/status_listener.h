#pragma once
// A status pipe served as a careless or hostile process might: it stops misbehaving after
// hold_ms, so that a notifier that does not bound its waits returns late (and fails its test)
// instead of hanging.
#include <windows.h>

#include <string>
#include <thread>

#include "common/handle.h"

namespace qfu::test {

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
