#include "worker/recovery.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "common/utf.h"
#include "package/working_directory.h"
#include "store/store_operations.h"
#include "support/client_api_standin.h"
#include "support/scratch_directory.h"
#include "support/scratch_key.h"
#include "support/stored_requests.h"
#include "support/test_messages.h"
#include "wire/update_status.h"

namespace qfu::worker {
namespace {

constexpr const char* kInstalled = "1.2.3.4";  // what the client reports
constexpr const char* kNewer = "1.2.3.5";
constexpr std::uint32_t kDeadlineMinutes = 1440;
constexpr std::uint64_t kFileTimeHour = 36'000'000'000ULL;
constexpr std::uint64_t kHourMs = 3'600'000;
constexpr std::uint64_t kNoTime = ~0ULL;

struct Row {
  const wchar_t* key;         // the subkey the values are stored under
  const char* name;           // the stored message's request name
  std::uint32_t instance;     // not 0: a dry run with this instance number
  wire::UpdateStatus status;  // stored
  const char* version;        // requested
  bool initial_request;       // "InitialRequest" stored
  bool package;               // package, msi.log and package directory on disk, named by "TargetPath"
  std::uint64_t age_hours;    // "RequestTime" this long ago (kNoTime: none)
  // What recovery leaves.
  wire::UpdateStatus expected_status;
  std::uint64_t deadline_ms;  // listed: deadline tick minus now (kNoTime: not listed)
  bool package_remains;
};

const Row kRows[] = {
    // Installations the restart finished, and ones it did not.
    {L"Restarted", "Restarted", 0, wire::kRestartPending, kInstalled, true, true, 1, wire::kCompleted,
     kNoTime, false},
    {L"Pending", "Pending", 0, wire::kRestartPending, kNewer, true, true, 1, wire::kRestartPending, kNoTime,
     true},
    {L"Cut", "Cut", 0, wire::kInstalling, kNewer, true, true, 1, wire::kQueued, 23 * kHourMs, true},
    {L"Trial_00000003", "Trial", 3, wire::kInstalling, kInstalled, true, true, 1, wire::kCompleted, kNoTime,
     true},
    // In progress: the deadline from the stored acceptance, or from now without one.
    {L"Overdue", "Overdue", 0, wire::kDownloaded, kNewer, true, false, 48, wire::kQueued, 0, false},
    {L"Retry", "Retry", 0, wire::kDownloadRetry, kNewer, true, false, kNoTime, wire::kQueued, 24 * kHourMs,
     false},
    // Left alone: final, unreadable, or not a key the agent makes for this message.
    {L"Failed", "Failed", 0, wire::kInstallFailed, kNewer, true, false, 1, wire::kInstallFailed, kNoTime,
     false},
    {L"Bare", "Bare", 0, wire::kDownloaded, kNewer, false, false, 1, wire::kDownloaded, kNoTime, false},
    {L"CON", "CON", 0, wire::kDownloaded, kNewer, true, false, 1, wire::kDownloaded, kNoTime, false},
    {L"a..b", "a..b", 0, wire::kDownloaded, kNewer, true, false, 1, wire::kDownloaded, kNoTime, false},
    {L"Twin_0000001A", "Twin", 0x1A, wire::kDownloaded, kNewer, true, false, 1, wire::kQueued, 23 * kHourMs,
     false},
    {L"Twin_1A", "Twin_1A", 0, wire::kDownloaded, kNewer, true, false, 1, wire::kDownloaded, kNoTime, false},
    {L"Other_00000005", "Other", 6, wire::kDownloaded, kNewer, true, false, 1, wire::kDownloaded, kNoTime,
     false},
    {L"Mixed", "MIXED", 0, wire::kDownloaded, kNewer, true, false, 1, wire::kQueued, 23 * kHourMs, false},
    {L"Named", "Renamed", 0, wire::kDownloaded, kNewer, true, false, 1, wire::kDownloaded, kNoTime, false},
};

wire::MessageWriter StoredMessage(const Row& row) {
  return test::RecoverableMessage(row.name, row.version, kDeadlineMinutes, row.instance);
}

TEST(RecoverStoredRequests, DecidesEachStoredRequestByItsStatusAndInstalledVersion) {
  test::TestStore store(L"Recovery");
  test::FakeClientApi client_api;
  client_api.version = L"1.2.3.4";
  const test::ScratchDirectory packages(L"Recovery");
  ASSERT_TRUE(packages.Make());
  // The packages lie in the working directory: only there does recovery remove any.
  test::ScratchKey working_directory(L"RecoveryWorkingDirectory");
  working_directory.SetString(package::kProgramDataSubdirectoryValue, packages.below_program_data().c_str());
  store.objects().working_directory_key_path = working_directory.path();
  for (const Row& row : kRows) {
    test::StoredValues values;
    values.status = row.status;
    values.initial_request = row.initial_request;
    if (row.package) {
      ASSERT_TRUE(test::MakeFolderWith(packages.path() + L"\\" + row.key, {L"p.msi", L"msi.log"}));
      values.target_path = packages.path() + L"\\" + row.key + L"\\p.msi";
    }
    if (row.age_hours != kNoTime) values.request_time = store.clock().utc - row.age_hours * kFileTimeHour;
    values.cancel_pending = true;
    test::StoreRequestKey(store, row.key, StoredMessage(row), values);
  }

  RecoverStoredRequests(store.objects(), client_api);

  std::vector<std::wstring> listed;
  store.objects().requests.ForEach([&](store::RequestRecord& record) {
    const std::wstring key = test::ListedKeyName(record);  // the registry's letter case does not count
    const auto row = std::find_if(std::begin(kRows), std::end(kRows),
                                  [&](const Row& r) { return _wcsicmp(r.key, key.c_str()) == 0; });
    listed.push_back(row != std::end(kRows) ? row->key : key);
    EXPECT_TRUE(row != std::end(kRows) && record.deadline_tick == store.clock().tick + row->deadline_ms)
        << key;
    EXPECT_EQ(ReadU32(record.message(), wire::kRandomDelayMinAt) |
                  ReadU32(record.message(), wire::kRandomDelayMaxAt),
              0u)
        << key;
    return true;
  });
  std::vector<std::wstring> expected_listed;
  for (const Row& row : kRows) {
    SCOPED_TRACE(WideToUtf8(row.key));
    if (row.deadline_ms != kNoTime) expected_listed.push_back(row.key);
    EXPECT_EQ(static_cast<wire::UpdateStatus>(store.Dword(row.key, store::value::kUpdateStatus)),
              row.expected_status);
    if (row.expected_status == wire::kCompleted) {
      for (const wchar_t* pruned : {store::value::kInitialRequest, store::value::kTargetPath,
                                    store::value::kCancelPending, store::value::kRequestTime}) {
        EXPECT_FALSE(store.Value(row.key, pruned)) << WideToUtf8(pruned);
      }
    } else {
      EXPECT_EQ(store.Value(row.key, store::value::kInitialRequest).has_value(), row.initial_request);
      EXPECT_TRUE(store.Value(row.key, store::value::kCancelPending));
    }
    if (row.package) {
      const std::wstring folder = packages.path() + L"\\" + row.key;
      for (const std::wstring& path : {folder + L"\\p.msi", folder + L"\\msi.log", folder}) {
        EXPECT_EQ(test::Exists(path), row.package_remains) << WideToUtf8(path);
      }
    }
  }
  std::sort(listed.begin(), listed.end());
  std::sort(expected_listed.begin(), expected_listed.end());
  EXPECT_EQ(listed, expected_listed);
  EXPECT_TRUE(store.MutexesAreFree());
}

// An empty service key ends the walk at once; without the cancel mutex nothing is recovered.
TEST(RecoverStoredRequests, RecoversNothingFromAnEmptyKeyOrWithoutTheCancelMutex) {
  test::FakeClientApi client_api;
  {
    test::TestStore store(L"RecoveryEmpty");
    RecoverStoredRequests(store.objects(), client_api);
    EXPECT_EQ(store.RequestCount(), 0u);
    EXPECT_FALSE(store.TakeUpdateEvent());
  }
  test::TestStore store(L"RecoveryNoMutex");
  const Row resumable{L"Retry", "Retry", 0,       wire::kDownloadRetry, kNewer,
                      true,     false,   kNoTime, wire::UpdateStatus{}, 0,
                      false};
  test::StoredValues values;
  values.status = resumable.status;
  test::StoreRequestKey(store, resumable.key, StoredMessage(resumable), values);
  store.objects().cancel_mutex.reset();
  RecoverStoredRequests(store.objects(), client_api);
  EXPECT_EQ(store.RequestCount(), 0u);
  EXPECT_EQ(store.Dword(resumable.key, store::value::kUpdateStatus), wire::WireValue(resumable.status));
}

}  // namespace
}  // namespace qfu::worker
