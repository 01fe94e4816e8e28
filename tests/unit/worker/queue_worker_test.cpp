#include "worker/queue_worker.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <string>
#include <vector>

#include "store/due_time.h"
#include "store/enqueue.h"
#include "store/store_operations.h"
#include "support/test_messages.h"
#include "support/worker_bench.h"
#include "wire/update_status.h"

namespace qfu::worker {
namespace {

using test::SubmitMessage;
using test::WorkerBench;
using Removal = test::PackageRemovalRecorder::Removal;
using Statuses = std::vector<std::uint32_t>;
constexpr const wchar_t* kKnownPath = L"C:\\ProgramData\\QFUpdate\\Known\\p.msi";

// The one record in the request list, or null.
store::RequestRecord* Listed(WorkerBench& bench) {
  store::RequestRecord* found = nullptr;
  bench.objects().requests.ForEach([&](store::RequestRecord& record) { return found = &record, true; });
  return found;
}

// Submits the request, stores status and gives the record a package path known in memory.
store::RequestRecord* Waiting(WorkerBench& bench, const wire::MessageWriter& message, std::uint32_t status) {
  store::RequestRecord* record = bench.Submit(message);
  if (record != nullptr) std::wcscpy(record->target_path, kKnownPath);
  if (status != wire::kQueued) bench.Store(message, status);
  return record;
}

TEST(QueueWorker, EachStoredStatusLeadsToItsStage) {
  struct Row {
    std::uint32_t stored;
    Statuses reported;
    std::vector<Removal> removed;  // finished when not empty, else requeued
  };
  const Statuses downloaded = {wire::kDownloading, wire::kDownloaded};
  const std::vector<Removal> package = {{kKnownPath, false}};
  const Row rows[] = {
      {wire::kQueued, downloaded, {}}, {wire::kDownloadRetry, downloaded, {}},
      // The approval and installation stages wait in the list for now, as do statuses no stage
      // takes up and an unreadable one.
      {wire::kPostponed, {}, {}}, {wire::kDownloaded, {}, {}}, {wire::kDeferred, {}, {}},
      {wire::kReadyToInstall, {}, {}}, {wire::kPrompting, {}, {}}, {wire::kInstalling, {}, {}},
      {wire::kRestartPending, {}, {}}, {0, {}, {}},
      // Installed: the log and the package directory go with the package.
      {wire::kCompleted, {}, {{kKnownPath, true}}}, {wire::kInstallFailed, {}, package},
      {wire::kCancelled, {}, package}, {wire::kDownloadFailed, {}, package},
      {wire::kVerificationFailed, {}, package}, {wire::kConsentTimedOut, {}, package},
  };
  WorkerBench bench(L"WorkerDispatch");
  for (const Row& row : rows) {
    SCOPED_TRACE(row.stored);
    bench.removals.removals.clear();
    ASSERT_NE(Waiting(bench, SubmitMessage("Dispatched"), row.stored), nullptr);
    ASSERT_TRUE(bench.worker().RunOnce());
    EXPECT_EQ(bench.statuses.Statuses(), row.reported);
    EXPECT_EQ(Listed(bench) == nullptr, !row.removed.empty());
    EXPECT_EQ(bench.removals.removals, row.removed);
    // Nothing woke the worker again: a record it cannot advance waits for the next wake.
    EXPECT_FALSE(bench.store.TakeUpdateEvent());
  }
  EXPECT_TRUE(bench.store.MutexesAreFree());
}

// The version gate, then each outcome of the download. The client reports version 2.0.0.0.
TEST(QueueWorker, VersionGateAndDownloadOutcomes) {
  using Change = test::StatusRecorder::Change;
  const std::wstring fetched = L"C:\\ProgramData\\QFUpdate\\Fetched\\p.msi";
  struct Row {
    const char* version;
    DWORD result;
    std::vector<Change> reported;
    std::vector<Removal> removed;  // finished when not empty, else requeued
  };
  const Row rows[] = {
      {"1.2.3.4", 0, {{"Fetched", wire::kInstallFailed, 1638}}, {{kKnownPath, false}}},
      {"", 0, {{"Fetched", wire::kInstallFailed, 1638}}, {{kKnownPath, false}}},
      {"2.0.0.0", ERROR_SUCCESS, {{"Fetched", wire::kDownloading, 0}, {"Fetched", wire::kDownloaded, 0}}, {}},
      {"2.0.0.1", ERROR_FILE_NOT_FOUND,
       {{"Fetched", wire::kDownloading, 0}, {"Fetched", wire::kDownloadFailed, 2}}, {{fetched, false}}},
      {"2.0.0.1", 12029, {{"Fetched", wire::kDownloading, 0}, {"Fetched", wire::kDownloadRetry, 12029}}, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << row.version << " " << row.result);
    WorkerBench bench(L"WorkerDownload");
    bench.client_api.version = L"2.0.0.0";
    bench.downloader.results = {row.result};
    bench.downloader.package_path = fetched;
    auto message = SubmitMessage("Fetched", "http://127.0.0.1:8080/p.msi?x=1").Version(row.version);
    ASSERT_NE(Waiting(bench, message.U32(wire::kProductKindAt, 1), wire::kQueued), nullptr);
    ASSERT_TRUE(bench.worker().RunOnce());
    EXPECT_EQ(bench.statuses.changes, row.reported);
    EXPECT_EQ(bench.removals.removals, row.removed);
    store::RequestRecord* listed = Listed(bench);
    ASSERT_EQ(listed == nullptr, !row.removed.empty());
    const bool downloads = row.reported.size() == 2;
    EXPECT_EQ(bench.pause.sleeps, downloads ? 1 : 0);
    if (downloads) {
      EXPECT_EQ(bench.pause.last_sleep_ms, kDownloadPauseMs);
      EXPECT_EQ(bench.downloader.last_url, L"http://127.0.0.1:8080/p.msi?x=1");
    }
    const auto stored_path = bench.store.Value(L"Fetched", store::value::kTargetPath);
    if (row.result == ERROR_SUCCESS && downloads) {
      // "TargetPath" holds the record's whole path buffer.
      ASSERT_TRUE(stored_path && stored_path->type == REG_SZ);
      ASSERT_EQ(stored_path->bytes.size(), store::kTargetPathBytes);
      EXPECT_EQ(reinterpret_cast<const wchar_t*>(stored_path->bytes.data()), fetched);
    }
    if (row.result == 12029) {
      EXPECT_EQ(listed->due_tick, bench.store.clock().tick + kDownloadRetryDelayMs);
    }
  }
}

// Without flag 0x4 the client must be connected; flag 0x4 also holds the trigger condition
// TRUE while the download runs.
TEST(QueueWorker, DownloadsOnlyWhenConnectedOrFlag4AndOnAnAllowedNetwork) {
  constexpr std::uint32_t kFlag4 = wire::flags::kDownloadWhenDisconnected;
  struct Row {
    std::uint32_t flags;
    bool connected;
    DWORD network_type;
    DWORD result;
    bool downloads;
    bool trigger_during;
  };
  const Row rows[] = {
      {0, false, 1, 0, false, false},
      {kFlag4, false, 0, 0, true, true},
      {kFlag4, true, 1, 12007, true, true},
      {wire::flags::kAllowPopType1, true, 2, 0, false, false},
      {wire::flags::kAllowPopType1, true, 1, 0, true, false},
      {wire::flags::kNoDownloadOnPopType3, true, 3, 0, false, false},
      {kFlag4 | wire::flags::kNoDownloadOnPopType3, false, 3, 0, false, false},
      {0, true, 3, 0, true, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << "flags 0x" << std::hex << row.flags << " connected " << row.connected
                                    << " type " << row.network_type);
    WorkerBench bench(L"WorkerNetwork");
    bench.client_api.connected = row.connected;
    bench.client_api.network_type = row.network_type;
    bench.downloader.results = {row.result};
    bool trigger_during = false;
    bench.downloader.during = [&] { trigger_during = bench.client_api.trigger; };
    store::RequestRecord* record = bench.Submit(SubmitMessage("Networked").Flags(row.flags));
    ASSERT_NE(record, nullptr);
    record->due_tick = bench.store.clock().tick - 5;
    ASSERT_TRUE(bench.worker().RunOnce());
    EXPECT_EQ(bench.downloader.calls, row.downloads ? 1 : 0);
    if (!row.downloads) {
      // Waits in the list as it was, for the next wake.
      EXPECT_EQ(bench.statuses.Statuses(), Statuses{});
      ASSERT_EQ(Listed(bench), record);
      EXPECT_EQ(record->due_tick, bench.store.clock().tick - 5);
    }
    EXPECT_EQ(trigger_during, row.trigger_during);
    EXPECT_FALSE(bench.client_api.trigger);
    const bool flag4_download = row.downloads && row.trigger_during;
    EXPECT_EQ(bench.client_api.trigger_true_calls, flag4_download ? 1 : 0);
    EXPECT_EQ(bench.client_api.trigger_false_calls, row.downloads ? 1 : 0);
  }
}

TEST(QueueWorker, CancelPendingEndsTheRequestOnTheFirstPassWhateverItsStatus) {
  struct Row {
    std::uint32_t stored;
    bool dry_run;
    bool path_in_memory;  // else only "TargetPath" knows it (a request recovered at start)
    std::vector<Removal> removed;
  };
  const Row rows[] = {
      {wire::kQueued, false, true, {{kKnownPath, false}}},
      {wire::kDownloaded, false, false, {{kKnownPath, false}}},
      {wire::kPrompting, false, true, {{kKnownPath, false}}},
      {wire::kDownloaded, true, true, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << row.stored << " dry run " << row.dry_run);
    WorkerBench bench(L"WorkerCancel");
    auto message = SubmitMessage("Cancelled");
    if (row.dry_run) message.Instance(7);
    const std::uint32_t instance = row.dry_run ? 7 : 0;
    const std::wstring key = row.dry_run ? L"Cancelled_00000007" : L"Cancelled";
    store::RequestRecord* record = Waiting(bench, message, row.stored);
    ASSERT_NE(record, nullptr);
    const auto name = test::NameField(message);
    ASSERT_EQ(store::SetTargetPath(bench.objects(), name, instance, kKnownPath, store::kTargetPathBytes), 0u);
    if (!row.path_in_memory) record->target_path[0] = L'\0';
    ASSERT_EQ(store::SetCancelPending(bench.objects(), name, instance), 0u);
    ASSERT_TRUE(bench.worker().RunOnce());
    EXPECT_EQ(bench.statuses.Statuses(), Statuses{wire::kCancelled});
    EXPECT_FALSE(bench.store.Value(key, store::value::kTargetPath));
    EXPECT_EQ(Listed(bench), nullptr);
    EXPECT_EQ(bench.removals.removals, row.removed);
  }
}

TEST(QueueWorker, DryRunWritesEveryStatusButNeverDownloadsNorDeletes) {
  WorkerBench bench(L"WorkerDryRun");
  bench.client_api.connected = false;
  const auto message = SubmitMessage("Rehearsal").Instance(0x1A).AddFlags(wire::flags::kDownloadWhenDisconnected);
  ASSERT_NE(bench.Submit(message), nullptr);
  ASSERT_TRUE(bench.worker().RunOnce());
  EXPECT_EQ(bench.statuses.Statuses(), (Statuses{wire::kDownloading, wire::kDownloaded}));
  EXPECT_EQ(bench.StoredStatus(L"Rehearsal_0000001A"), wire::kDownloaded);
  EXPECT_EQ(bench.downloader.calls, 0);
  EXPECT_EQ(bench.pause.sleeps, 0);
  EXPECT_EQ(bench.client_api.trigger_true_calls + bench.client_api.trigger_false_calls, 0);
  EXPECT_FALSE(bench.store.Value(L"Rehearsal_0000001A", store::value::kTargetPath));
  bench.Store(message, wire::kCompleted);
  ASSERT_TRUE(bench.worker().RunOnce());
  EXPECT_EQ(Listed(bench), nullptr);
  EXPECT_TRUE(bench.removals.removals.empty());
}

TEST(QueueWorker, StopLeavesTheRequestAsStored) {
  struct Row {
    bool before_record;  // else during the pause before the download
    std::uint32_t flags;
  };
  for (const Row& row : {Row{true, 0}, Row{false, 0}, Row{false, wire::flags::kDownloadWhenDisconnected}}) {
    SCOPED_TRACE(testing::Message() << row.before_record << " " << row.flags);
    WorkerBench bench(L"WorkerStop");
    ASSERT_NE(Waiting(bench, SubmitMessage("Stopped").Flags(row.flags), wire::kDownloadRetry), nullptr);
    bench.pause.stop = row.before_record;
    bench.pause.stop_in_sleep = true;
    EXPECT_FALSE(bench.worker().RunOnce());
    EXPECT_EQ(bench.StoredStatus(L"Stopped"), wire::kDownloadRetry);
    EXPECT_EQ(bench.statuses.Statuses(), Statuses{});
    EXPECT_EQ(bench.downloader.calls, 0);
    EXPECT_EQ(Listed(bench), nullptr);
    EXPECT_TRUE(bench.removals.removals.empty());
    EXPECT_FALSE(bench.client_api.trigger);
    EXPECT_TRUE(bench.store.MutexesAreFree());
  }
}

TEST(QueueWorker, TakesOnlyDueRecordsAndArmsTheTimersOfTheOthers) {
  WorkerBench bench(L"WorkerDue");
  auto& clock = bench.store.clock();
  auto& objects = bench.objects();
  test::ReplyBuffer reply;
  // Later1 waits for its random delay (30 minutes), Now is due at once, Later2 waits for a
  // timer that fired early: its moment has passed but its due tick has not come.
  for (const char* name : {"Later1", "Now", "Later2"}) {
    const auto delayed = SubmitMessage(name).U32(wire::kRandomDelayMinAt, std::string_view(name) == "Now" ? 0 : 30);
    ASSERT_EQ(store::EnqueueRequest(objects, delayed.span(), 0, reply.record()), 0u);
  }
  std::vector<store::RequestRecord*> records;
  objects.requests.ForEach([&](store::RequestRecord& record) { return records.push_back(&record), true; });
  ASSERT_EQ(records.size(), 3u);
  records[2]->timer_due = clock.utc - 1;
  records[2]->timer_armed = true;

  bench.worker().ArmRequestTimers();
  EXPECT_TRUE(records[0]->timer_armed && records[0]->request_timer);
  EXPECT_EQ(records[0]->timer_due, clock.utc + 30 * store::kFileTimeUnitsPerMinute);
  EXPECT_FALSE(records[1]->request_timer);
  EXPECT_TRUE(records[2]->request_timer);
  EXPECT_EQ(records[2]->timer_due, clock.utc + 30 * store::kFileTimeUnitsPerMinute);

  ASSERT_TRUE(bench.worker().RunOnce());
  EXPECT_EQ(bench.downloader.calls, 1);
  EXPECT_EQ(bench.downloader.last_name, L"Now");
  std::vector<store::RequestRecord*> after;
  objects.requests.ForEach([&](store::RequestRecord& record) { return after.push_back(&record), true; });
  EXPECT_EQ(after, (std::vector<store::RequestRecord*>{records[0], records[2], records[1]}));
}

// The real loop on its own thread, with the real clock: a start time a few seconds ahead is
// honoured by the request's timer, armed on the worker's thread, not by a later wake.
TEST(QueueWorker, StartTimeAheadStartsTheDownloadAtItsMoment) {
  constexpr ULONGLONG kAheadMs = 2500;
  constexpr ULONGLONG kToleranceMs = 1000;
  test::ZonedSystemClock clock;
  WorkerBench bench(L"WorkerStartTime", &clock);
  const LocalDateTime start{2030, 1, 0, 1, 0, 0, 0, 0};
  bench.RunThread();
  clock.PutAhead(start, kAheadMs);
  const ULONGLONG moment = ::GetTickCount64() + kAheadMs;
  test::ReplyBuffer reply;
  ASSERT_EQ(store::EnqueueRequest(bench.objects(), test::StartingAt(SubmitMessage("Timed"), start).span(), 0,
                                  reply.record()),
            0u);
  ASSERT_TRUE(bench.downloader.WaitForCall(static_cast<DWORD>(kAheadMs + 3 * kToleranceMs)));
  const ULONGLONG called = bench.downloader.first_call_tick;
  EXPECT_GE(called + 50, moment);  // the tick counts of two threads may differ by their resolution
  EXPECT_LE(called, moment + kToleranceMs);
  EXPECT_TRUE(bench.StopThread(5000));
  EXPECT_EQ(bench.StoredStatus(L"Timed"), wire::kDownloaded);
}

}  // namespace
}  // namespace qfu::worker
