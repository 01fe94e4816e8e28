#include "package/working_directory.h"

#include <gtest/gtest.h>
#include <string>

#include "package/safe_directory.h"
#include "support/working_directory_bench.h"

namespace qfu::package {
namespace {

using test::Exists;
using test::ProgramDataFolder;
using Bench = test::WorkingDirectoryBench;

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

TEST(GetWorkingDirectory, TakesTheOverrideInItsNormalFormOrKeepsTheDefault) {
  Bench bench(L"WorkingDirectoryOverrides");
  const std::wstring program_data = ProgramDataFolder();
  std::wstring path;
  ASSERT_EQ(GetWorkingDirectory(false, path), ERROR_SUCCESS);  // no override value
  EXPECT_EQ(path, program_data + L"\\Quillfern\\");

  // The forms are in NormalizeProgramDataSubdirectory's table; here: the value reaches it.
  // 259 units fill the 520-byte buffer with the terminator; 260 do not fit it.
  const std::wstring longest = L"\\" + std::wstring(258, L'a');
  const struct {
    std::wstring value, below_program_data;
  } cases[] = {
      {L"Vendor\\Agent\\\\", L"\\Vendor\\Agent\\"},
      {longest, longest + L"\\"},
      {longest + L"a", L"\\Quillfern\\"},
  };
  for (const auto& c : cases) {
    bench.Override(c.value);
    ASSERT_EQ(GetWorkingDirectory(false, path), ERROR_SUCCESS) << Narrow(c.value);
    EXPECT_EQ(path, program_data + c.below_program_data) << Narrow(c.value);
  }
}

TEST(GetWorkingDirectory, CreatesEachLevelOnlyWhenAskedAndAgainWhenTheyExist) {
  Bench bench(L"WorkingDirectoryCreation");
  bench.OverrideInScratch(L"\\Vendor\\Agent");
  const std::wstring expected = bench.scratch.path() + L"\\Vendor\\Agent\\";
  std::wstring path;
  ASSERT_EQ(GetWorkingDirectory(false, path), ERROR_SUCCESS);
  EXPECT_EQ(path, expected);
  EXPECT_FALSE(Exists(bench.scratch.path()));  // nothing made without creation
  for (int call = 0; call < 2; ++call) {       // the second call finds every level there
    ASSERT_EQ(GetWorkingDirectory(true, path), ERROR_SUCCESS) << call;
    EXPECT_EQ(path, expected);
    EXPECT_EQ(CheckPlainDirectory(path.c_str()), ERROR_SUCCESS);
  }
}

// The working directory is protected anew (a link is refused there); a level above is kept as
// it is, but must not be a link either.
TEST(GetWorkingDirectory, RefusesALinkAtAnyLevelAndLeavesItsTargetEmpty) {
  Bench bench(L"WorkingDirectoryLinks");
  const std::wstring elsewhere = bench.scratch.path() + L"\\Elsewhere";
  std::wstring path;
  bench.OverrideInScratch(L"\\Elsewhere");
  ASSERT_EQ(GetWorkingDirectory(true, path), ERROR_SUCCESS);
  for (const auto& [link, override_value] : {std::pair{L"\\LinkedAgent", L"\\LinkedAgent"},
                                             std::pair{L"\\LinkedVendor", L"\\LinkedVendor\\Agent"}}) {
    SCOPED_TRACE(Narrow(override_value));
    ASSERT_TRUE(test::MakeDirectoryLink(bench.scratch.path() + link, elsewhere));
    bench.OverrideInScratch(override_value);
    EXPECT_EQ(GetWorkingDirectory(true, path), kReparsePointRefused);
    EXPECT_TRUE(path.empty());
    EXPECT_FALSE(Exists(elsewhere + L"\\Agent"));
  }
}

TEST(PreparePackageDirectory, MakesTheRequestsFolderInsideTheWorkingDirectoryForAcceptableNames) {
  Bench bench(L"PackageDirectory");
  bench.OverrideInScratch(L"\\Agent");
  // The refused names are in IsAcceptableRequestName's table; here: nothing is made for them.
  std::wstring directory;
  for (const wchar_t* name : {L"..\\..\\Windows", static_cast<const wchar_t*>(nullptr)}) {
    directory = L"stale";
    EXPECT_EQ(PreparePackageDirectory(name, directory), ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(directory.empty());
  }
  EXPECT_FALSE(Exists(bench.scratch.path()));

  ASSERT_EQ(PreparePackageDirectory(L"Client", directory), ERROR_SUCCESS);
  EXPECT_EQ(directory, bench.scratch.path() + L"\\Agent\\Client\\");
  EXPECT_EQ(CheckPlainDirectory(directory.c_str()), ERROR_SUCCESS);
  ASSERT_EQ(PreparePackageDirectory(L"Client", directory), ERROR_SUCCESS);  // already there

  ASSERT_TRUE(
      test::WriteTextFile(bench.scratch.path() + L"\\Agent\\Blocked", "a file"));  // in the folder's place
  EXPECT_EQ(PreparePackageDirectory(L"Blocked", directory), ERROR_DIRECTORY);
  EXPECT_TRUE(directory.empty());
}

}  // namespace
}  // namespace qfu::package
