#include "worker/queue_worker.h"

#include <algorithm>
#include <array>
#include <cwchar>
#include <limits>
#include <optional>
#include <utility>

#include "common/mutex_guard.h"
#include "common/utf.h"
#include "package/installer.h"
#include "store/due_time.h"
#include "store/store_operations.h"
#include "wire/status_record.h"
#include "wire/ui_prompt.h"
#include "wire/update_status.h"
#include "worker/installed_version.h"
#include "worker/user_prompts.h"
#include "worker/worker_rules.h"

namespace qfu::worker {
namespace {

// A request timer's completion routine. It runs on the worker's thread, in its alertable
// wait, and only wakes the worker, which decides by the due ticks.
VOID CALLBACK SignalUpdateEvent(LPVOID update_event, DWORD, DWORD) {
  ::SetEvent(static_cast<HANDLE>(update_event));
}

void ArmRequestTimer(store::RequestRecord& record, HANDLE update_event) {
  record.timer_armed = true;  // a timer that cannot be armed leaves the request to the periodic wake
  if (!record.request_timer) {
    record.request_timer.reset(::CreateWaitableTimerW(nullptr, FALSE, nullptr));  // unnamed, auto-reset
    if (!record.request_timer) return;
  }
  constexpr auto kLatest = static_cast<std::uint64_t>(std::numeric_limits<LONGLONG>::max());
  LARGE_INTEGER due = {};
  due.QuadPart =
      static_cast<LONGLONG>(std::min(record.timer_due.count(), kLatest));  // positive: a UTC moment
  // Once, no period; resume-from-suspend so that a moment passed during sleep still wakes us.
  (void)::SetWaitableTimer(record.request_timer.get(), &due, 0, SignalUpdateEvent, update_event, TRUE);
}

}  // namespace

// The working values of the record at hand, set up when it is taken.
struct QueueWorker::Request {
  explicit Request(store::RequestRecord& taken)
      : record(&taken),
        message(taken.message()),
        name(Utf8ToWide(message.request_name())),
        url(message.package_url()),
        arguments(message.installer_arguments()),
        dry_run(message.HasFlag(wire::flags::kDryRun)),
        instance(message.instance_number()) {}

