#include "worker/queue_worker.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "store/due_time.h"
#include "store/enqueue.h"
#include "store/store_operations.h"
#include "support/test_messages.h"
#include "support/worker_bench.h"
#include "wire/ui_prompt.h"
#include "wire/update_status.h"

namespace qfu::worker {
namespace {

using test::kKnownPackagePath;
using test::SubmitMessage;
using test::WorkerBench;
using Removal = test::PackageRemovalRecorder::Removal;
using Statuses = std::vector<wire::UpdateStatus>;

// One row per stage: download, approval, installation, a status no stage takes up, an
// unreadable one, installed (the log and the package directory go too) and another final one.
// Outside its window, approval keeps a request waiting and installation hands it back.
TEST(QueueWorker, EachStoredStatusLeadsToItsStage) {
  struct Row {
    wire::UpdateStatus stored;
    Statuses reported;
    std::vector<Removal> removed;  // finished when not empty, else requeued
  };
  const Statuses downloaded = {wire::kDownloading, wire::kDownloaded};
  const Row rows[] = {
      {wire::kQueued, downloaded, {}},
      {wire::kDownloadRetry, downloaded, {}},
      {wire::kDownloaded, {}, {}},
      {wire::kReadyToInstall, {wire::kDownloaded}, {}},
      {wire::kPrompting, {}, {}},
      {wire::UpdateStatus{}, {}, {}},
      {wire::kCompleted, {}, {{kKnownPackagePath, true}}},
      {wire::kCancelled, {}, {{kKnownPackagePath, false}}},
  };
  WorkerBench bench(L"WorkerDispatch");
  bench.CloseWindow();
  for (const Row& row : rows) {
    SCOPED_TRACE(row.stored);
    bench.removals.removals.clear();
    ASSERT_NE(bench.Waiting(SubmitMessage("Dispatched"), row.stored), nullptr);
    ASSERT_TRUE(bench.worker().RunOnce());
    EXPECT_EQ(bench.statuses.Statuses(), row.reported);
    EXPECT_EQ(bench.Listed().empty(), !row.removed.empty());
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
      {"1.2.3.4", 0, {{"Fetched", wire::kInstallFailed, 1638}}, {{kKnownPackagePath, false}}},
      {"", 0, {{"Fetched", wire::kInstallFailed, 1638}}, {{kKnownPackagePath, false}}},
      {"2.0.0.0", ERROR_SUCCESS, {{"Fetched", wire::kDownloading, 0}, {"Fetched", wire::kDownloaded, 0}}, {}},
      {"2.0.0.1",
       ERROR_FILE_NOT_FOUND,
       {{"Fetched", wire::kDownloading, 0}, {"Fetched", wire::kDownloadFailed, 2}},
       {{fetched, false}}},
      // No length announced and more than a resumable file holds: no later attempt does better.
      {"2.0.0.1",
       ERROR_FILE_TOO_LARGE,
       {{"Fetched", wire::kDownloading, 0}, {"Fetched", wire::kDownloadFailed, ERROR_FILE_TOO_LARGE}},
       {{fetched, false}}},
      {"2.0.0.1", 12029, {{"Fetched", wire::kDownloading, 0}, {"Fetched", wire::kDownloadRetry, 12029}}, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << row.version << " " << row.result);
    WorkerBench bench(L"WorkerDownload");
    bench.CloseWindow();
    bench.client_api.version = L"2.0.0.0";
    bench.downloader.results = {row.result};
    bench.downloader.package_path = fetched;
    auto message = SubmitMessage("Fetched", "http://127.0.0.1:8080/p.msi?x=1").Version(row.version);
    ASSERT_NE(bench.Waiting(message.U32(wire::kProductKindAt, 1), wire::kQueued), nullptr);
    ASSERT_TRUE(bench.worker().RunOnce());
    EXPECT_EQ(bench.statuses.changes, row.reported);
    EXPECT_EQ(bench.removals.removals, row.removed);
    const auto listed = bench.Listed();
    ASSERT_EQ(listed.empty(), !row.removed.empty());
    const bool downloads = row.reported.size() == 2;
    EXPECT_EQ(bench.pause.sleeps, downloads ? 1 : 0);
    EXPECT_EQ(bench.downloader.last_url, downloads ? L"http://127.0.0.1:8080/p.msi?x=1" : L"");
    EXPECT_FALSE(bench.downloader.last_resume);  // the record knew another path
    if (downloads && row.removed.empty()) {
      // "TargetPath" holds the record's whole path buffer, stored before the download, so that
      // a failed attempt's partial file is removed or continued later.
      const auto stored_path = bench.store.Value(L"Fetched", store::value::kTargetPath);
      ASSERT_TRUE(stored_path && stored_path->bytes.size() == store::kTargetPathBytes);
      EXPECT_EQ(reinterpret_cast<const wchar_t*>(stored_path->bytes.data()), fetched);
    }
    if (row.result == 12029) {
      EXPECT_EQ(listed[0]->due_tick, bench.store.clock().tick + kDownloadRetryDelayMs);
    }
  }
}

// Without flag 0x4 the client must be connected; flag 0x4 also holds the trigger condition
// TRUE while the download runs. Which flags allow which network: WorkerRules.
TEST(QueueWorker, DownloadsOnlyWhenConnectedOrFlag4AndOnAnAllowedNetwork) {
  constexpr wire::RequestFlags kFlag4 = wire::flags::kDownloadWhenDisconnected;
  struct Row {
    wire::RequestFlags flags;
    bool connected;
    DWORD network_type;
    DWORD result;
    bool downloads;
  };
  const Row rows[] = {
      {{}, false, 1, 0, false},
      {kFlag4, false, 0, 0, true},
      {kFlag4, true, 1, 12007, true},
      {wire::flags::kAllowPopType1, true, 2, 0, false},
      {kFlag4 | wire::flags::kNoDownloadOnPopType3, false, 3, 0, false},
      {{}, true, 3, 0, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << row.flags << " connected " << row.connected << " type "
                                    << row.network_type);
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
      EXPECT_EQ(bench.Listed(), std::vector<store::RequestRecord*>{record});
      EXPECT_EQ(record->due_tick, bench.store.clock().tick - 5);
    }
    const bool flag4_download = row.downloads && wire::Any(row.flags & kFlag4);
    EXPECT_EQ(trigger_during, flag4_download);
    EXPECT_FALSE(bench.client_api.trigger);
    EXPECT_EQ(bench.client_api.trigger_true_calls, flag4_download ? 1 : 0);
    EXPECT_EQ(bench.client_api.trigger_false_calls, row.downloads ? 1 : 0);
  }
}

TEST(QueueWorker, DryRunWritesEveryStatusButNeverDownloadsNorDeletes) {
  WorkerBench bench(L"WorkerDryRun");
  bench.client_api.connected = false;
  const auto message =
      SubmitMessage("Rehearsal").Instance(0x1A).AddFlags(wire::flags::kDownloadWhenDisconnected);
  ASSERT_NE(bench.Submit(message), nullptr);
  ASSERT_TRUE(bench.worker().RunOnce());
  EXPECT_EQ(bench.statuses.Statuses(),
            (Statuses{wire::kDownloading, wire::kDownloaded, wire::kPrompting, wire::kReadyToInstall,
                      wire::kVerifying, wire::kInstalling, wire::kCompleted}));
  EXPECT_EQ(bench.downloader.calls + bench.installer.calls + bench.signature.calls + bench.package_lock.calls,
            0);
  EXPECT_EQ(bench.client_api.trigger_true_calls + bench.client_api.trigger_false_calls, 0);
  EXPECT_TRUE(bench.ui.prompts.empty());
  EXPECT_EQ(bench.restart.calls, 0);
  // Only the pause that stands for the installation.
  EXPECT_EQ(bench.pause.sleeps, 1);
  EXPECT_EQ(bench.pause.last_sleep_ms, kDryRunInstallMs);
  EXPECT_TRUE(bench.Listed().empty());
  EXPECT_TRUE(bench.removals.removals.empty());
}

TEST(QueueWorker, StopLeavesTheRequestAsStored) {
  struct Row {
    wire::UpdateStatus stored;
    bool before_record;  // else during the pause before the download, the download or the prompt
    wire::RequestFlags flags;
    wire::UpdateStatus left;   // the status stored afterwards
    bool in_download = false;  // the transfer ended by the stop
  };
  const Row rows[] = {
      {wire::kDownloadRetry, true, {}, wire::kDownloadRetry},
      {wire::kDownloadRetry, false, {}, wire::kDownloadRetry},
      {wire::kDownloadRetry, false, wire::flags::kDownloadWhenDisconnected, wire::kDownloadRetry},
      {wire::kDownloadRetry, false, wire::flags::kDownloadWhenDisconnected, wire::kDownloading, true},
      // Whatever the UI answers once the stop has cut the wait short.
      {wire::kDownloaded, false, {}, wire::kPrompting}};
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << row.stored << " " << row.before_record << " " << row.flags << " "
                                    << row.in_download);
    WorkerBench bench(L"WorkerStop");
    ASSERT_NE(bench.Waiting(SubmitMessage("Stopped").Flags(row.flags), row.stored), nullptr);
    bench.pause.stop = row.before_record;
    bench.pause.stop_in_sleep = !row.in_download;
    bench.downloader.results = {kDownloadStopped};
    bench.ui.replies = {wire::ui_reply::kYes};
    bench.ui.during = [&] { bench.pause.stop = true; };
    EXPECT_FALSE(bench.worker().RunOnce());
    EXPECT_EQ(bench.StoredStatus(L"Stopped"), row.left);
    EXPECT_EQ(bench.downloader.calls, row.in_download ? 1 : 0);
    EXPECT_EQ(bench.installer.calls, 0);
    EXPECT_TRUE(bench.removals.removals.empty());
    EXPECT_FALSE(bench.client_api.trigger);
    EXPECT_TRUE(bench.store.MutexesAreFree());
  }
}

