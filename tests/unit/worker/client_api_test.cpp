// The client API library as the worker loads it: from the system directory only, by export
// name, answering what the library reports. The built stand-in answers from a scratch key that
// QFCLAPI_STANDIN_KEY names.
#include "worker/client_api.h"

#include <gtest/gtest.h>
#include <string>

#include "common/handle.h"
#include "support/process.h"
#include "support/scratch_key.h"

namespace qfu::worker {
namespace {

TEST(LibraryClientApi, AnswersWhatTheLibraryInTheSystemDirectoryReportsAndNoOther) {
  wchar_t system_dir[MAX_PATH] = {};
  ASSERT_GT(::GetSystemDirectoryW(system_dir, MAX_PATH), 0u);
  const std::wstring built = test::BuiltProgram(kClientApiLibrary);
  // Copied under a name of this process, then renamed over the library, so that parallel test
  // processes never load half a file; a library in use stays (it is the same build).
  const std::wstring copy =
      std::wstring(system_dir) + L"\\qfclapi." + std::to_wstring(::GetCurrentProcessId());
  ASSERT_TRUE(::CopyFileW(built.c_str(), copy.c_str(), FALSE));
  if (!::MoveFileExW(copy.c_str(), (std::wstring(system_dir) + L"\\" + kClientApiLibrary).c_str(),
                     MOVEFILE_REPLACE_EXISTING)) {
    ::DeleteFileW(copy.c_str());
  }
  test::ScratchKey key(L"ClientApi");
  ASSERT_TRUE(::SetEnvironmentVariableW(L"QFCLAPI_STANDIN_KEY", key.path().c_str()));
  key.SetDword(L"ConnectionState", kClientConnectedState);
  key.SetDword(L"NetworkType", 2);
  key.SetDword(L"Version", (5u << 24) | (1u << 16) | 515u);
  key.SetDword(L"TriggerResult", 7);

  LibraryClientApi api;
  EXPECT_TRUE(api.IsConnected());
  EXPECT_EQ(api.NetworkType(), 2u);
  wchar_t version[16] = {};
  ASSERT_TRUE(api.InstalledVersion(version));
  EXPECT_STREQ(version, L"5.01.515");  // the minor part in two digits
  ASSERT_TRUE(api.InstalledVersion(std::span<wchar_t>(version, 4)));
  EXPECT_STREQ(version, L"5.0");  // cut to the buffer
  EXPECT_EQ(api.SetTriggerCondition(true), 7u);
  wchar_t condition[8] = {};
  DWORD size = sizeof(condition);
  EXPECT_EQ(::RegGetValueW(HKEY_LOCAL_MACHINE, key.path().c_str(), L"LastTriggerCondition", RRF_RT_REG_SZ,
                           nullptr, condition, &size),
            0);
  EXPECT_STREQ(condition, L"TRUE");

  // Beside the program, a plain LoadLibrary would find it; the worker does not.
  const std::wstring beside = test::BuiltProgram(L"qfclapi_beside.dll");
  ASSERT_TRUE(::CopyFileW(built.c_str(), beside.c_str(), FALSE));
  ASSERT_TRUE(UniqueModule(::LoadLibraryW(L"qfclapi_beside.dll")));
  LibraryClientApi outside(L"qfclapi_beside.dll");
  EXPECT_FALSE(outside.IsConnected());
  EXPECT_EQ(outside.NetworkType(), 0u);
  EXPECT_FALSE(outside.InstalledVersion(version));
  ::SetEnvironmentVariableW(L"QFCLAPI_STANDIN_KEY", nullptr);
}

}  // namespace
}  // namespace qfu::worker
