// qfupdate-ui: the product's UI process. Serves the UI pipe in the user's session, shows each
// prompt the agent sends as a message box with its caption, text and style (answering 32000
// when the prompt's time limit runs out), and writes the 4-byte message-box result back. With
// --answer it answers by script, without a window, for tests and the demonstration. A GUI
// program: no console window comes with its message boxes; what it prints goes to the standard
// handles it was given.
#include <windows.h>

#include <shellapi.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/dacl_security.h"
#include "common/handle.h"
#include "common/last_error.h"
#include "common/overlapped_io.h"
#include "common/utf.h"
#include "qfupdatectl/number_text.h"
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
// A client that sends no prompt this long after it connected is dropped, so that nobody holds
// an instance by connecting and staying silent. The same bound applies to the agent reading
// the reply and closing its end.
constexpr DWORD kPromptArrivalLimitMs = 5000;
// Who may open the pipe: the agent (LocalSystem) to read and write messages and set message
// read mode (FILE_WRITE_ATTRIBUTES); this process's own user with full control, as it creates
// the instances. Nobody else: no other user's process may send prompts or take instances.
constexpr DWORD kAgentAccess = FILE_GENERIC_READ | FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES;
constexpr DWORD kOwnUserAccess = FILE_ALL_ACCESS;

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
    "                   [--log FILE] [--count N]\n"
    "       qfupdate-ui --help\n";

constexpr const char* kHelp =
    "qfupdate-ui serves the update agent's UI pipe (\\\\.\\pipe\\qfupdateagent_ui) in the user's\n"
    "session and shows each prompt of the agent as a message box: its caption, its text, its\n"
    "buttons. The button the user clicks is the answer sent back to the agent.\n"
    "\n"
    "What the agent makes of each answer:\n"
    "  6 (Yes)      install prompt: install now; restart prompt: restart the computer now\n"
    "  7 (No)       install prompt: ask again later, until the request's deadline; restart\n"
    "               prompt: no restart (the agent says so in a notice)\n"
    "  2 (Cancel)   as No; also what the agent counts when no UI process answers\n"
    "  5 (Ignore)   install prompt: as No; restart prompt: restart now\n"
    "  32000        the prompt's time limit ran out unanswered: the request's deadline counts\n"
    "               as reached (installed anyway when the request says so, else not at all)\n"
    "  any other    counts as 2\n"
    "\n"
    "Options:\n"
    "  --pipe NAME     serve NAME instead of the agent's UI pipe\n"
    "  --answer A      answer every prompt by script, without a window: yes (6), no (7),\n"
    "                  cancel (2), ignore (5), timeout (32000 once the prompt's time limit\n"
    "                  has passed) or short (2 bytes of a Yes, which the agent counts as 2)\n"
    "  --delay MS      with --answer: wait MS milliseconds before answering\n"
    "  --log FILE      append one JSON line per answered prompt (text, caption, style,\n"
    "                  timeout, answer), written before the answer is sent\n"
    "  --count N       exit after answering N prompts\n"
    "  --help          print this text and exit\n"
    "\n"
    "Only LocalSystem (the agent) and this user may open the pipe; a connection that sends no\n"
    "prompt within 5 s is closed. The agent takes answers only from a copy of this program\n"
    "signed by the product's publisher. Exit codes: 0 done (--count reached, --help),\n"
    "1 the pipe cannot be served or the log opened, 2 a wrong command line.\n";

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

