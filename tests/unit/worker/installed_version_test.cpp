#include "worker/installed_version.h"

#include <gtest/gtest.h>
#include <optional>
#include <string>

#include "support/client_api_standin.h"
#include "support/legacy_setup_key.h"
#include "support/scratch_key.h"
#include "support/test_messages.h"

namespace qfu::worker {
namespace {

using Result = store::InstalledVersionResult;
const std::wstring kNoKey = L"SOFTWARE\\QFUpdateTests\\NoSuchLegacyKey";

wire::MessageWriter Request(std::uint32_t product_kind, std::string_view software_version) {
  wire::MessageWriter builder = test::SubmitMessage("installed-version");
  builder.U32(wire::kProductKindAt, product_kind).Version(software_version);
  return builder;
}

Result Compare(const wire::MessageWriter& message, worker::ClientApi& api, const std::wstring& legacy_key) {
  return CompareInstalledVersion(wire::RequestMessage(message.span()), api, legacy_key.c_str());
}

TEST(CompareInstalledVersion, CurrentClientThroughTheInstalledLibrary) {
  test::ClientApiStandIn stand_in(L"InstalledVersion");
  ASSERT_TRUE(stand_in.installed());
  worker::LibraryClientApi api;
  EXPECT_EQ(Compare(Request(1, "12.5.345.0"), api, kNoKey), Result::kInstalledUnknown);
  stand_in.SetVersion((12u << 24) | (5u << 16) | 345u);
  EXPECT_EQ(Compare(Request(1, "12.5.345.0"), api, kNoKey), Result::kSame);
}

// Kind 1 asks the client API, kind 2 reads the legacy setup key, any other kind has no
// installed version.
TEST(CompareInstalledVersion, ProductKindChoosesWhereTheInstalledVersionIsRead) {
  test::ScratchKey key(L"LegacySetup", KEY_WOW64_32KEY);
  key.SetString(kProductVersionValue, L"9.2.0.1");
  test::FakeClientApi api;
  api.version = L"1.0";
  const std::pair<std::uint32_t, Result> cases[] = {{1, Result::kNewer},
                                                    {2, Result::kSame},
                                                    {0, Result::kInstalledUnknown},
                                                    {3, Result::kInstalledUnknown},
                                                    {9999, Result::kInstalledUnknown}};
  for (const auto& [kind, expected] : cases) {
    EXPECT_EQ(Compare(Request(kind, "9.2.0.1"), api, key.path()), expected) << "kind " << kind;
  }
}

using test::ViewHolds;

// The 32-bit view first; the 64-bit view only when the key is not in the 32-bit view at all.
TEST(ReadLegacyProductVersion, SixtyFourBitViewOnlyWhenTheKeyIsNotInTheThirtyTwoBitView) {
  const struct {
    const wchar_t* name;
    ViewHolds view32;
    ViewHolds view64;
    const wchar_t* expected;  // null: no version
  } cases[] = {
      {L"LegacyOnly64", {}, {ViewHolds::kText, L"6.4.0.0"}, L"6.4.0.0"},
      {L"LegacyBoth", {ViewHolds::kText, L"3.2.0.0"}, {ViewHolds::kText, L"6.4.0.0"}, L"3.2.0.0"},
      {L"LegacyEmpty32", {ViewHolds::kKeyOnly}, {ViewHolds::kText, L"6.4.0.0"}, nullptr},
      {L"LegacyNeither", {}, {}, nullptr},
  };
  for (const auto& c : cases) {
    const std::wstring name(c.name);
    SCOPED_TRACE(std::string(name.begin(), name.end()));
    std::optional<test::ScratchKey> key32;
    std::optional<test::ScratchKey> key64;
    test::MakeLegacySetupKey(key32, name, KEY_WOW64_32KEY, c.view32);
    test::MakeLegacySetupKey(key64, name, KEY_WOW64_64KEY, c.view64);
    const std::wstring path = L"SOFTWARE\\QFUpdateTests\\" + name;
    wchar_t buffer[kLegacyVersionBytes / sizeof(wchar_t)] = L"left over";
    EXPECT_EQ(ReadLegacyProductVersion(buffer, kLegacyVersionBytes, path.c_str()), c.expected != nullptr);
    EXPECT_STREQ(buffer, c.expected != nullptr ? c.expected : L"");
  }
}

TEST(ReadLegacyProductVersion, ValueThatDoesNotFitCountsAsNoVersion) {
  test::ScratchKey key(L"LegacyTooLong", KEY_WOW64_32KEY);
  test::FakeClientApi api;
  // 36 bytes hold 17 characters and the terminator.
  key.SetString(kProductVersionValue, L"10000.20000.3.400");
  EXPECT_EQ(Compare(Request(2, "10000.20000.3.400"), api, key.path()), Result::kSame);
  key.SetString(kProductVersionValue, L"10000.20000.3.4000");
  EXPECT_EQ(Compare(Request(2, "1.0"), api, key.path()), Result::kInstalledUnknown);
}

}  // namespace
}  // namespace qfu::worker
