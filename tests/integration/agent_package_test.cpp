// The agent's own package, installed and removed by the real Windows Installer.
#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <string>

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

bool FileExists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// Installing the package puts qfupdate.exe and its German texts under Program Files, registers it as the
// automatically started service QFUpdate and starts it; removing the package stops the
// service, deletes it and takes the file away. The next test installs the build's own
// service again.
TEST(AgentPackage, InstallsAndStartsTheServiceAndRemovesItAgain) {
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
  {
    ServiceControl service;
    ASSERT_TRUE(service.valid());
    EXPECT_TRUE(service.WaitForState(SERVICE_RUNNING, kStartTimeoutMs));
    EXPECT_EQ(service.StartType(), static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_EQ(_wcsicmp(service.BinaryPath().c_str(), installed.c_str()), 0) << service.BinaryPath();
  }

  const ProcessResult remove = RunProcess(L"msiexec.exe /x " + package + L" /qn", kInstallerTimeoutMs);
  ASSERT_TRUE(remove.finished);
  EXPECT_EQ(remove.exit_code, 0u) << remove.output;
  EXPECT_FALSE(ServiceControl().valid());
  EXPECT_FALSE(FileExists(installed));
  EXPECT_FALSE(FileExists(german));
}

}  // namespace
}  // namespace qfu::test