[[nodiscard]] bool ParseAnswer(const std::wstring& name, Options& options) {
  struct Named {
    const wchar_t* name;
    Mode mode;
    std::uint32_t answer;
  };
  static constexpr Named kAnswers[] = {
      {L"yes", Mode::kFixed, wire::ui_reply::kYes},
      {L"no", Mode::kFixed, wire::ui_reply::kNo},
      {L"cancel", Mode::kFixed, wire::ui_reply::kCancel},
      {L"ignore", Mode::kFixed, wire::ui_reply::kIgnore},
      {L"timeout", Mode::kTimeout, wire::ui_reply::kTimedOut},
      {L"short", Mode::kShort, wire::ui_reply::kYes},
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
      const auto delay = ctl::ParseNumber(WideToUtf8(value));
      if (!delay || *delay == INFINITE) return std::nullopt;
      options.delay_ms = *delay;
    } else if (option == L"--log" && !value.empty()) {
      options.log = value;
    } else if (option == L"--count") {
      const auto count = ctl::ParseNumber(WideToUtf8(value));
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
  const UINT_PTR timer =
      prompt.timeout_ms == 0 ? 0 : ::SetTimer(nullptr, 0, prompt.timeout_ms, OnPromptTimeout);
  const int result = ::MessageBoxW(nullptr, prompt.text.c_str(), prompt.caption.c_str(), prompt.style);
  if (timer != 0) ::KillTimer(nullptr, timer);
  return result <= 0 ? wire::ui_reply::kCancel : static_cast<std::uint32_t>(result);
}

// True when the wait ended without a stop.
[[nodiscard]] bool Wait(DWORD milliseconds) {
  return ::WaitForSingleObject(state->stop, milliseconds) == WAIT_TIMEOUT;
}

[[nodiscard]] std::optional<std::uint32_t> Decide(const wire::UiPrompt& prompt) {
  switch (state->options.mode) {
    case Mode::kMessageBox:
      return ShowPrompt(prompt);
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
                           ",\"style\":" + std::to_string(prompt.style) +
                           ",\"timeout\":" + std::to_string(prompt.timeout_ms) +
                           ",\"answer\":" + std::to_string(answer) + "}\n";
  DWORD written = 0;
  if (!::WriteFile(state->log.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr)) {
    PrintError("cannot write the log: error " + std::to_string(::GetLastError()));
  }
}

// Runs one overlapped operation on the instance to its end: 0 or its Win32 error
// (ERROR_TIMEOUT when timeout_ms passed first, ERROR_OPERATION_ABORTED when the process stops).
template <typename Start>
[[nodiscard]] DWORD RunOverlapped(HANDLE pipe, HANDLE done, DWORD timeout_ms, DWORD& bytes, Start start) {
  OVERLAPPED overlapped = {};
  overlapped.hEvent = done;
  const BOOL started = start(overlapped);
  return FinishOverlappedIo(pipe, overlapped, started, timeout_ms, bytes, state->stop);
}

// Answers one prompt on the connected instance: logged before the reply is written, so that
// whoever reads the reply finds the line.
void Answer(HANDLE pipe, HANDLE done, const wire::UiPrompt& prompt) {
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
  const DWORD write = RunOverlapped(pipe, done, kPromptArrivalLimitMs, written, [&](OVERLAPPED& overlapped) {
    return ::WriteFile(pipe, reply.data(), size, nullptr, &overlapped);
  });
  if (write == ERROR_SUCCESS) {
    // The agent reads the reply and closes its end: wait for that (a read that fails), as a
    // disconnect before it has read would drop the reply.
    std::uint8_t ignored = 0;
    DWORD got = 0;
    (void)RunOverlapped(pipe, done, kPromptArrivalLimitMs, got, [&](OVERLAPPED& overlapped) {
      return ::ReadFile(pipe, &ignored, sizeof(ignored), nullptr, &overlapped);
    });
  }
  if (last) ::SetEvent(state->stop);
}

// One instance's loop: wait for a client, take one prompt (dropping a client that sends none
// within kPromptArrivalLimitMs), answer it, disconnect, start over. A message that is not
// exactly one prompt gets no reply: the agent reads that as cancelled.
void ServeInstance(UniqueFile pipe) {
  const UniqueHandle done(::CreateEventW(nullptr, TRUE, FALSE, nullptr));  // manual-reset, for overlapped I/O
  std::array<std::uint8_t, kReadBufferSize> buffer{};
  for (;;) {
    DWORD unused = 0;
    const DWORD connect =
        !done ? ::GetLastError()
              : RunOverlapped(pipe.get(), done.get(), INFINITE, unused, [&](OVERLAPPED& overlapped) {
                  return ::ConnectNamedPipe(pipe.get(), &overlapped);
                });
    if (connect == ERROR_OPERATION_ABORTED) return;  // stopping
    if (connect != ERROR_SUCCESS && connect != ERROR_PIPE_CONNECTED && connect != ERROR_NO_DATA) {
      PrintError("the UI pipe failed: error " + std::to_string(connect));
      state->failed = true;
      ::SetEvent(state->stop);
      return;
    }
    DWORD got = 0;
    const DWORD read =
        RunOverlapped(pipe.get(), done.get(), kPromptArrivalLimitMs, got, [&](OVERLAPPED& overlapped) {
          return ::ReadFile(pipe.get(), buffer.data(), kReadBufferSize, nullptr, &overlapped);
        });
    if (read == ERROR_SUCCESS) {
      const auto prompt = wire::ParseUiPrompt(wire::Bytes(buffer.data(), got));
      if (prompt) {
        Answer(pipe.get(), done.get(), *prompt);
      } else {
        PrintError("ignored a message of " + std::to_string(got) + " bytes");
      }
    } else if (read == ERROR_TIMEOUT) {
      PrintError("dropped a connection that sent no prompt within " + std::to_string(kPromptArrivalLimitMs) +
                 " ms");
    }
    ::DisconnectNamedPipe(pipe.get());
  }
}

// The pipe's security: a DACL with LocalSystem and this process's user. The ACL and the
// descriptor live as long as the process serves.
struct PipeSecurity : DaclSecurity {
  // Returns 0 or the Win32 error.
  [[nodiscard]] DWORD Build() {
    BYTE system_sid[SECURITY_MAX_SID_SIZE] = {};
    DWORD sid_size = SECURITY_MAX_SID_SIZE;
    if (!::CreateWellKnownSid(WinLocalSystemSid, nullptr, system_sid, &sid_size)) return LastError();
    // The token's user: its SID lies in the buffer, after the TOKEN_USER header.
    alignas(TOKEN_USER) BYTE user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE] = {};
    {
      HANDLE raw_token = nullptr;
      if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw_token)) return LastError();
      const UniqueHandle token(raw_token);
      DWORD size = 0;
      if (!::GetTokenInformation(token.get(), TokenUser, user, sizeof(user), &size)) return LastError();
    }
    const DaclEntry entries[] = {{system_sid, kAgentAccess},
                                 {reinterpret_cast<const TOKEN_USER*>(user)->User.Sid, kOwnUserAccess}};
    const wchar_t* failed_call = nullptr;
    return DaclSecurity::Build(entries, failed_call);
  }
};

