// The approval and installation stages on fakes: every row of their transition tables, one
// wake each, on the fake clock.
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/process.h"
#include "support/worker_bench.h"
#include "wire/ui_prompt.h"
#include "wire/update_status.h"
#include "worker/queue_worker.h"
#include "worker/user_prompts.h"

namespace qfu::worker {
namespace {

using namespace wire;
using test::kDryRunFlag;
using test::kInstallNow;
using test::kKnownPackagePath;
using test::kStoredDetail;
using test::WorkerBench;
using Request = test::StagedRequest;
using Statuses = std::vector<wire::UpdateStatus>;
using Removal = test::PackageRemovalRecorder::Removal;
namespace reply = ui_reply;

constexpr std::uint64_t kMinute = 60000;
constexpr std::uint32_t kRestartFails = 1115;  // ERROR_SHUTDOWN_IN_PROGRESS

// What became of the record after one wake.
enum class End {
  kInstalled,  // went on into the installation stage, which completed
  kRequeued,   // back in the list, due at due_in ms from the step (nullopt: as it was)
  kFinished,
};

TEST(ApprovalStage, EveryTransition) {
  const std::uint64_t kOpensIn = 90 * kMinute;
  const std::uint64_t kOpensUtc = 133'600'000'000'000'000 + 12345;
  struct Row {
    const char* what;
    Request request;
    bool restart_pending = false, busy = false;
    InstallWindow window = {};  // relative ticks: added to the step time when not 0
    std::vector<std::uint32_t> replies = {};
    std::uint64_t answer_after = 0;  // the UI answers this long after the prompt
    Statuses reported = {};
    End end = End::kRequeued;
    std::optional<std::uint64_t> due_in = std::nullopt;
    std::optional<std::uint32_t> timeout = std::nullopt;  // of the one install prompt; none: no prompt
  };
  const InstallWindow outside = {false, 0, kOpensIn, kOpensUtc};
  const Statuses prompted_no = {kPrompting, kPostponed};
  const Row rows[] = {
      {"restart pending", {kDownloaded}, true, false, {}, {}, 0, {kDeferred}, End::kRequeued, 600000},
      {"installer busy", {kPostponed}, false, true, {}, {}, 0, {kDeferred}, End::kRequeued, 600000},
      {"outside the window", {kDeferred}, false, false, outside, {}, 0, {}, End::kRequeued, kOpensIn},
      {"outside, no next start",
       {kDownloaded},
       false,
       false,
       {false, 0, 0, 0},
       {},
       0,
       {},
       End::kRequeued,
       kUnknownWindowRetryMs},
      {"flag 0x1",
       {kDownloaded, flags::kNoPrompts},
       false,
       false,
       {},
       {},
       0,
       {kReadyToInstall},
       End::kInstalled},
      {"flag 0x400",
       {kPostponed, flags::kNoInstallWhileLoggedOn},
       false,
       false,
       {},
       {},
       0,
       {kReadyToInstall},
       End::kInstalled},
      {"install-now outside the window",
       {kPostponed, kInstallNow},
       false,
       false,
       outside,
       {},
       0,
       {kReadyToInstall},
       End::kInstalled},
      {"dry run",
       {kDownloaded, kDryRunFlag},
       false,
       false,
       {},
       {},
       0,
       {kPrompting, kReadyToInstall},
       End::kInstalled},
      {"yes",
       {kDownloaded},
       false,
       false,
       {},
       {reply::kYes},
       0,
       {kPrompting, kReadyToInstall},
       End::kInstalled,
       std::nullopt,
       900000},
      {"no window, no deadline, no",
       {kDownloaded},
       false,
       false,
       {},
       {reply::kNo},
       0,
       {kPrompting, kConsentTimedOut},
       End::kFinished,
       std::nullopt,
       900000},
      {"the same with 0x20",
       {kDownloaded, flags::kForceInstall},
       false,
       false,
       {},
       {reply::kNo},
       0,
       {kPrompting, kReadyToInstall},
       End::kInstalled,
       std::nullopt,
       900000},
      {"the window end bounds the prompt, unanswered",
       {kPostponed, {}, 1, 0, 60 * kMinute},
       false,
       false,
       {true, 10 * kMinute, 0, 0},
       {reply::kTimedOut},
       10 * kMinute,
       {kPrompting, kConsentTimedOut},
       End::kFinished,
       std::nullopt,
       600000},
      {"postpone 30 min, deadline in 20",
       {kDownloaded, {}, 1, 30, 20 * kMinute},
       false,
       false,
       {},
       {reply::kNo},
       0,
       prompted_no,
       End::kRequeued,
       5 * kMinute,
       1200000},
      {"no 10 min before the deadline",
       {kDownloaded, {}, 1, 30, 10 * kMinute},
       false,
       false,
       {},
       {reply::kNo},
       0,
       prompted_no,
       End::kRequeued,
       10 * kMinute,
       600000},
      {"no UI, default interval",
       {kDownloaded, {}, 1, 0, 60 * kMinute},
       false,
       false,
       {},
       {reply::kCancel},
       0,
       prompted_no,
       End::kRequeued,
       15 * kMinute,
       3600000},
      {"ignore after the deadline",
       {kDownloaded, {}, 1, 0, 10 * kMinute},
       false,
       false,
       {},
       {reply::kIgnore},
       11 * kMinute,
       {kPrompting, kConsentTimedOut},
       End::kFinished,
       std::nullopt,
       600000},
      {"an answer no message box gives counts as 2: at the deadline with 0x20",
       {kDownloaded, flags::kForceInstall, 1, 0, 10 * kMinute},
       false,
       false,
       {},
       {99},
       10 * kMinute,
       {kPrompting, kReadyToInstall},
       End::kInstalled,
       std::nullopt,
       600000},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    WorkerBench bench(L"ApprovalStage");
    const std::uint64_t step = bench.store.clock().tick;
    const auto at = [&](std::uint64_t offset) { return offset == 0 ? 0 : step + offset; };
    bench.system_state.restart_pending = row.restart_pending;
    bench.system_state.installer_busy = row.busy;
    bench.window = {row.window.in_window, at(row.window.window_end_tick), at(row.window.next_start_tick),
                    row.window.next_start_utc};
    bench.ui.replies = row.replies;
    bench.ui.during = [&] { bench.store.clock().tick += row.answer_after; };
    store::RequestRecord* record = bench.RunStaged(row.request);
    ASSERT_NE(record, nullptr);

    const Statuses reported = bench.statuses.Statuses();
    const Statuses installed = {kVerifying, kInstalling, kCompleted};
    Statuses expected = row.reported;
    if (row.end == End::kInstalled) expected.insert(expected.end(), installed.begin(), installed.end());
    EXPECT_EQ(reported, expected);
    if (!reported.empty() && reported[0] == kDeferred) {
      EXPECT_EQ(bench.statuses.changes[0].detail, kStoredDetail);
    }
    ASSERT_EQ(bench.ui.prompts.size(), row.timeout ? 1u : 0u);
    if (row.timeout) {
      EXPECT_EQ(bench.ui.prompts[0].timeout_ms, *row.timeout);
      EXPECT_EQ(bench.ui.prompts[0].style, kInstallPromptStyle);
    }
    const auto listed = bench.Listed();
    ASSERT_EQ(listed.size(), row.end == End::kRequeued ? 1u : 0u);
    if (row.end != End::kRequeued) continue;
    EXPECT_EQ(record->due_tick, row.due_in ? step + *row.due_in : step - 1);
    // The request timer is armed by the worker's loop: for the window's opening by the wall
    // clock, else from the due tick.
    EXPECT_FALSE(record->timer_armed);
    EXPECT_EQ(record->timer_due, row.window.next_start_tick != 0 ? kOpensUtc : 0);
  }
}

TEST(InstallationStage, EveryTransition) {
  constexpr std::uint32_t k3010 = 3010;
  constexpr std::uint32_t kUnknownFailure = 1603;
  struct Row {
    const char* what;
    Request request;
    DWORD exit_code = 0;
    std::vector<std::uint32_t> replies = {};  // to the restart prompt
    DWORD restart_result = 0;
    std::vector<test::StatusRecorder::Change> reported = {};
    std::vector<UINT> prompts = {};  // string numbers shown, in order
    int restarts = 0;
    End end = End::kFinished;
    bool installed = false;  // finished with the log and the folder removed
  };
  using C = test::StatusRecorder::Change;
  const C verifying{"Staged", kVerifying, 0}, installing{"Staged", kInstalling, 0};
  const C completed{"Staged", kCompleted, 0}, ready{"Staged", kReadyToInstall, 0};
  const C restart_pending{"Staged", kRestartPending, 0};
  const UpdateStatus kReady = kReadyToInstall;
  const Row rows[] = {
      {"exit 0", {kReady}, 0, {}, 0, {verifying, installing, completed}, {}, 0, End::kFinished, true},
      {"1618 is retried", {kReady}, 1618, {}, 0, {verifying, installing, ready}, {}, 0, End::kRequeued},
      {"1259 is retried", {kReady}, 1259, {}, 0, {verifying, installing, ready}, {}, 0, End::kRequeued},
      {"another failure",
       {kReady},
       kUnknownFailure,
       {},
       0,
       {verifying, installing, {"Staged", kInstallFailed, kUnknownFailure}}},
      {"3010, kind 1, 0x400, the restart fails",
       {kReady, flags::kNoInstallWhileLoggedOn},
       k3010,
       {},
       kRestartFails,
       {verifying, installing, restart_pending, {"Staged", kRestartPending, kRestartFails}},
       {},
       1},
      {"3010, kind 1, 0x1",
       {kReady, flags::kNoPrompts},
       k3010,
       {},
       0,
       {verifying, installing, restart_pending},
       {},
       1},
      {"3010, kind 5, no restart wanted",
       {kReady, {}, 5},
       k3010,
       {reply::kNo},
       0,
       {verifying, installing, completed},
       {text_id::kRestartPrompt, text_id::kNoRestart},
       0,
       End::kFinished,
       true},
      {"3010, kind 2, restart wanted",
       {kReady, {}, product_kind::kLegacyClient},
       k3010,
       {reply::kYes},
       0,
       {verifying, installing, restart_pending},
       {text_id::kRestartPrompt},
       1},
      {"3010, kind 5, the restart fails",
       {kReady, {}, 5},
       k3010,
       {reply::kIgnore},
       kRestartFails,
       {verifying, installing, completed, {"Staged", kRestartPending, kRestartFails}},
       {text_id::kRestartPrompt, text_id::kRestartFailed},
       1},
      {"dry run", {kReady, kDryRunFlag}, 0, {}, 0, {verifying, installing, completed}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    WorkerBench bench(L"InstallationStage");
    bench.installer.result = row.exit_code;
    bench.ui.replies = row.replies;
    bench.restart.result = row.restart_result;
    store::RequestRecord* record = bench.RunStaged(row.request);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(bench.statuses.changes, row.reported);
    std::vector<std::pair<std::wstring, std::uint32_t>> prompts, expected_prompts;
    for (const auto& prompt : bench.ui.prompts) prompts.emplace_back(prompt.text, prompt.style);
    for (UINT id : row.prompts) {
      const std::uint32_t style = id == text_id::kRestartPrompt ? kRestartPromptStyle : kNoticeStyle;
      expected_prompts.emplace_back(test::LoadText(nullptr, id), style);
    }
    EXPECT_EQ(prompts, expected_prompts);
    EXPECT_EQ(bench.restart.calls, row.restarts);
    const bool dry_run = wire::Any(row.request.flags & kDryRunFlag);
    EXPECT_EQ(bench.pause.sleeps, dry_run ? 1 : 0);
    EXPECT_EQ(bench.pause.last_sleep_ms, dry_run ? kDryRunInstallMs : 0u);
    EXPECT_EQ(bench.package_lock.calls + bench.signature.calls + bench.installer.calls, dry_run ? 0 : 3);
    if (!dry_run) {
      EXPECT_EQ(bench.installer.last_path, kKnownPackagePath);
      EXPECT_EQ(bench.installer.last_arguments, L"A=1");
    }
    EXPECT_EQ(bench.Listed().size(), row.end == End::kRequeued ? 1u : 0u);
    const std::vector<Removal> removed = {{kKnownPackagePath, row.installed}};
    EXPECT_EQ(bench.removals.removals,
              row.end == End::kFinished && !dry_run ? removed : std::vector<Removal>{});
    EXPECT_FALSE(bench.package_lock.IsHeld());
    EXPECT_TRUE(bench.store.MutexesAreFree());
  }
}

// What keeps the installation from starting, and what ends it before the installer runs.
TEST(InstallationStage, WaitsOrStopsBeforeTheInstaller) {
  struct Row {
    const char* what;
    Request request;
    bool restart_pending = false, users = false, stop_in_pause = false;
    InstallWindow window = {};
    DWORD lock_error = 0;
    HRESULT verdict = S_OK;
    std::vector<test::StatusRecorder::Change> reported = {};
    int locks = 0, verifications = 0;
    End end = End::kRequeued;
  };
  using C = test::StatusRecorder::Change;
  const C verifying{"Staged", kVerifying, 0};
  const UpdateStatus kReady = kReadyToInstall;
  const Row rows[] = {
      // Deferred with the stored detail; the approval stage then sets the wait.
      {"restart pending",
       {kReady},
       true,
       false,
       false,
       {},
       0,
       S_OK,
       {{"Staged", kDeferred, kStoredDetail}, {"Staged", kDeferred, kStoredDetail}}},
      {"outside the window",
       {kReady},
       false,
       false,
       false,
       {false, 0, 1, 0},
       0,
       S_OK,
       {{"Staged", kDownloaded, kStoredDetail}}},
      {"0x400 with a user logged on", {kReady, flags::kNoInstallWhileLoggedOn}, false, true},
      {"0x400, nobody logged on",
       {kReady, flags::kNoInstallWhileLoggedOn | kDryRunFlag},
       false,
       false,
       false,
       {},
       0,
       S_OK,
       {verifying, {"Staged", kInstalling, 0}, {"Staged", kCompleted, 0}},
       0,
       0,
       End::kFinished},
      // Another process holds it open: tried again in 10 minutes; anything else is final.
      {"the package is in use",
       {kReady},
       false,
       false,
       false,
       {},
       ERROR_SHARING_VIOLATION,
       S_OK,
       {verifying, {"Staged", kReady, ERROR_SHARING_VIOLATION}},
       1},
      {"the package cannot be held",
       {kReady},
       false,
       false,
       false,
       {},
       ERROR_CANT_ACCESS_FILE,
       S_OK,
       {verifying, {"Staged", kVerificationFailed, ERROR_CANT_ACCESS_FILE}},
       1,
       0,
       End::kFinished},
      {"another publisher",
       {kReady, flags::kSkipPublisherCheck},
       false,
       false,
       false,
       {},
       0,
       static_cast<HRESULT>(0x800B0004),
       {verifying, {"Staged", kVerificationFailed, 0x800B0004}},
       1,
       1,
       End::kFinished},
      {"a stop during the dry run's pause",
       {kReady, kDryRunFlag},
       false,
       false,
       true,
       {},
       0,
       S_OK,
       {verifying, {"Staged", kInstalling, 0}, {"Staged", kReady, 0}}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    WorkerBench bench(L"InstallationWaits");
    bench.system_state.restart_pending = row.restart_pending;
    bench.system_state.users = row.users ? 1 : 0;
    bench.pause.stop_in_sleep = row.stop_in_pause;
    if (!row.window.in_window) bench.window = {false, 0, bench.store.clock().tick + 5 * kMinute, 0};
    bench.package_lock.result = row.lock_error;
    bench.signature.result = row.verdict;
    ASSERT_NE(bench.RunStaged(row.request), nullptr);
    EXPECT_EQ(bench.statuses.changes, row.reported);
    EXPECT_EQ(bench.package_lock.calls, row.locks);
    EXPECT_EQ(bench.signature.calls, row.verifications);
    EXPECT_EQ(bench.installer.calls, 0);
    EXPECT_EQ(bench.Listed().size(), row.end == End::kRequeued ? 1u : 0u);
    if (row.lock_error == ERROR_SHARING_VIOLATION) {
      EXPECT_EQ(bench.Listed().at(0)->due_tick, bench.store.clock().tick + kPackageInUseRetryMs);
    }
    EXPECT_TRUE(bench.store.MutexesAreFree());
  }
}

// A pinned package is hashed while held, before its signature check; another digest, or a
// package that cannot be read, ends it as VerificationFailed and removes it.
TEST(InstallationStage, InstallsAPinnedPackageOnlyWithItsDigest) {
  Sha256Digest pinned;
  pinned.fill(0xAB);
  std::string lower;  // "abab...": the pinned digest
  for (std::size_t i = 0; i < pinned.size(); ++i) lower += "ab";
  const std::string upper(64, 'A');  // 0xAAAA...: another digest
  const struct {
    const char* what = nullptr;
    const char* digest = nullptr;
    DWORD hash_error = 0;
    UpdateStatus status{};
    std::uint32_t detail = 0;
    int hashes = 0, verifications = 0;
  } rows[] = {
      {.what = "no digest", .digest = nullptr, .status = kCompleted, .verifications = 1},
      {.what = "the digest named",
       .digest = lower.c_str(),
       .status = kCompleted,
       .hashes = 1,
       .verifications = 1},
      {.what = "another digest",
       .digest = upper.c_str(),
       .status = kVerificationFailed,
       .detail = 0x80096010,
       .hashes = 1},
      {.what = "unreadable",
       .digest = lower.c_str(),
       .hash_error = ERROR_READ_FAULT,
       .status = kVerificationFailed,
       .detail = ERROR_READ_FAULT,
       .hashes = 1},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    WorkerBench bench(L"InstallationDigest");
    bench.package_hasher.digest = pinned;
    bench.package_hasher.result = row.hash_error;
    ASSERT_NE(bench.RunStaged({.stored = kReadyToInstall, .digest = row.digest}), nullptr);
    EXPECT_EQ(bench.statuses.changes.back(),
              (test::StatusRecorder::Change{"Staged", row.status, row.detail}));
    EXPECT_EQ(bench.package_hasher.calls, row.hashes);
    EXPECT_EQ(bench.signature.calls, row.verifications);
    EXPECT_EQ(bench.removals.removals.size(), 1u);
    EXPECT_FALSE(bench.package_lock.IsHeld());
  }
}

// The publisher check is waived only for flag 0x800 with product kind 9999; a failure while
// the service stops is retried at the next start, and a stop leaves the restart alone.
TEST(InstallationStage, PublisherWaiverAndStopDuringTheInstaller) {
  for (const std::uint32_t kind : {product_kind::kCurrentClient, product_kind::kAnyPublisher}) {
    WorkerBench bench(L"InstallationWaiver");
    ASSERT_NE(bench.RunStaged({kReadyToInstall, flags::kSkipPublisherCheck, kind}), nullptr);
    EXPECT_EQ(bench.signature.last_skip, kind == product_kind::kAnyPublisher);
    EXPECT_EQ(bench.signature.last_path, kKnownPackagePath);
  }
  for (const DWORD exit_code : {1603u, 3010u}) {
    SCOPED_TRACE(exit_code);
    WorkerBench bench(L"InstallationStop");
    bench.installer.result = exit_code;
    bench.installer.during = [&] { bench.pause.stop = true; };
    ASSERT_NE(bench.RunStaged({kReadyToInstall, {}, 5}), nullptr);
    EXPECT_EQ(bench.statuses.Statuses().back(), exit_code == 3010 ? kCompleted : kReadyToInstall);
    EXPECT_TRUE(bench.ui.prompts.empty());
    EXPECT_EQ(bench.restart.calls, 0);
  }
}

// The cancel mutex from Verifying to the end of the restart decision, and the package from
// before its verification until the installer has returned; both free afterwards.
TEST(InstallationStage, HoldsTheCancelMutexAndThePackageWhileItWorks) {
  WorkerBench bench(L"InstallationHolds");
  const HANDLE cancel_mutex = bench.objects().cancel_mutex.get();
  std::vector<std::pair<bool, bool>> seen;  // cancel mutex held, package held
  const auto look = [&] {
    seen.emplace_back(!test::MutexesAreFree({cancel_mutex}), bench.package_lock.IsHeld());
  };
  bench.signature.during = look;
  bench.installer.during = look;
  bench.ui.during = look;
  bench.restart.during = look;
  bench.installer.result = 3010;
  bench.ui.replies = {reply::kYes};
  ASSERT_NE(bench.RunStaged({kReadyToInstall, {}, 5}), nullptr);
  const std::vector<std::pair<bool, bool>> expected = {
      {true, true}, {true, true}, {true, false}, {true, false}};
  EXPECT_EQ(seen, expected);
  EXPECT_FALSE(bench.package_lock.IsHeld());
  EXPECT_TRUE(bench.store.MutexesAreFree());
}

}  // namespace
}  // namespace qfu::worker
