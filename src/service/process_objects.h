#pragma once
// The process-wide objects: created once by the service host at start and handed to
// whoever needs them (tests make their own instance). Lock order and what each mutex
// guards: store/named_objects.h.
#include <windows.h>

#include <string>

#include "common/clock.h"
#include "common/handle.h"
#include "ipc/status_notification.h"
#include "store/request_key.h"
#include "store/request_record.h"

namespace qfu {

inline constexpr std::size_t kUserAgentCapacity = 260;  // UTF-16 units with the terminator
inline constexpr const wchar_t* kDefaultUserAgent = L"Quillfern-Update-Service/1.0";

struct TimerQueueTimerTraits {
  using Type = HANDLE;
  static Type Invalid() noexcept { return nullptr; }
  static void Close(Type h) noexcept { ::DeleteTimerQueueTimer(nullptr, h, nullptr); }
};
using UniqueTimerQueueTimer = UniqueAny<TimerQueueTimerTraits>;

struct ProcessObjects {
  store::RequestList requests;  // guarded by queue_mutex
  UniqueHandle queue_mutex;
  UniqueHandle cancel_mutex;
  UniqueHandle registry_mutex;
  UniqueHandle update_event;
  UniqueHandle user_agent_mutex;
  wchar_t user_agent[kUserAgentCapacity] = {};  // guarded by user_agent_mutex
  HMODULE resource_module = nullptr;            // source of the prompt texts
  bool newer_windows = false;                   // Windows 6.3 or later: automatic proxy
  UniqueTimerQueueTimer periodic_wake_timer;

  // Where the store keeps its keys: HKEY_LOCAL_MACHINE\<service key>; tests use a scratch key.
  HKEY registry_root = HKEY_LOCAL_MACHINE;
  std::wstring service_key_path = store::kServiceKeyPath;
  // Where status notifications go; tests use a pipe name of their own.
  std::wstring status_pipe_name = ipc::kStatusPipeName;
  // Tick count, UTC and local time, time zone and random draws; tests use a fake clock.
  Clock* clock = &SystemClockInstance();

  ProcessObjects();
};

// Creates, in this order, the queue, cancel and registry mutexes, the update event and the
// user-agent mutex (default security, not owned, not signalled). Stops at the first failure
// and returns its Win32 error, with the objects created so far left for
// ReleaseGlobalObjects; 0 on success.
[[nodiscard]] DWORD CreateNamedObjects(ProcessObjects& objects);

// Closes the named objects that exist and releases the resource module (the start-up
// failure path).
void ReleaseGlobalObjects(ProcessObjects& objects);

}  // namespace qfu
