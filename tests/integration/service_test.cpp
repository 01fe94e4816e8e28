// The agent as a real service under Wine: installation, start and stop through the Service
// Control Manager, and a start refused while another process serves one of its pipes.
#include <windows.h>

#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "common/handle.h"
#include "common/utf.h"
#include "store/process_objects.h"
#include "support/pipe_harness.h"
#include "support/process.h"
#include "support/service_control.h"
#include "wire/pipes.h"

namespace qfu {
namespace {

using test::ServiceControl;

// Starts the service and expects it to stop by itself with that Win32 exit code.
void ExpectFailedStart(DWORD exit_code) {
  ServiceControl service;
  ASSERT_TRUE(service.valid());
  const bool started = service.Start();
  EXPECT_TRUE(service.WaitForState(SERVICE_STOPPED, 10000))
      << "started " << started << ", state " << service.State();
  EXPECT_EQ(service.Win32ExitCode(), exit_code);
  EXPECT_TRUE(service.Stop());
}

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
  // Wine's service manager starts the automatic service whenever it starts itself.
  service.StopIfRunning();
  ASSERT_TRUE(service.Start()) << ::GetLastError() << ", state " << service.State();
  ASSERT_TRUE(service.WaitForState(SERVICE_RUNNING, 20000)) << service.State();
  EXPECT_EQ(service.ControlsAccepted(), static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PRESHUTDOWN));

  // Each open to LocalSystem and Administrators only.
  for (const wchar_t* name :
       {kQueueMutexName, kCancelMutexName, kRegistryMutexName, kUserAgentMutexName, kUpdateEventName}) {
    const UniqueHandle object(name == kUpdateEventName
                                  ? ::OpenEventW(SYNCHRONIZE | READ_CONTROL, FALSE, name)
                                  : ::OpenMutexW(SYNCHRONIZE | READ_CONTROL, FALSE, name));
    std::vector<test::AccessEntry> dacl;
    ASSERT_EQ(test::ReadDacl(object.get(), dacl), 0u) << WideToUtf8(name);
    std::vector<std::wstring> trustees;
    for (const test::AccessEntry& entry : dacl) trustees.push_back(entry.sid);
    EXPECT_EQ(trustees, (std::vector<std::wstring>{L"S-1-5-18", L"S-1-5-32-544"})) << WideToUtf8(name);
  }

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
// a served name. Or a name of its mutexes or of its event is held already: as an object of the
// other kind (ERROR_INVALID_HANDLE), or of its own (ERROR_ALREADY_EXISTS, since whoever made it
// first chose its DACL); the start fails with that error.
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
    SCOPED_TRACE(testing::Message() << (c.pipe == wire::kInfoPipeName ? "info pipe" : "request pipe")
                                    << ", at most " << c.max_instances << (c.occupied ? ", occupied" : ""));
    test::PipeSquatter squatter(c.pipe, c.max_instances);
    ASSERT_TRUE(squatter.serving());
    ASSERT_TRUE(!c.occupied || squatter.Occupy());
    ExpectFailedStart(ERROR_ACCESS_DENIED);
  }
  const struct {
    bool mutex;
    const wchar_t* name;
    DWORD error;
  } squatted[] = {{true, kUpdateEventName, ERROR_INVALID_HANDLE},
                  {false, kRegistryMutexName, ERROR_INVALID_HANDLE},
                  {true, kCancelMutexName, ERROR_ALREADY_EXISTS},
                  {false, kUpdateEventName, ERROR_ALREADY_EXISTS}};
  for (const auto& s : squatted) {
    SCOPED_TRACE(testing::Message() << (s.mutex ? "a mutex named " : "an event named ")
                                    << WideToUtf8(s.name));
    const UniqueHandle squatter(s.mutex ? ::CreateMutexW(nullptr, FALSE, s.name)
                                        : ::CreateEventW(nullptr, TRUE, FALSE, s.name));
    ASSERT_TRUE(squatter.valid());
    ExpectFailedStart(s.error);
  }
}

}  // namespace
}  // namespace qfu
