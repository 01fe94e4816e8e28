#pragma once
// The queue worker: the one thread that moves Update Requests forward. It sleeps on {update
// event, stop event}; on each wake it takes the records whose due tick has come out of the
// request list and evaluates each: its stored status decides the stage, and each stage ends by
// writing the next status (the next pass goes on from there), by putting the record back into
// the list, or by finishing it. Everything it asks of the world comes through its ports
// (worker_ports.h), so tests drive one wake at a time on fakes.
#include <windows.h>

#include <atomic>
#include <cstdint>

#include "common/wide.h"
#include "store/agent_config.h"
#include "store/process_objects.h"
#include "store/request_record.h"
#include "wire/message.h"
#include "worker/install_window.h"
#include "worker/worker_ports.h"

namespace qfu::worker {

// The pause before every download attempt.
inline constexpr Milliseconds kDownloadPause{10000};
// A failed download (other than file-not-found) is tried again this long after its pass.
inline constexpr Milliseconds kDownloadRetryDelay{600000};
// A package that another process holds open at verification is looked at again this long
// after (ReadyToInstall).
inline constexpr Milliseconds kPackageInUseRetry{600000};
// Detail of InstallFailed when the package's version conflicts with the installed one
// (the Windows Installer's ERROR_PRODUCT_VERSION).
inline constexpr std::uint32_t kProductVersionConflict = 1638;
// While Windows Update waits for a restart or installs, a request waiting for approval is
// looked at again this long after its pass.
inline constexpr Milliseconds kWindowsUpdateWait{600000};
// A request outside its install window whose next opening is unknown is looked at again this
// long after its pass (the service's periodic wake period).
inline constexpr Milliseconds kUnknownWindowRetry{300000};
// The pause that stands for the installation of a dry-run request.
inline constexpr Milliseconds kDryRunInstall{250};

class QueueWorker {
 public:
  // stop_event: manual-reset, set by the control handler; Run's wait ends on it, while the
  // checks inside a wake ask ports.pause. The objects, the event and every port must outlive
  // the worker. config: the source of the prompt texts.
  QueueWorker(ProcessObjects& objects, const AgentConfig& config, HANDLE stop_event,
              const WorkerPorts& ports) noexcept;

  // The thread's loop: arms the request timers of listed records, waits alertably on {update
  // event, stop event} (so that the timers' completion routines run here), and runs one wake
  // per update. Returns 0 once the stop is seen, or the Win32 error of a failed wait.
  [[nodiscard]] DWORD Run();

  // One wake: takes every listed record whose due tick has come, in list order, and evaluates
  // each until it is requeued or finished. Returns false when the stop was seen: the record at
  // hand and those after it are then dropped from memory as they are (their request keys keep
  // their status for the next start).
  [[nodiscard]] bool RunOnce();

  // Under the queue mutex, arms the request timer of every listed record that is not due yet
  // and has no timer armed for a moment to come: at the record's timer moment, or, when it has
  // none or it has passed, at the moment its due tick comes. The timers' completion routine
  // sets the update event on the thread that armed them: call it from the worker's thread.
  void ArmRequestTimers();

 private:
  enum class Outcome { kContinue, kRequeue, kFinish, kStopped };
  struct Request;
  struct Step;

  [[nodiscard]] Outcome Evaluate(Request& request);
  [[nodiscard]] Outcome Pass(Request& request);
  [[nodiscard]] Outcome DownloadStage(Request& request, Milliseconds step_tick);
  [[nodiscard]] Outcome ApprovalStage(Request& request, const Step& step);
  [[nodiscard]] Outcome InstallationStage(Request& request, const Step& step);
  // Verification, installation and the restart decision, with the cancel mutex held.
  [[nodiscard]] Outcome VerifyAndInstall(Request& request);
  void DecideRestart(Request& request);
  [[nodiscard]] bool WindowsUpdateBusy();
  void SetStatus(const Request& request, wire::UpdateStatus status, std::uint32_t detail = 0);
  // Makes the record due at due_tick; ArmRequestTimers arms its timer for that moment.
  void ScheduleWake(store::RequestRecord& record, Milliseconds due_tick);
  // Puts the held record back into the request list; due at once when a cancel came while the
  // worker held it. False when the queue mutex cannot be taken (the record stays held).
  [[nodiscard]] bool Requeue(Request& request);
  // Takes the held record out of the held list and frees it, removing its package; a cancel
  // that came while the worker held it is carried out first. False when the cancel and queue
  // mutexes cannot be taken (the record stays held).
  [[nodiscard]] bool Finish(Request& request);

  ProcessObjects& objects_;
  const AgentConfig& config_;
  HANDLE stop_event_;
  WorkerPorts ports_;
};

// The argument of the worker's thread entry (ProductionQueueWorkerThread in
// worker/production_ports.h); it must outlive the thread.
struct QueueWorkerArgs {
  ProcessObjects* objects = nullptr;
  AgentConfig* config = nullptr;
  HANDLE stop_event = nullptr;  // manual-reset; set by the control handler
  // True while the worker waits for an installer, which a stop waits for without limit.
  std::atomic<bool> installer_running{false};
};

}  // namespace qfu::worker
