// qfupdate-ui: the product's UI process. Serves the UI pipe in the user's session, shows each
// prompt the agent sends as a message box with its caption, text and style (answering 32000
// when the prompt's time limit runs out), and writes the 4-byte message-box result back. With
// --answer it answers by script, without a window, for tests and the demonstration.
#include <windows.h>

#include <array>
#include <atomic>
#include <charconv>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/handle.h"
#include "common/utf.h"
#include "qfupdatectl/status_format.h"
#include "wire/pipes.h"
#include "wire/ui_prompt.h"

namespace qfu::ui {
namespace {

constexpr int kExitDone = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// Instances listening at once: the agent never waits for a free one, and sends a notice right
// after the restart prompt's answer, possibly before this process has recycled that instance.
constexpr DWORD kInstances = 4;
// One byte more than a prompt, so that a longer message reads as too long, not as a prompt.
constexpr DWORD kReadBufferSize = wire::kUiPromptSize + 1;
// Bytes of the reply that --answer short writes: too few to be an answer.
constexpr DWORD kShortReplySize = 2;
// The dialog class of a message box.
constexpr const wchar_t* kDialogClass = L"#32770";

enum class Mode { kMessageBox, kFixed, kTimeout, kShort };

struct Options {
  std::wstring pipe = wire::kUiPipeName;
  Mode mode = Mode::kMessageBox;
  std::uint32_t fixed_answer = 0;  // kFixed: the answer
  DWORD delay_ms = 0;              // scripted answers: the wait before answering
  std::wstring log;                // empty: none
  std::uint32_t count = 0;         // prompts to answer before exiting; 0: no limit
};

constexpr const char* kUsage =
    "usage: qfupdate-ui [--pipe NAME] [--answer yes|no|cancel|ignore|timeout|short [--delay MS]]\n"
    "                   [--log FILE] [--count N]\n";

struct State {
  Options options;
  HANDLE stop = nullptr;  // set by Ctrl+C, by the count, or by a failing instance
  std::mutex mutex;       // guards answered and the log
  std::uint32_t answered = 0;
  UniqueFile log;
  std::atomic<bool> failed{false};
};

State* state = nullptr;  // never freed: the serving threads may outlive main's return

BOOL WINAPI OnConsoleControl(DWORD control) {
  if (control == CTRL_C_EVENT || control == CTRL_BREAK_EVENT || control == CTRL_CLOSE_EVENT) {
    ::SetEvent(state->stop);
    return TRUE;
  }
  return FALSE;
}

// Flushed at once: a reader of a redirected standard error waits for "serving".
void PrintError(const std::string& text) {
  std::fputs(("qfupdate-ui: " + text + "\n").c_str(), stderr);
  std::fflush(stderr);
}

[[nodiscard]] std::optional<std::uint32_t> ParseNumber(const std::wstring& text) {
  const std::string digits = WideToUtf8(text);
  std::uint32_t value = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (error != std::errc() || end != digits.data() + digits.size() || digits.empty()) return std::nullopt;
  return value;
}

[[nodiscard]] bool ParseAnswer(const std::wstring& name, Options& options) {
  struct Named {
    const wchar_t* name;
    Mode mode;
    std::uint32_t answer;
  };
  static constexpr Named kAnswers[] = {
      {L"yes", Mode::kFixed, wire::ui_reply::kYes},       {L"no", Mode::kFixed, wire::ui_reply::kNo},
      {L"cancel", Mode::kFixed, wire::ui_reply::kCancel}, {L"ignore", Mode::kFixed, wire::ui_reply::kIgnore},
      {L"timeout", Mode::kTimeout, wire::ui_reply::kTimedOut}, {L"short", Mode::kShort, wire::ui_reply::kYes},
  };
  for (const Named& answer : kAnswers) {
    if (name == answer.name) {
      options.mode = answer.mode;
      options.fixed_answer = answer.answer;
      return true;
    }
  }
  return false;
}

[[nodiscard]] std::optional<Options> ParseOptions(int argc, wchar_t** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::wstring option = argv[i];
    if (i + 1 >= argc) return std::nullopt;  // every option takes a value
    const std::wstring value = argv[++i];
    if (option == L"--pipe" && !value.empty()) {
      options.pipe = value;
    } else if (option == L"--answer") {
      if (!ParseAnswer(value, options)) return std::nullopt;
    } else if (option == L"--delay") {
      const auto delay = ParseNumber(value);
      if (!delay || *delay == INFINITE) return std::nullopt;
      options.delay_ms = *delay;
    } else if (option == L"--log" && !value.empty()) {
      options.log = value;
    } else if (option == L"--count") {
      const auto count = ParseNumber(value);
      if (!count || *count == 0) return std::nullopt;
      options.count = *count;
    } else {
      return std::nullopt;
    }
  }
  return options;
}

// Ends the thread's message box with the time-out answer. The timer fires again until the box
// is there, should it run out before the box was made.
BOOL CALLBACK EndMessageBox(HWND window, LPARAM) {
  wchar_t class_name[8] = {};
  if (::GetClassNameW(window, class_name, 8) == 0 || ::lstrcmpW(class_name, kDialogClass) != 0) return TRUE;
  ::EndDialog(window, static_cast<INT_PTR>(wire::ui_reply::kTimedOut));
  return FALSE;
}

void CALLBACK OnPromptTimeout(HWND, UINT, UINT_PTR timer, DWORD) {
  if (!::EnumThreadWindows(::GetCurrentThreadId(), EndMessageBox, 0)) ::KillTimer(nullptr, timer);
}

// Shows the prompt as a message box on this thread; its result, 32000 when the prompt's time
// limit ran out first, or IDCANCEL when no box could be shown. A thread timer (dispatched by
// the box's own message loop) applies the limit: user32's MessageBoxTimeoutW is undocumented.
[[nodiscard]] std::uint32_t ShowPrompt(const wire::UiPrompt& prompt) {
  const UINT_PTR timer = prompt.timeout_ms == 0 ? 0 : ::SetTimer(nullptr, 0, prompt.timeout_ms, OnPromptTimeout);
  const int result = ::MessageBoxW(nullptr, prompt.text.c_str(), prompt.caption.c_str(), prompt.style);
  if (timer != 0) ::KillTimer(nullptr, timer);
  return result <= 0 ? wire::ui_reply::kCancel : static_cast<std::uint32_t>(result);
}

// True when the wait ended without a stop.
[[nodiscard]] bool Wait(DWORD milliseconds) { return ::WaitForSingleObject(state->stop, milliseconds) == WAIT_TIMEOUT; }

[[nodiscard]] std::optional<std::uint32_t> Decide(const wire::UiPrompt& prompt) {
  switch (state->options.mode) {
    case Mode::kMessageBox: return ShowPrompt(prompt);
    // A user who never answers: the prompt's time limit, or at once when it has none.
    case Mode::kTimeout:
      if (!Wait(prompt.timeout_ms)) return std::nullopt;
      return wire::ui_reply::kTimedOut;
    case Mode::kFixed:
    case Mode::kShort:
      if (!Wait(state->options.delay_ms)) return std::nullopt;
      return state->options.fixed_answer;
  }
  return std::nullopt;
}

void WriteLogLine(const wire::UiPrompt& prompt, std::uint32_t answer) {
  if (!state->log) return;
  const std::string line = "{\"text\":" + ctl::JsonString(WideToUtf8(prompt.text)) +
                           ",\"caption\":" + ctl::JsonString(WideToUtf8(prompt.caption)) +
                           ",\"style\":" + std::to_string(prompt.style) + ",\"timeout\":" +
                           std::to_string(prompt.timeout_ms) + ",\"answer\":" + std::to_string(answer) + "}\n";
  DWORD written = 0;
  if (!::WriteFile(state->log.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr)) {
    PrintError("cannot write the log: error " + std::to_string(::GetLastError()));
  }
}

// Answers one prompt on the connected instance: logged before the reply is written, so that
// whoever reads the reply finds the line.
void Answer(HANDLE pipe, const wire::UiPrompt& prompt) {
  {
    const std::lock_guard lock(state->mutex);
    if (state->options.count != 0 && state->answered >= state->options.count) return;  // exiting
  }
  const std::optional<std::uint32_t> answer = Decide(prompt);
  if (!answer) return;  // stopping
  bool last = false;
  {
    const std::lock_guard lock(state->mutex);
    if (state->options.count != 0 && state->answered >= state->options.count) return;
    WriteLogLine(prompt, *answer);
    last = ++state->answered == state->options.count;
  }
  std::array<std::uint8_t, wire::kUiPromptReplySize> reply{};
  for (std::size_t i = 0; i < reply.size(); ++i) reply[i] = static_cast<std::uint8_t>(*answer >> (8 * i));
  const DWORD size = state->options.mode == Mode::kShort ? kShortReplySize : static_cast<DWORD>(reply.size());
  DWORD written = 0;
  // The flush waits until the agent has read the reply, before the instance is disconnected
  // (which would drop it) or the process ends.
  if (::WriteFile(pipe, reply.data(), size, &written, nullptr)) ::FlushFileBuffers(pipe);
  if (last) ::SetEvent(state->stop);
}

// One instance's loop: wait for a client, take one prompt, answer it, disconnect, start over.
// A message that is not exactly one prompt gets no reply: the agent reads that as cancelled.
void ServeInstance(UniqueFile pipe) {
  std::array<std::uint8_t, kReadBufferSize> buffer{};
  for (;;) {
    if (!::ConnectNamedPipe(pipe.get(), nullptr) && ::GetLastError() != ERROR_PIPE_CONNECTED &&
        ::GetLastError() != ERROR_NO_DATA) {
      PrintError("the UI pipe failed: error " + std::to_string(::GetLastError()));
      state->failed = true;
      ::SetEvent(state->stop);
      return;
    }
    DWORD got = 0;
    if (::ReadFile(pipe.get(), buffer.data(), kReadBufferSize, &got, nullptr)) {
      const auto prompt = wire::ParseUiPrompt(wire::Bytes(buffer.data(), got));
      if (prompt) {
        Answer(pipe.get(), *prompt);
      } else {
        PrintError("ignored a message of " + std::to_string(got) + " bytes");
      }
    }
    ::DisconnectNamedPipe(pipe.get());
  }
}

int Run(int argc, wchar_t** argv) {
  const std::optional<Options> options = ParseOptions(argc, argv);
  if (!options) {
    std::fputs(kUsage, stderr);
    return kExitUsage;
  }
  state = new State;
  state->options = *options;
  state->stop = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);  // lives as long as the process
  if (state->stop == nullptr) {
    PrintError("cannot create an event: error " + std::to_string(::GetLastError()));
    return kExitFailed;
  }
  if (!options->log.empty()) {
    state->log.reset(::CreateFileW(options->log.c_str(), FILE_APPEND_DATA,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!state->log) {
      PrintError("cannot open the log: error " + std::to_string(::GetLastError()));
      return kExitFailed;
    }
  }
  ::SetConsoleCtrlHandler(OnConsoleControl, TRUE);

  const std::string pipe_text = WideToUtf8(options->pipe);
  std::vector<UniqueFile> instances;
  for (DWORD i = 0; i < kInstances; ++i) {
    // The first instance claims the name: prompts must not go to another server of it.
    // Local clients only; one message in, one out.
    const DWORD open_mode = PIPE_ACCESS_DUPLEX | (i == 0 ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
    UniqueFile pipe(::CreateNamedPipeW(options->pipe.c_str(), open_mode,
                                       PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                                       kInstances, wire::kUiPromptReplySize, kReadBufferSize, 0, nullptr));
    if (!pipe) {
      PrintError("cannot serve " + pipe_text + ": error " + std::to_string(::GetLastError()));
      return kExitFailed;
    }
    instances.push_back(std::move(pipe));
  }
  for (UniqueFile& pipe : instances) std::thread(ServeInstance, std::move(pipe)).detach();
  PrintError("serving " + pipe_text);

  ::WaitForSingleObject(state->stop, INFINITE);
  return state->failed ? kExitFailed : kExitDone;
}

}  // namespace
}  // namespace qfu::ui

int wmain(int argc, wchar_t** argv) { return qfu::ui::Run(argc, argv); }
