#include "worker/client_api.h"

#include <gtest/gtest.h>

#include "common/handle.h"
#include "support/client_api_standin.h"
#include "support/process.h"

namespace qfu::worker {
namespace {

constexpr DWORD kVersion5_01_515 = (5u << 24) | (1u << 16) | 515u;

TEST(FormatClientVersion, FormatsMajorTwoDigitMinorAndBuildCutToTheBuffer) {
  wchar_t text[36] = {};
  ASSERT_TRUE(FormatClientVersion(kVersion5_01_515, text));
  EXPECT_STREQ(text, L"5.01.515");
  ASSERT_TRUE(FormatClientVersion(0xFFFFFFFF, text));
  EXPECT_STREQ(text, L"255.255.65535");

  wchar_t small[6] = {L'x', L'x', L'x', L'x', L'x', L'x'};
  ASSERT_TRUE(FormatClientVersion(kVersion5_01_515, std::span<wchar_t>(small, 5)));
  EXPECT_STREQ(small, L"5.01");
  EXPECT_EQ(small[5], L'x');  // nothing written past the size given

  wchar_t untouched[4] = {L'k', 0, 0, 0};
  EXPECT_FALSE(FormatClientVersion(0, untouched));  // 0 is no version
  EXPECT_STREQ(untouched, L"k");
  EXPECT_FALSE(FormatClientVersion(kVersion5_01_515, std::span<wchar_t>(untouched, 0)));
  EXPECT_STREQ(untouched, L"k");
}

TEST(LibraryClientApi, AnswersWhatTheInstalledLibraryReports) {
  test::ClientApiStandIn stand_in(L"Answers");
  ASSERT_TRUE(stand_in.installed());
  LibraryClientApi api;

  // Nothing set: the library's own answers are 0.
  EXPECT_EQ(api.NetworkType(), 0u);
  EXPECT_FALSE(api.IsConnected());
  wchar_t version[36] = {};
  EXPECT_FALSE(api.InstalledVersion(version));
  EXPECT_STREQ(version, L"");

  stand_in.SetNetworkType(2);
  stand_in.SetVersion(kVersion5_01_515);
  EXPECT_EQ(api.NetworkType(), 2u);
  ASSERT_TRUE(api.InstalledVersion(version));
  EXPECT_STREQ(version, L"5.01.515");
  // Nothing is cached: the library is freed after each call.
  EXPECT_EQ(::GetModuleHandleW(kClientApiLibrary), nullptr);
}

TEST(LibraryClientApi, ConnectedOnlyInState3) {
  test::ClientApiStandIn stand_in(L"Connected");
  ASSERT_TRUE(stand_in.installed());
  LibraryClientApi api;
  for (const DWORD state : {0u, 1u, 2u, 4u, 0x103u}) {
    stand_in.SetConnectionState(state);
    EXPECT_FALSE(api.IsConnected()) << "state " << state;
  }
  stand_in.SetConnectionState(3);
  EXPECT_TRUE(api.IsConnected());
}

TEST(LibraryClientApi, TriggerConditionReachesTheLibraryAndItsAnswerComesBack) {
  test::ClientApiStandIn stand_in(L"Trigger");
  ASSERT_TRUE(stand_in.installed());
  LibraryClientApi api;

  EXPECT_EQ(api.SetTriggerCondition(true), 0u);
  EXPECT_EQ(stand_in.LastTriggerCondition(), L"TRUE");
  EXPECT_EQ(stand_in.TriggerCalls(), 1u);

  stand_in.SetTriggerResult(0x1234);
  EXPECT_EQ(api.SetTriggerCondition(false), 0x1234u);
  EXPECT_EQ(stand_in.LastTriggerCondition(), L"FALSE");
  EXPECT_EQ(stand_in.TriggerCalls(), 2u);
}

TEST(LibraryClientApi, LibraryOutsideTheSystemDirectoryIsNeverLoaded) {
  test::ClientApiStandIn stand_in(L"Outside");
  stand_in.SetConnectionState(3);
  stand_in.SetNetworkType(2);
  stand_in.SetVersion(kVersion5_01_515);
  stand_in.SetTriggerResult(7);

  // A working copy of the library under a name of its own, beside the test executable only.
  constexpr const wchar_t* kBesideName = L"qfclapi64_beside.dll";
  const std::wstring beside = test::BuiltProgram(kBesideName);
  ASSERT_TRUE(::CopyFileW(test::BuiltProgram(kClientApiLibrary).c_str(), beside.c_str(), FALSE));
  {
    // The copy itself loads and answers when named by its full path.
    const UniqueModule direct(::LoadLibraryW(beside.c_str()));
    ASSERT_TRUE(direct);
    using GetState = DWORD(WINAPI*)();
    const auto get_state = reinterpret_cast<GetState>(
        reinterpret_cast<void (*)()>(::GetProcAddress(direct.get(), "QuillfernGetConnectionState")));
    ASSERT_NE(get_state, nullptr);
    EXPECT_EQ(get_state(), 3u);
  }

  LibraryClientApi beside_only(kBesideName);
  EXPECT_EQ(beside_only.NetworkType(), 0u);
  EXPECT_FALSE(beside_only.IsConnected());
  EXPECT_EQ(beside_only.SetTriggerCondition(true), 0u);
  wchar_t version[36] = {};
  EXPECT_FALSE(beside_only.InstalledVersion(version));
  EXPECT_EQ(stand_in.TriggerCalls(), 0u);
  ::DeleteFileW(beside.c_str());
}

TEST(LibraryClientApi, MissingLibraryOrExportsGiveTheDefaults) {
  // No such file anywhere; then a system library that has none of the exports.
  for (const wchar_t* library : {L"qfclapi64_missing.dll", L"version.dll"}) {
    LibraryClientApi api(library);
    EXPECT_EQ(api.NetworkType(), 0u);
    EXPECT_FALSE(api.IsConnected());
    EXPECT_EQ(api.SetTriggerCondition(false), 0u);
    wchar_t version[36] = {L'k'};
    EXPECT_FALSE(api.InstalledVersion(version));
    EXPECT_STREQ(version, L"k");
  }
}

}  // namespace
}  // namespace qfu::worker
