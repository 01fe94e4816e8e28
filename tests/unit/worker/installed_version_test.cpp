#include "worker/installed_version.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "support/client_api_standin.h"
#include "support/test_messages.h"
#include "support/scratch_key.h"

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

TEST(CompareInstalledVersion, CurrentClientAsksTheClientApi) {
  test::FakeClientApi api;
  api.version = L"12.05.345";
  EXPECT_EQ(Compare(Request(1, "12.5.345.0"), api, kNoKey), Result::kSame);
  EXPECT_EQ(Compare(Request(1, "12.5.345.1"), api, kNoKey), Result::kNewer);
  EXPECT_EQ(Compare(Request(1, "12.4.999.9"), api, kNoKey), Result::kOlder);
  api.version.clear();  // the client reports no version
  EXPECT_EQ(Compare(Request(1, "12.5.345.0"), api, kNoKey), Result::kInstalledUnknown);
}

TEST(CompareInstalledVersion, CurrentClientThroughTheInstalledLibrary) {
  test::ClientApiStandIn stand_in(L"InstalledVersion");
  ASSERT_TRUE(stand_in.installed());
  worker::LibraryClientApi api;
  EXPECT_EQ(Compare(Request(1, "12.5.345.0"), api, kNoKey), Result::kInstalledUnknown);
  stand_in.SetVersion((12u << 24) | (5u << 16) | 345u);
  EXPECT_EQ(Compare(Request(1, "12.5.345.0"), api, kNoKey), Result::kSame);
}

TEST(CompareInstalledVersion, LegacyClientReadsItsSetupKey) {
  test::ScratchKey key(L"LegacySetup", KEY_WOW64_32KEY);
  test::FakeClientApi api;
  api.version = L"1.0";  // never asked for the legacy client
  EXPECT_EQ(Compare(Request(2, "9.2.0.10"), api, key.path()), Result::kInstalledUnknown);  // value missing
  key.SetString(kProductVersionValue, L"9.2.0.1");
  EXPECT_EQ(Compare(Request(2, "9.2.0.10"), api, key.path()), Result::kNewer);
  EXPECT_EQ(Compare(Request(2, ""), api, key.path()), Result::kNoRequestedVersion);
  EXPECT_EQ(Compare(Request(2, "9.2.0.10"), api, kNoKey), Result::kInstalledUnknown);
}

TEST(CompareInstalledVersion, OtherProductKindsHaveNoInstalledVersion) {
  test::ScratchKey key(L"LegacyOtherKinds", KEY_WOW64_32KEY);
  key.SetString(kProductVersionValue, L"9.2.0.1");
  test::FakeClientApi api;
  api.version = L"9.2.0.1";
  for (const std::uint32_t kind : {0u, 3u, 9999u}) {
    EXPECT_EQ(Compare(Request(kind, "9.2.0.1"), api, key.path()), Result::kInstalledUnknown) << "kind " << kind;
    EXPECT_EQ(Compare(Request(kind, ""), api, key.path()), Result::kInstalledUnknown) << "kind " << kind;
  }
}

// What one registry view holds at the legacy setup key's path.
struct ViewHolds {
  enum { kNoKey, kKeyOnly, kText, kUnusableValue } what = kNoKey;
  const wchar_t* text = L"";
};

// Makes in key what the view holds; the key goes with it. A key left over from an earlier run
// is removed in every case.
void Make(std::optional<test::ScratchKey>& key, const std::wstring& name, REGSAM view, const ViewHolds& holds) {
  key.emplace(name, view);
  if (holds.what == ViewHolds::kNoKey) key.reset();
  if (holds.what == ViewHolds::kText) key->SetString(kProductVersionValue, holds.text);
  if (holds.what == ViewHolds::kUnusableValue) {  // binary, no NUL, fills the 36 bytes
    const std::wstring unterminated(kLegacyVersionBytes / sizeof(wchar_t), L'7');
    key->SetBinary(kProductVersionValue, unterminated.data(), kLegacyVersionBytes);
  }
}

// The 32-bit view first; the 64-bit view only when the key is not in the 32-bit view at all.
TEST(ReadLegacyProductVersion, SixtyFourBitViewOnlyWhenTheKeyIsNotInTheThirtyTwoBitView) {
  const struct {
    const wchar_t* name;
    ViewHolds view32;
    ViewHolds view64;
    const wchar_t* expected;  // null: no version
  } cases[] = {
      {L"LegacyOnly64", {}, {ViewHolds::kText, L"6.4.0.0"}, L"6.4.0.0"},
      {L"LegacyOnly32", {ViewHolds::kText, L"3.2.0.0"}, {}, L"3.2.0.0"},
      {L"LegacyBoth", {ViewHolds::kText, L"3.2.0.0"}, {ViewHolds::kText, L"6.4.0.0"}, L"3.2.0.0"},
      {L"LegacyEmpty32", {ViewHolds::kKeyOnly}, {ViewHolds::kText, L"6.4.0.0"}, nullptr},
      {L"LegacyUnusable32", {ViewHolds::kUnusableValue}, {ViewHolds::kText, L"6.4.0.0"}, nullptr},
      {L"LegacyNeither", {}, {}, nullptr},
  };
  for (const auto& c : cases) {
    const std::wstring name(c.name);
    SCOPED_TRACE(std::string(name.begin(), name.end()));
    std::optional<test::ScratchKey> key32;
    std::optional<test::ScratchKey> key64;
    Make(key32, name, KEY_WOW64_32KEY, c.view32);
    Make(key64, name, KEY_WOW64_64KEY, c.view64);
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
