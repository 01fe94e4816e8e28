// The UI pipe as the agent uses it, against the real qfupdate-ui: the agent believes only a UI
// of the product's publisher, and without one the prompt counts as cancelled at once.
#include "worker/ui_channel.h"

#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

#include "common/pipe_access.h"
#include "support/pipe_harness.h"
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

// qfupdate-ui lets in LocalSystem with no more than the agent asks for, and its own user.
TEST(QfupdateUi, AdmitsOnlyTheAgentAndItsUser) {
  constexpr DWORD kAgentAccess = FILE_GENERIC_READ | FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES;
  const std::wstring pipe = L"\\\\.\\pipe\\qfupdate_ui_test_dacl_" + std::to_wstring(::GetCurrentProcessId());
  test::UiProcess ui(L"dacl", L"--answer yes", pipe);
  ASSERT_TRUE(ui.serving());
  std::vector<test::AccessEntry> dacl;
  ASSERT_EQ(test::ReadPipeDacl(pipe.c_str(), dacl), 0u);
  ASSERT_EQ(dacl.size(), 2u);
  EXPECT_EQ(dacl[0], (test::AccessEntry{.sid = L"S-1-5-18", .mask = kAgentAccess}));
  EXPECT_TRUE(dacl[1].sid.starts_with(L"S-1-5-21-")) << dacl[1].sid;  // a user's, not a group's
  EXPECT_EQ(dacl[1].mask, static_cast<DWORD>(FILE_ALL_ACCESS));
  // What the agent asks for when it opens the pipe is all granted (Windows refuses more).
  GENERIC_MAPPING mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
  DWORD asked = kPipeClientAccess;
  ::MapGenericMask(&asked, &mapping);
  EXPECT_EQ(asked & ~kAgentAccess, 0u);
}

}  // namespace
}  // namespace qfu::worker
