#include "pipe_client.h"

#include "common/last_error.h"
#include "common/overlapped_io.h"

namespace qfu::ctl {

DWORD PipeClient::Connect(const std::wstring& pipe_name, DWORD busy_wait_ms) {
  const ULONGLONG deadline = ::GetTickCount64() + busy_wait_ms;
  for (;;) {
    // Identification only: the server may learn who we are but never act as us.
    pipe_.reset(::CreateFileW(pipe_name.c_str(), kPipeClientAccess, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
                              nullptr));
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
  if (!::SetNamedPipeHandleState(pipe_.get(), &mode, nullptr, nullptr)) return LastError();
  io_done_.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!io_done_) return LastError();
  return ERROR_SUCCESS;
}

DWORD PipeClient::Exchange(std::span<const std::uint8_t> message, std::vector<std::uint8_t>& reply,
                           DWORD timeout_ms) {
  if (!pipe_ || !io_done_) return ERROR_INVALID_HANDLE;
  OVERLAPPED overlapped = {};
  overlapped.hEvent = io_done_.get();
  ::ResetEvent(overlapped.hEvent);
  DWORD bytes = 0;
  BOOL started =
      ::WriteFile(pipe_.get(), message.data(), static_cast<DWORD>(message.size()), nullptr, &overlapped);
  if (const DWORD error = FinishOverlappedIo(pipe_.get(), overlapped, started, timeout_ms, bytes);
      error != ERROR_SUCCESS) {
    return error;
  }
  if (bytes != message.size()) return ERROR_WRITE_FAULT;

  reply.assign(kReplyBufferSize, 0);
  overlapped = {};
  overlapped.hEvent = io_done_.get();
  ::ResetEvent(overlapped.hEvent);
  started = ::ReadFile(pipe_.get(), reply.data(), kReplyBufferSize, nullptr, &overlapped);
  const DWORD error = FinishOverlappedIo(pipe_.get(), overlapped, started, timeout_ms, bytes);
  reply.resize(error == ERROR_SUCCESS ? bytes : 0);
  return error;
}

}  // namespace qfu::ctl
