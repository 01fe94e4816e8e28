#pragma once
// Harness for the status notifier's bounded waits: a status pipe name of the test's own, the
// time a call takes, a client that holds a listener's only instance, and a notification that
// races an InstanceHog until the hog wins every race.
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

// How many milliseconds work() took.
[[nodiscard]] std::uint64_t MillisecondsTaken(const std::function<void()>& work);

// A client that takes the pipe's only instance as soon as it listens (trying for at most 2 s),
// so that others find the pipe busy, and leaves without writing after hold_ms.
class PassingClient {
 public:
  PassingClient(const std::wstring& pipe_name, DWORD hold_ms);
  PassingClient(const PassingClient&) = delete;
  PassingClient& operator=(const PassingClient&) = delete;
  ~PassingClient();  // waits until it has left

  [[nodiscard]] bool connected() const { return connected_; }

 private:
  UniqueFile client_;
  bool connected_ = false;
  std::thread leave_;
};

// The last attempt of RaceInstanceHog: how long the notification took, how often the hog's
// instance came free meanwhile, and how often another client took it before the hog.
struct HogRace {
  bool hog_served = false;
  std::uint64_t waited_ms = 0;
  std::size_t frees = 0;
  std::size_t losses = 0;
};

// Serves a fresh pipe (pipe_name_base and the attempt's number) with an InstanceHog(retake_ms,
// hold_ms) and times notify(pipe name) against it. A notifier woken by a freed instance may
// reach it before the hog, and such an attempt says nothing: tries again, at most attempts
// times, until the hog won every race. Returns the last attempt.
[[nodiscard]] HogRace RaceInstanceHog(const std::wstring& pipe_name_base, DWORD retake_ms, DWORD hold_ms,
                                      DWORD attempts, const std::function<void(const std::wstring&)>& notify);

}  // namespace qfu::test
