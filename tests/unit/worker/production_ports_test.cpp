#include "worker/production_ports.h"

#include <gtest/gtest.h>
#include <thread>

#include "common/handle.h"

namespace qfu::worker {
namespace {

VOID CALLBACK CountCompletion(LPVOID count, DWORD, DWORD) { ++*static_cast<int*>(count); }

TEST(SystemPause, WaitsItsTimeThroughCompletionRoutinesUnlessTheStopEventIsSet) {
  UniqueHandle stop(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  ASSERT_TRUE(stop);
  SystemPause pause(stop.get());

  // A request timer firing during the pause runs its routine here and the pause goes on.
  int completions = 0;
  UniqueHandle timer(::CreateWaitableTimerW(nullptr, FALSE, nullptr));
  LARGE_INTEGER in_20_ms = {};
  in_20_ms.QuadPart = -20 * 10000;
  ASSERT_TRUE(::SetWaitableTimer(timer.get(), &in_20_ms, 0, CountCompletion, &completions, FALSE));
  ULONGLONG started = ::GetTickCount64();
  EXPECT_TRUE(pause.Sleep(300));
  EXPECT_GE(::GetTickCount64() - started, 280u);
  EXPECT_EQ(completions, 1);
  EXPECT_FALSE(pause.StopRequested());

  // A stop during the pause ends it at once, and every later check sees it.
  std::thread stopper([&] {
    ::Sleep(50);
    ::SetEvent(stop.get());
  });
  started = ::GetTickCount64();
  EXPECT_FALSE(pause.Sleep(10000));
  EXPECT_LT(::GetTickCount64() - started, 5000u);
  stopper.join();
  EXPECT_TRUE(pause.StopRequested());
  EXPECT_FALSE(pause.Sleep(10000));
}

}  // namespace
}  // namespace qfu::worker
