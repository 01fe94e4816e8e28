#include "worker/system_state.h"

#include <objbase.h>

#include <gtest/gtest.h>
#include <optional>

#include "support/system_state_thread.h"

namespace qfu::worker {
namespace {

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
    const test::ComAfterQueries after = test::QueryOnFreshThread(c.caller_model);
    EXPECT_FALSE(after.restart_pending) << c.what;
    EXPECT_FALSE(after.installer_busy) << c.what;
    EXPECT_EQ(after.reinitialised, c.reinitialised) << c.what;
  }
}

}  // namespace
}  // namespace qfu::worker
