#include "support/status_listener.h"

namespace qfu::test {
namespace {

// With no in-buffer, a write waits until the server reads it.
constexpr DWORD kNoInBuffer = 0;

// The only instance of a message-mode pipe that the server reads from, served overlapped.
UniqueFile CreateOnlyInstance(const std::wstring& pipe_name, DWORD in_buffer_size) {
  return UniqueFile(::CreateNamedPipeW(pipe_name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED,
                                       PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 0,
                                       in_buffer_size, 0, nullptr));
}

UniqueHandle NewEvent() { return UniqueHandle(::CreateEventW(nullptr, TRUE, FALSE, nullptr)); }

// Starts an overlapped ConnectNamedPipe. Returns false when it failed; pending tells whether
// it is still waiting for a client (the event is signalled when one comes). A client already
// connected signals the event at once.
bool StartListen(HANDLE pipe, OVERLAPPED& connect, HANDLE event, bool& pending) {
  connect = {};
  connect.hEvent = event;
  ::ResetEvent(event);
  pending = false;
  if (::ConnectNamedPipe(pipe, &connect)) return true;
  const DWORD error = ::GetLastError();
  if (error == ERROR_PIPE_CONNECTED) ::SetEvent(event);
  pending = error == ERROR_IO_PENDING;
  return pending || error == ERROR_PIPE_CONNECTED;
}

// Ends a pending listen: cancels it, and waits until the OVERLAPPED is no longer in use.
void CancelListen(HANDLE pipe, OVERLAPPED& connect) {
  ::CancelIoEx(pipe, &connect);
  DWORD transferred = 0;
  (void)::GetOverlappedResult(pipe, &connect, &transferred, TRUE);
}

}  // namespace

SilentListener::SilentListener(const std::wstring& pipe_name, DWORD hold_ms)
    : pipe_(CreateOnlyInstance(pipe_name, kNoInBuffer)),
      stop_event_(NewEvent()),
      connect_event_(NewEvent()),
      client_came_(NewEvent()) {
  if (!pipe_ || !stop_event_ || !connect_event_ || !client_came_) return;
  bool pending = false;
  if (!StartListen(pipe_.get(), connect_, connect_event_.get(), pending)) return;
  thread_ = std::thread([this, hold_ms] { Serve(hold_ms); });
}

SilentListener::~SilentListener() {
  ::SetEvent(stop_event_.get());
  if (thread_.joinable()) thread_.join();
}

bool SilentListener::WaitForClient(DWORD timeout_ms) const {
  return ::WaitForSingleObject(client_came_.get(), timeout_ms) == WAIT_OBJECT_0;
}

void SilentListener::Serve(DWORD hold_ms) {
  const ULONGLONG deadline = ::GetTickCount64() + hold_ms;
  const HANDLE waits[2] = {stop_event_.get(), connect_event_.get()};
  if (::WaitForMultipleObjects(2, waits, FALSE, hold_ms) == WAIT_OBJECT_0 + 1) {
    ::SetEvent(client_came_.get());
    const ULONGLONG now = ::GetTickCount64();
    if (now < deadline) ::WaitForSingleObject(stop_event_.get(), static_cast<DWORD>(deadline - now));
  } else {
    CancelListen(pipe_.get(), connect_);
  }
  pipe_.reset();  // a write still waiting ends with a broken pipe
}

}  // namespace qfu::test
