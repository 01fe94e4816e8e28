// The agent as a real service under Wine: installation, start and stop through the Service
// Control Manager, and a start refused while another process serves one of its pipes.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "common/handle.h"
#include "store/process_objects.h"
#include "support/pipe_harness.h"
#include "support/process.h"
#include "support/service_checks.h"
#include "support/service_control.h"
#include "wire/pipes.h"

namespace qfu {
namespace {

using test::ServiceControl;

// "install" in any letter case installs the service once, its path quoted; run otherwise from a
// console, the program has no service to dispatch, prints nothing and returns 0.
TEST(Service, InstallsOnceInAnyLetterCaseAndReturnsZeroFromAConsole) {
  ServiceControl::Uninstall();
  const std::pair<const wchar_t*, const char*> runs[] = {{L"install", "Service installed successfully\r\n"},
                                                         {L"InStAlL", "CreateService failed (1073)\r\n"},
                                                         {L"", ""}};
  for (const auto& [arguments, output] : runs) {
    const auto run = test::RunProcess(test::BuiltCommand(L"qfupdate.exe", arguments));
    ASSERT_TRUE(run.finished) << run.output;
    EXPECT_EQ(run.exit_code, 0u) << run.output;
    EXPECT_EQ(run.output, output);
  }
  ServiceControl service;
  ASSERT_TRUE(service.valid());
  EXPECT_EQ(service.StartType(), static_cast<DWORD>(SERVICE_AUTO_START));
  // Quoted, so that a path with spaces cannot be read as a shorter program with arguments.
  const std::wstring quoted = L"\"" + test::BuiltProgram(L"qfupdate.exe") + L"\"";
  EXPECT_EQ(_wcsicmp(service.BinaryPath().c_str(), quoted.c_str()), 0) << service.BinaryPath();
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
    EXPECT_TRUE(UniqueHandle(::OpenMutexW(SYNCHRONIZE, FALSE, name)).valid()) << name;
  }
  EXPECT_TRUE(UniqueHandle(::OpenEventW(SYNCHRONIZE, FALSE, L"Global\\QFUpdateEvent")).valid());

  // Interrogate is answered and changes nothing.
  EXPECT_TRUE(service.Control(SERVICE_CONTROL_INTERROGATE));
  EXPECT_EQ(service.State(), static_cast<DWORD>(SERVICE_RUNNING));

  EXPECT_TRUE(service.Stop()) << service.State();
  EXPECT_EQ(service.Win32ExitCode(), static_cast<DWORD>(ERROR_SUCCESS));
}

// A pipe name is served before the service starts: by a listening instance (seen before the
// service creates its own, also where a second instance could not be created), or by one
// whose only instance has a client already (no instance listens, but the name then has one
// instance more than the service's own). The start fails as Windows fails a first instance of
// a served name. Or a name of its mutexes or of its event is held as an object of the other
// kind: the creation fails with ERROR_INVALID_HANDLE, and so does the start.
TEST(Service, FailsToStartWhileAnotherProcessServesOneOfItsPipesOrHoldsOneOfItsObjectNames) {
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
    test::ExpectFailedStart(ERROR_ACCESS_DENIED);
  }
  for (const bool event_name_taken : {false, true}) {
    SCOPED_TRACE(event_name_taken ? "a mutex under the event's name" : "an event under a mutex's name");
    const UniqueHandle squatter(event_name_taken ? ::CreateMutexW(nullptr, FALSE, kUpdateEventName)
                                                 : ::CreateEventW(nullptr, TRUE, FALSE, kRegistryMutexName));
    ASSERT_TRUE(squatter.valid());
    test::ExpectFailedStart(ERROR_INVALID_HANDLE);
  }
}

}  // namespace
}  // namespace qfu
