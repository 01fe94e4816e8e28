// The worker's stages on fakes, one wake per row, for what the randomized test cannot see: the
// exact detail codes written with each status, the exact due time of a request put back, and
// the exact time limit of the install prompt.
#include <algorithm>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/fake_worker_ports.h"
#include "support/test_messages.h"

namespace qfu::worker {
namespace {

using namespace wire;
using namespace std::chrono_literals;

using Change = std::pair<UpdateStatus, std::uint32_t>;  // a status and its detail

struct Row {
  UpdateStatus from = kDownloaded;  // stored with detail 77
  RequestFlags flags{};
  std::uint32_t kind = product_kind::kCurrentClient;
  bool newer_installed = false, offline = false, busy = false;
  DWORD download = 0, lock = 0, install = 0, restart = 0;
  HRESULT verdict = S_OK;
  std::string digest = {};    // the package digest item's text; empty: none
  InstallWindow window = {};  // ticks relative to the step
  std::vector<std::uint32_t> replies = {};
  Milliseconds deadline = {};  // after the step
  std::uint32_t interval = 0;
  std::vector<Change> then;
  std::optional<Milliseconds> due = std::nullopt;  // put back, due then after the step (0: at once)
  std::vector<std::uint32_t> limits = {};          // of the prompts
  std::vector<bool> triggers = {};
  bool waived = false;  // the publisher check
};

constexpr Change kAsk = {kPrompting, 0}, kReady = {kReadyToInstall, 0}, kCheck = {kVerifying, 0},
                 kRun = {kInstalling, 0}, kDone = {kCompleted, 0}, kFetch = {kDownloading, 0},
                 kPostpone = {kPostponed, 0}, kPending = {kRestartPending, 0};
constexpr InstallWindow kNeverOpens = {.in_window = false};
constexpr std::uint32_t kRestartFails = 1115;  // ERROR_SHUTDOWN_IN_PROGRESS
constexpr std::uint32_t kBadDigest = 0x80096010;
constexpr UpdateStatus kToInstall = kReadyToInstall, kUnverified = kVerificationFailed;
constexpr std::uint32_t kNo = ui_reply::kNo, kTimedOut = ui_reply::kTimedOut;

TEST(Stages, WriteTheExactCodeDueTimeAndPromptLimit) {
  // clang-format off
  const Row rows[] = {
      {.from = kQueued, .newer_installed = true, .then = {{kInstallFailed, 1638}}},
      {.from = kQueued, .window = kNeverOpens, .then = {kFetch, {kDownloaded, 0}}, .due = 5min,
       .triggers = {false}},
      {.from = kQueued, .flags = flags::kDownloadWhenDisconnected, .offline = true, .download = 12029,
       .then = {kFetch, {kDownloadRetry, 12029}}, .due = 10min, .triggers = {true, false}},
      {.from = kQueued, .download = 223, .then = {kFetch, {kDownloadFailed, 223}}, .triggers = {false}},
      {.busy = true, .then = {{kDeferred, 77}}, .due = 10min},
      {.window = {.in_window = false, .next_start_tick = 90min}, .then = {}, .due = 90min},
      {.replies = {ui_reply::kYes}, .then = {kAsk, kReady, kCheck, kRun, kDone}, .limits = {900000}},
      {.replies = {kNo}, .deadline = 2h, .interval = 10, .then = {kAsk, kPostpone}, .due = 10min,
       .limits = {7200000}},
      {.window = {.window_end_tick = 20min}, .replies = {kNo}, .deadline = 2h, .then = {kAsk, kPostpone},
       .due = 15min, .limits = {1200000}},
      {.replies = {kTimedOut}, .deadline = 2h, .then = {kAsk, {kConsentTimedOut, 0}}, .limits = {7200000}},
      {.flags = flags::kForceInstall, .replies = {kTimedOut}, .then = {kAsk, kReady, kCheck, kRun, kDone},
       .limits = {900000}},
      {.from = kToInstall, .lock = 32, .then = {kCheck, {kReadyToInstall, 32}}, .due = 10min},
      {.from = kToInstall, .lock = 5, .then = {kCheck, {kUnverified, 5}}},
      {.from = kToInstall, .verdict = TRUST_E_NOSIGNATURE, .then = {kCheck, {kUnverified, 0x800B0100}}},
      {.from = kToInstall, .digest = std::string(64, '1'), .then = {kCheck, {kUnverified, kBadDigest}}},
      {.from = kToInstall, .digest = std::string(64, '0'), .then = {kCheck, kRun, kDone}},
      {.from = kToInstall, .flags = flags::kSkipPublisherCheck, .then = {kCheck, kRun, kDone}},
      {.from = kToInstall, .flags = flags::kSkipPublisherCheck, .kind = product_kind::kAnyPublisher,
       .then = {kCheck, kRun, kDone}, .waived = true},
      {.from = kToInstall, .install = 1603, .then = {kCheck, kRun, {kInstallFailed, 1603}}},
      {.from = kToInstall, .install = 1618, .then = {kCheck, kRun, kReady}, .due = 0ms},
      {.from = kToInstall, .install = 3010, .replies = {kNo, kNo}, .then = {kCheck, kRun, kPending},
       .limits = {0, 0}},
      {.from = kToInstall, .flags = flags::kNoPrompts, .install = 3010, .restart = kRestartFails,
       .then = {kCheck, kRun, kPending, {kRestartPending, kRestartFails}}, .limits = {0}},
  };
  // clang-format on
  for (const Row& row : rows) {
    SCOPED_TRACE(&row - rows);
    test::WorkerBench bench(L"Stages");
    auto message = test::SubmitMessage("Staged", "http://127.0.0.1/p.msi", "A=1").Flags(row.flags);
    message.U32(kProductKindAt, row.kind).U32(kPostponeIntervalAt, row.interval);
    if (!row.digest.empty()) message.TextItem(kPackageDigestItem, row.digest);
    store::RequestRecord* record = bench.Put(message, row.from, 77);
    ASSERT_NE(record, nullptr);
    const Milliseconds step = bench.store.clock().tick;
    record->deadline_tick = step + row.deadline;
    test::FakeWorld& world = bench.world;
    world.version = row.newer_installed ? L"2.0.0.0" : L"";
    world.connected = !row.offline;
    world.restart_pending = row.busy;
    world.download_result = row.download;
    world.lock_result = row.lock;
    world.install_result = row.install;
    world.restart_result = row.restart;
    world.verdict = row.verdict;
    world.replies = row.replies;
    bench.window = row.window;
    for (Milliseconds* tick : {&bench.window.window_end_tick, &bench.window.next_start_tick}) {
      if (*tick != 0ms) *tick += step;
    }
    bool held_while_installing = false;
    world.during = [&](std::string_view port) {
      if (port == "install")
        held_while_installing =
            world.PackageHeld() && !test::MutexesAreFree({bench.objects().cancel_mutex.get()});
    };

    ASSERT_TRUE(bench.worker().RunOnce());
    std::vector<Change> reported;
    for (const auto& change : bench.statuses.changes) reported.push_back({change.status, change.detail});
    EXPECT_EQ(reported, row.then);
    EXPECT_EQ(world.timeouts, row.limits);
    EXPECT_EQ(world.triggers, row.triggers);
    EXPECT_EQ(world.waived, row.waived);
    const bool listed = !bench.objects().requests.empty();
    EXPECT_EQ(listed, row.due.has_value());
    if (listed && row.due.has_value()) {
      EXPECT_EQ(record->due_tick, *row.due == 0ms ? Milliseconds{} : step + *row.due);
    }
    if (std::ranges::count(row.then, kRun) > 0) {
      EXPECT_EQ(world.last_arguments, L"A=1");
      EXPECT_TRUE(held_while_installing);  // the package and the cancel mutex, while the installer runs
      EXPECT_FALSE(world.PackageHeld());
    }
    EXPECT_TRUE(bench.store.MutexesAreFree());
  }
}

}  // namespace
}  // namespace qfu::worker
