#include "ipc/status_notification.h"

#include <gtest/gtest.h>
#include <string>
#include <utility>

#include "common/utf.h"
#include "support/notify_races.h"
#include "support/status_listener.h"
#include "support/test_messages.h"

namespace qfu::ipc {
namespace {

using namespace wire;
using test::MillisecondsTaken;
using test::UniqueStatusPipeName;

// How long the misbehaving listeners keep it up: far beyond every bound the notifier keeps.
constexpr DWORD kMisbehaviourMs = 8000;
// Slack for a loaded machine on top of a bound the notifier keeps.
constexpr std::uint64_t kSchedulingSlackMs = 1500;

TEST(StatusNotification, ListenerThatNeverReadsCostsNoMoreThanTheWriteTimeOut) {
  const std::wstring pipe = UniqueStatusPipeName(L"Silent");
  test::SilentListener listener(pipe, kMisbehaviourMs);
  ASSERT_TRUE(listener.valid());

  const auto waited = MillisecondsTaken(
      [&] { NotifyStatus(pipe.c_str(), test::SubmitMessage("Unread").span(), kPrompting, 0); });
  EXPECT_TRUE(listener.WaitForClient(1000)) << "the notification never reached the listener";
  EXPECT_GE(waited + 50, kStatusWriteTimeoutMs) << "the listener was not given its time to read";
  EXPECT_LT(waited, kStatusWriteTimeoutMs + kSchedulingSlackMs);
}

// The wait for a busy instance ends after its budget in all, whether the instance never
// frees up or frees up again and again only to be taken by another client first.
TEST(StatusNotification, BusyWaitEndsAfterItsBudgetHoweverOftenTheInstanceFreesUp) {
  constexpr DWORD kBudgetMs = 1000;
  // The notifier may win the race for a freed instance: on a loaded machine in about one case
  // out of five.
  constexpr DWORD kAttempts = 10;
  const struct {
    const wchar_t* name;
    DWORD retake_ms;
    std::size_t min_frees;  // during the notification
  } cases[] = {
      {L"NeverFree", kMisbehaviourMs, 0}, {L"TakenAgain", 600, 1},  // one free per attempt: one race to lose
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.name);
    const test::HogRace race = test::RaceInstanceHog(
        UniqueStatusPipeName(c.name), c.retake_ms, kMisbehaviourMs, kAttempts, [&](const std::wstring& pipe) {
          NotifyStatus(pipe.c_str(), test::SubmitMessage("Crowded").span(), kPrompting, 0, kBudgetMs);
        });
    ASSERT_TRUE(race.hog_served);
    ASSERT_EQ(race.losses, 0u) << "the notifier took the freed instance in every attempt";
    EXPECT_GE(race.frees, c.min_frees);
    EXPECT_GE(race.waited_ms + 50, kBudgetMs);
    EXPECT_LT(race.waited_ms, kBudgetMs + kSchedulingSlackMs);
  }
}

}  // namespace
}  // namespace qfu::ipc
