#include "package/installer.h"

#include <gtest/gtest.h>

#include <string>

#include "package/package_files.h"
#include "support/process.h"
#include "support/run_together.h"
#include "support/scratch_directory.h"

namespace qfu::package {
namespace {

using test::Exists;
using test::ScratchDirectory;

constexpr DWORD kInstallTimeoutMs = 40000;
constexpr DWORD kExitInstallFailure = 1603;  // ERROR_INSTALL_FAILURE

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

// Removes the product of package from the machine, if it is there, so that each run installs
// afresh.
void Uninstall(const std::wstring& package) {
  const test::ProcessResult run = test::RunProcess(L"msiexec.exe /x \"" + package + L"\" /qn", kInstallTimeoutMs);
  ASSERT_TRUE(run.finished);
}

// RunInstaller, bounded: a run that does not end in time fails the test.
DWORD RunInstallerWithin(const std::wstring& package, const wchar_t* arguments) {
  DWORD result = 0xFFFFFFFF;
  EXPECT_TRUE(test::RunTogether(1, [&](std::size_t) { result = RunInstaller(package.c_str(), arguments); },
                                kInstallTimeoutMs));
  return result;
}

// The real Windows Installer on real packages, one after the other (it runs one installation
// at a time), from package folders whose paths hold spaces.
TEST(RunInstaller, RunsTheInstallerInThePackageFolderAndReportsItsExitCode) {
  ScratchDirectory scratch(L"Installer Runner");
  ASSERT_TRUE(::CreateDirectoryW(scratch.path().c_str(), nullptr));
  const std::wstring payload = test::ProgramDataFolder() + L"\\QFUpdate Installer Fixture\\installer_payload.txt";
  const struct {
    const wchar_t* fixture;
    DWORD exit_code;
  } cases[] = {
      {L"installer_plain.msi", ERROR_SUCCESS},
      {L"installer_reboot.msi", kInstallerRebootRequired},  // ScheduleReboot, and no restart
      {L"installer_refused.msi", kExitInstallFailure},     // a false launch condition
  };
  for (const auto& c : cases) Uninstall(test::Fixture(c.fixture));
  ASSERT_FALSE(Exists(payload));

  for (const auto& c : cases) {
    SCOPED_TRACE(Narrow(c.fixture));
    const std::wstring folder = scratch.path() + L"\\package of " + c.fixture;
    ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
    const std::wstring package = folder + L"\\my package.msi";
    ASSERT_TRUE(::CopyFileW(test::Fixture(c.fixture).c_str(), package.c_str(), FALSE));
    EXPECT_EQ(RunInstallerWithin(package, nullptr), c.exit_code);
    EXPECT_TRUE(Exists(folder + L"\\msi.log"));  // the relative log, beside the package
    if (c.exit_code == ERROR_SUCCESS) {
      EXPECT_TRUE(Exists(payload));
    }
    Uninstall(package);
  }
  EXPECT_FALSE(Exists(payload));
}

TEST(RunInstaller, ReportsWhyTheInstallerCouldNotStart) {
  ScratchDirectory scratch(L"InstallerNotStarted");
  // The package's folder is the installer's current folder: a missing one stops the start.
  EXPECT_EQ(RunInstallerWithin(scratch.path() + L"\\missing\\p.msi", nullptr), ERROR_DIRECTORY);
  EXPECT_EQ(RunInstallerWithin(L"C:\\" + std::wstring(MAX_PATH, L'a') + L".msi", nullptr), ERROR_FILENAME_EXCED_RANGE);
  EXPECT_EQ(RunInstaller(nullptr, nullptr), ERROR_INVALID_PARAMETER);
}

// A package folder holding the package, the installer's log, and other files.
struct PackageFolder {
  PackageFolder(const std::wstring& path, std::initializer_list<const wchar_t*> files) : path(path) {
    EXPECT_TRUE(::CreateDirectoryW(path.c_str(), nullptr));
    for (const wchar_t* file : files) EXPECT_TRUE(test::WriteTextFile(path + L"\\" + file, "content"));
  }
  [[nodiscard]] bool Has(const wchar_t* file) const { return Exists(path + L"\\" + file); }
  std::wstring path;
};

TEST(RemovePackageFiles, DeletesThePackageAndWithTheFlagItsLogAndTheFolderWhenEmpty) {
  ScratchDirectory scratch(L"RemovePackageFiles");
  ASSERT_TRUE(::CreateDirectoryW(scratch.path().c_str(), nullptr));
  const struct {
    const char* what;
    bool remove_log_and_directory;
    bool other_file;
    bool log_left, folder_left;
  } cases[] = {
      {"package only", false, false, true, true},
      {"log and folder", true, false, false, false},
      {"another file keeps the folder", true, true, false, true},
  };
  int index = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const PackageFolder folder(scratch.path() + L"\\Request" + std::to_wstring(index++),
                               {L"client.msi", L"msi.log", c.other_file ? L"other.txt" : L"msi.log"});
    // Through the port the store calls on cancel and at the end of a request.
    PackageFiles port;
    store::PackageFileRemover& remover = port;
    remover.RemovePackageFiles((folder.path + L"\\client.msi").c_str(), c.remove_log_and_directory);
    EXPECT_FALSE(folder.Has(L"client.msi"));
    EXPECT_EQ(folder.Has(L"msi.log"), c.log_left);
    EXPECT_EQ(Exists(folder.path), c.folder_left);
    if (c.other_file) {
      EXPECT_TRUE(folder.Has(L"other.txt"));
    }
  }
}

TEST(RemovePackageFiles, APathWithoutBackslashDeletesOnlyThatFile) {
  ScratchDirectory scratch(L"RemoveBareName");
  const PackageFolder folder(scratch.path(), {L"bare.msi", L"msi.log"});
  wchar_t previous[MAX_PATH] = {};
  ASSERT_NE(::GetCurrentDirectoryW(MAX_PATH, previous), 0u);
  ASSERT_TRUE(::SetCurrentDirectoryW(folder.path.c_str()));
  RemovePackageFiles(L"bare.msi", true);
  RemovePackageFiles(L"", true);
  RemovePackageFiles(nullptr, true);
  ASSERT_TRUE(::SetCurrentDirectoryW(previous));
  EXPECT_FALSE(folder.Has(L"bare.msi"));
  EXPECT_TRUE(folder.Has(L"msi.log"));
  EXPECT_TRUE(Exists(folder.path));
}

TEST(RemovePackageFiles, DeletesNothingThroughALinkedPackageFolder) {
  ScratchDirectory scratch(L"RemoveThroughLink");
  ASSERT_TRUE(::CreateDirectoryW(scratch.path().c_str(), nullptr));
  const PackageFolder elsewhere(scratch.path() + L"\\Elsewhere", {L"client.msi", L"msi.log"});
  const std::wstring link = scratch.path() + L"\\Linked";
  ASSERT_TRUE(test::MakeDirectoryLink(link, elsewhere.path));
  for (const bool remove_log_and_directory : {false, true}) {
    RemovePackageFiles((link + L"\\client.msi").c_str(), remove_log_and_directory);
    EXPECT_TRUE(elsewhere.Has(L"client.msi"));
    EXPECT_TRUE(elsewhere.Has(L"msi.log"));
    EXPECT_TRUE(Exists(link));
  }
}

}  // namespace
}  // namespace qfu::package
