#include "service/service_host.h"

#include "common/last_error.h"
#include "common/srw_guard.h"
#include "common/system_clock.h"
#include "ipc/pipe_server.h"
#include "ipc/status_notification.h"
#include "locale/resource_module.h"
#include "package/package_files.h"
#include "service/event_log.h"
#include "service/service_install.h"
#include "store/user_agent.h"
#include "worker/production_ports.h"
#include "worker/recovery.h"

namespace qfu::service {
namespace {

// State of the one service this process runs. The control handler runs on the dispatcher's
// thread and only writes the status record, bumps the checkpoint and sets the stop event.
struct ServiceState {
  SRWLOCK status_lock = SRWLOCK_INIT;  // the dispatcher's thread and ServiceMain both report
  SERVICE_STATUS_HANDLE status_handle = nullptr;
  SERVICE_STATUS status = {SERVICE_WIN32_OWN_PROCESS, 0, 0, 0, 0, 0, 0};
  DWORD checkpoint = 1;
  UniqueHandle stop_event;
  ProcessObjects objects;
  AgentConfig config;
  ipc::StatusPipeReporter status_pipe;
  ApplicationLogSink event_log;
  OutcomeEventReporter status_reporter{status_pipe, event_log};  // the status pipe, then the event log
  package::PackageFiles package_files;
  worker::QueueWorkerArgs worker_args;
};

// Made once and never destroyed: pipe connection threads and the timer-queue thread may still
// use the process-wide objects while the process ends, so no static destructor may close
// their handles or free the request list under them.
ServiceState& State() {
  static ServiceState* const state = new ServiceState;
  return *state;
}

// Reports a pending state with the next checkpoint, or a settled one with checkpoint 0;
// exit_code is the Win32 error of a failed start (with SERVICE_STOPPED).
void ReportStatus(DWORD state, DWORD controls_accepted, DWORD wait_hint, DWORD exit_code = NO_ERROR) {
  ServiceState& s = State();
  ExclusiveSrwGuard lock(s.status_lock);
  s.status.dwCurrentState = state;
  s.status.dwControlsAccepted = controls_accepted;
  s.status.dwWin32ExitCode = exit_code;
  s.status.dwServiceSpecificExitCode = 0;
  s.status.dwWaitHint = wait_hint;
  const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
  s.status.dwCheckPoint = pending ? s.checkpoint++ : 0;
  ::SetServiceStatus(s.status_handle, &s.status);
}

DWORD WINAPI ControlHandler(DWORD control, DWORD, LPVOID, LPVOID) {
  if (IsStopControl(control)) {
    ReportStatus(SERVICE_STOP_PENDING, kControlsAccepted, kStopPendingWaitHintMs);
    ::SetEvent(State().stop_event.get());
  }
  return NO_ERROR;
}

VOID CALLBACK PeriodicWake(PVOID update_event, BOOLEAN) { ::SetEvent(static_cast<HANDLE>(update_event)); }

bool ReadNewerWindowsFlag() {
  OSVERSIONINFOW info = {};
  info.dwOSVersionInfoSize = sizeof(info);  // 284 bytes
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  if (!::GetVersionExW(&info)) return false;
#pragma GCC diagnostic pop
  return IsNewerWindows(info.dwMajorVersion, info.dwMinorVersion);
}

// The call that failed in CreateNamedObjects, which creates the three mutexes, then the
// update event, and stops at the first failure.
const wchar_t* FailedNamedObjectCall(const ProcessObjects& objects) {
  const bool event_failed =
      objects.queue_mutex && objects.cancel_mutex && objects.registry_mutex && !objects.update_event;
  return event_failed ? L"CreateEvent" : L"CreateMutex";
}

// Creates the store's named objects, then the user-agent mutex: the first failure ends the
// start, and everything made so far is closed again.
ipc::FailedCall CreateAgentObjects(ProcessObjects& objects, AgentConfig& config) {
  ipc::FailedCall failure;
  if (const DWORD error = CreateNamedObjects(objects); error != ERROR_SUCCESS) {
    failure = {error, FailedNamedObjectCall(objects)};
  } else if (const DWORD mutex_error = CreateUserAgentMutex(config); mutex_error != ERROR_SUCCESS) {
    failure = {mutex_error, L"CreateMutex"};
  }
  if (failure.failed()) {
    ReleaseGlobalObjects(objects);
    ReleaseAgentObjects(config);
  }
  return failure;
}

// Waits for the queue worker to end once the stop event is set, reporting STOP_PENDING with a
// rising checkpoint meanwhile: without limit while an installer runs, else for
// kStopWorkerLimitMs at most. Returns at once when the worker has ended by itself.
void AwaitWorker(HANDLE worker_thread) {
  ServiceState& s = State();
  const HANDLE ends[2] = {worker_thread, s.stop_event.get()};
  // Running: the worker ends only on the stop, or when its own wait fails.
  if (::WaitForMultipleObjects(2, ends, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) return;
  // The limit counts from the stop, or from the end of an installer that ran meanwhile, so that
  // the worker still records the installer's outcome and removes the package.
  ULONGLONG wait_began = ::GetTickCount64();
  while (::WaitForSingleObject(worker_thread, kStopProgressMs) == WAIT_TIMEOUT) {
    if (s.worker_args.installer_running) {
      wait_began = ::GetTickCount64();
    } else if (::GetTickCount64() - wait_began >= kStopWorkerLimitMs) {
      return;
    }
    ReportStatus(SERVICE_STOP_PENDING, kControlsAccepted, kStopPendingWaitHintMs);
  }
}

void WINAPI ServiceMain(DWORD, LPWSTR*) {
  ServiceState& s = State();
  s.status_handle = ::RegisterServiceCtrlHandlerExW(kServiceName, ControlHandler, nullptr);
  if (s.status_handle == nullptr) {
    ReportServiceError(L"RegisterServiceCtrlHandler", ::GetLastError());
    return;
  }
  ReportStatus(SERVICE_START_PENDING, 0, kStartPendingWaitHintMs);
  // Restarted after a failure even when installed by a package that cannot say so; a
  // failure here leaves the service without them and is no reason not to start.
  (void)ConfigureOwnFailureActions();
  ipc::FailedCall failure;
  UniqueHandle worker_thread;
  s.stop_event.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));  // manual-reset, not signalled
  if (!s.stop_event) {
    failure = {LastError(), L"CreateEvent"};
  } else {
    s.objects.status_reporter = &s.status_reporter;
    s.objects.package_files = &s.package_files;
    s.worker_args.stop_event = s.stop_event.get();
    failure = RunStartupSequence(s.objects, s.config, s.worker_args, worker_thread);
  }
  if (!failure.failed()) {
    ReportStatus(SERVICE_RUNNING, kControlsAccepted, 0);
  } else {
    ReportServiceError(failure.function_name, failure.error);
    if (worker_thread) {
      // A start that fails after the queue worker started stops the worker first: nothing
      // may go on changing requests in a process that the manager counts as stopped.
      ReportStatus(SERVICE_STOP_PENDING, 0, kStopPendingWaitHintMs);
      ::SetEvent(s.stop_event.get());
    }
  }
  if (worker_thread) AwaitWorker(worker_thread.get());
  // The worker, the only thread that shows texts, has ended (or is left to the end of the
  // process, which follows the STOPPED report).
  if (failure.failed() &&
      (!worker_thread || ::WaitForSingleObject(worker_thread.get(), 0) == WAIT_OBJECT_0)) {
    ReleaseResourceModule(s.config);
  }
  // A failed start stops with its error as the exit code, so that the Service Control
  // Manager counts it as a failure and runs the service's failure actions.
  ReportStatus(SERVICE_STOPPED, kControlsAccepted, 0, failure.error);
}

}  // namespace

