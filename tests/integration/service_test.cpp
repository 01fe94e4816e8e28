// The agent as a real service under Wine: installation, start and stop through the Service
// Control Manager, and a start refused while another process serves one of its pipes.
#include <windows.h>

#include <gtest/gtest.h>

#include "common/handle.h"
#include "store/process_objects.h"
#include "support/pipe_harness.h"
#include "support/process.h"
#include "support/service_control.h"
#include "wire/pipes.h"

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

  EXPECT_TRUE(service.Stop()) << service.State();
  EXPECT_EQ(service.Win32ExitCode(), static_cast<DWORD>(ERROR_SUCCESS));
}

// Starts the service, which must stop by itself with that Win32 exit code (`net start`
// reports success whatever the start gives), and waits for its process to end.
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

// The name is served before the service starts: by a listening instance (seen before the
// service creates its own, also where a second instance could not be created), or by one
// whose only instance has a client already (no instance listens, but the name then has one
// instance more than the service's own). The start fails as Windows fails a first instance
// of a served name.
TEST(Service, FailsToStartWhileAnotherProcessServesOneOfItsPipes) {
  struct Case {
    const wchar_t* pipe;
    DWORD max_instances;
    bool occupied;
  };
  const Case cases[] = {{wire::kRequestPipeName, PIPE_UNLIMITED_INSTANCES, false},
                        {wire::kInfoPipeName, PIPE_UNLIMITED_INSTANCES, false},
                        {wire::kRequestPipeName, 1, false},
                        {wire::kRequestPipeName, PIPE_UNLIMITED_INSTANCES, true}};
  ServiceControl::EnsureInstalled();
  ASSERT_TRUE(ServiceControl().Stop());
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << (c.pipe == wire::kInfoPipeName ? "info pipe" : "request pipe") << ", at most "
                                    << c.max_instances << (c.occupied ? ", occupied" : ""));
    test::PipeSquatter squatter(c.pipe, c.max_instances);
    ASSERT_TRUE(squatter.serving());
    ASSERT_TRUE(!c.occupied || squatter.Occupy());
    ExpectFailedStart(ERROR_ACCESS_DENIED);
  }
}

// Another process holds a name of the service's mutexes or of its event as an object of
// the other kind: the creation fails with ERROR_INVALID_HANDLE, and so does the start.
TEST(Service, FailsToStartWhileAnotherProcessHoldsOneOfItsObjectNames) {
  ServiceControl::EnsureInstalled();
  ASSERT_TRUE(ServiceControl().Stop());
  for (const bool event_name_taken : {false, true}) {
    SCOPED_TRACE(event_name_taken ? "a mutex under the event's name" : "an event under a mutex's name");
    const UniqueHandle squatter(event_name_taken ? ::CreateMutexW(nullptr, FALSE, kUpdateEventName)
                                                 : ::CreateEventW(nullptr, TRUE, FALSE, kRegistryMutexName));
    ASSERT_TRUE(squatter.valid());
    ExpectFailedStart(ERROR_INVALID_HANDLE);
  }
}

TEST(Service, RunFromAConsoleWithoutArgumentsReturnsZero) {
  const auto run = test::RunProcess(L"\"" + test::BuiltProgram(L"qfupdate.exe") + L"\"");
  ASSERT_TRUE(run.finished) << run.output;
  EXPECT_EQ(run.exit_code, 0u) << run.output;
}

}  // namespace
}  // namespace qfu