TEST(QueueWorker, TakesOnlyDueRecordsAndArmsTheTimersOfTheOthers) {
  WorkerBench bench(L"WorkerDue");
  bench.CloseWindow();
  auto& clock = bench.store.clock();
  test::ReplyBuffer reply;
  // Later1 waits for its random delay (30 minutes), Now is due at once, Later2 waits for a
  // timer that fired early: its moment has passed but its due tick has not come.
  for (const char* name : {"Later1", "Now", "Later2"}) {
    const auto delayed =
        SubmitMessage(name).U32(wire::kRandomDelayMinAt, std::string_view(name) == "Now" ? 0 : 30);
    ASSERT_EQ(store::EnqueueRequest(bench.objects(), delayed.span(), 0, reply.record()), wire::result::kDone);
  }
  const auto records = bench.Listed();
  ASSERT_EQ(records.size(), 3u);
  records[2]->timer_due = clock.utc - 1;
  records[2]->timer_armed = true;

  bench.worker().ArmRequestTimers();
  EXPECT_TRUE(records[0]->timer_armed && records[0]->request_timer);
  EXPECT_FALSE(records[1]->request_timer);
  EXPECT_TRUE(records[2]->request_timer);
  EXPECT_EQ(records[2]->timer_due, clock.utc + 30 * store::kFileTimeUnitsPerMinute);

  ASSERT_TRUE(bench.worker().RunOnce());
  EXPECT_EQ(bench.downloader.last_name, L"Now");
  EXPECT_EQ(bench.Listed(), (std::vector<store::RequestRecord*>{records[0], records[2], records[1]}));
}