  store::RequestRecord* record;  // in the held list until it is put back or finished
  wire::RequestMessage message;  // a view of the record's copy
  WideString name;
  WideString url;        // empty when the item is absent
  WideString arguments;  // the installer arguments; empty when the item is absent
  bool dry_run;          // every status is written, nothing is downloaded, installed or deleted
  std::uint32_t instance;
  bool installed = false;    // ended Completed with no restart left pending
  bool install_now = false;  // the user asked to install now: no window, no prompt this wake
  std::optional<wire::UpdateStatus> last_status;  // what the previous pass of this wake read
};

// What one evaluation pass found, as the approval and installation stages take it.
struct QueueWorker::Step {
  std::uint32_t detail = 0;  // the stored SystemErrorCode, kept when a stage defers
  Milliseconds tick{};       // the step time: delays count from it
  bool install_now = false;  // the install-now flag as it was before the pass cleared it
  InstallWindow window;
};

QueueWorker::QueueWorker(ProcessObjects& objects, const AgentConfig& config, HANDLE stop_event,
                         const WorkerPorts& ports) noexcept
    : objects_(objects), config_(config), stop_event_(stop_event), ports_(ports) {}

DWORD QueueWorker::Run() {
  const HANDLE wake[2] = {objects_.update_event.get(), stop_event_};
  for (;;) {
    ArmRequestTimers();
    const DWORD wait = ::WaitForMultipleObjectsEx(2, wake, FALSE, INFINITE, TRUE);
    // A completion routine ran: it set the update event, so the next wait returns at once.
    if (wait == WAIT_IO_COMPLETION) continue;
    if (wait == WAIT_OBJECT_0 + 1) return ERROR_SUCCESS;
    if (wait != WAIT_OBJECT_0) return MutexWaitError(wait);
    if (!RunOnce()) return ERROR_SUCCESS;
  }
}

bool QueueWorker::RunOnce() {
  const Milliseconds now = ports_.clock->TickCount();
  {
    MutexGuard queue(objects_.queue_mutex.get());
    if (!queue.acquired()) return true;  // this wake is skipped
    // What an earlier wake left held (it stopped, or could not put a record back) waits again.
    objects_.held.MoveTo(objects_.requests, [](const store::RequestRecord&) { return true; });
    objects_.requests.MoveTo(objects_.held,
                             [now](const store::RequestRecord& record) { return record.due_tick <= now; });
  }
  // Each taken record stays in the held list, where a cancel finds it, until it is put back or
  // finished; the front one is the next to evaluate.
  for (;;) {
    store::RequestRecord* taken = nullptr;
    {
      MutexGuard queue(objects_.queue_mutex.get());
      if (!queue.acquired()) return true;
      taken = objects_.held.Front();
    }
    if (taken == nullptr) return true;
    if (ports_.pause->StopRequested()) return false;
    Request request(*taken);
    // A request recovered at start knows its package only from "TargetPath", which a final
    // status deletes; read it now so that a cancel or a refusal still removes the package.
    store::RecallTargetPath(objects_, request.message, request.dry_run, request.record->target_path);
    const Outcome outcome = Evaluate(request);
    if (outcome == Outcome::kStopped) return false;
    if (!(outcome == Outcome::kRequeue ? Requeue(request) : Finish(request))) return true;
  }
}

void QueueWorker::ArmRequestTimers() {
  Clock& clock = *ports_.clock;
  MutexGuard queue(objects_.queue_mutex.get());
  if (!queue.acquired()) return;
  const Milliseconds tick_now = clock.TickCount();
  const FileTimeUnits utc_now = clock.UtcNow();
  objects_.requests.ForEach([&](store::RequestRecord& record) {
    // A due record is taken at the next wake, timer or not.
    if (record.due_tick <= tick_now) return true;
    if (record.timer_armed && record.timer_due > utc_now) return true;
    // No moment, or one already passed while the due tick has not come (the two clocks tick
    // apart, or the wall clock was set back): the moment is what remains of the due tick.
    if (record.timer_due <= utc_now) {
      record.timer_due = utc_now + (record.due_tick - tick_now);
    }
    ArmRequestTimer(record, objects_.update_event.get());
    return true;
  });
}

QueueWorker::Outcome QueueWorker::Evaluate(Request& request) {
  for (;;) {
    if (ports_.pause->StopRequested()) {
      // A request that reached its final status just before the stop is still finished: no
      // later start would remove its package, as recovery leaves final requests alone.
      const store::StoredStatus stored =
          store::ReadStoredStatus(objects_, request.message.request_name_field(), request.instance);
      return wire::IsFinalStatus(stored.status) ? Outcome::kFinish : Outcome::kStopped;
    }
    if (const Outcome outcome = Pass(request); outcome != Outcome::kContinue) return outcome;
  }
}

QueueWorker::Outcome QueueWorker::Pass(Request& request) {
  const wire::Bytes name_field = request.message.request_name_field();
  // An unreadable key leaves status 0, which no stage takes up.
  const store::StoredStatus stored = store::ReadStoredStatus(objects_, name_field, request.instance);
  bool cancel = false;  // a failed read is no cancel
  (void)store::ReadCancelPending(objects_, name_field, request.instance, cancel);
  const Milliseconds step_tick = ports_.clock->TickCount();

  if (cancel) {
    SetStatus(request, wire::kCancelled);
    return Outcome::kFinish;
  }
  const Stage stage = StageForStatus(stored.status);
  if (stage == Stage::kFinishInstalled) {
    request.installed = true;
    return Outcome::kFinish;
  }
  if (stage == Stage::kFinish) return Outcome::kFinish;
  // A pass goes on only after writing the next status: the same status read again means that
  // write failed, and another pass would spin on it.
  if (request.last_status == stored.status) return Outcome::kRequeue;
  request.last_status = stored.status;

  // The record is out of the request list, so the install-now flag is ours to clear.
  Step step;
  step.detail = stored.system_error_code;
  step.tick = step_tick;
  // Read and cleared at every pass, but kept for the rest of this wake: the installation pass
  // that follows the approval must not send the request back for being outside its window.
  if (std::exchange(request.record->install_now, 0u) != 0) request.install_now = true;
  step.install_now = request.install_now;
  if (!step.install_now) {
    step.window = ports_.evaluate_window ? ports_.evaluate_window(request.message, *ports_.clock)
                                         : EvaluateInstallWindow(request.message, *ports_.clock);
  }
  switch (stage) {
    case Stage::kDownload:
      return DownloadStage(request, step_tick);
    case Stage::kApproval:
      return ApprovalStage(request, step);
    case Stage::kInstallation:
      return InstallationStage(request, step);
    default:
      // Nothing to do for this status now; evaluating it again at once would spin.
      return Outcome::kRequeue;
  }
}

QueueWorker::Outcome QueueWorker::DownloadStage(Request& request, Milliseconds step_tick) {
  ClientApi& client_api = *ports_.client_api;
  if (!VersionAllowsDownload(CompareInstalledVersion(request.message, client_api))) {
    SetStatus(request, wire::kInstallFailed, kProductVersionConflict);
    return Outcome::kContinue;  // the next pass reads the final status and finishes
  }
  const DWORD network_type = client_api.NetworkType();
  const bool connected = client_api.IsConnected();
  const bool even_disconnected = request.message.HasFlag(wire::flags::kDownloadWhenDisconnected);
  if ((!connected && !even_disconnected) || !IsNetworkAllowed(request.message.flags(), network_type)) {
    return Outcome::kRequeue;  // status and due tick unchanged: tried again at the next wake
  }
  if (request.dry_run) {
    SetStatus(request, wire::kDownloading);
    SetStatus(request, wire::kDownloaded);
    return Outcome::kContinue;
  }

  (void)client_api.SetTriggerCondition(even_disconnected);
  if (!ports_.pause->Sleep(kDownloadPause)) {
    // Stopping: the request keeps its status for the next start, and the client is not left
    // believing that a download is going on.
    if (even_disconnected) (void)client_api.SetTriggerCondition(false);
    return Outcome::kStopped;
  }
  SetStatus(request, wire::kDownloading);
  store::RequestRecord& record = *request.record;
  std::array<wchar_t, store::kTargetPathCapacity> chosen{};
  DWORD result = ports_.downloader->ChoosePackagePath(request.name.c_str(), request.url.c_str(), chosen);
  if (result == ERROR_SUCCESS) {
    // Only a file this request wrote is continued: one of its earlier attempts, or the one its
    // "TargetPath" named at start-up. Whatever else has the name is emptied first.
    const bool resume = std::wcscmp(chosen.data(), record.target_path) == 0;
    std::copy(chosen.begin(), chosen.end(), std::begin(record.target_path));
    // Stored before the request goes out, so that a failure, a cancel or a restart finds the
    // partial file to remove or continue. The whole buffer, as the path is read back at
    // verification and at start-up; a failed write only costs that after a restart.
    (void)store::SetTargetPath(objects_, request.message.request_name_field(), request.instance,
                               record.target_path, store::kTargetPathBytes);
    result = ports_.downloader->DownloadPackage(request.url.c_str(), record.target_path, resume);
  }
  if (result == kDownloadStopped) {
    // The status stays Downloading; the next start continues the file.
    if (even_disconnected) (void)client_api.SetTriggerCondition(false);
    return Outcome::kStopped;
  }
  Outcome outcome = Outcome::kRequeue;
  if (result == ERROR_SUCCESS) {
    SetStatus(request, wire::kDownloaded);
    outcome = Outcome::kContinue;
  } else if (result == ERROR_FILE_NOT_FOUND || result == ERROR_FILE_TOO_LARGE) {
    // The server refuses or lacks the package, or sends more than a resumable file holds without
    // saying how much: a later attempt would fare no better.
    SetStatus(request, wire::kDownloadFailed, result);
    outcome = Outcome::kFinish;
  } else {
    SetStatus(request, wire::kDownloadRetry, result);
    ScheduleWake(record, step_tick + kDownloadRetryDelay);
  }
  if (even_disconnected) (void)client_api.SetTriggerCondition(false);
  return outcome;
}

bool QueueWorker::WindowsUpdateBusy() {
  SystemState& system = *ports_.system_state;
  return system.RestartPending() || system.InstallerBusy();
}

QueueWorker::Outcome QueueWorker::ApprovalStage(Request& request, const Step& step) {
  store::RequestRecord& record = *request.record;
  if (WindowsUpdateBusy()) {
    SetStatus(request, wire::kDeferred, step.detail);
    ScheduleWake(record, step.tick + kWindowsUpdateWait);
    return Outcome::kRequeue;
  }
  const InstallWindow& window = step.window;
  if (!window.in_window) {
    if (window.next_start_tick == Milliseconds::zero()) {
      // The next opening is unknown: looked at again at a later wake, never at once (which
      // would evaluate it again and again while nothing changes).
      ScheduleWake(record, step.tick + kUnknownWindowRetry);
    } else {
      ScheduleWake(record, window.next_start_tick);
      // The timer wakes the worker at the window's opening, by the wall clock.
      if (window.next_start_utc != FileTimeUnits::zero()) record.timer_due = window.next_start_utc;
    }
    return Outcome::kRequeue;  // the status stays as it is
  }
  if (request.message.HasFlag(wire::flags::kSilentMask) || step.install_now) {
    SetStatus(request, wire::kReadyToInstall);
    return Outcome::kContinue;
  }
  SetStatus(request, wire::kPrompting);
  if (request.dry_run) {
    SetStatus(request, wire::kReadyToInstall);  // a dry run never asks the user
    return Outcome::kContinue;
  }
  // Asked with no mutex held: the worker waits for the answer, which the UI's limit bounds and
  // the stop cuts short.
  const std::uint32_t timeout_ms = PromptTimeoutMs(step.tick, window.window_end_tick, record.deadline_tick);
  const std::uint32_t reply =
      SendInstallPrompt(config_.resource_module, request.message, timeout_ms, *ports_.ui);
  // Stopping: whatever came back, the request stays in Prompting, and the start-up recovery
  // takes it up again.
  if (ports_.pause->StopRequested()) return Outcome::kStopped;
  const Milliseconds reply_tick = ports_.clock->TickCount();

  switch (reply) {
    case wire::ui_reply::kYes:
      SetStatus(request, wire::kReadyToInstall);
      return Outcome::kContinue;
    case wire::ui_reply::kTimedOut:
      break;  // the time to answer ran out: the deadline counts as reached
    default:
      // No, cancel (also: no UI process of the product), ignore, and any answer no message box
      // gives, which counts as cancel: postponed until the deadline comes.
      if (reply_tick < record.deadline_tick) {
        SetStatus(request, wire::kPostponed);
        ScheduleWake(record, PostponedDueTick(reply_tick, request.message.postpone_interval_minutes(),
                                              record.deadline_tick));
        return Outcome::kRequeue;
      }
      break;
  }
  // The user can no longer postpone: install anyway when the request says so, else give up.
  const bool force = request.message.HasFlag(wire::flags::kForceInstall);
  SetStatus(request, force ? wire::kReadyToInstall : wire::kConsentTimedOut);
  return Outcome::kContinue;
}

QueueWorker::Outcome QueueWorker::InstallationStage(Request& request, const Step& step) {
  if (WindowsUpdateBusy()) {
    SetStatus(request, wire::kDeferred, step.detail);  // the approval stage sets the wait
    return Outcome::kContinue;
  }
  if (!step.window.in_window) {
    SetStatus(request, wire::kDownloaded, step.detail);  // the approval stage schedules the window
    return Outcome::kContinue;
  }
  if (request.message.HasFlag(wire::flags::kNoInstallWhileLoggedOn) &&
      ports_.system_state->LoggedOnUserCount() > 0) {
    return Outcome::kRequeue;  // status and due tick unchanged
  }
  store::RequestRecord& record = *request.record;
  // The key's path is the one the download wrote; an unreadable one keeps what memory knows.
  wchar_t stored_path[store::kTargetPathCapacity] = {};
  if (store::GetTargetPath(objects_, request.message.request_name_field(), request.instance, stored_path,
                           store::kTargetPathBytes) == ERROR_SUCCESS &&
      stored_path[0] != L'\0') {
    std::copy(std::begin(stored_path), std::end(stored_path), std::begin(record.target_path));
  }
  // Held until the outcome is settled, restart decision included, so that neither a cancel nor
  // the start-up recovery acts on the request meanwhile; released before requeue or finish.
  MutexGuard cancel(objects_.cancel_mutex.get());
  if (!cancel.acquired()) return Outcome::kRequeue;
  // A cancel answered after this pass read the flag, before the mutex was ours, is carried out
  // instead of the installation.
  bool cancel_pending = false;  // a failed read is no cancel
  (void)store::ReadCancelPending(objects_, request.message.request_name_field(), request.instance,
                                 cancel_pending);
  if (cancel_pending) {
    SetStatus(request, wire::kCancelled);
    return Outcome::kFinish;
  }
  return VerifyAndInstall(request);
}

QueueWorker::Outcome QueueWorker::VerifyAndInstall(Request& request) {
  store::RequestRecord& record = *request.record;
  SetStatus(request, wire::kVerifying);
  UniqueFile package;  // held open from the verification until the installer has returned
  if (!request.dry_run) {
    // Opened without write or delete sharing: nobody replaces the verified file before the
    // installer reads it. A package another process holds open is tried again later (else any
    // local user could fail an update for good by opening the file); any other package that
    // cannot be held counts as one that cannot be verified.
    if (const DWORD locked = ports_.package_lock->Lock(record.target_path, package);
        locked != ERROR_SUCCESS) {
      if (locked == ERROR_SHARING_VIOLATION) {
        SetStatus(request, wire::kReadyToInstall, locked);
        ScheduleWake(record, ports_.clock->TickCount() + kPackageInUseRetry);
        return Outcome::kRequeue;
      }
      SetStatus(request, wire::kVerificationFailed, locked);
      return Outcome::kFinish;
    }
    // A pinned package must be the very file the client named before its signature counts.
    if (const wire::PackageDigest pinned = wire::ReadPackageDigest(request.message.bytes()); pinned.present) {
      wire::Sha256Digest actual{};
      DWORD refused =
          pinned.well_formed ? ports_.package_hasher->HashPackage(package.get(), actual) : ERROR_SUCCESS;
      if (refused == ERROR_SUCCESS && (!pinned.well_formed || actual != pinned.digest)) {
        refused = static_cast<DWORD>(TRUST_E_BAD_DIGEST);
      }
      if (refused != ERROR_SUCCESS) {
        SetStatus(request, wire::kVerificationFailed, refused);
        return Outcome::kFinish;
      }
    }
    const bool waive_publisher = request.message.HasFlag(wire::flags::kSkipPublisherCheck) &&
                                 request.message.product_kind() == wire::product_kind::kAnyPublisher;
    if (const HRESULT verdict = ports_.signature->Verify(record.target_path, waive_publisher);
        verdict != S_OK) {
      SetStatus(request, wire::kVerificationFailed, static_cast<std::uint32_t>(verdict));
      return Outcome::kFinish;
    }
  }
  SetStatus(request, wire::kInstalling);
  if (request.dry_run) {
    if (!ports_.pause->Sleep(kDryRunInstall)) {
      // Stopping: as a retryable failure, so that the next start installs it again.
      SetStatus(request, wire::kReadyToInstall);
      return Outcome::kRequeue;
    }
    SetStatus(request, wire::kCompleted);
    request.installed = true;
    return Outcome::kFinish;
  }
  const DWORD exit_code = ports_.installer->RunInstaller(record.target_path, request.arguments.c_str());
  package.reset();
  if (exit_code == ERROR_SUCCESS) {
    SetStatus(request, wire::kCompleted);
    request.installed = true;
    return Outcome::kFinish;
  }
  if (exit_code == package::kInstallerRebootRequired) {
    const std::uint32_t kind = request.message.product_kind();
    if (kind == wire::product_kind::kCurrentClient || kind == wire::product_kind::kLegacyClient) {
      SetStatus(request, wire::kRestartPending);
    } else {
      SetStatus(request, wire::kCompleted);
      request.installed = true;
    }
    DecideRestart(request);
    return Outcome::kFinish;
  }
  // A failure while the service stops may be the stop's doing (the installer cut short):
  // tried again at the next start, as a transient failure is at the next wake.
  if (IsRetryableInstallerExit(exit_code) || ports_.pause->StopRequested()) {
    SetStatus(request, wire::kReadyToInstall);
    return Outcome::kRequeue;
  }
  SetStatus(request, wire::kInstallFailed, exit_code);
  return Outcome::kFinish;
}

void QueueWorker::DecideRestart(Request& request) {
  if (ports_.pause->StopRequested()) return;  // no prompt and no restart while stopping
  UiChannel& ui = *ports_.ui;
  const HMODULE texts = config_.resource_module;  // none: nothing is shown (the prompts answer 2)
  if (!request.message.HasFlag(wire::flags::kSilentMask)) {
    // The user's answer has no time limit but the stop; the cancel mutex stays held meanwhile.
    const std::uint32_t reply = SendStringPrompt(texts, text_id::kRestartPrompt, kRestartPromptStyle, ui);
    if (ports_.pause->StopRequested()) return;  // the stop ended the wait: no restart, no notice
    if (reply != wire::ui_reply::kYes && reply != wire::ui_reply::kIgnore) {
      (void)SendStringPrompt(texts, text_id::kNoRestart, kNoticeStyle, ui);
      return;
    }
  }
  const DWORD error = ports_.restart->RestartMachine();
  if (error == ERROR_SUCCESS) return;
  SetStatus(request, wire::kRestartPending, error);
  request.installed = false;  // a restart is left pending: the installation log stays
  if (!request.message.HasFlag(wire::flags::kNoInstallWhileLoggedOn)) {
    (void)SendStringPrompt(texts, text_id::kRestartFailed, kNoticeStyle, ui);
  }
}

void QueueWorker::SetStatus(const Request& request, wire::UpdateStatus status, std::uint32_t detail) {
  // A failed write is not retried here: the next pass reads what the key holds.
  (void)store::SetRequestStatus(objects_, request.record->message(), status, detail, false);
}

void QueueWorker::ScheduleWake(store::RequestRecord& record, Milliseconds due_tick) {
  record.due_tick = due_tick;
  record.timer_due = {};  // ArmRequestTimers takes the moment from the due tick
  record.timer_armed = false;
}

bool QueueWorker::Requeue(Request& request) {
  store::RequestRecord& record = *request.record;
  MutexGuard queue(objects_.queue_mutex.get());
  if (!queue.acquired()) return false;
  // A cancel that found the record held wrote its flag under this mutex: it is carried out at
  // the next wake, not at the record's due time, which may be a day away.
  bool cancel = false;
  (void)store::ReadCancelPending(objects_, request.message.request_name_field(), request.instance, cancel);
  if (cancel) ScheduleWake(record, {});
  objects_.requests.PushBack(objects_.held.Unlink(&record));
  queue.Release();
  if (cancel) ::SetEvent(objects_.update_event.get());
  return true;
}

bool QueueWorker::Finish(Request& request) {
  // Exclusive of cancel: a cancel either found the record held and wrote its flag, read here,
  // or comes after and finds the request in no list.
  MutexPairGuard locks(objects_.cancel_mutex.get(), objects_.queue_mutex.get());
  if (!locks.acquired()) return false;
  // Only a status that is not final (a restart left pending) can still carry the flag: a final
  // one deleted it.
  bool cancel = false;
  (void)store::ReadCancelPending(objects_, request.message.request_name_field(), request.instance, cancel);
  const store::RequestRecordPtr finished = objects_.held.Unlink(request.record);
  locks.ReleaseSecond();
  if (cancel) SetStatus(request, wire::kCancelled);
  if (!request.dry_run && objects_.package_files != nullptr) {
    // After an installation the log and the package directory go too.
    objects_.package_files->RemovePackageFiles(finished->target_path, request.installed || cancel);
  }
  return true;  // the record's deleter cancels and closes its request timer
}

}  // namespace qfu::worker
