// Start-up recovery on request keys an earlier run left: what it makes of each status and
// installed version, the deadline it keeps, and the keys it must leave alone because they are
// not the key the agent makes for the message stored in them.
#include "worker/recovery.h"

#include <gtest/gtest.h>
#include <map>
#include <string>

#include "common/bytes.h"
#include "store/store_operations.h"
#include "support/fake_worker_ports.h"
#include "support/stored_requests.h"

namespace qfu::worker {
namespace {

using namespace wire;
using namespace std::chrono_literals;

TEST(RecoverStoredRequests, DecidesEachStoredRequestByItsStatusAndInstalledVersion) {
  struct Row {
    const wchar_t* key;
    const char* name;  // of the stored message
    std::uint32_t instance = 0, status = kDownloaded;
    const char* version = "1.2.3.5";  // requested; 1.2.3.4 is installed
    bool initial_request = true;
    std::optional<std::chrono::hours> age = 1h;  // "RequestTime" this long ago
    std::uint32_t then = kDownloaded;
    std::optional<Milliseconds> deadline_in = {};  // listed, with this deadline
  };
  const Row rows[] = {
      {.key = L"Restarted",
       .name = "Restarted",
       .status = kRestartPending,
       .version = "1.2.3.4",
       .then = kCompleted},
      {.key = L"Pending", .name = "Pending", .status = kRestartPending, .then = kRestartPending},
      {.key = L"Cut", .name = "Cut", .status = kInstalling, .then = kQueued, .deadline_in = 23h},
      {.key = L"Trial_00000003",
       .name = "Trial",
       .instance = 3,
       .status = kInstalling,
       .version = "1.2.3.4",
       .then = kCompleted},
      {.key = L"Overdue", .name = "Overdue", .age = 48h, .then = kQueued, .deadline_in = 0ms},
      {.key = L"Retry",
       .name = "Retry",
       .status = kDownloadRetry,
       .age = {},
       .then = kQueued,
       .deadline_in = 24h},
      {.key = L"Failed", .name = "Failed", .status = kInstallFailed, .then = kInstallFailed},
      {.key = L"Bare", .name = "Bare", .initial_request = false},
      {.key = L"CON", .name = "CON"},
      {.key = L"a..b", .name = "a..b"},
      {.key = L"Twin_0000001A", .name = "Twin", .instance = 0x1A, .then = kQueued, .deadline_in = 23h},
      {.key = L"Twin_1A", .name = "Twin_1A"},
      {.key = L"Other_00000005", .name = "Other", .instance = 6},
      {.key = L"Mixed", .name = "MIXED", .then = kQueued, .deadline_in = 23h},  // letter case does not count
      {.key = L"Named", .name = "Renamed"},
  };
  test::WorkerBench bench(L"Recovery");
  test::FakeClock& clock = bench.store.clock();
  bench.world.version = L"1.2.3.4";
  for (const Row& row : rows) {
    test::StoredValues values;
    values.status = row.status;
    values.initial_request = row.initial_request;
    values.cancel_pending = true;
    if (row.age) values.request_time = (clock.utc - *row.age).count();
    test::StoreRequestKey(bench.store, row.key,
                          test::RecoverableMessage(row.name, row.version, 1440, row.instance), values);
  }
  RecoverStoredRequests(bench.objects(), bench.world);

  std::map<std::wstring, Milliseconds> listed;  // by key name, without regard to letter case
  bench.objects().requests.ForEach([&](store::RequestRecord& record) {
    EXPECT_EQ(ReadU32(record.message(), kRandomDelayMinAt) | ReadU32(record.message(), kRandomDelayMaxAt),
              0u);
    std::wstring key = test::ListedKeyName(record);
    for (wchar_t& c : key) c = static_cast<wchar_t>(::towupper(c));
    return listed.emplace(key, record.deadline_tick - clock.tick), true;
  });
  for (const Row& row : rows) {
    SCOPED_TRACE(&row - rows);
    EXPECT_EQ(bench.store.Dword(row.key, store::value::kUpdateStatus), row.then);
    std::wstring key = row.key;
    for (wchar_t& c : key) c = static_cast<wchar_t>(::towupper(c));
    const auto found = listed.find(key);
    ASSERT_EQ(found != listed.end(), row.deadline_in.has_value());
    if (row.deadline_in) {
      EXPECT_EQ(found->second, *row.deadline_in);
    }
  }
  EXPECT_EQ(listed.size(), 5u);
  EXPECT_TRUE(bench.store.MutexesAreFree());
}

}  // namespace
}  // namespace qfu::worker
