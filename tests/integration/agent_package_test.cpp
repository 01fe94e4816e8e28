// The agent's own package, installed and removed by the real Windows Installer.
#include <windows.h>

#include <msi.h>
#include <shlobj.h>

#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "support/process.h"
#include "support/service_control.h"

namespace qfu::test {
namespace {

constexpr DWORD kInstallerTimeoutMs = 120000;
constexpr DWORD kStartTimeoutMs = 20000;

// The agent's folder under Program Files, with its trailing backslash.
std::wstring InstalledAgentFolder() {
  wchar_t* folder = nullptr;
  std::wstring path;
  if (SUCCEEDED(::SHGetKnownFolderPath(FOLDERID_ProgramFiles, 0, nullptr, &folder))) {
    path = std::wstring(folder) + L"\\QFUpdate\\";
  }
  ::CoTaskMemFree(folder);
  return path;
}

bool FileExists(const std::wstring& path) {
  return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

constexpr const wchar_t* kServiceKey = L"SYSTEM\\CurrentControlSet\\Services\\QFUpdate";

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
  DWORD size = sizeof(text);
  (void)::RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), value,
                       RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, text, &size);
  return text;
}

// Installing the package puts qfupdate.exe and its German texts under Program Files, registers it as the
// automatically started service QFUpdate, the source of its event log entries, and starts it. A
// rebuild of the same version and then the next version replace it, one product at a time, and
// keep the requests and settings in the service key, running the new program. Removing the
// package stops the service and deletes it with its key and the files. The next test installs
// the build's own service again.
TEST(AgentPackage, InstallsUpgradesKeepingRequestsAndRemovesTheServiceWithThem) {
  ServiceControl::Uninstall();
  const std::wstring package = L"\"" + BuiltProgram(L"qfupdate.msi") + L"\"";
  const std::wstring folder = InstalledAgentFolder();
  ASSERT_FALSE(folder.empty());
  const std::wstring installed = folder + L"qfupdate.exe";
  const std::wstring german = folder + L"de\\qfupdate.resources.dll";

  const ProcessResult install = RunProcess(L"msiexec.exe /i " + package + L" /qn", kInstallerTimeoutMs);
  ASSERT_TRUE(install.finished);
  ASSERT_EQ(install.exit_code, 0u) << install.output;
  EXPECT_TRUE(FileExists(german));
  EXPECT_EQ(MachineString(L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\QFUpdate",
                          L"EventMessageFile"),
            installed);
  const std::vector<std::wstring> first_version = InstalledAgentVersions();
  ASSERT_EQ(first_version.size(), 1u);
  DWORD process_id = 0;
  {
    ServiceControl service;
    ASSERT_TRUE(service.valid());
    EXPECT_TRUE(service.WaitForState(SERVICE_RUNNING, kStartTimeoutMs));
    EXPECT_EQ(service.StartType(), static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_EQ(_wcsicmp(service.BinaryPath().c_str(), installed.c_str()), 0) << service.BinaryPath();
    process_id = service.ProcessId();
  }
  // A finished request and a setting, as the agent stores them.
  const DWORD completed = 1;
  ASSERT_EQ(::RegSetKeyValueW(HKEY_LOCAL_MACHINE, (std::wstring(kServiceKey) + L"\\Kept").c_str(),
                              L"UpdateStatus", REG_DWORD, &completed, sizeof(completed)),
            0);
  const wchar_t agent[] = L"Upgrade test";
  ASSERT_EQ(::RegSetKeyValueW(HKEY_LOCAL_MACHINE, kServiceKey, L"UserAgent", REG_SZ, agent, sizeof(agent)),
            0);

  for (const wchar_t* fixture : {L"qfupdate_rebuild.msi", L"qfupdate_next.msi"}) {
    SCOPED_TRACE(testing::Message() << "installing " << testing::PrintToString(std::wstring(fixture)));
    const ProcessResult upgrade =
        RunProcess(L"msiexec.exe /i \"" + Fixture(fixture) + L"\" /qn", kInstallerTimeoutMs);
    ASSERT_TRUE(upgrade.finished);
    ASSERT_EQ(upgrade.exit_code, 0u) << upgrade.output;
    const std::vector<std::wstring> versions = InstalledAgentVersions();
    ASSERT_EQ(versions.size(), 1u);
    EXPECT_EQ(versions[0] == first_version[0], std::wstring(fixture) == L"qfupdate_rebuild.msi")
        << versions[0];
    EXPECT_EQ(MachineString(kServiceKey, L"UserAgent"), agent);
    DWORD stored = 0;
    DWORD size = sizeof(stored);
    EXPECT_EQ(::RegGetValueW(HKEY_LOCAL_MACHINE, (std::wstring(kServiceKey) + L"\\Kept").c_str(),
                             L"UpdateStatus", RRF_RT_REG_DWORD, nullptr, &stored, &size),
              0);
    ServiceControl service;
    ASSERT_TRUE(service.valid());
    EXPECT_TRUE(service.WaitForState(SERVICE_RUNNING, kStartTimeoutMs));
    EXPECT_NE(service.ProcessId(), process_id);  // the program of the new package
    process_id = service.ProcessId();
  }

  const ProcessResult remove =
      RunProcess(L"msiexec.exe /x \"" + Fixture(L"qfupdate_next.msi") + L"\" /qn", kInstallerTimeoutMs);
  ASSERT_TRUE(remove.finished);
  EXPECT_EQ(remove.exit_code, 0u) << remove.output;
  EXPECT_FALSE(ServiceControl().valid());
  EXPECT_TRUE(InstalledAgentVersions().empty());
  HKEY key = nullptr;
  EXPECT_EQ(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kServiceKey, 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
  if (key != nullptr) ::RegCloseKey(key);
  EXPECT_FALSE(FileExists(installed));
  EXPECT_FALSE(FileExists(german));
}

}  // namespace
}  // namespace qfu::test
