// The outcome entries of the event log: which status changes write one and what it carries,
// through a recording sink, and their texts as readers of the log render them from the
// message table of the built qfupdate.exe.
#include "service/event_log.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "common/handle.h"
#include "support/fake_worker_ports.h"
#include "support/process.h"
#include "support/test_messages.h"
#include "wire/update_status.h"

namespace qfu::service {
namespace {

using namespace wire;

class RecordingSink final : public EventSink {
 public:
  struct Entry {
    WORD type = 0;
    DWORD id = 0;
    std::vector<std::wstring> strings;
  };
  std::vector<Entry> entries;
  void WriteEvent(WORD type, DWORD id, std::span<const wchar_t* const> strings) noexcept override {
    entries.push_back({type, id, {strings.begin(), strings.end()}});
  }
};

// The entry's text as a log reader renders it: the message of its identifier with its strings.
std::wstring Rendered(HMODULE program, DWORD id, const std::vector<std::wstring>& strings) {
  std::vector<DWORD_PTR> arguments;
  for (const std::wstring& text : strings) arguments.push_back(reinterpret_cast<DWORD_PTR>(text.c_str()));
  wchar_t text[1024] = {};
  const DWORD length = ::FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, program,
                                        id, 0, text, 1024, reinterpret_cast<va_list*>(arguments.data()));
  return std::wstring(text, length);
}

TEST(EventLog, WritesOneEntryPerOutcomeWithTextsFromTheProgramsMessageTable) {
  const struct {
    UpdateStatus status{};
    std::uint32_t detail = 0;
    DWORD id = 0;  // 0: no entry
    WORD type = 0;
    const wchar_t* status_name = nullptr;
    const wchar_t* code = nullptr;
  } rows[] = {
      {.status = kDownloading},
      {.status = kRestartPending},
      {.status = kRestartPending,
       .detail = 1115,
       .id = event_id::kRestartFailed,
       .type = EVENTLOG_WARNING_TYPE,
       .status_name = L"RestartPending",
       .code = L"1115"},
      {.status = kCompleted,
       .id = event_id::kRequestCompleted,
       .type = EVENTLOG_INFORMATION_TYPE,
       .status_name = L"Completed",
       .code = L"0"},
      {.status = kVerificationFailed,
       .detail = 0x80096010,
       .id = event_id::kVerificationFailed,
       .type = EVENTLOG_ERROR_TYPE,
       .status_name = L"VerificationFailed",
       .code = L"0x80096010"},
      {.status = kInstallFailed,
       .detail = 1603,
       .id = event_id::kInstallFailed,
       .type = EVENTLOG_ERROR_TYPE,
       .status_name = L"InstallFailed",
       .code = L"1603"},
  };
  const UniqueModule program(::LoadLibraryExW(test::BuiltProgram(L"qfupdate.exe").c_str(), nullptr,
                                              LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
  ASSERT_TRUE(program.valid());
  test::StatusRecorder pipe;
  RecordingSink sink;
  OutcomeEventReporter reporter(pipe, sink);
  const auto message = test::SubmitMessage("Outcome").Instance(0x1A);
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << row.status << " " << row.detail);
    sink.entries.clear();
    reporter.StatusChanged(message.span(), row.status, row.detail);
    EXPECT_EQ(pipe.changes.back(), (test::StatusRecorder::Change{"Outcome", row.status, row.detail}));
    if (row.id == 0) {
      EXPECT_TRUE(sink.entries.empty());
      continue;
    }
    ASSERT_EQ(sink.entries.size(), 1u);
    const RecordingSink::Entry& entry = sink.entries[0];
    EXPECT_EQ(std::pair(entry.id, entry.type), std::pair(row.id, row.type));
    ASSERT_EQ(entry.strings.size(), 4u);  // the fourth: the error's text
    EXPECT_EQ(std::vector(entry.strings.begin(), entry.strings.begin() + 3),
              (std::vector<std::wstring>{L"Outcome_0000001A", row.status_name, row.code}));
    EXPECT_FALSE(entry.strings[3].empty());
    const std::wstring text = Rendered(program.get(), row.id, entry.strings);
    for (const std::wstring& inserted : entry.strings)
      EXPECT_NE(text.find(inserted), std::wstring::npos) << text;
  }
  const std::wstring start_failure =
      Rendered(program.get(), kServiceErrorEventId, {L"QFUpdate", L"CreateMutex failed with 6"});
  EXPECT_EQ(start_failure.substr(0, start_failure.find_last_not_of(L"\r\n") + 1),
            L"The service QFUpdate could not start: CreateMutex failed with 6.");
}

// Without its supportedOS entries GetVersionExW reports 6.2 on every later Windows, and the
// agent would take Windows 10 for an older one.
TEST(ProgramManifest, DeclaresWindows81To11AndRunsAsInvoker) {
  const UniqueModule program(::LoadLibraryExW(test::BuiltProgram(L"qfupdate.exe").c_str(), nullptr,
                                              LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
  const HRSRC found = ::FindResourceW(program.get(), CREATEPROCESS_MANIFEST_RESOURCE_ID, RT_MANIFEST);
  ASSERT_NE(found, nullptr);
  const auto* bytes = static_cast<const char*>(::LockResource(::LoadResource(program.get(), found)));
  const std::string manifest(bytes, ::SizeofResource(program.get(), found));
  for (const char* expected : {"<supportedOS Id=\"{1f676c76-80e1-4239-95bb-83d0f6d0da78}\"",  // 8.1
                               "<supportedOS Id=\"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}\"",  // 10 and 11
                               "<requestedExecutionLevel level=\"asInvoker\""}) {
    EXPECT_NE(manifest.find(expected), std::string::npos) << expected;
  }
}

}  // namespace
}  // namespace qfu::service
