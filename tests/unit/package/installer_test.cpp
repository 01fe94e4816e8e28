#include "package/installer.h"

#include <gtest/gtest.h>
#include <string>

#include "common/utf.h"
#include "package/package_files.h"
#include "package/plain_file.h"
#include "support/process.h"
#include "support/run_together.h"
#include "support/scratch_directory.h"
#include "support/working_directory_bench.h"

namespace qfu::package {
namespace {

using test::Exists;
using test::MakeFolderWith;
using test::ScratchDirectory;

constexpr DWORD kInstallTimeoutMs = 40000;

// RunInstaller, bounded: a run that does not end in time fails the test.
DWORD RunInstallerWithin(const std::wstring& package) {
  DWORD result = 0xFFFFFFFF;
  EXPECT_TRUE(test::RunTogether(
      1, [&](std::size_t) { result = RunInstaller(package.c_str(), nullptr); }, kInstallTimeoutMs));
  return result;
}

// The real Windows Installer on real packages, one after the other (it runs one installation
// at a time), from package folders whose paths hold spaces.
TEST(RunInstaller, RunsTheInstallerInThePackageFolderAndReportsItsExitCode) {
  ScratchDirectory scratch(L"Installer Runner");
  ASSERT_TRUE(scratch.Make());
  const std::wstring payload =
      test::ProgramDataFolder() + L"\\QFUpdate Installer Fixture\\installer_payload.txt";
  const std::pair<const wchar_t*, DWORD> cases[] = {
      {L"installer_plain.msi", ERROR_SUCCESS},
      {L"installer_reboot.msi", kInstallerRebootRequired},  // ScheduleReboot, and no restart
      {L"installer_refused.msi", ERROR_INSTALL_FAILURE},    // a launch condition that is false
  };
  for (const auto& c : cases) ASSERT_TRUE(test::UninstallPackage(test::Fixture(c.first), kInstallTimeoutMs));
  ASSERT_FALSE(Exists(payload));

  for (const auto& [fixture, exit_code] : cases) {
    SCOPED_TRACE(testing::Message() << fixture);
    const std::wstring folder = scratch.path() + L"\\package of " + fixture;
    ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
    const std::wstring package = folder + L"\\my package.msi";
    ASSERT_TRUE(::CopyFileW(test::Fixture(fixture).c_str(), package.c_str(), FALSE));
    EXPECT_EQ(RunInstallerWithin(package), exit_code);
    EXPECT_TRUE(Exists(folder + L"\\msi.log"));  // the relative log, beside the package
    EXPECT_TRUE(exit_code != ERROR_SUCCESS || Exists(payload));
    ASSERT_TRUE(test::UninstallPackage(package, kInstallTimeoutMs));
  }
  EXPECT_FALSE(Exists(payload));
}

// "TargetPath" comes from the request key: a crafted one must not make the service (which runs
// as LocalSystem) delete a file, an msi.log and a folder anywhere else.
TEST(RemovePackageFiles, LeavesEveryPathOutsideAPackageDirectoryOfTheWorkingDirectory) {
  test::WorkingDirectoryBench bench(L"RemoveCrafted");
  ASSERT_TRUE(bench.scratch.Make());
  const std::wstring root = bench.scratch.path();
  ASSERT_TRUE(MakeFolderWith(root + L"\\Outside", {L"victim.txt", L"msi.log"}));
  ASSERT_TRUE(MakeFolderWith(root + L"\\Work", {L"victim.txt", L"msi.log"}));
  ASSERT_TRUE(MakeFolderWith(root + L"\\Work\\App", {L"victim.txt", L"msi.log"}));
  ASSERT_TRUE(MakeFolderWith(root + L"\\Work\\App\\Deeper", {L"victim.txt", L"msi.log"}));
  ASSERT_TRUE(MakeFolderWith(root + L"\\Work\\App_1A", {L"victim.txt", L"msi.log"}));
  const std::wstring crafted[] = {
      root + L"\\Outside\\victim.txt",  // another folder (ProcessObjects' default: \Quillfern)
      root + L"\\Work\\App\\..\\..\\Outside\\victim.txt",  // out of it again
      root + L"\\Work\\App\\Deeper\\victim.txt",           // below a package directory
      root + L"\\Work\\victim.txt",                        // the working directory itself
      root + L"\\Work\\App_1A\\victim.txt",                // no request's package directory
      root + L"\\Work\\App\\victim.txt:stream",            // a stream
      root + L"\\Work\\App\\victim.txt\\",                 // a folder
      root + L"\\WORK\\App\\victim.txt",                   // another spelling of the working directory
      L"victim.txt",
      L"",
  };
  for (const std::wstring& path : crafted) {
    SCOPED_TRACE(WideToUtf8(path));
    for (const bool override_in_scratch : {false, true}) {
      if (override_in_scratch) bench.OverrideInScratch(L"\\Work");
      PackageFiles port;
      static_cast<store::PackageFileRemover&>(port).RemovePackageFiles(path.c_str(), true);
    }
    for (const wchar_t* folder :
         {L"\\Outside", L"\\Work\\App\\Deeper", L"\\Work", L"\\Work\\App", L"\\Work\\App_1A"}) {
      EXPECT_TRUE(Exists(root + folder + L"\\victim.txt")) << WideToUtf8(folder);
      EXPECT_TRUE(Exists(root + folder + L"\\msi.log")) << WideToUtf8(folder);
    }
  }
  RemovePackageFiles(nullptr, nullptr, true);
  // The one path that names a package: it goes.
  PackageFiles().RemovePackageFiles((root + L"\\Work\\App\\victim.txt").c_str(), true);
  EXPECT_FALSE(Exists(root + L"\\Work\\App\\victim.txt"));
}

// While the package is held, the installer may read it but nobody may write, delete or rename
// it; once released, all of that works again. A second link to the file is never held.
TEST(LockPackage, LetsOthersOnlyReadWhileHeld) {
  test::ScratchDirectory scratch(L"LockPackage");
  ASSERT_TRUE(scratch.Make());
  const std::wstring package = scratch.path() + L"\\p.msi";
  const std::wstring renamed = scratch.path() + L"\\q.msi";
  ASSERT_TRUE(test::WriteTextFile(package, "package"));
  const auto opens = [&](DWORD access, DWORD share) {
    const UniqueFile file(::CreateFileW(package.c_str(), access, share, nullptr, OPEN_EXISTING, 0, nullptr));
    return file.valid();
  };
  constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  {
    UniqueFile held;
    ASSERT_EQ(LockPackage(package.c_str(), held), 0u);
    EXPECT_TRUE(opens(GENERIC_READ, kShareAll));
    EXPECT_FALSE(opens(GENERIC_WRITE, kShareAll));
    EXPECT_FALSE(::DeleteFileW(package.c_str()));
    EXPECT_FALSE(::MoveFileW(package.c_str(), renamed.c_str()));
  }
  EXPECT_TRUE(opens(GENERIC_WRITE, kShareAll));
  EXPECT_TRUE(::MoveFileW(package.c_str(), renamed.c_str()));
  UniqueFile held;
  EXPECT_EQ(LockPackage(package.c_str(), held), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(held.valid());
  ASSERT_TRUE(::CreateHardLinkW(package.c_str(), renamed.c_str(), nullptr));
  EXPECT_EQ(LockPackage(package.c_str(), held), kPackageFileRefused);
  EXPECT_FALSE(held.valid());
}

}  // namespace
}  // namespace qfu::package
