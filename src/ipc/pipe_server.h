#pragma once
#include <windows.h>

#include <string>

#include "service/process_objects.h"

namespace qfu::ipc {

enum class PipeKind : unsigned short { kRequest = 0, kInfo = 1 };

inline constexpr const wchar_t* kRequestPipeName = L"\\\\.\\pipe\\qfupdateagent_request";
inline constexpr const wchar_t* kInfoPipeName = L"\\\\.\\pipe\\qfupdateagent_info";

// The pipe instances' buffer sizes: a status record out, a message header in.
inline constexpr DWORD kPipeOutBufferSize = 159;
inline constexpr DWORD kPipeInBufferSize = 195;
// How long an idle connection sleeps before it peeks at the pipe again.
inline constexpr DWORD kIdlePollMs = 100;

// Starts the listener thread of that pipe, detached, serving pipe_name (the production names
// above; tests pass names of their own). Returns 0, or the Win32 error when the thread
// cannot be created. The listener runs until a pipe instance cannot be created.
[[nodiscard]] DWORD StartPipeListener(ProcessObjects& objects, PipeKind kind, const std::wstring& pipe_name);

// True when a message of that type may be sent on the info pipe (3, 4, 6, 7).
[[nodiscard]] bool IsInfoPipeMessageType(std::uint32_t type) noexcept;

}  // namespace qfu::ipc
