// The agent's prompts through the UI pipe against the real qfupdate-ui: what arrives (as its
// log records it), what the agent makes of each answer, and whom it believes; and what
// qfupdate-ui itself lets in.
#include "worker/ui_channel.h"

#include <sddl.h>

#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <thread>

#include "common/handle.h"
#include "common/pipe_access.h"
#include "qfupdatectl/status_format.h"
#include "support/pipe_harness.h"
#include "support/process.h"
#include "support/scratch_directory.h"
#include "support/test_messages.h"
#include "support/ui_process.h"
#include "wire/ui_prompt.h"
#include "worker/user_prompts.h"

namespace qfu::worker {
namespace {

// The built-in texts (src/res/strings.rc, linked into the tests).
constexpr const char* kCaption = "Tessaran Harborline Software";
constexpr const char* kInstallText =
    "This software is ready to be installed, which may cause your computer to restart. Click Yes to install "
    "it "
    "now, or No to be prompted again later.";
constexpr const char* kRestartFailedText =
    "Your computer was unable to be restarted automatically.  Please manually restart your computer in order "
    "to "
    "complete installation.";
constexpr std::uint32_t kPromptTimeoutMs = 120000;
// Far longer than a failed connection takes, far shorter than any wait for a free instance.
constexpr ULONGLONG kAtOnceMs = 1000;

HMODULE TestResources() { return ::GetModuleHandleW(nullptr); }

// A stop event that is never set, for the channels of tests that do not stop.
HANDLE NoStop() {
  static const HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  return event;
}

// The log line qfupdate-ui writes for a prompt it answered with 6.
std::string LogLine(const std::string& text, std::uint32_t style, std::uint32_t timeout) {
  return "{\"text\":" + ctl::JsonString(text) + ",\"caption\":" + ctl::JsonString(kCaption) +
         ",\"style\":" + std::to_string(style) + ",\"timeout\":" + std::to_string(timeout) + ",\"answer\":6}";
}

std::string InstallPromptText(const std::string& prompt_item) {
  return LogLine(prompt_item, kInstallPromptStyle, kPromptTimeoutMs);
}

wire::MessageWriter WithPromptText(std::string_view text) {
  return test::SubmitMessage("App").TextItem(wire::kPromptTextItem, text);
}

TEST(UiChannel, PromptsArriveAsTheUiRecordsThem) {
  const std::string long_text(600, 'x');
  struct Case {
    const char* what;
    std::function<std::uint32_t(UiChannel&)> send;
    std::string logged;
  };
  const auto install = [](wire::MessageWriter message) {
    return [message = std::move(message)](UiChannel& ui) {
      return SendInstallPrompt(TestResources(), wire::RequestMessage(message.span()), kPromptTimeoutMs, ui);
    };
  };
  const std::string built_in = std::string(kInstallText) + "\r\n\r\nTest Software";
  const Case cases[] = {
      {"600-character prompt text", install(WithPromptText(long_text)),
       InstallPromptText(long_text.substr(0, 511))},
      {"empty prompt text", install(WithPromptText("")), InstallPromptText(built_in)},
      {"no prompt text", install(test::SubmitMessage("App")), InstallPromptText(built_in)},
      // Quotes, line ends, a tab, a control character and non-ASCII text, as JSON escapes them.
      {"text that needs escaping", install(WithPromptText("Say \"yes\"\r\n\t\x01 caf\xC3\xA9 \xE2\x9C\x93")),
       "{\"text\":\"Say \\\"yes\\\"\\r\\n\\t\\u0001 caf\xC3\xA9 \xE2\x9C\x93\",\"caption\":\"" +
           std::string(kCaption) + "\",\"style\":327940,\"timeout\":120000,\"answer\":6}"},
      {"restart-failed notice",
       [](UiChannel& ui) {
         return SendStringPrompt(TestResources(), text_id::kRestartFailed, kNoticeStyle, ui);
       },
       LogLine(kRestartFailedText, 0, 0)},
  };
  test::UiProcess ui_process(L"records", L"--answer yes");
  ASSERT_TRUE(ui_process.serving());
  PipeUiChannel channel(NoStop(), ui_process.pipe_name().c_str());
  std::size_t logged = 0;
  for (const Case& c : cases) {
    EXPECT_EQ(c.send(channel), wire::ui_reply::kYes) << c.what;
    const std::vector<std::string> lines = ui_process.LogLines();
    ASSERT_EQ(lines.size(), ++logged) << c.what;
    EXPECT_EQ(lines.back(), c.logged) << c.what;
  }
}

TEST(UiChannel, EachAnswerOfTheUi) {
  struct Case {
    const wchar_t* arguments;
    std::uint32_t prompt_timeout_ms;
    std::uint32_t reply;
  };
  const Case cases[] = {
      {L"--answer yes", 0, wire::ui_reply::kYes},
      {L"--answer no --delay 100", 0, wire::ui_reply::kNo},
      {L"--answer ignore", 0, wire::ui_reply::kIgnore},
      {L"--answer cancel", 0, wire::ui_reply::kCancel},
      {L"--answer timeout", 200, wire::ui_reply::kTimedOut},
      {L"--answer short", 0, wire::ui_reply::kCancel},  // 2 bytes of a Yes: too short to count
  };
  for (const Case& c : cases) {
    const std::wstring arguments = c.arguments;
    SCOPED_TRACE(std::string(arguments.begin(), arguments.end()));
    test::UiProcess ui_process(L"answers", arguments + L" --count 1");
    ASSERT_TRUE(ui_process.serving());
    PipeUiChannel channel(NoStop(), ui_process.pipe_name().c_str());
    EXPECT_EQ(channel.SendUiPrompt(L"Install?", L"Caption", kInstallPromptStyle, c.prompt_timeout_ms),
              c.reply);
    // The count reached, the UI process ends by itself.
    const test::ProcessResult run = ui_process.Finish(10000);
    EXPECT_TRUE(run.finished) << run.output;
    EXPECT_EQ(run.exit_code, 0u) << run.output;
  }
}

TEST(UiChannel, MessageBoxAnswersTimedOutWhenItsTimeRunsOut) {
  if (!test::CanShowMessageBoxes()) GTEST_SKIP() << "no display: no message box can be shown";
  test::UiProcess ui_process(L"box", L"");
  ASSERT_TRUE(ui_process.serving());
  PipeUiChannel channel(NoStop(), ui_process.pipe_name().c_str());
  EXPECT_EQ(channel.SendUiPrompt(L"Nobody answers this", L"Caption", kInstallPromptStyle, 300),
            wire::ui_reply::kTimedOut);
}

// No answer of a UI process of the product: cancelled at once, with nothing shown by whoever
// serves the pipe; a stop while the UI holds the prompt ends the wait the same way.
TEST(UiChannel, WithoutAnAnswerOfTheProductsUiCountsAsCancelledAtOnce) {
  constexpr DWORD kStopAfterMs = 300;
  struct Case {
    const char* what;
    const wchar_t* program;  // null: no UI process
    bool occupied = false;   // every instance busy
    bool stop = false;       // the service stops while the UI holds the prompt
  };
  const Case cases[] = {
      {"no UI process", nullptr},
      {"every instance busy", test::kSignedUi, true},
      {"an unsigned UI", L"qfupdate-ui.exe"},
      {"a UI signed by another publisher", L"other-signed\\qfupdate-ui.exe"},
      {"a stop while the UI holds the prompt", test::kSignedUi, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::unique_ptr<test::UiProcess> ui_process;
    std::unique_ptr<test::PipeOccupier> occupier;
    std::wstring pipe_name = test::TestUiPipeName(L"nobody");
    if (c.program != nullptr) {
      ui_process = std::make_unique<test::UiProcess>(L"unanswered", L"--answer yes --delay 20000",
                                                     test::TestUiPipeName(L"unanswered"), c.program);
      ASSERT_TRUE(ui_process->serving());
      pipe_name = ui_process->pipe_name();
    }
    if (c.occupied) {
      occupier = std::make_unique<test::PipeOccupier>(pipe_name, 16);
      ASSERT_GT(occupier->count(), 0u);
    }
    const UniqueHandle stop(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::thread stopper;
    if (c.stop) stopper = std::thread([&] { ::Sleep(kStopAfterMs), ::SetEvent(stop.get()); });
    PipeUiChannel channel(stop.get(), pipe_name.c_str());
    const ULONGLONG start = ::GetTickCount64();
    EXPECT_EQ(channel.SendUiPrompt(L"Install?", L"Caption", kInstallPromptStyle, kPromptTimeoutMs),
              wire::ui_reply::kCancel);
    EXPECT_LT(::GetTickCount64() - start, kAtOnceMs + (c.stop ? kStopAfterMs : 0));
    if (stopper.joinable()) stopper.join();
    if (ui_process) {
      EXPECT_TRUE(ui_process->LogLines().empty());
    }
  }
}

// The SID of this process's user as text.
std::wstring OwnUserSid() {
  HANDLE raw_token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw_token)) return L"";
  const UniqueHandle token(raw_token);
  alignas(TOKEN_USER) BYTE user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE] = {};
  DWORD size = 0;
  LPWSTR text = nullptr;
  if (!::GetTokenInformation(token.get(), TokenUser, user, sizeof(user), &size) ||
      !::ConvertSidToStringSidW(reinterpret_cast<const TOKEN_USER*>(user)->User.Sid, &text)) {
    return L"";
  }
  const std::wstring sid = text;
  ::LocalFree(text);
  return sid;
}

// qfupdate-ui lets in only LocalSystem and its own user, drops a client that sends no prompt
// within 5 s, says what each answer means on --help, and is a GUI program, which Windows
// starts without a console window.
TEST(QfupdateUi, AdmitsOnlyTheAgentAndItsUserDropsSilentClientsAndExplainsItself) {
  constexpr DWORD kAgentAccess = FILE_GENERIC_READ | FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES;
  constexpr ULONGLONG kSilenceLimitMs = 5000;
  test::UiProcess ui_process(L"guarded", L"--answer yes");
  ASSERT_TRUE(ui_process.serving());
  std::vector<test::AccessEntry> dacl;
  ASSERT_EQ(test::ReadPipeDacl(ui_process.pipe_name().c_str(), dacl), 0u);
  EXPECT_EQ(dacl,
            (std::vector<test::AccessEntry>{{L"S-1-5-18", kAgentAccess}, {OwnUserSid(), FILE_ALL_ACCESS}}));
  // Everything the agent asks for when it opens the pipe is granted to LocalSystem: a client
  // asking for more (GENERIC_WRITE) is refused on Windows, whatever Wine does.
  GENERIC_MAPPING file_mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                                  FILE_ALL_ACCESS};
  DWORD asked = kPipeClientAccess;
  ::MapGenericMask(&asked, &file_mapping);
  EXPECT_EQ(asked & ~kAgentAccess, 0u);

