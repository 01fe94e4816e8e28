// The UI pipe as the agent uses it, against the real qfupdate-ui: the agent believes only a UI
// of the product's publisher, and without one the prompt counts as cancelled at once.
#include "worker/ui_channel.h"

#include <gtest/gtest.h>
#include <memory>
#include <string>

#include "support/ui_process.h"
#include "wire/ui_prompt.h"
#include "worker/user_prompts.h"

namespace qfu::worker {
namespace {

TEST(UiChannel, BelievesOnlyTheProductsUiAndAnswersCancelAtOnceWithoutIt) {
  constexpr ULONGLONG kAtOnceMs = 5000;  // a refusal needs no wait; room for a loaded machine
  struct Row {
    const wchar_t* program;  // null: nothing serves the pipe
    std::uint32_t reply;
  };
  const Row rows[] = {
      {.program = test::kSignedUi, .reply = wire::ui_reply::kYes},
      {.program = L"qfupdate-ui.exe", .reply = wire::ui_reply::kCancel},  // unsigned
      {.program = L"other-signed\\qfupdate-ui.exe", .reply = wire::ui_reply::kCancel},
      {.program = nullptr, .reply = wire::ui_reply::kCancel},
  };
  const HANDLE no_stop = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  for (const Row& row : rows) {
    SCOPED_TRACE(&row - rows);
    const std::wstring pipe = L"\\\\.\\pipe\\qfupdate_ui_test_" + std::to_wstring(::GetCurrentProcessId()) +
                              L"_" + std::to_wstring(&row - rows);
    std::unique_ptr<test::UiProcess> ui;
    if (row.program != nullptr) {
      ui = std::make_unique<test::UiProcess>(L"channel", L"--answer yes", pipe, row.program);
      ASSERT_TRUE(ui->serving());
    }
    PipeUiChannel channel(no_stop, pipe.c_str());
    const ULONGLONG sent = ::GetTickCount64();
    EXPECT_EQ(channel.SendUiPrompt(L"Install?", L"Caption", kInstallPromptStyle, 120000), row.reply);
    EXPECT_LT(::GetTickCount64() - sent, kAtOnceMs);
    if (ui && row.reply != wire::ui_reply::kYes) {
      EXPECT_TRUE(ui->LogLines().empty());  // nothing shown by an impostor
    }
  }
  ::CloseHandle(no_stop);
}

}  // namespace
}  // namespace qfu::worker
