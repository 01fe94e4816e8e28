#include "pipe_client.h"

namespace qfu::ctl {
namespace {

// Waits for an overlapped operation that started (or failed at once, started == FALSE) and
// cancels it when timeout_ms pass first. Returns 0 or the Win32 error; bytes gets the count.
DWORD FinishIo(HANDLE handle, OVERLAPPED& overlapped, BOOL started, DWORD timeout_ms, DWORD& bytes) {
  bytes = 0;
  if (!started && ::GetLastError() != ERROR_IO_PENDING) return ::GetLastError();
  const DWORD wait = ::WaitForSingleObject(overlapped.hEvent, timeout_ms);
  if (wait != WAIT_OBJECT_0) {
    const DWORD error = wait == WAIT_TIMEOUT ? ERROR_TIMEOUT : ::GetLastError();
    // The buffer and the OVERLAPPED must outlive the operation: wait for the cancel to land.
    ::CancelIo(handle);
    ::GetOverlappedResult(handle, &overlapped, &bytes, TRUE);
    return error;
  }
  if (!::GetOverlappedResult(handle, &overlapped, &bytes, FALSE)) return ::GetLastError();
  return ERROR_SUCCESS;
}

}  // namespace

DWORD PipeClient::Connect(const std::wstring& pipe_name, DWORD busy_wait_ms) {
  const ULONGLONG deadline = ::GetTickCount64() + busy_wait_ms;
  for (;;) {
    // Identification only: the server may learn who we are but never act as us.
    pipe_.reset(::CreateFileW(pipe_name.c_str(), kAgentPipeAccess, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
    if (pipe_) break;
    const DWORD error = ::GetLastError();
    if (error != ERROR_PIPE_BUSY) return error;
    const ULONGLONG now = ::GetTickCount64();
    if (now >= deadline) return ERROR_PIPE_BUSY;
    if (!::WaitNamedPipeW(pipe_name.c_str(), static_cast<DWORD>(deadline - now))) {
      const DWORD wait_error = ::GetLastError();
      return wait_error == ERROR_SEM_TIMEOUT ? ERROR_PIPE_BUSY : wait_error;
    }
    // An instance came free, but another client may take it first: open again.
  }
  DWORD mode = PIPE_READMODE_MESSAGE;
  if (!::SetNamedPipeHandleState(pipe_.get(), &mode, nullptr, nullptr)) return ::GetLastError();
  io_done_.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!io_done_) return ::GetLastError();
  return ERROR_SUCCESS;
}

DWORD PipeClient::Exchange(std::span<const std::uint8_t> message, std::vector<std::uint8_t>& reply,
                           DWORD timeout_ms) {
  if (!pipe_ || !io_done_) return ERROR_INVALID_HANDLE;
  OVERLAPPED overlapped = {};
  overlapped.hEvent = io_done_.get();
  ::ResetEvent(overlapped.hEvent);
  DWORD bytes = 0;
  BOOL started = ::WriteFile(pipe_.get(), message.data(), static_cast<DWORD>(message.size()), nullptr, &overlapped);
  if (const DWORD error = FinishIo(pipe_.get(), overlapped, started, timeout_ms, bytes); error != ERROR_SUCCESS) {
    return error;
  }
  if (bytes != message.size()) return ERROR_WRITE_FAULT;

  reply.assign(kReplyBufferSize, 0);
  overlapped = {};
  overlapped.hEvent = io_done_.get();
  ::ResetEvent(overlapped.hEvent);
  started = ::ReadFile(pipe_.get(), reply.data(), kReplyBufferSize, nullptr, &overlapped);
  const DWORD error = FinishIo(pipe_.get(), overlapped, started, timeout_ms, bytes);
  reply.resize(error == ERROR_SUCCESS ? bytes : 0);
  return error;
}

}  // namespace qfu::ctl
