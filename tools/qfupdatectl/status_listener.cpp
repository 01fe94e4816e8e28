#include "status_listener.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "common/handle.h"
#include "common/utf.h"
#include "console_output.h"
#include "status_format.h"
#include "wire/message.h"

namespace qfu::ctl {

StatusPipeServer::StatusPipeServer(const std::wstring& pipe_name, OnMessage on_message, HANDLE failed)
    : on_message_(std::move(on_message)),
      failed_(failed),
      // The first instance claims the name: if another program serves the status pipe already,
      // the agent's notifications would go to either of us, so refuse to start instead.
      pipe_(::CreateNamedPipeW(
          pipe_name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_FIRST_PIPE_INSTANCE | FILE_FLAG_OVERLAPPED,
          PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
          kStatusPipeInstances, 0, kStatusReadBufferSize, 0, nullptr)),
      stop_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      io_done_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      listening_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
  if (!pipe_ || !stop_ || !io_done_ || !listening_) {
    error_ = ::GetLastError();
    return;
  }
  thread_ = std::thread([this] { Serve(); });
  // A client that came before the first listen could find the instance busy.
  constexpr DWORD kListenWaitMs = 5000;
  ::WaitForSingleObject(listening_.get(), kListenWaitMs);
}

StatusPipeServer::~StatusPipeServer() {
  if (stop_) ::SetEvent(stop_.get());
  if (thread_.joinable()) thread_.join();
}

DWORD StatusPipeServer::Complete(BOOL started, DWORD& transferred) {
  transferred = 0;
  const DWORD error = started ? ERROR_SUCCESS : ::GetLastError();
  if (error != ERROR_SUCCESS && error != ERROR_IO_PENDING && error != ERROR_MORE_DATA) return error;
  const HANDLE events[] = {io_done_.get(), stop_.get()};
  if (::WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0) {
    ::CancelIoEx(pipe_.get(), &overlapped_);
    (void)::GetOverlappedResult(pipe_.get(), &overlapped_, &transferred, TRUE);
    return ERROR_OPERATION_ABORTED;
  }
  return ::GetOverlappedResult(pipe_.get(), &overlapped_, &transferred, FALSE) ? ERROR_SUCCESS
                                                                               : ::GetLastError();
}

// Waits for a client, reads its messages until it closes, and starts over.
void StatusPipeServer::Serve() {
  std::vector<std::uint8_t> buffer(kStatusReadBufferSize);
  const auto fresh = [this] {
    overlapped_ = {};
    overlapped_.hEvent = io_done_.get();
    ::ResetEvent(io_done_.get());
    return &overlapped_;
  };
  for (;;) {
    DWORD got = 0;
    const BOOL listen = ::ConnectNamedPipe(pipe_.get(), fresh());
    ::SetEvent(listening_.get());
    // ERROR_NO_DATA: a client came and went already; what it wrote may still be read.
    if (const DWORD error = Complete(listen, got);
        error != ERROR_SUCCESS && error != ERROR_PIPE_CONNECTED && error != ERROR_NO_DATA) {
      if (error == ERROR_OPERATION_ABORTED) return;
      error_ = error;
      if (failed_ != nullptr) ::SetEvent(failed_);
      return;
    }
    for (;;) {
      const DWORD error =
          Complete(::ReadFile(pipe_.get(), buffer.data(), kStatusReadBufferSize, nullptr, fresh()), got);
      if (error == ERROR_OPERATION_ABORTED) return;
      if (error != ERROR_SUCCESS && error != ERROR_MORE_DATA) break;  // the client closed its end
      on_message_(std::span(buffer.data(), got), error == ERROR_MORE_DATA);
      if (error == ERROR_MORE_DATA) break;
    }
    ::DisconnectNamedPipe(pipe_.get());
  }
}

namespace {

// Set by Ctrl+C or Ctrl+Break, by reaching the count, or by a failing instance.
HANDLE stop_event = nullptr;

BOOL WINAPI OnConsoleControl(DWORD control) {
  if (control == CTRL_C_EVENT || control == CTRL_BREAK_EVENT || control == CTRL_CLOSE_EVENT) {
    ::SetEvent(stop_event);
    return TRUE;
  }
  return FALSE;
}

struct ListenerState {
  explicit ListenerState(const CommandLine& command_line) : line(command_line) {}
  const CommandLine& line;
  std::mutex mutex;  // guards printed, so that --count is never exceeded
  std::uint32_t printed = 0;
};

LocalTime Now() {
  SYSTEMTIME now = {};
  ::GetLocalTime(&now);
  return LocalTime{now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds};
}

void OnMessage(ListenerState& state, std::span<const std::uint8_t> bytes, bool oversized) {
  if (oversized) {
    PrintError("qfupdatectl: ignored a status notification longer than " +
               std::to_string(kStatusReadBufferSize) + " bytes and dropped its sender\n");
    return;
  }
  std::string error;
  const auto record = ParseNotification(bytes, error);
  if (!record) {
    PrintError("qfupdatectl: ignored " + error + "\n");
    return;
  }
  const std::lock_guard lock(state.mutex);
  if (state.line.count != 0 && state.printed >= state.line.count) return;
  PrintOut(state.line.json ? FormatStatusJson(*record, Now()) : FormatStatusLine(*record, Now()));
  if (++state.printed == state.line.count) ::SetEvent(stop_event);
}

std::string ErrorText(DWORD error) { return "error " + std::to_string(error); }

}  // namespace

int RunStatusListener(const CommandLine& line) {
  UniqueHandle stop(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!stop) {
    PrintError("qfupdatectl: cannot create an event: " + ErrorText(::GetLastError()) + "\n");
    return 1;
  }
  stop_event = stop.get();
  ::SetConsoleCtrlHandler(OnConsoleControl, TRUE);

  ListenerState state(line);
  const StatusPipeServer server(
      Utf8ToWide(line.pipe),
      [&state](std::span<const std::uint8_t> bytes, bool oversized) { OnMessage(state, bytes, oversized); },
      stop.get());
  if (const DWORD error = server.error(); error != ERROR_SUCCESS) {
    // Windows refuses a first instance of a name in use with ERROR_ACCESS_DENIED; Wine
    // answers ERROR_PIPE_BUSY when the other server's instances are all there.
    const bool taken = error == ERROR_ACCESS_DENIED || error == ERROR_PIPE_BUSY;
    PrintError("qfupdatectl: cannot serve " + line.pipe + ": " +
               (taken ? "another program serves it already (" + ErrorText(error) + ")" : ErrorText(error)) +
               "\n");
    return 1;
  }
  PrintError("qfupdatectl: listening on " + line.pipe + "\n");

  constexpr DWORD kLongestWaitSeconds = (INFINITE - 1) / 1000;
  const DWORD timeout_ms = line.timeout_seconds == 0
                               ? INFINITE
                               : std::min<DWORD>(line.timeout_seconds, kLongestWaitSeconds) * 1000;
  const DWORD wait = ::WaitForSingleObject(stop.get(), timeout_ms);
  if (server.error() != ERROR_SUCCESS) {
    PrintError("qfupdatectl: the status pipe failed: " + ErrorText(server.error()) + "\n");
    return 1;
  }
  const std::lock_guard lock(state.mutex);
  if (wait == WAIT_TIMEOUT && line.count != 0 && state.printed < line.count) {
    PrintError("qfupdatectl: " + std::to_string(state.printed) + " of " + std::to_string(line.count) +
               " status changes arrived within " + std::to_string(line.timeout_seconds) + " s\n");
    return 1;
  }
  return 0;
}

}  // namespace qfu::ctl
