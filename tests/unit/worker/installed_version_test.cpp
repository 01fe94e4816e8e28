#include "worker/installed_version.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <string>

#include "common/handle.h"

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

TEST(ReadLegacyProductVersion, ThirtyTwoBitViewFirstThenSixtyFourBit) {
  test::ScratchKey key32(L"LegacyViews", KEY_WOW64_32KEY);
  test::ScratchKey key64(L"LegacyViews", KEY_WOW64_64KEY);
  wchar_t buffer[kLegacyVersionBytes / sizeof(wchar_t)] = {};

  key64.SetString(kProductVersionValue, L"6.4.0.0");
  ASSERT_TRUE(ReadLegacyProductVersion(buffer, kLegacyVersionBytes, key64.path().c_str()));
  EXPECT_STREQ(buffer, L"6.4.0.0");  // only in the 64-bit view: still found
  test::FakeClientApi api;
  EXPECT_EQ(Compare(Request(2, "6.4"), api, key64.path()), Result::kSame);

  key32.SetString(kProductVersionValue, L"3.2.0.0");
  ASSERT_TRUE(ReadLegacyProductVersion(buffer, kLegacyVersionBytes, key32.path().c_str()));
  EXPECT_STREQ(buffer, L"3.2.0.0");  // both views: the 32-bit one wins
}

TEST(ReadLegacyProductVersion, ValueThatDoesNotFitCountsAsNoVersion) {
  test::ScratchKey key(L"LegacyTooLong", KEY_WOW64_32KEY);
  test::FakeClientApi api;
  // 36 bytes hold 17 characters and the terminator.
  key.SetString(kProductVersionValue, L"10000.20000.3.400");
  EXPECT_EQ(Compare(Request(2, "10000.20000.3.400"), api, key.path()), Result::kSame);
  key.SetString(kProductVersionValue, L"10000.20000.3.4000");
  EXPECT_EQ(Compare(Request(2, "1.0"), api, key.path()), Result::kInstalledUnknown);

  // Values that arrive without a terminator (binary, or a string stored without its NUL):
  // the text must end inside the buffer; such a value leaves the buffer empty.
  const std::wstring unterminated(18, L'7');  // exactly 36 bytes, no NUL
  wchar_t guarded[24];
  for (const DWORD type : {REG_BINARY, REG_SZ}) {
    UniqueHkey raw;
    ASSERT_EQ(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.path().c_str(), 0, KEY_SET_VALUE | KEY_WOW64_32KEY, raw.put()),
              ERROR_SUCCESS);
    ASSERT_EQ(::RegSetValueExW(raw.get(), kProductVersionValue, 0, type,
                               reinterpret_cast<const BYTE*>(unterminated.data()), kLegacyVersionBytes),
              ERROR_SUCCESS);
    std::fill(std::begin(guarded), std::end(guarded), L'g');
    EXPECT_FALSE(ReadLegacyProductVersion(guarded, kLegacyVersionBytes, key.path().c_str())) << type;
    EXPECT_EQ(guarded[0], L'\0');
    EXPECT_EQ(guarded[18], L'g');  // nothing written past the 36 bytes
    EXPECT_EQ(Compare(Request(2, "1.0"), api, key.path()), Result::kInstalledUnknown) << type;
  }
}

}  // namespace
}  // namespace qfu::worker
