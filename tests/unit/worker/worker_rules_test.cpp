// The worker's pure rules and the due-time arithmetic, to the exact millisecond, code and
// flag: which network a download may use, which installer exits are tried again, the install
// prompt's limit, a postponed request's due tick, which sessions count, and when a request is
// due. Portable: they run natively under the sanitizers too.
#include "worker/worker_rules.h"

#include <gtest/gtest.h>

#include "store/due_time.h"
#include "wire/message.h"
#include "worker/session_rules.h"

namespace qfu::worker {
namespace {

using namespace std::chrono_literals;
using namespace wire::flags;

TEST(WorkerRules, NetworkTypeAgainstTheRequestFlags) {
  constexpr std::uint32_t kAllThree = kAllowPopType1 | kAllowPopType2 | kAllowPopType3;
  struct Row {
    std::uint32_t flags;
    bool allowed[5];  // network types 0 to 4
  };
  const Row rows[] = {
      {.flags = 0, .allowed = {true, true, true, true, true}},
      {.flags = kNoDownloadOnPopType3, .allowed = {true, true, true, false, true}},
      {.flags = kAllowPopType1, .allowed = {true, true, false, false, true}},
      {.flags = kAllowPopType2, .allowed = {true, false, true, false, true}},
      {.flags = kAllowPopType1 | kAllowPopType3, .allowed = {true, true, false, true, true}},
      {.flags = kAllThree | kNoDownloadOnPopType3, .allowed = {true, true, true, false, true}},
      {.flags = kDownloadWhenDisconnected | kDryRun | kInstallWindow,
       .allowed = {true, true, true, true, true}},
  };
  for (const Row& row : rows) {
    for (std::uint32_t type = 0; type < 5; ++type) {
      EXPECT_EQ(IsNetworkAllowed(row.flags, type), row.allowed[type]) << std::hex << row.flags << " " << type;
    }
  }
}

TEST(WorkerRules, RetryableInstallerExitCodes) {
  for (std::uint32_t code : {1259u, 1601u, 1618u, 1631u, 1632u, 1652u})
    EXPECT_TRUE(IsRetryableInstallerExit(code));
  // Neighbours of each, the mask's ends, and codes whose bit would lie past the mask.
  for (std::uint32_t code : {0u, 1258u, 1260u, 1600u, 1602u, 1603u, 1617u, 1619u, 1630u, 1633u, 1651u, 1653u,
                             1665u, 1601u + 64u, 3010u, 0xFFFFFFFFu}) {
    EXPECT_FALSE(IsRetryableInstallerExit(code)) << code;
  }
}

TEST(WorkerRules, PromptLimitAndPostponementAtTheirBounds) {
  constexpr Milliseconds kStep{1'000'000'000};
  struct Limit {
    Milliseconds window_end, deadline;
    std::uint32_t expected;
  };
  const Limit limits[] = {
      {.window_end = {}, .deadline = kStep, .expected = 900000},                  // the deadline passed
      {.window_end = kStep + 5min, .deadline = kStep - 1ms, .expected = 900000},  // no deadline ahead
      {.window_end = kStep, .deadline = kStep + 1min, .expected = 1},             // closes now: never 0
      {.window_end = {}, .deadline = kStep + Milliseconds{1ull << 40}, .expected = 0xFFFFFFFFu},
  };
  for (const Limit& l : limits) EXPECT_EQ(PromptTimeoutMs(kStep, l.window_end, l.deadline), l.expected);
  struct Postponed {
    std::uint32_t interval;
    Milliseconds deadline, due;
  };
  const Postponed postponed[] = {
      {.interval = 30, .deadline = kStep + 20min, .due = kStep + 5min},  // 15 minutes before the deadline
      {.interval = 0, .deadline = kStep + 15min, .due = kStep + 15min},  // the margin ends now
      {.interval = 0xFFFFFFFFu, .deadline = kStep + 60min, .due = kStep + 45min},
  };
  for (const Postponed& p : postponed) EXPECT_EQ(PostponedDueTick(kStep, p.interval, p.deadline), p.due);
}

TEST(SessionRules, OnlyActiveOrDisconnectedSessionsWithANameCount) {
  for (std::uint32_t state = 0; state < 10; ++state) {
    EXPECT_EQ(SessionHasLoggedOnUser(state, u'A'), state == 0 || state == 4) << state;
    EXPECT_FALSE(SessionHasLoggedOnUser(state, 0)) << state;
  }
  EXPECT_FALSE(SessionHasLoggedOnUser(0x14, u'A'));  // only the disconnected bit may be set
}

TEST(DueTime, DeadlineDelayAndStartTimeIn64Bits) {
  constexpr Milliseconds kTick{5'000'000};
  constexpr FileTimeUnits kNow{133'500'000'000'000'000};  // in 2024
  constexpr Minutes kLargestDelay{0xFFFFFFFFull + 32767};
  EXPECT_EQ(store::DeadlineTick(kTick, kNow, kNow - 30min, 60), kTick + 30min);
  EXPECT_EQ(store::DeadlineTick(kTick, kNow, kNow - 2h, 60), kTick);  // passed: now
  EXPECT_EQ(store::DeadlineTick(kTick, kNow, {}, 0xFFFFFFFF), kTick + Minutes{0xFFFFFFFF});
  EXPECT_EQ(store::RandomDelay(30, 30, 12345), Minutes{30});
  EXPECT_EQ(store::RandomDelay(0xFFFFFFFF, 0, 5), Minutes{0xFFFFFFFFull + 5});
  EXPECT_FALSE(store::HasRandomDelay(kDownloadWhenDisconnected, 0, 5));
  // Only real local dates and times are start times: 29 February of leap years, days in their month.
  for (const LocalDateTime& t : {LocalDateTime{2024, 2, 0, 29, 23, 59}, LocalDateTime{2000, 2, 0, 29}}) {
    EXPECT_TRUE(IsValidLocalDateTime(t)) << t.year;
  }
  for (const LocalDateTime& t :
       {LocalDateTime{2023, 2, 0, 29}, LocalDateTime{1900, 2, 0, 29}, LocalDateTime{2024, 4, 0, 31},
        LocalDateTime{2024, 13, 0, 1}, LocalDateTime{2024, 1, 0, 0}, LocalDateTime{2024, 1, 0, 1, 24},
        LocalDateTime{2024, 1, 0, 1, 12, 60}, LocalDateTime{}}) {
    EXPECT_FALSE(IsValidLocalDateTime(t)) << t.year << "-" << t.month << "-" << t.day;
  }
  struct Row {
    std::optional<FileTimeUnits> start;
    std::optional<Minutes> delay;
    Milliseconds due;
    FileTimeUnits timer;
  };
  const Row rows[] = {
      {.start = kNow + 1h, .delay = Minutes{30}, .due = kTick + 90min, .timer = kNow + 90min},
      // A start time not later than now counts from now; a delay drawn as 0 sets no timer.
      {.start = kNow, .delay = Minutes{30}, .due = kTick + 30min, .timer = kNow + 30min},
      {.start = kNow - 1h, .delay = Minutes{0}, .due = kTick, .timer = {}},
      {.start = kNow + 1h + 1ms, .delay = {}, .due = kTick + 1h + 1ms, .timer = kNow + 1h + 1ms},
      {.start = {}, .delay = kLargestDelay, .due = kTick + kLargestDelay, .timer = kNow + kLargestDelay},
  };
  for (const Row& row : rows) {
    const store::DueTime due = store::ComputeDueTime(kTick, kNow, row.start, row.delay);
    EXPECT_EQ(due.due_tick, row.due);
    EXPECT_EQ(due.timer_due, row.timer);
  }
}

}  // namespace
}  // namespace qfu::worker
