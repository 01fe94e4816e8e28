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
namespace {

// Larger than a record, so that an oversized message shows up as such instead of as a
// short read of its first bytes.
constexpr DWORD kReadBufferSize = 512;

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
  CommandLine line;  // a copy: the threads may outlive the caller's
  std::mutex mutex;  // guards printed, so that --count is never exceeded
  std::uint32_t printed = 0;
  std::atomic<DWORD> failure{ERROR_SUCCESS};
};

LocalTime Now() {
  SYSTEMTIME now = {};
  ::GetLocalTime(&now);
  return LocalTime{now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds};
}

void OnMessage(ListenerState& state, std::span<const std::uint8_t> bytes) {
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

// One instance's loop: wait for a client, read its messages until it closes, start over.
void ServeInstance(ListenerState& state, UniqueFile pipe) {
  std::vector<std::uint8_t> buffer(kReadBufferSize);
  for (;;) {
    if (!::ConnectNamedPipe(pipe.get(), nullptr) && ::GetLastError() != ERROR_PIPE_CONNECTED &&
        ::GetLastError() != ERROR_NO_DATA) {
      state.failure = ::GetLastError();
      ::SetEvent(stop_event);
      return;
    }
    for (;;) {
      DWORD got = 0;
      if (::ReadFile(pipe.get(), buffer.data(), kReadBufferSize, &got, nullptr)) {
        OnMessage(state, std::span(buffer.data(), got));
        continue;
      }
      if (::GetLastError() == ERROR_MORE_DATA) {
        PrintError("qfupdatectl: ignored a status notification longer than " +
                   std::to_string(kReadBufferSize) + " bytes and dropped its sender\n");
      }
      break;  // the client closed its end (ERROR_BROKEN_PIPE) or sent something unusable
    }
    ::DisconnectNamedPipe(pipe.get());
  }
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

  const WideString pipe_name = Utf8ToWide(line.pipe);
  std::vector<UniqueFile> instances;
  for (unsigned i = 0; i < kStatusPipeInstances; ++i) {
    // The first instance claims the name: if another program serves the status pipe already,
    // the agent's notifications would go to either of us, so refuse to start instead.
    const DWORD open_mode = PIPE_ACCESS_INBOUND | (i == 0 ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
    UniqueFile pipe(
        ::CreateNamedPipeW(pipe_name.c_str(), open_mode,
                           PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                           kStatusPipeInstances, 0, kReadBufferSize, 0, nullptr));
    if (!pipe) {
      const DWORD error = ::GetLastError();
      // Windows refuses a first instance of a name in use with ERROR_ACCESS_DENIED; Wine
      // answers ERROR_PIPE_BUSY when the other server's instances are all there.
      const bool taken = i == 0 && (error == ERROR_ACCESS_DENIED || error == ERROR_PIPE_BUSY);
      PrintError("qfupdatectl: cannot serve " + line.pipe + ": " +
                 (taken ? "another program serves it already (" + ErrorText(error) + ")" : ErrorText(error)) +
                 "\n");
      return 1;
    }
    instances.push_back(std::move(pipe));
  }

  // The state outlives the detached threads (never freed): the process ends without
  // waiting for them, and nothing of theirs may be destroyed under them on the way out.
  auto& state = *new ListenerState;
  state.line = line;
  for (UniqueFile& pipe : instances) {
    std::thread(ServeInstance, std::ref(state), std::move(pipe)).detach();
  }
  PrintError("qfupdatectl: listening on " + line.pipe + "\n");

  constexpr DWORD kLongestWaitSeconds = (INFINITE - 1) / 1000;
  const DWORD timeout_ms = line.timeout_seconds == 0
                               ? INFINITE
                               : std::min<DWORD>(line.timeout_seconds, kLongestWaitSeconds) * 1000;
  const DWORD wait = ::WaitForSingleObject(stop.get(), timeout_ms);
  if (state.failure != ERROR_SUCCESS) {
    PrintError("qfupdatectl: the status pipe failed: " + ErrorText(state.failure) + "\n");
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
