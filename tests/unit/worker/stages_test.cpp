// The worker's stages on fakes, one wake per row, for what the randomized test cannot see: the
// exact detail codes written with each status, the exact due time of a request put back, and
// the exact time limit of the install prompt. And the real loop, woken by a request timer.
#include <gtest/gtest.h>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "common/system_clock.h"
#include "support/fake_worker_ports.h"
#include "support/test_messages.h"

namespace qfu::worker {
namespace {

using namespace wire;
using namespace std::chrono_literals;

struct Change {
  std::uint32_t status = 0;
  std::uint32_t detail = 0;
  bool operator==(const Change&) const = default;
  friend std::ostream& operator<<(std::ostream& out, const Change& c) {
    return out << c.status << "/" << c.detail;
  }
};

struct Row {
  const char* what;
  UpdateStatus stored = kDownloaded;  // stored with detail 77
  std::uint32_t flags = 0;
  std::uint32_t kind = product_kind::kCurrentClient;
  const wchar_t* installed = L"";  // the client's installed version
  bool connected = true, busy = false;
  DWORD download = 0, lock = 0, install = 0, restart = 0;
  HRESULT verdict = S_OK;
  const char* digest = nullptr;  // the package digest item
  InstallWindow window = {};     // ticks relative to the step
  std::vector<std::uint32_t> replies = {};
  Milliseconds deadline_in = {};
  std::uint32_t interval = 0;
  std::vector<Change> reported;
  std::optional<Milliseconds> due_in = std::nullopt;  // put back, due then (0: at once); none: finished
  std::vector<std::uint32_t> timeouts = {};           // of the prompts
  std::vector<bool> triggers = {};
};

const Change kPrompted = {kPrompting}, kReady = {kReadyToInstall}, kVerified = {kVerifying},
             kInstall = {kInstalling}, kDone = {kCompleted};
constexpr InstallWindow kNeverOpens = {.in_window = false};
constexpr std::uint32_t kRestartFails = 1115;  // ERROR_SHUTDOWN_IN_PROGRESS
constexpr const char* kZeroDigest = "0000000000000000000000000000000000000000000000000000000000000000";
constexpr const char* kOtherDigest = "1000000000000000000000000000000000000000000000000000000000000000";

TEST(Stages, WriteTheExactCodeDueTimeAndPromptLimit) {
  const Row rows[] = {
      {.what = "installed newer",
       .stored = kQueued,
       .installed = L"2.0.0.0",
       .reported = {{kInstallFailed, 1638}}},
      {.what = "disconnected", .stored = kDownloadRetry, .connected = false, .reported = {}, .due_in = 0ms},
      {.what = "downloaded",
       .stored = kQueued,
       .window = kNeverOpens,
       .reported = {{kDownloading}, {kDownloaded}},
       .due_in = kUnknownWindowRetry,
       .triggers = {false}},
      {.what = "flag 4 while disconnected",
       .stored = kQueued,
       .flags = flags::kDownloadWhenDisconnected,
       .connected = false,
       .download = 12029,
       .reported = {{kDownloading}, {kDownloadRetry, 12029}},
       .due_in = 10min,
       .triggers = {true, false}},
      {.what = "refused",
       .stored = kQueued,
       .download = 2,
       .reported = {{kDownloading}, {kDownloadFailed, 2}},
       .triggers = {false}},
      {.what = "too large",
       .stored = kQueued,
       .download = 223,
       .reported = {{kDownloading}, {kDownloadFailed, 223}},
       .triggers = {false}},
      {.what = "restart pending", .busy = true, .reported = {{kDeferred, 77}}, .due_in = kWindowsUpdateWait},
      {.what = "window opens later",
       .window = {.in_window = false, .next_start_tick = 90min},
       .reported = {},
       .due_in = 90min},
      {.what = "yes",
       .replies = {ui_reply::kYes},
       .reported = {kPrompted, kReady, kVerified, kInstall, kDone},
       .timeouts = {900000}},
      {.what = "no before the deadline",
       .replies = {ui_reply::kNo},
       .deadline_in = 2h,
       .interval = 10,
       .reported = {kPrompted, {kPostponed}},
       .due_in = 10min,
       .timeouts = {7200000}},
      {.what = "no as the window closes",
       .window = {.window_end_tick = 20min},
       .replies = {ui_reply::kNo},
       .deadline_in = 2h,
       .reported = {kPrompted, {kPostponed}},
       .due_in = 15min,
       .timeouts = {1200000}},
      {.what = "no in the last margin",
       .replies = {ui_reply::kNo},
       .deadline_in = 10min,
       .reported = {kPrompted, {kPostponed}},
       .due_in = 10min,
       .timeouts = {600000}},
      {.what = "timed out",
       .replies = {ui_reply::kTimedOut},
       .deadline_in = 2h,
       .reported = {kPrompted, {kConsentTimedOut}},
       .timeouts = {7200000}},
      {.what = "timed out, forced",
       .flags = flags::kForceInstall,
       .replies = {ui_reply::kTimedOut},
       .reported = {kPrompted, kReady, kVerified, kInstall, kDone},
       .timeouts = {900000}},
      {.what = "package held by another",
       .stored = kReadyToInstall,
       .lock = 32,
       .reported = {kVerified, {kReadyToInstall, 32}},
       .due_in = 10min},
      {.what = "package not held",
       .stored = kReadyToInstall,
       .lock = 5,
       .reported = {kVerified, {kVerificationFailed, 5}}},
      {.what = "unsigned",
       .stored = kReadyToInstall,
       .verdict = TRUST_E_NOSIGNATURE,
       .reported = {kVerified, {kVerificationFailed, 0x800B0100}}},
      {.what = "digest of another file",
       .stored = kReadyToInstall,
       .digest = kOtherDigest,
       .reported = {kVerified, {kVerificationFailed, 0x80096010}}},
      {.what = "digest ill-formed",
       .stored = kReadyToInstall,
       .digest = "00",
       .reported = {kVerified, {kVerificationFailed, 0x80096010}}},
      {.what = "digest matches",
       .stored = kReadyToInstall,
       .digest = kZeroDigest,
       .reported = {kVerified, kInstall, kDone}},
      {.what = "installer fails",
       .stored = kReadyToInstall,
       .install = 1603,
       .reported = {kVerified, kInstall, {kInstallFailed, 1603}}},
      {.what = "installer busy elsewhere",
       .stored = kReadyToInstall,
       .install = 1618,
       .reported = {kVerified, kInstall, kReady},
       .due_in = 0ms},
      {.what = "restart declined",
       .stored = kReadyToInstall,
       .install = 3010,
       .replies = {ui_reply::kNo, ui_reply::kNo},
       .reported = {kVerified, kInstall, {kRestartPending}},
       .timeouts = {0, 0}},
      {.what = "restart fails",
       .stored = kReadyToInstall,
       .flags = flags::kNoPrompts,
       .install = 3010,
       .restart = kRestartFails,
       .reported = {kVerified, kInstall, {kRestartPending}, {kRestartPending, kRestartFails}},
       .timeouts = {0}},
      {.what = "restart of another product fails",
       .stored = kReadyToInstall,
       .flags = flags::kNoPrompts,
       .kind = 5,
       .install = 3010,
       .restart = kRestartFails,
       .reported = {kVerified, kInstall, kDone, {kRestartPending, kRestartFails}},
       .timeouts = {0}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    test::WorkerBench bench(L"Stages");
    auto message = test::SubmitMessage("Staged", "http://127.0.0.1/p.msi", "A=1").Flags(row.flags);
    message.U32(kProductKindAt, row.kind).U32(kPostponeIntervalAt, row.interval);
    if (row.digest != nullptr) message.TextItem(kPackageDigestItem, row.digest);
    store::RequestRecord* record = bench.Put(message, row.stored, 77);
    ASSERT_NE(record, nullptr);
    const Milliseconds step = bench.store.clock().tick;
    record->deadline_tick = step + row.deadline_in;
    test::FakeWorld& world = bench.world;
    world.version = row.installed;
    world.connected = row.connected;
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
    EXPECT_EQ(reported, row.reported);
    EXPECT_EQ(world.timeouts, row.timeouts);
    EXPECT_EQ(world.triggers, row.triggers);
    const bool listed = !bench.objects().requests.empty();
    EXPECT_EQ(listed, row.due_in.has_value());
    if (listed && row.due_in.has_value()) {
      EXPECT_EQ(record->due_tick, *row.due_in == 0ms ? Milliseconds{} : step + *row.due_in);
    }
    if (world.Calls("install") > 0) {
      EXPECT_EQ(world.last_arguments, L"A=1");
      EXPECT_TRUE(held_while_installing);  // the package and the cancel mutex, while the installer runs
      EXPECT_FALSE(world.PackageHeld());
    }
    EXPECT_TRUE(bench.store.MutexesAreFree());
  }
}

// The real loop on the system clock: a request due in a moment is taken when its request
// timer fires, not before, and the loop ends on the stop event.
TEST(QueueWorker, RequestTimerWakesTheLoopWhenTheRequestIsDue) {
  constexpr Milliseconds kDueIn = 1500ms;
  constexpr DWORD kDeadlineMs = 30000;  // room for a loaded machine
  test::WorkerBench bench(L"Timer", &SystemClockInstance());
  store::RequestRecord* record = bench.Put(test::SubmitMessage("Timed"), kQueued);
  ASSERT_NE(record, nullptr);
  bench.window = kNeverOpens;
  const ULONGLONG due = ::GetTickCount64() + kDueIn.count();
  record->due_tick = Milliseconds{due};
  bench.RunThread();
  ASSERT_EQ(::WaitForSingleObject(bench.world.download_started.get(), kDeadlineMs), WAIT_OBJECT_0);
  EXPECT_GE(bench.world.first_download_tick.load(), due);
  EXPECT_TRUE(bench.StopThread(kDeadlineMs));
}

}  // namespace
}  // namespace qfu::worker
