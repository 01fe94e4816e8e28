#include "worker/system_state.h"

#include <gtest/gtest.h>
#include <objbase.h>

#include <optional>
#include <thread>

namespace qfu::worker {
namespace {

struct ComAfterQueries {
  bool restart_pending = true;
  bool installer_busy = true;
  HRESULT reinitialised = E_FAIL;  // the caller's CoInitializeEx after both queries
};

// Runs both Windows Update queries on a fresh thread whose COM the caller initialised as told
// (or not at all), then asks COM whether the thread is still initialised.
ComAfterQueries QueryOnFreshThread(std::optional<DWORD> caller_model) {
  ComAfterQueries result;
  std::thread([&] {
    if (caller_model) {
      EXPECT_EQ(::CoInitializeEx(nullptr, *caller_model), S_OK);
    }
    WindowsSystemState state;
    result.restart_pending = state.RestartPending();
    result.installer_busy = state.InstallerBusy();
    result.reinitialised = ::CoInitializeEx(nullptr, caller_model.value_or(COINIT_MULTITHREADED));
    if (SUCCEEDED(result.reinitialised)) ::CoUninitialize();
    if (caller_model) ::CoUninitialize();
  }).join();
  return result;
}

// Under Wine the Windows Update Agent reports no restart and an idle installer (or cannot be
// created at all): both answer false either way. COM is left as the thread had it.
TEST(WindowsSystemState, UpdateQueriesAnswerFalseAndLeaveComAsTheyFoundIt) {
  struct Case {
    const char* what;
    std::optional<DWORD> caller_model;
    HRESULT reinitialised;
  };
  const Case cases[] = {
      {"thread without COM: uninitialised again", std::nullopt, S_OK},
      {"caller's multithreaded COM kept", COINIT_MULTITHREADED, S_FALSE},
      {"caller's single-threaded COM kept", COINIT_APARTMENTTHREADED, S_FALSE},
  };
  for (const Case& c : cases) {
    const ComAfterQueries after = QueryOnFreshThread(c.caller_model);
    EXPECT_FALSE(after.restart_pending) << c.what;
    EXPECT_FALSE(after.installer_busy) << c.what;
    EXPECT_EQ(after.reinitialised, c.reinitialised) << c.what;
  }
}

}  // namespace
}  // namespace qfu::worker
