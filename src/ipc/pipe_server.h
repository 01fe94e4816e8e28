#pragma once
#include <windows.h>

#include <memory>
#include <string>

#include "store/agent_config.h"
#include "store/process_objects.h"
#include "wire/pipes.h"

namespace qfu::ipc {

enum class PipeKind : unsigned short { kRequest = 0, kInfo = 1 };

// A failed Windows call: its Win32 error and its name ("CreateNamedPipe"), for the event log.
// error 0 means nothing failed.
struct FailedCall {
  DWORD error = ERROR_SUCCESS;
  const wchar_t* function_name = L"";

  [[nodiscard]] bool failed() const noexcept { return error != ERROR_SUCCESS; }
};

// A pipe's listener before its thread runs: it holds the pipe's first instance.
struct Listener;
struct ListenerDeleter {
  void operator()(Listener* listener) const noexcept;
};
using PreparedListener = std::unique_ptr<Listener, ListenerDeleter>;

// Creates the first instance of that pipe, serving pipe_name (the production names of
// wire/pipes.h; tests pass names of their own), into prepared. A name that another process
// serves already is refused with ERROR_ACCESS_DENIED and nothing stays open. Returns nothing
// failed, or the call that failed ("CreateNamedPipe", ...) with its error.
[[nodiscard]] FailedCall PreparePipeListener(ProcessObjects& objects, AgentConfig& config, PipeKind kind,
                                             const std::wstring& pipe_name, PreparedListener& prepared);

// Starts the listener's thread, detached: it takes the first instance and creates every
// further one, until an instance cannot be created. Returns nothing failed, or
// "CreateThread" with its error (the listener and its instance are then closed).
[[nodiscard]] FailedCall StartPipeListener(PreparedListener prepared);

}  // namespace qfu::ipc
