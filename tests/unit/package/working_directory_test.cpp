#include "package/working_directory.h"

#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

#include <string>

#include "common/handle.h"
#include "package/safe_directory.h"
#include "support/scratch_directory.h"
#include "support/scratch_key.h"

namespace qfu::package {
namespace {

using test::Exists;
using test::ProgramDataFolder;
using test::ScratchDirectory;
using test::ScratchKey;

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

// Process-wide objects whose working directory override is read from key.
struct Objects {
  explicit Objects(const ScratchKey& key) { objects.working_directory_key_path = key.path(); }
  ProcessObjects objects;
};

TEST(GetWorkingDirectory, TakesTheOverrideInItsNormalFormOrKeepsTheDefault) {
  ScratchKey key(L"WorkingDirectoryOverrides");
  const std::wstring program_data = ProgramDataFolder();
  Objects o(key);
  std::wstring path;

  // No key at all, then the key without the value.
  o.objects.working_directory_key_path = key.path() + L"\\Missing";
  ASSERT_EQ(GetWorkingDirectory(o.objects, false, path), ERROR_SUCCESS);
  EXPECT_EQ(path, program_data + L"\\Quillfern\\");
  o.objects.working_directory_key_path = key.path();
  ASSERT_EQ(GetWorkingDirectory(o.objects, false, path), ERROR_SUCCESS);
  EXPECT_EQ(path, program_data + L"\\Quillfern\\");

  const struct {
    const wchar_t* value;
    const wchar_t* below_program_data;
  } cases[] = {
      // Every form is in NormalizeProgramDataSubdirectory's table; here: the value reaches it.
      {L"\\Vendor\\Agent", L"\\Vendor\\Agent\\"},
      {L"Vendor\\Agent\\\\", L"\\Vendor\\Agent\\"},
      {L"\\..\\..\\Windows", L"\\Quillfern\\"},
      {L"C:\\Windows", L"\\Quillfern\\"},
  };
  for (const auto& c : cases) {
    key.SetString(kProgramDataSubdirectoryValue, c.value);
    ASSERT_EQ(GetWorkingDirectory(o.objects, false, path), ERROR_SUCCESS) << Narrow(c.value);
    EXPECT_EQ(path, program_data + c.below_program_data) << Narrow(c.value);
  }
  // 259 units fill the 520-byte buffer with the terminator; 260 do not fit it.
  const std::wstring longest = L"\\" + std::wstring(258, L'a');
  key.SetString(kProgramDataSubdirectoryValue, longest.c_str());
  ASSERT_EQ(GetWorkingDirectory(o.objects, false, path), ERROR_SUCCESS);
  EXPECT_EQ(path, program_data + longest + L"\\");
  key.SetString(kProgramDataSubdirectoryValue, (longest + L"a").c_str());
  ASSERT_EQ(GetWorkingDirectory(o.objects, false, path), ERROR_SUCCESS);
  EXPECT_EQ(path, program_data + L"\\Quillfern\\");
}

TEST(GetWorkingDirectory, ReadsTheOverrideFromThe64BitViewOnly) {
  ScratchKey key32(L"WorkingDirectoryView", KEY_WOW64_32KEY);
  key32.SetString(kProgramDataSubdirectoryValue, L"\\Vendor32");
  Objects o(key32);
  std::wstring path;
  ASSERT_EQ(GetWorkingDirectory(o.objects, false, path), ERROR_SUCCESS);
  EXPECT_EQ(path, ProgramDataFolder() + L"\\Quillfern\\");
}

TEST(GetWorkingDirectory, CreatesEachLevelOnlyWhenAskedAndAgainWhenTheyExist) {
  ScratchKey key(L"WorkingDirectoryCreation");
  ScratchDirectory scratch(L"WorkingDirectoryCreation");
  Objects o(key);
  key.SetString(kProgramDataSubdirectoryValue, (scratch.below_program_data() + L"\\Vendor\\Agent").c_str());
  const std::wstring expected = scratch.path() + L"\\Vendor\\Agent\\";

  std::wstring path;
  ASSERT_EQ(GetWorkingDirectory(o.objects, false, path), ERROR_SUCCESS);
  EXPECT_EQ(path, expected);
  EXPECT_FALSE(Exists(scratch.path()));  // nothing made without creation

  for (int call = 0; call < 2; ++call) {  // the second call finds every level there
    ASSERT_EQ(GetWorkingDirectory(o.objects, true, path), ERROR_SUCCESS) << call;
    EXPECT_EQ(path, expected);
    EXPECT_EQ(CheckPlainDirectory(path.c_str()), ERROR_SUCCESS);
  }
}

TEST(GetWorkingDirectory, RefusesALinkAtAnyLevelAndLeavesItsTargetEmpty) {
  ScratchKey key(L"WorkingDirectoryLinks");
  ScratchDirectory scratch(L"WorkingDirectoryLinks");
  Objects o(key);
  const std::wstring elsewhere = scratch.path() + L"\\Elsewhere";
  const std::wstring base = scratch.below_program_data();
  const struct {
    const wchar_t* what;
    std::wstring link;      // below ProgramData
    std::wstring override_value;
  } cases[] = {
      {L"the working directory", base + L"\\LinkedAgent", base + L"\\LinkedAgent"},
      {L"a level above it", base + L"\\LinkedVendor", base + L"\\LinkedVendor\\Agent"},
  };
  std::wstring path;
  key.SetString(kProgramDataSubdirectoryValue, (base + L"\\Elsewhere").c_str());
  ASSERT_EQ(GetWorkingDirectory(o.objects, true, path), ERROR_SUCCESS);
  for (const auto& c : cases) {
    SCOPED_TRACE(Narrow(c.what));
    ASSERT_TRUE(test::MakeDirectoryLink(ProgramDataFolder() + c.link, elsewhere));
    key.SetString(kProgramDataSubdirectoryValue, c.override_value.c_str());
    EXPECT_EQ(GetWorkingDirectory(o.objects, true, path), kReparsePointRefused);
    EXPECT_TRUE(path.empty());
    EXPECT_FALSE(Exists(elsewhere + L"\\Agent"));
  }
}

TEST(PreparePackageDirectory, MakesTheRequestsFolderInsideTheWorkingDirectory) {
  ScratchKey key(L"PackageDirectory");
  ScratchDirectory scratch(L"PackageDirectory");
  Objects o(key);
  key.SetString(kProgramDataSubdirectoryValue, (scratch.below_program_data() + L"\\Agent").c_str());
  std::wstring directory;
  ASSERT_EQ(PreparePackageDirectory(o.objects, L"Client", directory), ERROR_SUCCESS);
  EXPECT_EQ(directory, scratch.path() + L"\\Agent\\Client\\");
  EXPECT_EQ(CheckPlainDirectory(directory.c_str()), ERROR_SUCCESS);
  ASSERT_EQ(PreparePackageDirectory(o.objects, L"Client", directory), ERROR_SUCCESS);  // already there

  // A file in the folder's place, and a link to a folder elsewhere.
  ASSERT_TRUE(test::WriteTextFile(scratch.path() + L"\\Agent\\Blocked", "a file"));
  EXPECT_EQ(PreparePackageDirectory(o.objects, L"Blocked", directory), ERROR_DIRECTORY);
  EXPECT_TRUE(directory.empty());
  const std::wstring elsewhere = scratch.path() + L"\\Elsewhere";
  ASSERT_TRUE(::CreateDirectoryW(elsewhere.c_str(), nullptr));
  ASSERT_TRUE(test::MakeDirectoryLink(scratch.path() + L"\\Agent\\Linked", elsewhere));
  EXPECT_EQ(PreparePackageDirectory(o.objects, L"Linked", directory), kReparsePointRefused);
  EXPECT_TRUE(directory.empty());
}

TEST(PreparePackageDirectory, RefusesNamesThatSubmitRefusesAndMakesNothing) {
  ScratchKey key(L"PackageDirectoryNames");
  ScratchDirectory scratch(L"PackageDirectoryNames");
  Objects o(key);
  key.SetString(kProgramDataSubdirectoryValue, (scratch.below_program_data() + L"\\Agent").c_str());
  // Every refused form is in IsAcceptableRequestName's table; here: nothing is made for them.
  for (const wchar_t* name : {L"", L"..\\..\\Windows", L"C:", L"CON", L"12345678901234567890123456789012345678"}) {
    std::wstring directory = L"stale";
    EXPECT_EQ(PreparePackageDirectory(o.objects, name, directory), ERROR_INVALID_PARAMETER) << Narrow(name);
    EXPECT_TRUE(directory.empty());
  }
  std::wstring directory;
  EXPECT_EQ(PreparePackageDirectory(o.objects, nullptr, directory), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(Exists(scratch.path()));
}

// The owner and access list that a directory reports, as SDDL.
std::wstring SecurityOf(const std::wstring& path) {
  PSECURITY_DESCRIPTOR raw = nullptr;
  const DWORD read = ::GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT,
                                             OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr,
                                             nullptr, nullptr, nullptr, &raw);
  UniqueLocalMemory descriptor(raw);
  if (read != ERROR_SUCCESS) return L"error " + std::to_wstring(read);
  wchar_t* text = nullptr;
  if (!::ConvertSecurityDescriptorToStringSecurityDescriptorW(
          descriptor.get(), SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &text, nullptr)) {
    return L"unconvertible";
  }
  UniqueLocalMemory owned_text(text);
  return text;
}

TEST(GetWorkingDirectory, ProtectsTheLevelsItMakesAndAnExistingWorkingDirectory) {
  if (test::RunningUnderWine()) {
    // Wine 8 keeps no security descriptor for files: every query answers one made up from the
    // Unix mode bits, the same for any folder, whatever was set.
    GTEST_SKIP() << "file security descriptors are not kept under Wine";
  }
  ScratchKey key(L"WorkingDirectorySecurity");
  ScratchDirectory scratch(L"WorkingDirectorySecurity");
  Objects o(key);
  ASSERT_TRUE(::CreateDirectoryW(scratch.path().c_str(), nullptr));
  const std::wstring existing = scratch.path() + L"\\Existing";  // made first by someone else
  ASSERT_TRUE(::CreateDirectoryW(existing.c_str(), nullptr));
  const std::wstring before = SecurityOf(scratch.path());

  std::wstring path;
  key.SetString(kProgramDataSubdirectoryValue, (scratch.below_program_data() + L"\\Existing").c_str());
  ASSERT_EQ(GetWorkingDirectory(o.objects, true, path), ERROR_SUCCESS);
  key.SetString(kProgramDataSubdirectoryValue, (scratch.below_program_data() + L"\\New\\Agent").c_str());
  ASSERT_EQ(GetWorkingDirectory(o.objects, true, path), ERROR_SUCCESS);
  std::wstring package;
  ASSERT_EQ(PreparePackageDirectory(o.objects, L"Client", package), ERROR_SUCCESS);

  for (const std::wstring& protected_path :
       {existing, scratch.path() + L"\\New", scratch.path() + L"\\New\\Agent", package}) {
    // Owner, a protected DACL ("P"; Windows may add "AI"), and exactly the agent's entries.
    const std::wstring security = SecurityOf(protected_path);
    const std::size_t entries = security.find(L'(');
    ASSERT_NE(entries, std::wstring::npos) << Narrow(security);
    EXPECT_EQ(security.substr(0, 7), L"O:BAD:P") << Narrow(security);
    EXPECT_EQ(security.substr(entries), L"(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;WD)")
        << Narrow(security);
  }
  EXPECT_EQ(SecurityOf(scratch.path()), before);  // an existing level above is left alone
}

}  // namespace
}  // namespace qfu::package
