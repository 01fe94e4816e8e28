#include "worker/client_api.h"

#include <gtest/gtest.h>

#include "support/client_api_standin.h"

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
  EXPECT_FALSE(FormatClientVersion(kVersion5_01_515, std::span<wchar_t>(untouched, 0)));
  EXPECT_STREQ(untouched, L"k");
}

TEST(LibraryClientApi, AnswersWhatTheInstalledLibraryReportsAndPassesTheTriggerCondition) {
  test::ClientApiStandIn stand_in(L"Answers");
  ASSERT_TRUE(stand_in.installed());
  LibraryClientApi api;
  // The version's way through the library: CompareInstalledVersion.CurrentClientThroughTheInstalledLibrary.
  EXPECT_EQ(api.NetworkType(), 0u);  // nothing set: the library's own answer
  stand_in.SetNetworkType(2);
  EXPECT_EQ(api.NetworkType(), 2u);
  EXPECT_EQ(::GetModuleHandleW(kClientApiLibrary), nullptr);  // nothing cached: freed after each call
  for (const DWORD state : {2u, 3u, 4u}) {
    stand_in.SetConnectionState(state);
    EXPECT_EQ(api.IsConnected(), state == 3) << "state " << state;
  }
  EXPECT_EQ(api.SetTriggerCondition(true), 0u);
  EXPECT_EQ(stand_in.LastTriggerCondition(), L"TRUE");
  stand_in.SetTriggerResult(0x1234);
  EXPECT_EQ(api.SetTriggerCondition(false), 0x1234u);
  EXPECT_EQ(stand_in.LastTriggerCondition(), L"FALSE");
  EXPECT_EQ(stand_in.TriggerCalls(), 2u);
}

TEST(LibraryClientApi, LibraryOutsideTheSystemDirectoryMissingOrWithoutExportsGivesTheDefaults) {
  test::ClientApiStandIn stand_in(L"Outside");
  stand_in.SetConnectionState(3);
  stand_in.SetNetworkType(2);
  stand_in.SetVersion(kVersion5_01_515);
  stand_in.SetTriggerResult(7);
  // A working copy beside the test executable only; no such file anywhere; a system library
  // that has none of the exports.
  const std::wstring beside = test::CopyClientApiBeside(L"qfclapi64_beside.dll", 3);
  ASSERT_FALSE(beside.empty());
  for (const wchar_t* library : {L"qfclapi64_beside.dll", L"qfclapi64_missing.dll", L"version.dll"}) {
    LibraryClientApi api(library);
    EXPECT_EQ(api.NetworkType(), 0u);
    EXPECT_FALSE(api.IsConnected());
    EXPECT_EQ(api.SetTriggerCondition(false), 0u);
    wchar_t version[36] = {L'k'};
    EXPECT_FALSE(api.InstalledVersion(version));
    EXPECT_STREQ(version, L"k");
  }
  EXPECT_EQ(stand_in.TriggerCalls(), 0u);
  ::DeleteFileW(beside.c_str());
}

}  // namespace
}  // namespace qfu::worker
