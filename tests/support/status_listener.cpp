#include "support/status_listener.h"

#include <algorithm>

namespace qfu::test {
namespace {

// Room in the hog's instance for a status record.
constexpr DWORD kInBufferSize = 4096;
// With no in-buffer, a write waits until the server reads it.
constexpr DWORD kNoInBuffer = 0;
// How long the hog gives a client to take an instance that listens again.
constexpr DWORD kRetakeWaitMs = 1000;

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

InstanceHog::InstanceHog(const std::wstring& pipe_name, DWORD retake_ms, DWORD hold_ms)
    : pipe_name_(pipe_name),
      pipe_(CreateOnlyInstance(pipe_name, kInBufferSize)),
      stop_event_(NewEvent()),
      connect_event_(NewEvent()) {
  if (!pipe_ || !stop_event_ || !connect_event_ || !Listen()) return;
  own_client_.reset(::CreateFileW(pipe_name_.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  FinishListen(kRetakeWaitMs);
  if (!own_client_) return;
  thread_ = std::thread([this, retake_ms, hold_ms] { Serve(retake_ms, hold_ms); });
}

InstanceHog::~InstanceHog() { Stop(); }

void InstanceHog::Stop() {
  ::SetEvent(stop_event_.get());
  if (thread_.joinable()) thread_.join();
  FinishListen(0);
}

bool InstanceHog::Listen() {
  own_client_.reset();
  ::DisconnectNamedPipe(pipe_.get());
  return StartListen(pipe_.get(), connect_, connect_event_.get(), listening_);
}

void InstanceHog::FinishListen(DWORD timeout_ms) {
  if (!listening_) return;
  if (::WaitForSingleObject(connect_event_.get(), timeout_ms) != WAIT_OBJECT_0) {
    CancelListen(pipe_.get(), connect_);
  } else {
    DWORD transferred = 0;
    (void)::GetOverlappedResult(pipe_.get(), &connect_, &transferred, FALSE);
  }
  listening_ = false;
}

void InstanceHog::Serve(DWORD retake_ms, DWORD hold_ms) {
  const ULONGLONG deadline = ::GetTickCount64() + hold_ms;
  for (ULONGLONG now = ::GetTickCount64(); now < deadline; now = ::GetTickCount64()) {
    const auto pause = static_cast<DWORD>(std::min<ULONGLONG>(retake_ms, deadline - now));
    if (::WaitForSingleObject(stop_event_.get(), pause) != WAIT_TIMEOUT) break;
    if (::GetTickCount64() >= deadline) break;
    if (!Listen()) return;
    ++frees_;
    // Take the instance again before anyone woken by its listening gets to it.
    own_client_.reset(
        ::CreateFileW(pipe_name_.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!own_client_) ++losses_;
    FinishListen(kRetakeWaitMs);
  }
  // Let go for good: whoever comes next gets the instance.
  if (Listen()) ::WaitForSingleObject(stop_event_.get(), INFINITE);
}

}  // namespace qfu::test