// The real loop on its own thread, with the real clock: a start time a few seconds ahead is
// honoured by the request's timer, armed on the worker's thread, not by a later wake.
TEST(QueueWorker, StartTimeAheadStartsTheDownloadAtItsMoment) {
  constexpr ULONGLONG kAheadMs = 2500;
  constexpr ULONGLONG kToleranceMs = 1000;
  test::ZonedSystemClock clock;
  WorkerBench bench(L"WorkerStartTime", &clock);
  bench.CloseWindow();
  const LocalDateTime start{2030, 1, 0, 1, 0, 0, 0, 0};
  bench.RunThread();
  clock.PutAhead(start, kAheadMs);
  const ULONGLONG moment = ::GetTickCount64() + kAheadMs;
  test::ReplyBuffer reply;
  const auto timed = test::StartingAt(SubmitMessage("Timed"), start);
  ASSERT_EQ(store::EnqueueRequest(bench.objects(), timed.span(), 0, reply.record()), wire::result::kDone);
  ASSERT_TRUE(bench.downloader.WaitForCall(static_cast<DWORD>(kAheadMs + 3 * kToleranceMs)));
  const ULONGLONG called = bench.downloader.first_call_tick;
  EXPECT_GE(called + 50, moment);  // the tick counts of two threads may differ by their resolution
  EXPECT_LE(called, moment + kToleranceMs);
  EXPECT_TRUE(bench.StopThread(5000));
  EXPECT_EQ(bench.StoredStatus(L"Timed"), wire::kDownloaded);
}

}  // namespace
}  // namespace qfu::worker