ipc::FailedCall RunStartupSequence(ProcessObjects& objects, AgentConfig& config,
                                   worker::QueueWorkerArgs& worker_args, UniqueHandle& worker_thread) {
  worker_thread.reset();
  locale::SelectResourceModule(config, ::GetModuleHandleW(nullptr));
  config.newer_windows = ReadNewerWindowsFlag();
  SystemClock::Seed(::GetTickCount());  // random delays are drawn from the clock's generator
  objects.requests.Clear();

  if (const ipc::FailedCall failure = CreateAgentObjects(objects, config); failure.failed()) return failure;

  // The first instance of each pipe, before any request is touched: a pipe name that another
  // process serves already fails the start, and a failed start leaves no pipe served.
  ipc::PreparedListener request_pipe;
  ipc::PreparedListener info_pipe;
  if (const ipc::FailedCall failure = ipc::PreparePipeListener(objects, config, ipc::PipeKind::kRequest,
                                                               wire::kRequestPipeName, request_pipe);
      failure.failed()) {
    return failure;
  }
  if (const ipc::FailedCall failure =
          ipc::PreparePipeListener(objects, config, ipc::PipeKind::kInfo, wire::kInfoPipeName, info_pipe);
      failure.failed()) {
    return failure;
  }

  // A missing or unreadable value keeps the built-in user agent; this never fails the start.
  (void)store::GetUserAgent(HKEY_LOCAL_MACHINE, store::kServiceKeyPath, config.user_agent,
                            kUserAgentReadBytes);

  // The installed client's version through the same library port as the worker's.
  worker::LibraryClientApi client_api;
  worker::RecoverStoredRequests(objects, client_api);

  // The periodic wake: a failure only leaves the worker to the other wake-ups.
  HANDLE timer = nullptr;
  if (::CreateTimerQueueTimer(&timer, nullptr, PeriodicWake, objects.update_event.get(), kPeriodicWakeMs,
                              kPeriodicWakeMs, WT_EXECUTEDEFAULT)) {
    objects.periodic_wake_timer.reset(timer);
  }

  worker_args.objects = &objects;
  worker_args.config = &config;
  worker_thread.reset(
      ::CreateThread(nullptr, 0, worker::ProductionQueueWorkerThread, &worker_args, 0, nullptr));
  if (!worker_thread) return {LastError(), L"CreateThread"};
  if (const ipc::FailedCall failure = ipc::StartPipeListener(std::move(request_pipe)); failure.failed()) {
    return failure;
  }
  return ipc::StartPipeListener(std::move(info_pipe));
}

void RunServiceDispatcher() {
  // The dispatcher only reads the name; its table just does not say so.
  const SERVICE_TABLE_ENTRYW table[] = {{const_cast<wchar_t*>(kServiceName), ServiceMain},
                                        {nullptr, nullptr}};
  if (!::StartServiceCtrlDispatcherW(table))
    ReportServiceError(L"StartServiceCtrlDispatcher", ::GetLastError());
}

}  // namespace qfu::service
