#pragma once
#include <windows.h>

#include <string>

#include "store/process_objects.h"
#include "wire/pipes.h"

namespace qfu::ipc {

enum class PipeKind : unsigned short { kRequest = 0, kInfo = 1 };

// How long an idle connection sleeps before it peeks at the pipe again.
inline constexpr DWORD kIdlePollMs = 100;

// Starts the listener thread of that pipe, detached, serving pipe_name (the production names
// of wire/pipes.h; tests pass names of their own). Returns 0, or the Win32 error when the
// thread cannot be created. The listener runs until a pipe instance cannot be created.
[[nodiscard]] DWORD StartPipeListener(ProcessObjects& objects, PipeKind kind, const std::wstring& pipe_name);

}  // namespace qfu::ipc
