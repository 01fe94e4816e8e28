#include "package/working_directory.h"

#include <gtest/gtest.h>
#include <string>

#include "package/safe_directory.h"
#include "support/working_directory_bench.h"

namespace qfu::package {
namespace {

using test::Exists;
using Bench = test::WorkingDirectoryBench;

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

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
