#pragma once
// Harness for the status notifier's bounded waits.
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "common/handle.h"

namespace qfu::test {

// A status pipe name that no other test and no other test process uses.
[[nodiscard]] std::wstring UniqueStatusPipeName(const std::wstring& test);

[[nodiscard]] std::uint64_t MillisecondsTaken(const std::function<void()>& work);

// A client that takes the pipe's only instance as soon as it listens (trying for at most 2 s),
// so that others find the pipe busy, and leaves without writing after hold_ms.
class PassingClient {
 public:
  PassingClient(const std::wstring& pipe_name, DWORD hold_ms);
  PassingClient(const PassingClient&) = delete;
  PassingClient& operator=(const PassingClient&) = delete;
  ~PassingClient();  // waits until it has left

  [[nodiscard]] bool connected() const { return leave_.joinable(); }

 private:
  UniqueFile client_;
  std::thread leave_;  // started once connected
};

// An attempt of RaceInstanceHog: the notification's time, the hog's frees and lost races.
struct HogRace {
  bool hog_served = false;
  std::uint64_t waited_ms = 0;
  std::size_t frees = 0;
  std::size_t losses = 0;
};

// Times notify(pipe name) against an InstanceHog(retake_ms, hold_ms) on a fresh pipe, again (at
// most attempts times) while a notifier woken by a freed instance reached it before the hog;
// returns the last attempt.
[[nodiscard]] HogRace RaceInstanceHog(const std::wstring& pipe_name_base, DWORD retake_ms, DWORD hold_ms,
                                      DWORD attempts, const std::function<void(const std::wstring&)>& notify);

}  // namespace qfu::test
