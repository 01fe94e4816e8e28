#include "store/due_time.h"

#include <gtest/gtest.h>

namespace qfu::store {
namespace {

constexpr std::uint64_t kTick = 5'000'000;
constexpr std::uint64_t kNow = 133'500'000'000'000'000;  // a UTC FILETIME in 2024
constexpr std::uint64_t kHour = 60 * kFileTimeUnitsPerMinute;
constexpr std::uint64_t kLargestDelay = 0xFFFFFFFFull + 32767;

TEST(DueTime, DeadlineCountsFromAcceptanceIn64Bits) {
  EXPECT_EQ(DeadlineTick(kTick, kNow, kNow - kHour / 2, 60), kTick + 1'800'000);
  EXPECT_EQ(DeadlineTick(kTick, kNow, 0, 0xFFFFFFFF), kTick + 0xFFFFFFFFull * kMsPerMinute);
}

TEST(DueTime, RandomDelayNeverDividesByZeroNorWraps) {
  EXPECT_EQ(RandomDelayMinutes(30, 30, 12345), 30u);
  EXPECT_EQ(RandomDelayMinutes(0, 0xFFFFFFFF, 32767), 32767u);
  EXPECT_EQ(RandomDelayMinutes(0xFFFFFFFF, 0, 5), 0xFFFFFFFFull + 5);
  const DueTime due = ComputeDueTime(kTick, kNow, std::nullopt, kLargestDelay);
  EXPECT_EQ(due.due_tick, kTick + kLargestDelay * kMsPerMinute);
  EXPECT_EQ(due.timer_due, kNow + kLargestDelay * kFileTimeUnitsPerMinute);
}

// The timer is armed later by the worker, so it is always the moment the request is due.
TEST(DueTime, TimerIsTheMomentTheRequestBecomesDue) {
  const DueTime start = ComputeDueTime(kTick, kNow, kNow + kHour, 30);
  EXPECT_EQ(start.due_tick, kTick + 3'600'000 + 1'800'000);
  EXPECT_EQ(start.timer_due, kNow + kHour + 30 * kFileTimeUnitsPerMinute);
  // A start time not later than now is ignored; the delay then counts from now.
  const DueTime past = ComputeDueTime(kTick, kNow, kNow, 30);
  EXPECT_EQ(past.due_tick, kTick + 1'800'000);
  EXPECT_EQ(past.timer_due, kNow + 30 * kFileTimeUnitsPerMinute);
  const DueTime zero = ComputeDueTime(kTick, kNow, kNow - kHour, 0);  // drew 0 minutes
  EXPECT_EQ(zero.due_tick, kTick);
  EXPECT_EQ(zero.timer_due, 0u);
}

TEST(DueTime, OnlyRealDatesAndTimesAreValidStartTimes) {
  const LocalDateTime valid[] = {{2024, 2, 0, 29, 23, 59, 0, 0}, {2000, 2, 0, 29, 0, 0, 0, 0}};
  const LocalDateTime invalid[] = {{2023, 2, 0, 29, 12, 0, 0, 0}, {1900, 2, 0, 29, 12, 0, 0, 0},
                                   {2024, 4, 0, 31, 12, 0, 0, 0}, {2024, 13, 0, 1, 12, 0, 0, 0},
                                   {2024, 1, 0, 0, 12, 0, 0, 0},  {2024, 1, 0, 1, 24, 0, 0, 0},
                                   {2024, 1, 0, 1, 12, 60, 0, 0}, {}};
  for (const LocalDateTime& time : valid)
    EXPECT_TRUE(IsValidLocalDateTime(time)) << time.year << "-" << time.month;
  for (const LocalDateTime& time : invalid)
    EXPECT_FALSE(IsValidLocalDateTime(time)) << time.year << "-" << time.month;
}

}  // namespace
}  // namespace qfu::store
