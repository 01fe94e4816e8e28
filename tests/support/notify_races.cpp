#include "support/notify_races.h"

#include "support/status_listener.h"

namespace qfu::test {

std::wstring UniqueStatusPipeName(const std::wstring& test) {
  return L"\\\\.\\pipe\\qfupdatetest_notify_" + test + L"_" + std::to_wstring(::GetCurrentProcessId());
}

std::uint64_t MillisecondsTaken(const std::function<void()>& work) {
  const ULONGLONG started = ::GetTickCount64();
  work();
  return ::GetTickCount64() - started;
}

PassingClient::PassingClient(const std::wstring& pipe_name, DWORD hold_ms) {
  constexpr DWORD kConnectWithinMs = 2000;
  constexpr DWORD kRetryMs = 20;
  const ULONGLONG deadline = ::GetTickCount64() + kConnectWithinMs;
  while (!client_ && ::GetTickCount64() < deadline) {
    client_.reset(::CreateFileW(pipe_name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!client_) ::Sleep(kRetryMs);
  }
  if (client_) {
    leave_ = std::thread([this, hold_ms] {
      ::Sleep(hold_ms);
      client_.reset();
    });
  }
}

PassingClient::~PassingClient() {
  if (leave_.joinable()) leave_.join();
}

HogRace RaceInstanceHog(const std::wstring& pipe_name_base, DWORD retake_ms, DWORD hold_ms, DWORD attempts,
                        const std::function<void(const std::wstring&)>& notify) {
  HogRace race;
  race.losses = 1;
  for (DWORD attempt = 0; attempt < attempts && race.losses != 0; ++attempt) {
    const std::wstring pipe = pipe_name_base + L"_" + std::to_wstring(attempt);
    InstanceHog hog(pipe, retake_ms, hold_ms);
    race.hog_served = hog.valid();
    if (!race.hog_served) return race;
    race.waited_ms = MillisecondsTaken([&] { notify(pipe); });
    hog.Stop();
    race.frees = hog.frees();
    race.losses = hog.losses();
  }
  return race;
}

}  // namespace qfu::test
