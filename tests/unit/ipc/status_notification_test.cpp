#include "ipc/status_notification.h"

#include <gtest/gtest.h>
#include <string>

#include "support/status_listener.h"
#include "support/test_messages.h"

namespace qfu::ipc {
namespace {

using namespace wire;

// How long the silent listener keeps it up: far beyond every bound the notifier keeps.
constexpr DWORD kMisbehaviourMs = 8000;
// Slack for a loaded machine on top of a bound the notifier keeps.
constexpr std::uint64_t kSchedulingSlackMs = 1500;

TEST(StatusNotification, ListenerThatNeverReadsCostsNoMoreThanTheWriteTimeOut) {
  const std::wstring pipe = L"\\\\.\\pipe\\qfupdatetest_notify_" + std::to_wstring(::GetCurrentProcessId());
  test::SilentListener listener(pipe, kMisbehaviourMs);
  ASSERT_TRUE(listener.valid());

  const ULONGLONG started = ::GetTickCount64();
  NotifyStatus(pipe.c_str(), test::SubmitMessage("Unread").span(), kPrompting, 0);
  const ULONGLONG waited = ::GetTickCount64() - started;
  EXPECT_TRUE(listener.WaitForClient(1000)) << "the notification never reached the listener";
  EXPECT_GE(waited + 50, kStatusWriteTimeoutMs) << "the listener was not given its time to read";
  EXPECT_LT(waited, kStatusWriteTimeoutMs + kSchedulingSlackMs);
}

}  // namespace
}  // namespace qfu::ipc
