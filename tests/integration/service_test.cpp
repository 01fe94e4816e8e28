// The agent as a real service under Wine: installation, start and stop through the Service
// Control Manager.
#include <windows.h>

#include <gtest/gtest.h>

#include "common/handle.h"
#include "support/process.h"
#include "support/service_control.h"

namespace qfu {
namespace {

using test::ServiceControl;

TEST(Service, InstallsOnceInAnyLetterCaseAndRefusesASecondInstall) {
  ServiceControl::Uninstall();
  const auto first = test::RunProcess(L"\"" + test::BuiltProgram(L"qfupdate.exe") + L"\" install");
  ASSERT_TRUE(first.finished);
  EXPECT_EQ(first.exit_code, 0u);
  EXPECT_EQ(first.output, "Service installed successfully\r\n");

  const auto second = test::RunProcess(L"\"" + test::BuiltProgram(L"qfupdate.exe") + L"\" InStAlL");
  ASSERT_TRUE(second.finished);
  EXPECT_EQ(second.exit_code, 0u);
  EXPECT_EQ(second.output, "CreateService failed (1073)\r\n");

  ServiceControl service;
  ASSERT_TRUE(service.valid());
  EXPECT_EQ(service.StartType(), static_cast<DWORD>(SERVICE_AUTO_START));
}

TEST(Service, StartsRunningWithItsNamedObjectsAndStopsWithinSeconds) {
  ServiceControl::EnsureInstalled();
  ServiceControl service;
  ASSERT_TRUE(service.valid());
  ASSERT_TRUE(service.Start());
  ASSERT_TRUE(service.WaitForState(SERVICE_RUNNING, 20000)) << service.State();
  EXPECT_EQ(service.ControlsAccepted(), static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PRESHUTDOWN));

  for (const wchar_t* name : {L"Global\\QFUpdateQueueMutex", L"Global\\QFUpdateCancelMutex",
                              L"Global\\QFUpdateRegistryMutex", L"Global\\QFUUAMutex"}) {
    UniqueHandle mutex(::OpenMutexW(SYNCHRONIZE, FALSE, name));
    EXPECT_TRUE(mutex.valid()) << "missing mutex";
  }
  UniqueHandle update_event(::OpenEventW(SYNCHRONIZE, FALSE, L"Global\\QFUpdateEvent"));
  EXPECT_TRUE(update_event.valid());

  // Interrogate is answered and changes nothing.
  EXPECT_TRUE(service.Control(SERVICE_CONTROL_INTERROGATE));
  EXPECT_EQ(service.State(), static_cast<DWORD>(SERVICE_RUNNING));

  ASSERT_TRUE(service.Control(SERVICE_CONTROL_STOP));
  EXPECT_TRUE(service.WaitForState(SERVICE_STOPPED, 20000)) << service.State();
}

TEST(Service, RunFromAConsoleWithoutArgumentsReturnsZero) {
  const auto run = test::RunProcess(L"\"" + test::BuiltProgram(L"qfupdate.exe") + L"\"");
  ASSERT_TRUE(run.finished) << run.output;
  EXPECT_EQ(run.exit_code, 0u) << run.output;
}

}  // namespace
}  // namespace qfu
