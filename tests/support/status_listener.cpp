#include "support/status_listener.h"

#include <chrono>

namespace qfu::test {

StatusListener::StatusListener(const std::wstring& pipe_name)
    : pipe_(::CreateNamedPipeW(pipe_name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED,
                               PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 0, 4096, 0, nullptr)),
      stop_event_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      io_event_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      listening_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
  if (!pipe_ || !stop_event_ || !io_event_ || !listening_) return;
  thread_ = std::thread([this] { Serve(); });
  // Clients that come before the first ConnectNamedPipe would find the instance busy.
  ::WaitForSingleObject(listening_.get(), 5000);
}

StatusListener::~StatusListener() {
  ::SetEvent(stop_event_.get());
  if (thread_.joinable()) thread_.join();
}

bool StatusListener::Complete(OVERLAPPED& overlapped, DWORD& transferred) {
  const HANDLE wait[2] = {io_event_.get(), stop_event_.get()};
  if (::WaitForMultipleObjects(2, wait, FALSE, INFINITE) != WAIT_OBJECT_0) {
    ::CancelIo(pipe_.get());
    (void)::GetOverlappedResult(pipe_.get(), &overlapped, &transferred, TRUE);
    return false;
  }
  return ::GetOverlappedResult(pipe_.get(), &overlapped, &transferred, FALSE) != FALSE ||
         ::GetLastError() == ERROR_MORE_DATA;
}

void StatusListener::Serve() {
  while (::WaitForSingleObject(stop_event_.get(), 0) != WAIT_OBJECT_0) {
    OVERLAPPED overlapped = {};
    overlapped.hEvent = io_event_.get();
    ::ResetEvent(io_event_.get());
    DWORD transferred = 0;
    const bool connected = ::ConnectNamedPipe(pipe_.get(), &overlapped) != FALSE;
    const DWORD error = connected ? ERROR_SUCCESS : ::GetLastError();
    ::SetEvent(listening_.get());
    if (error == ERROR_IO_PENDING) {
      if (!Complete(overlapped, transferred)) return;
    } else if (error != ERROR_SUCCESS && error != ERROR_PIPE_CONNECTED && error != ERROR_NO_DATA) {
      return;  // ERROR_NO_DATA: a client came and went already; what it wrote may still be read
    }
    std::vector<std::uint8_t> message(1024);
    overlapped = {};
    overlapped.hEvent = io_event_.get();
    ::ResetEvent(io_event_.get());
    bool read = ::ReadFile(pipe_.get(), message.data(), static_cast<DWORD>(message.size()), &transferred, &overlapped);
    if (!read && ::GetLastError() == ERROR_IO_PENDING) read = Complete(overlapped, transferred);
    if (::WaitForSingleObject(stop_event_.get(), 0) == WAIT_OBJECT_0) return;
    if (read && transferred > 0) {
      message.resize(transferred);
      std::lock_guard lock(mutex_);
      messages_.push_back(std::move(message));
      arrived_.notify_all();
    }
    ::DisconnectNamedPipe(pipe_.get());
  }
}

std::vector<std::vector<std::uint8_t>> StatusListener::WaitFor(std::size_t count, DWORD timeout_ms) {
  std::unique_lock lock(mutex_);
  arrived_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return messages_.size() >= count; });
  return messages_;
}

}  // namespace qfu::test
