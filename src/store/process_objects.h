#pragma once
// The process-wide objects: created once by the service host at start and handed to whoever
// needs them (tests make their own instance). They live until the process ends.
//
// The named objects and what each guards:
//   queue mutex      the request list (links; due tick and install-now flag of listed records)
//                    and the held list (links)
//   cancel mutex     makes cancel, start-up recovery and the worker's verify-install-restart
//                    stage exclusive of each other
//   registry mutex   each open, read or write, and close of a request key
//   user-agent mutex the user-agent buffer and the write of "UserAgent" (taken alone)
//   update event     wakes the queue worker (auto-reset)
// Lock order: submit lock, cancel mutex, queue mutex, registry mutex. No path takes them in
// another order, and every wait is without time limit.
#include <windows.h>

#include <string>

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
inline constexpr const wchar_t* kUserAgentMutexName = L"Global\\QFUUAMutex";

// The driver's configuration key under HKEY_LOCAL_MACHINE, which may move the working
// directory to another folder below ProgramData (read only).
inline constexpr const wchar_t* kWorkingDirectoryKeyPath =
    L"SYSTEM\\CurrentControlSet\\Services\\VIVAD\\Params\\Carraway Config";

// The product's key under HKEY_LOCAL_MACHINE, which may name the language of the prompt texts
// ("Language", 64-bit view), and its setup key, which names where the product was installed
// ("LastInstallLocation"), where translated resource DLLs may lie (both read only).
inline constexpr const wchar_t* kProductKeyPath = L"SOFTWARE\\Quillfern";
inline constexpr const wchar_t* kProductSetupKeyPath = L"SOFTWARE\\Quillfern\\Setup";

inline constexpr std::size_t kUserAgentCapacity = 260;  // UTF-16 units with the terminator
inline constexpr const wchar_t* kDefaultUserAgent = L"Quillfern-Update-Service/1.0";

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
  UniqueHandle user_agent_mutex;
  // Makes a submit's check of the stored status and its enqueue one step; taken first.
  SRWLOCK submit_lock = SRWLOCK_INIT;
  wchar_t user_agent[kUserAgentCapacity] = {};  // guarded by user_agent_mutex
  UniqueModule loaded_resource_module;          // a translated resource DLL, when one was loaded
  HMODULE resource_module = nullptr;            // source of the prompt texts
  std::wstring language_name;                   // the language that chose resource_module
  bool newer_windows = false;                   // Windows 6.3 or later: automatic proxy
  UniqueTimerQueueTimer periodic_wake_timer;

  // Where the store keeps its keys: HKEY_LOCAL_MACHINE\<service key>; tests use a scratch key.
  HKEY registry_root = HKEY_LOCAL_MACHINE;
  std::wstring service_key_path = store::kServiceKeyPath;
  // Where the working directory's override is read: HKEY_LOCAL_MACHINE\<this key>, 64-bit
  // view; tests use a scratch key.
  std::wstring working_directory_key_path = kWorkingDirectoryKeyPath;
  // Where the language and the install location are read (HKEY_LOCAL_MACHINE\<these keys>);
  // tests use scratch keys.
  std::wstring language_key_path = kProductKeyPath;
  std::wstring setup_key_path = kProductSetupKeyPath;
  // Told of every status change, and asked to remove package files (null: nobody).
  store::StatusReporter* status_reporter = nullptr;
  store::PackageFileRemover* package_files = nullptr;
  // Tick count, UTC and local time, time zone and random draws; tests use a fake clock.
  Clock* clock = &SystemClockInstance();

  ProcessObjects();
};

// Creates, in this order, the queue, cancel and registry mutexes, the update event and the
// user-agent mutex (not owned, not signalled), each with a protected DACL for LocalSystem and
// Administrators only. Stops at the first failure and returns its Win32 error
// (ERROR_ALREADY_EXISTS when another process made the name first), with the objects created
// so far left for ReleaseGlobalObjects; 0 on success.
[[nodiscard]] DWORD CreateNamedObjects(ProcessObjects& objects);

// Closes the named objects that exist and releases the resource module (the start-up
// failure path).
void ReleaseGlobalObjects(ProcessObjects& objects);

// Unloads a translated resource DLL; the resource module becomes the program's own module
// (a failed start, once nothing shows texts any more).
void ReleaseResourceModule(ProcessObjects& objects);

}  // namespace qfu
