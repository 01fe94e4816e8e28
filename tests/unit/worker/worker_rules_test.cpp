#include "worker/worker_rules.h"

#include <gtest/gtest.h>

#include "wire/message.h"

namespace qfu::worker {
namespace {

TEST(WorkerRules, NetworkTypeAgainstTheRequestFlags) {
  using namespace wire::flags;
  constexpr wire::RequestFlags kAllThree = kAllowPopType1 | kAllowPopType2 | kAllowPopType3;
  struct Case {
    wire::RequestFlags flags;
    bool allowed[5];  // network types 0 to 4
  };
  const Case cases[] = {
      {{}, {true, true, true, true, true}},
      {kNoDownloadOnPopType3, {true, true, true, false, true}},
      {kAllowPopType1, {true, true, false, false, true}},
      {kAllowPopType2, {true, false, true, false, true}},
      {kAllowPopType3, {true, false, false, true, true}},
      {kAllowPopType1 | kAllowPopType3, {true, true, false, true, true}},
      {kAllThree, {true, true, true, true, true}},
      {kAllThree | kNoDownloadOnPopType3, {true, true, true, false, true}},
      // Flags that say nothing of the network.
      {kDownloadWhenDisconnected | kDryRun | kInstallWindow, {true, true, true, true, true}},
  };
  for (const Case& c : cases) {
    for (std::uint32_t type = 0; type < 5; ++type) {
      EXPECT_EQ(IsNetworkAllowed(c.flags, type), c.allowed[type])
          << "flags 0x" << std::hex << wire::WireValue(c.flags) << " type " << type;
    }
  }
  EXPECT_TRUE(IsNetworkAllowed(kAllowPopType1, 0xFFFFFFFF));
}

TEST(WorkerRules, RetryableInstallerExitCodes) {
  for (std::uint32_t code : {1259u, 1601u, 1618u, 1631u, 1632u, 1652u})
    EXPECT_TRUE(IsRetryableInstallerExit(code)) << code;
  // Neighbours of each, the mask's ends, and codes whose bit would lie past the mask.
  for (std::uint32_t code : {0u, 1258u, 1260u, 1600u, 1602u, 1603u, 1617u, 1619u, 1630u, 1633u, 1651u, 1653u,
                             1665u, 1601u + 64u, 3010u, 0xFFFFFFFFu}) {
    EXPECT_FALSE(IsRetryableInstallerExit(code)) << code;
  }
}

TEST(WorkerRules, PromptTimeoutAndPostponement) {
  constexpr std::uint64_t kStep = 1'000'000'000;
  constexpr std::uint64_t kMinute = kMsPerMinute;
  struct Timeout {
    std::uint64_t window_end, deadline;
    std::uint32_t expected;
  };
  const Timeout timeouts[] = {
      {0, 0, 900000},                                            // no window, no deadline
      {0, kStep, 900000},                                        // a deadline passed at the step
      {0, kStep + 20 * kMinute, 20 * 60000},                     // the deadline bounds it
      {kStep + 5 * kMinute, kStep + 20 * kMinute, 5 * 60000},    // the window closes first
      {kStep + 30 * kMinute, kStep + 20 * kMinute, 20 * 60000},  // the deadline comes first
      {kStep + 5 * kMinute, kStep - 1, 900000},                  // a window end without a deadline
      {kStep, kStep + kMinute, 1},                               // the window closes now: never 0
      {0, kStep + (1ull << 40), 0xFFFFFFFFu},
  };
  for (const Timeout& t : timeouts) {
    EXPECT_EQ(PromptTimeoutMs(kStep, t.window_end, t.deadline), t.expected)
        << t.window_end << " " << t.deadline;
  }
  struct Postponed {
    std::uint32_t interval_minutes;
    std::uint64_t deadline, due;
  };
  const Postponed postponed[] = {
      {30, kStep + 20 * kMinute, kStep + 5 * kMinute},  // capped 15 minutes before the deadline
      {0, kStep + 60 * kMinute, kStep + 15 * kMinute},  // the default interval
      {10, kStep + 60 * kMinute, kStep + 10 * kMinute},
      {10, kStep + 10 * kMinute, kStep + 10 * kMinute},  // past the margin: at the deadline
      {0, kStep + 15 * kMinute, kStep + 15 * kMinute},   // the margin ends now: at the deadline
      {0xFFFFFFFFu, kStep + 60 * kMinute, kStep + 45 * kMinute},
  };
  for (const Postponed& p : postponed) {
    EXPECT_EQ(PostponedDueTick(kStep, p.interval_minutes, p.deadline), p.due)
        << p.interval_minutes << " " << p.deadline;
  }
}

}  // namespace
}  // namespace qfu::worker
