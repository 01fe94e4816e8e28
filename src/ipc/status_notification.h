#pragma once
// Status notifications: one 159-byte status record written to the status pipe, served by a
// client of the product, whenever a request changes state. Best effort: with nobody serving
// the pipe the notification is dropped.
#include <windows.h>

#include <cstdint>

#include "ipc/message.h"

namespace qfu::ipc {

inline constexpr const wchar_t* kStatusPipeName = L"\\\\.\\pipe\\qfupdateagent_status";
// How long one wait for a free instance of a busy status pipe lasts.
inline constexpr DWORD kStatusPipeBusyWaitMs = 20000;

// Fills the 159-byte notification for a status change of the request in message: its
// identity, the status and detail code, result code 0 and a zero SoftwareVersion.
void BuildStatusNotification(Bytes message, std::uint32_t status, std::uint32_t detail,
                             MutableBytes notification) noexcept;

// Sends the notification for the status change to the pipe named pipe_name (kStatusPipeName
// in production). Queued (2) is never announced. Waits up to kStatusPipeBusyWaitMs at a time
// while every instance is busy; any other failure drops the notification. Nothing is reported.
void NotifyStatus(const wchar_t* pipe_name, Bytes message, std::uint32_t status, std::uint32_t detail) noexcept;

}  // namespace qfu::ipc
