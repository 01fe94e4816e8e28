#include "support/service_checks.h"

#include <gtest/gtest.h>

#include "support/service_control.h"

namespace qfu::test {

void ExpectFailedStart(DWORD exit_code) {
  constexpr DWORD kStopTimeoutMs = 10000;
  ServiceControl service;
  ASSERT_TRUE(service.valid());
  const bool started = service.Start();
  EXPECT_TRUE(service.WaitForState(SERVICE_STOPPED, kStopTimeoutMs))
      << "started " << started << ", state " << service.State();
  EXPECT_EQ(service.Win32ExitCode(), exit_code);
  EXPECT_TRUE(service.Stop());
}

}  // namespace qfu::test
