#pragma once
// The store's process-wide objects: created once by the service host at start and handed to
// whoever needs them (tests make their own instance). They live until the process ends. What
// the agent settles at start beside them is its configuration (store/agent_config.h).
//
// The named objects and what each guards:
//   queue mutex      the request list (links; due tick and install-now flag of listed records)
//                    and the held list (links)
//   cancel mutex     makes cancel, start-up recovery and the worker's verify-install-restart
//                    stage exclusive of each other
//   registry mutex   each open, read or write, and close of a request key
//   update event     wakes the queue worker (auto-reset)
// Lock order: submit lock, cancel mutex, queue mutex, registry mutex. No path takes them in
// another order, and every wait is without time limit. The user-agent mutex of the agent's
// configuration is taken alone.
#include <windows.h>

#include "common/clock.h"
#include "common/handle.h"
#include "common/system_clock.h"
#include "store/request_key.h"
#include "store/request_record.h"
#include "store/store_ports.h"

namespace qfu {

inline constexpr const wchar_t* kQueueMutexName = L"Global\\QFUpdateQueueMutex";
inline constexpr const wchar_t* kCancelMutexName = L"Global\\QFUpdateCancelMutex";
inline constexpr const wchar_t* kRegistryMutexName = L"Global\\QFUpdateRegistryMutex";
inline constexpr const wchar_t* kUpdateEventName = L"Global\\QFUpdateEvent";

struct TimerQueueTimerTraits {
  using Type = HANDLE;
  static Type Invalid() noexcept { return nullptr; }
  // INVALID_HANDLE_VALUE: waits for a callback in flight before the timer is gone.
  static void Close(Type h) noexcept { ::DeleteTimerQueueTimer(nullptr, h, INVALID_HANDLE_VALUE); }
};
using UniqueTimerQueueTimer = UniqueAny<TimerQueueTimerTraits>;

struct ProcessObjects {
  store::RequestList requests;  // guarded by queue_mutex
  // The records the queue worker has taken from the request list for this wake: each stays
  // here, where a cancel finds it, until the worker puts it back or finishes it (guarded by
  // queue_mutex; the record's other fields are the worker's meanwhile).
  store::RequestList held;
  UniqueHandle queue_mutex;
  UniqueHandle cancel_mutex;
  UniqueHandle registry_mutex;
  UniqueHandle update_event;
  // Makes a submit's check of the stored status and its enqueue one step; taken first.
  SRWLOCK submit_lock = SRWLOCK_INIT;
  UniqueTimerQueueTimer periodic_wake_timer;
  // Told of every status change, and asked to remove package files (null: nobody).
  store::StatusReporter* status_reporter = nullptr;
  store::PackageFileRemover* package_files = nullptr;
  // Tick count, UTC and local time, time zone and random draws; tests use a fake clock.
  Clock* clock = &SystemClockInstance();
};

enum class NamedObjectKind { kMutex, kAutoResetEvent };

// Creates a named mutex (not owned) or auto-reset event (not signalled) into target, with a
// protected DACL for LocalSystem and Administrators only. Returns 0, or the Win32 error
// (ERROR_ALREADY_EXISTS when another process made the name first: target stays empty).
[[nodiscard]] DWORD CreateNamedObject(const wchar_t* name, NamedObjectKind kind, UniqueHandle& target);

// Creates, in this order, the queue, cancel and registry mutexes and the update event. Stops at
// the first failure and returns its Win32 error, with the objects created so far left for
// ReleaseGlobalObjects; 0 on success.
[[nodiscard]] DWORD CreateNamedObjects(ProcessObjects& objects);

// Closes the named objects that exist (the start-up failure path).
void ReleaseGlobalObjects(ProcessObjects& objects);

}  // namespace qfu
