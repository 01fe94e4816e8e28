#include "package/plain_file.h"

#include <gtest/gtest.h>
#include <string>

#include "support/process.h"
#include "support/scratch_directory.h"

namespace qfu::package {
namespace {

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
