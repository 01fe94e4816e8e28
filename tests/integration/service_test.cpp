// The agent as a real service under Wine: installation, start and stop through the Service
// Control Manager, and a download resumed after a kill or a stop.
#include <windows.h>

#include <algorithm>
#include <gtest/gtest.h>
#include <initializer_list>
#include <string>
#include <vector>

#include "common/handle.h"
#include "common/utf.h"
#include "store/process_objects.h"
#include "support/http_server.h"
#include "support/pipe_harness.h"
#include "support/scratch_directory.h"
#include "support/service_control.h"
#include "support/test_messages.h"
#include "wire/pipes.h"
#include "wire/update_status.h"

namespace qfu {
namespace {

using namespace test;

// "install" in any letter case installs the service once, its path quoted; run otherwise from a
// console, the program prints nothing and returns 0. The service starts with its named objects
// open to LocalSystem and Administrators only, and stops.
TEST(Service, InstallsOnceStartsWithItsNamedObjectsAndStops) {
  ServiceControl::Uninstall();
  const std::pair<const wchar_t*, const char*> runs[] = {{L"install", "Service installed successfully\r\n"},
                                                         {L"InStAlL", "CreateService failed (1073)\r\n"},
                                                         {L"", ""}};
  for (const auto& [arguments, output] : runs) {
    const auto run = RunProcess(BuiltCommand(L"qfupdate.exe", arguments));
    ASSERT_TRUE(run.finished) << run.output;
    EXPECT_EQ(run.exit_code, 0u) << run.output;
    EXPECT_EQ(run.output, output);
  }
  ServiceControl service;
  ASSERT_TRUE(service.valid());
  const auto [start_type, path] = service.Config();
  EXPECT_EQ(start_type, static_cast<DWORD>(SERVICE_AUTO_START));
  // Quoted, so that a path with spaces cannot be read as a shorter program with arguments.
  EXPECT_EQ(_wcsicmp(path.c_str(), (L"\"" + BuiltProgram(L"qfupdate.exe") + L"\"").c_str()), 0);
  // Wine's service manager starts the automatic service whenever it starts itself.
  service.StopIfRunning();
  ASSERT_TRUE(service.Start()) << ::GetLastError() << ", state " << service.State();
  ASSERT_TRUE(service.WaitForState(SERVICE_RUNNING, 20000)) << service.State();
  EXPECT_EQ(service.Status().dwControlsAccepted,
            static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PRESHUTDOWN));
  for (const wchar_t* name :
       {kQueueMutexName, kCancelMutexName, kRegistryMutexName, kUserAgentMutexName, kUpdateEventName}) {
    const UniqueHandle object(name == kUpdateEventName
                                  ? ::OpenEventW(SYNCHRONIZE | READ_CONTROL, FALSE, name)
                                  : ::OpenMutexW(SYNCHRONIZE | READ_CONTROL, FALSE, name));
    std::vector<AccessEntry> dacl;
    ASSERT_EQ(ReadDacl(object.get(), dacl), 0u) << WideToUtf8(name);
    std::vector<std::wstring> trustees;
    for (const AccessEntry& entry : dacl) trustees.push_back(entry.sid);
    EXPECT_EQ(trustees, (std::vector<std::wstring>{L"S-1-5-18", L"S-1-5-32-544"})) << WideToUtf8(name);
  }
  EXPECT_TRUE(service.Stop()) << service.State();
  EXPECT_EQ(service.Status().dwWin32ExitCode, static_cast<DWORD>(ERROR_SUCCESS));
}

class ServiceRecovery : public RunningService {};

// The worker pauses 10 s before a download; the half package arrives at once after it.
constexpr DWORD kHalfDownloadedMs = 20000;
constexpr ULONGLONG kStopWithinMs = 10000;  // WinHTTP alone would wait 30 s for the next byte

TEST_F(ServiceRecovery, ResumesADownloadThatAKilledOrStoppedServiceLeftHalfDone) {
  const std::string package = PackageBytes(96 * 1024);
  const std::size_t half = package.size() / 2;
  for (const bool stop : {false, true}) {
    SCOPED_TRACE(stop ? "stopped" : "killed");
    const std::wstring name = stop ? L"Stopped" : L"Stalled";
    TestHttpServer server;
    ASSERT_EQ(server.failure(), "");
    server.AddFile(L"stalled.msi", package);
    server.SetRule("/stalled.msi", "stall");
    const TestDownloads stalled(name);
    ExpectRun(RunQfupdatectl(L"submit " + name + L" --download-when-disconnected --url " +
                             server.Url(L"/stalled.msi")),
              0, {"result:       Done (0)", "status:       Queued (2)"});
    ASSERT_TRUE(WaitUntil([&] { return FileSize(stalled.Path(L"stalled.msi")) == half; }, kHalfDownloadedMs));

    ServiceControl service;
    const ULONGLONG stopping = ::GetTickCount64();
    ASSERT_TRUE(stop ? service.Stop() : service.Kill());
    EXPECT_LT(::GetTickCount64() - stopping, kStopWithinMs);
    server.SetRule("/stalled.msi", "serve");
    ASSERT_TRUE(service.Start()) << ::GetLastError();
    ASSERT_TRUE(WaitForAgentPipes());

    // Downloaded, or whatever stage follows a complete download.
    wire::UpdateStatus status{};
    const auto unfinished = [&](std::initializer_list<wire::UpdateStatus> statuses) {
      return std::find(statuses.begin(), statuses.end(), status) != statuses.end();
    };
    (void)WaitUntil(
        [&] {
          status = StatusOf(SendOnce(wire::kInfoPipeName, Query(WideToUtf8(name)).span()));
          return !unfinished({wire::UpdateStatus{}, wire::kQueued, wire::kDownloading});
        },
        kHalfDownloadedMs);
    EXPECT_FALSE(unfinished({wire::UpdateStatus{}, wire::kQueued, wire::kDownloading, wire::kDownloadRetry,
                             wire::kDownloadFailed}))
        << status;
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].Header("Range"), std::nullopt);
    EXPECT_EQ(requests[1].Header("Range"), std::optional("bytes=" + std::to_string(half) + "-"));
    // A later stage may have removed the package already.
    if (status == wire::kDownloaded) {
      EXPECT_TRUE(SameFile(FileBytes(stalled.Path(L"stalled.msi")), package));
    }
  }
}

}  // namespace
}  // namespace qfu
