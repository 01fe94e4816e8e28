#include "support/system_state_thread.h"

#include <objbase.h>

#include <gtest/gtest.h>
#include <thread>

#include "worker/system_state.h"

namespace qfu::test {

ComAfterQueries QueryOnFreshThread(std::optional<DWORD> caller_model) {
  ComAfterQueries result;
  std::thread([&] {
    if (caller_model) {
      EXPECT_EQ(::CoInitializeEx(nullptr, *caller_model), S_OK);
    }
    worker::WindowsSystemState state;
    result.restart_pending = state.RestartPending();
    result.installer_busy = state.InstallerBusy();
    result.reinitialised = ::CoInitializeEx(nullptr, caller_model.value_or(COINIT_MULTITHREADED));
    if (SUCCEEDED(result.reinitialised)) ::CoUninitialize();
    if (caller_model) ::CoUninitialize();
  }).join();
  return result;
}

}  // namespace qfu::test
