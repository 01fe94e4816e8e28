// The agent as a real service under Wine: installation, start and stop through the Service
// Control Manager, a start refused while another process serves one of its pipes, a download
// resumed after a kill or a stop, and the agent's own package installed, upgraded and removed
// by the real Windows Installer.
#include <windows.h>

#include <msi.h>

#include <algorithm>
#include <gtest/gtest.h>
#include <initializer_list>
#include <string>
#include <vector>

#include "common/handle.h"
#include "common/pipe_access.h"
#include "common/utf.h"
#include "store/agent_config.h"
#include "store/process_objects.h"
#include "store/request_key.h"
#include "support/http_server.h"
#include "support/pipe_harness.h"
#include "support/scratch_directory.h"
#include "support/service_control.h"
#include "wire/pipes.h"
#include "wire/update_status.h"

namespace qfu {
namespace {

using namespace test;

// Starts the service and expects it to stop by itself with that Win32 exit code.
void ExpectFailedStart(DWORD exit_code) {
  ServiceControl service;
  ASSERT_TRUE(service.valid());
  const bool started = service.Start();
  EXPECT_TRUE(service.WaitForState(SERVICE_STOPPED, 10000))
      << "started " << started << ", state " << service.State();
  EXPECT_EQ(service.Status().dwWin32ExitCode, exit_code);
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
}

TEST(Service, StartsRunningWithItsNamedObjectsAndStopsWithinSeconds) {
  ServiceControl::EnsureInstalled();
  ServiceControl service;
  ASSERT_TRUE(service.valid());
  // Wine's service manager starts the automatic service whenever it starts itself.
  service.StopIfRunning();
  ASSERT_TRUE(service.Start()) << ::GetLastError() << ", state " << service.State();
  ASSERT_TRUE(service.WaitForState(SERVICE_RUNNING, 20000)) << service.State();
  EXPECT_EQ(service.Status().dwControlsAccepted,
            static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PRESHUTDOWN));

  // Each open to LocalSystem and Administrators only.
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

  // Interrogate is answered and changes nothing.
  EXPECT_TRUE(service.Control(SERVICE_CONTROL_INTERROGATE));
  EXPECT_EQ(service.State(), static_cast<DWORD>(SERVICE_RUNNING));

  EXPECT_TRUE(service.Stop()) << service.State();
  EXPECT_EQ(service.Status().dwWin32ExitCode, static_cast<DWORD>(ERROR_SUCCESS));
}

// A pipe name is served before the service starts: by a listening instance (also where a
// second instance could not be created), or by one whose only instance has a client already.
// The start fails as Windows fails a first instance of a served name. A name of its mutexes or
// event held already as an object of the other kind (ERROR_INVALID_HANDLE) or of its own
// (ERROR_ALREADY_EXISTS: whoever made it first chose its DACL) fails the start with that error.
TEST(Service, FailsToStartWhileAnotherProcessServesOneOfItsPipesOrHoldsOneOfItsObjectNames) {
  const struct {
    const wchar_t* pipe;
    DWORD max_instances;
    bool occupied;
  } cases[] = {{wire::kRequestPipeName, PIPE_UNLIMITED_INSTANCES, false},
               {wire::kInfoPipeName, PIPE_UNLIMITED_INSTANCES, false},
               {wire::kRequestPipeName, 1, false},
               {wire::kRequestPipeName, PIPE_UNLIMITED_INSTANCES, true}};
  ServiceControl::EnsureInstalled();
  ASSERT_TRUE(ServiceControl().Stop());
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << (c.pipe == wire::kInfoPipeName ? "info pipe" : "request pipe")
                                    << ", at most " << c.max_instances << (c.occupied ? ", occupied" : ""));
    const UniqueFile squatter(::CreateNamedPipeW(c.pipe, PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE,
                                                 c.max_instances, wire::kPipeOutBufferSize,
                                                 wire::kPipeInBufferSize, 0, nullptr));
    ASSERT_TRUE(squatter.valid());
    const UniqueFile client(
        c.occupied ? ::CreateFileW(c.pipe, kPipeClientAccess, 0, nullptr, OPEN_EXISTING, 0, nullptr)
                   : INVALID_HANDLE_VALUE);
    ASSERT_EQ(client.valid(), c.occupied);
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
    TestHttpServer server(L"ServiceRecovery", HttpScheme::kHttp);
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
    std::uint32_t status = 0;
    const auto unfinished = [&](std::initializer_list<std::uint32_t> statuses) {
      return std::find(statuses.begin(), statuses.end(), status) != statuses.end();
    };
    (void)WaitUntil(
        [&] {
          status = StatusOf(SendOnce(wire::kInfoPipeName, Query(WideToUtf8(name)).span()));
          return !unfinished({0, wire::kQueued, wire::kDownloading});
        },
        kHalfDownloadedMs);
    EXPECT_FALSE(
        unfinished({0, wire::kQueued, wire::kDownloading, wire::kDownloadRetry, wire::kDownloadFailed}))
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

constexpr DWORD kInstallerTimeoutMs = 120000;
constexpr DWORD kStartTimeoutMs = 20000;

// The installed versions of the agent's products (the package's upgrade code).
std::vector<std::wstring> InstalledAgentVersions() {
  std::vector<std::wstring> versions;
  wchar_t product[39] = {};
  for (DWORD i = 0; ::MsiEnumRelatedProductsW(L"{7D3B9C2E-4F61-4A8D-9E27-5C1B0A6F3D48}", 0, i, product) == 0;
       ++i) {
    wchar_t version[32] = {};
    DWORD size = 32;
    (void)::MsiGetProductInfoW(product, INSTALLPROPERTY_VERSIONSTRING, version, &size);
    versions.emplace_back(version);
  }
  return versions;
}

// A registry string of HKLM (empty when absent).
std::wstring MachineString(const std::wstring& key, const wchar_t* value) {
  wchar_t text[MAX_PATH] = {};
  DWORD size = sizeof(text) - sizeof(wchar_t);
  (void)::RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), value, RRF_RT_REG_SZ | RRF_NOEXPAND, nullptr, text,
                       &size);
  return text;
}