// Prints text to standard output (--help).
void PrintOut(const char* text) {
  std::fputs(text, stdout);
  std::fflush(stdout);
}

int Run(int argc, wchar_t** argv) {
  if (argc == 2 && (std::wstring(argv[1]) == L"--help" || std::wstring(argv[1]) == L"/?")) {
    PrintOut(kUsage);
    PrintOut("\n");
    PrintOut(kHelp);
    return kExitDone;
  }
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
  auto* security = new PipeSecurity;  // never freed: the instances keep using the name
  if (const DWORD error = security->Build(); error != ERROR_SUCCESS) {
    PrintError("cannot make the pipe's security: error " + std::to_string(error));
    return kExitFailed;
  }
  std::vector<UniqueFile> instances;
  for (DWORD i = 0; i < kInstances; ++i) {
    // The first instance claims the name: prompts must not go to another server of it.
    // Local clients only; one message in, one out; overlapped, so that every wait is bounded.
    const DWORD open_mode =
        PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (i == 0 ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
    UniqueFile pipe(
        ::CreateNamedPipeW(options->pipe.c_str(), open_mode,
                           PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                           kInstances, wire::kUiPromptReplySize, kReadBufferSize, 0, &security->attributes));
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

// A GUI program started from a console window without redirected output has no standard
// output: it writes to its parent's console instead, so that --help and the errors show there.
void UseParentConsoleForOutput() {
  const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  if ((out != nullptr && out != INVALID_HANDLE_VALUE) || !::AttachConsole(ATTACH_PARENT_PROCESS)) return;
  (void)std::freopen("CONOUT$", "w", stdout);
  (void)std::freopen("CONOUT$", "w", stderr);
}

}  // namespace
}  // namespace qfu::ui

// A GUI program (linked with -mwindows): Windows gives it no console window. The arguments
// come from the command line as the C runtime would split them for wmain.
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  int argc = 0;
  wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
  if (argv == nullptr) return 1;
  qfu::ui::UseParentConsoleForOutput();
  const int result = qfu::ui::Run(argc, argv);
  ::LocalFree(argv);
  return result;
}
