#pragma once
// The agent's configuration: what the service host settles at start (the source of the prompt
// texts, the Windows version, the download user agent) and hands down to the queue worker, the
// downloader and the dispatcher. The service layer owns it; tests make their own instance. It
// is declared here, below the package and locale layers, which both use it.
//
// The user-agent mutex guards the user-agent buffer and the write of "UserAgent"; it is taken
// alone, never together with the store's mutexes (store/process_objects.h), and its wait is
// without time limit.
#include <windows.h>

#include <cstddef>
#include <string>

#include "common/handle.h"

namespace qfu {

inline constexpr const wchar_t* kUserAgentMutexName = L"Global\\QFUUAMutex";
inline constexpr std::size_t kUserAgentCapacity = 260;  // UTF-16 units with the terminator
inline constexpr const wchar_t* kDefaultUserAgent = L"Quillfern-Update-Service/1.0";

struct AgentConfig {
  UniqueHandle user_agent_mutex;
  wchar_t user_agent[kUserAgentCapacity] = {};  // guarded by user_agent_mutex
  UniqueModule loaded_resource_module;          // a translated resource DLL, when one was loaded
  HMODULE resource_module = nullptr;            // source of the prompt texts
  std::wstring language_name;                   // the language that chose resource_module
  bool newer_windows = false;                   // Windows 6.3 or later: automatic proxy

  AgentConfig();  // the built-in user agent
};

// Creates the user-agent mutex (not owned) with the named objects' protected DACL. Returns 0,
// or the Win32 error (ERROR_ALREADY_EXISTS when another process made the name first).
[[nodiscard]] DWORD CreateUserAgentMutex(AgentConfig& config);

// Closes the user-agent mutex and releases the resource module (the start-up failure path).
void ReleaseAgentObjects(AgentConfig& config);

// Unloads a translated resource DLL; the resource module becomes the program's own module
// (a failed start, once nothing shows texts any more).
void ReleaseResourceModule(AgentConfig& config);

}  // namespace qfu
