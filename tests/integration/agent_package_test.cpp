// The agent's own package, installed, upgraded and removed by the real Windows Installer.
#include <windows.h>

#include <msi.h>

#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "store/request_key.h"
#include "support/process.h"
#include "support/scratch_directory.h"
#include "support/service_control.h"

namespace qfu::test {
namespace {

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
    EXPECT_EQ(service.StartType(), static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_EQ(_wcsicmp(service.BinaryPath().c_str(), path.c_str()), 0) << service.BinaryPath();
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
}  // namespace qfu::test