void ExpectMsiexec(const std::wstring& arguments) {
  const ProcessResult run = RunProcess(L"msiexec.exe " + arguments + L" /qn", kInstallerTimeoutMs);
  ASSERT_TRUE(run.finished);
  ASSERT_EQ(run.exit_code, 0u) << run.output;
}

// Installing puts qfupdate.exe and its German texts under Program Files, registers the
// automatically started service and the source of its event log entries, and starts it. A
// rebuild of the same version and then the next version replace it, one product at a time,
// keeping the requests and settings in the service key and running the new program. Removing
// the package deletes the service, its key and the files.
TEST(AgentPackage, InstallsUpgradesKeepingRequestsAndRemovesTheServiceWithThem) {
  ServiceControl::Uninstall();
  const std::wstring folder = ProgramDataFolder().substr(0, 3) + L"Program Files\\QFUpdate\\";
  const std::wstring installed = folder + L"qfupdate.exe", german = folder + L"de\\qfupdate.resources.dll";
  const std::wstring service_key = store::kServiceKeyPath;
  ExpectMsiexec(L"/i \"" + BuiltProgram(L"qfupdate.msi") + L"\"");
  EXPECT_TRUE(Exists(german));
  EXPECT_EQ(MachineString(L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\QFUpdate",
                          L"EventMessageFile"),
            installed);
  std::vector<std::wstring> versions = InstalledAgentVersions();
  ASSERT_EQ(versions.size(), 1u);
  const std::wstring first_version = versions[0];
  DWORD process_id = 0;
  const auto expect_running_anew = [&](const std::wstring& path) {
    ServiceControl service;
    ASSERT_TRUE(service.valid());
    EXPECT_TRUE(service.WaitForState(SERVICE_RUNNING, kStartTimeoutMs));
    const auto [start_type, binary] = service.Config();
    EXPECT_EQ(start_type, static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_EQ(_wcsicmp(binary.c_str(), path.c_str()), 0);
    EXPECT_NE(service.ProcessId(), process_id);  // the program of the new package
    process_id = service.ProcessId();
  };
  expect_running_anew(installed);
  // A request and a setting, as the agent stores them.
  const DWORD completed = 1;
  ASSERT_EQ(::RegSetKeyValueW(HKEY_LOCAL_MACHINE, (service_key + L"\\Kept").c_str(), L"UpdateStatus",
                              REG_DWORD, &completed, sizeof(completed)),
            0);
  const wchar_t agent[] = L"Upgrade test";
  ASSERT_EQ(
      ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, service_key.c_str(), L"UserAgent", REG_SZ, agent, sizeof(agent)),
      0);

  for (const std::wstring fixture : {L"qfupdate_rebuild.msi", L"qfupdate_next.msi"}) {
    SCOPED_TRACE(testing::PrintToString(fixture));
    ExpectMsiexec(L"/i \"" + Fixture(fixture.c_str()) + L"\"");
    versions = InstalledAgentVersions();
    ASSERT_EQ(versions.size(), 1u);
    EXPECT_EQ(versions[0] == first_version, fixture == L"qfupdate_rebuild.msi");
    EXPECT_EQ(MachineString(service_key, L"UserAgent"), agent);
    DWORD stored = 0, size = sizeof(stored);
    EXPECT_EQ(::RegGetValueW(HKEY_LOCAL_MACHINE, (service_key + L"\\Kept").c_str(), L"UpdateStatus",
                             RRF_RT_REG_DWORD, nullptr, &stored, &size),
              0);
    expect_running_anew(installed);
  }

  ExpectMsiexec(L"/x \"" + Fixture(L"qfupdate_next.msi") + L"\"");
  EXPECT_FALSE(ServiceControl().valid());
  EXPECT_TRUE(InstalledAgentVersions().empty());
  HKEY key = nullptr;
  EXPECT_EQ(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, service_key.c_str(), 0, KEY_READ, &key),
            ERROR_FILE_NOT_FOUND);
  if (key != nullptr) ::RegCloseKey(key);
  EXPECT_FALSE(Exists(installed));
  EXPECT_FALSE(Exists(german));
}

}  // namespace
}  // namespace qfu
