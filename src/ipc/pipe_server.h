#pragma once
#include <windows.h>

#include "service/process_objects.h"

namespace qfu::ipc {

enum class PipeKind : unsigned short { kRequest = 0, kInfo = 1 };

// Starts the listener thread of that pipe, detached. Returns 0, or the Win32 error when the
// thread cannot be created.
[[nodiscard]] DWORD StartPipeListener(ProcessObjects& objects, PipeKind kind);

}  // namespace qfu::ipc