  const UniqueFile silent(::CreateFileW(ui_process.pipe_name().c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                        nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(silent);
  const ULONGLONG connected = ::GetTickCount64();
  DWORD available = 0;
  while (::PeekNamedPipe(silent.get(), nullptr, 0, nullptr, &available, nullptr) &&
         ::GetTickCount64() - connected < 2 * kSilenceLimitMs) {
    ::Sleep(50);
  }
  const ULONGLONG dropped_after = ::GetTickCount64() - connected;
  EXPECT_GE(dropped_after + 500, kSilenceLimitMs);
  EXPECT_LT(dropped_after, kSilenceLimitMs + 2000);

  const test::ProcessResult help = test::RunProcess(test::BuiltCommand(L"qfupdate-ui.exe", L"--help"), 10000);
  EXPECT_EQ(help.exit_code, 0u);
  for (const char* meaning : {"6 (Yes)", "7 (No)", "2 (Cancel)", "5 (Ignore)", "32000", "any other"}) {
    EXPECT_NE(help.output.find(meaning), std::string::npos) << meaning << "\n" << help.output;
  }

  // Mapped as a data file, the image's headers read as they lie in the file.
  const HMODULE image =
      ::LoadLibraryExW(test::BuiltProgram(L"qfupdate-ui.exe").c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(image, nullptr);
  const auto* base = reinterpret_cast<const BYTE*>(reinterpret_cast<ULONG_PTR>(image) & ~ULONG_PTR{3});
  const auto* headers = reinterpret_cast<const IMAGE_NT_HEADERS64*>(
      base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
  EXPECT_EQ(headers->OptionalHeader.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);
  ::FreeLibrary(image);
}

}  // namespace
}  // namespace qfu::worker
