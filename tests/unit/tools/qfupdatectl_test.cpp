// Runs qfupdatectl.exe against pipes served (or written to) by the test itself, each under a
// pipe name of its own: the bytes the tool sends, what it prints, and its exit code.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "common/bytes.h"
#include "common/handle.h"
#include "common/utf.h"
#include "ipc/message.h"
#include "qfupdatectl/request_options.h"
#include "store/update_status.h"
#include "support/process.h"

namespace qfu::ctl {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::wstring UniquePipeName() {
  static std::atomic<unsigned> counter{0};
  return L"\\\\.\\pipe\\qfupdatectl_test_" + std::to_wstring(::GetCurrentProcessId()) + L"_" +
         std::to_wstring(::GetTickCount64()) + L"_" + std::to_wstring(counter++);
}

// A reply as the agent sends it: a status record and, with a time stamp, one item.
Bytes Reply(std::uint32_t result, std::string_view name = "", std::uint32_t status = 0, std::uint32_t instance = 0,
            const wchar_t* time_stamp = nullptr) {
  Bytes buffer(ipc::kReplyCapacity, 0);
  ipc::StatusRecord record(buffer);
  record.Clear();
  record.set_result_code(result);
  record.set_update_status(status);
  record.set_instance_number(instance);
  (void)WriteFieldText(record.request_name_field(), name);
  if (time_stamp) ipc::AppendTextItem(buffer, ipc::kTimeStampItem, time_stamp);
  buffer.resize(record.length());
  return buffer;
}

// Serves one client connection on a pipe of its own: records every message and answers it
// with the next of the given replies (nothing once they run out).
class FakeAgentPipe {
 public:
  explicit FakeAgentPipe(std::vector<Bytes> replies) : name_(UniquePipeName()), replies_(std::move(replies)) {
    pipe_.reset(::CreateNamedPipeW(name_.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                   1, 4096, 4096, 0, nullptr));
    EXPECT_TRUE(pipe_.valid());
    thread_ = std::thread([this] { Serve(); });
  }
  ~FakeAgentPipe() {
    // A tool that never connected leaves the thread in its connect: connect to end it.
    UniqueFile unblock(::CreateFileW(name_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    unblock.reset();
    thread_.join();
  }
  [[nodiscard]] std::wstring name() const { return name_; }
  [[nodiscard]] const std::vector<Bytes>& messages() const { return messages_; }

 private:
  void Serve() {
    if (!::ConnectNamedPipe(pipe_.get(), nullptr) && ::GetLastError() != ERROR_PIPE_CONNECTED) return;
    std::size_t next = 0;
    Bytes buffer(ipc::kMaxMessageSize);
    DWORD got = 0;
    while (::ReadFile(pipe_.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
      messages_.emplace_back(buffer.begin(), buffer.begin() + got);
      if (next == replies_.size()) continue;  // leave the client waiting
      const Bytes& reply = replies_[next++];
      DWORD written = 0;
      if (!::WriteFile(pipe_.get(), reply.data(), static_cast<DWORD>(reply.size()), &written, nullptr)) break;
    }
    ::DisconnectNamedPipe(pipe_.get());
  }

  std::wstring name_;
  std::vector<Bytes> replies_;
  std::vector<Bytes> messages_;
  UniqueFile pipe_;
  std::thread thread_;
};

test::ProcessResult RunTool(const std::wstring& arguments, DWORD timeout_ms = 30000) {
  return test::RunProcess(L"\"" + test::BuiltProgram(L"qfupdatectl.exe") + L"\" " + arguments, timeout_ms);
}

bool Contains(const std::string& text, std::string_view part) { return text.find(part) != std::string::npos; }

TEST(QfupdatectlRequests, SendOneMessageAndPrintTheReply) {
  FakeAgentPipe agent({Reply(ipc::result::kDone, "Client", store::kDownloading, 26, L"01.05.2024 09:00:00")});
  const auto run = RunTool(L"--pipe " + agent.name() + L" query Client:26");
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exit_code, 0u) << run.output;
  EXPECT_EQ(run.output,
            "result:       Done (0)\n"
            "status:       Downloading (3)\n"
            "request:      Client:26\n"
            "system error: 0\n"
            "time stamp:   01.05.2024 09:00:00\n");
  ASSERT_EQ(agent.messages().size(), 1u);
  const ipc::RequestMessage sent(agent.messages()[0]);
  EXPECT_EQ(agent.messages()[0].size(), ipc::kHeaderSize);
  EXPECT_EQ(sent.type(), ipc::kQueryRequest);
  EXPECT_EQ(sent.instance_number(), 26u);
  EXPECT_EQ(sent.request_name(), "Client");
}

TEST(QfupdatectlRequests, SendTheSubmitMessageByteForByteAndExitOneUnlessDone) {
  FakeAgentPipe agent({Reply(ipc::result::kAlreadyExists, "Client", store::kCompleted)});
  const auto run = RunTool(L"--json --pipe " + agent.name() +
                           L" submit Client --url http://h/p.msi --display-name \"Test Software\" --window 22:00-05:00"
                           L" --start \"2030-01-02 03:04\" --pop2 --flags 0x1");
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exit_code, 1u) << run.output;
  EXPECT_TRUE(Contains(run.output, "{\"result\":2147483650,\"result_name\":\"AlreadyExists\",\"status\":1,"
                                   "\"status_name\":\"Completed\",\"name\":\"Client\"")) << run.output;

  const std::vector<std::string> arguments = {"submit", "Client", "--url", "http://h/p.msi", "--display-name",
                                              "Test Software", "--window", "22:00-05:00", "--start",
                                              "2030-01-02 03:04", "--pop2", "--flags", "0x1"};
  const ParseOutcome expected = ParseCommandLine(arguments);
  ASSERT_TRUE(expected.command_line.has_value()) << expected.error;
  ASSERT_EQ(agent.messages().size(), 1u);
  EXPECT_EQ(agent.messages()[0], expected.command_line->message);
}

TEST(QfupdatectlRequests, ListEnumeratesOnOneConnectionPastUnreadableIndices) {
  FakeAgentPipe agent({Reply(ipc::result::kDone, "First", store::kQueued, 0, L"t1"),
                       Reply(ipc::result::kCannotCarryOut), Reply(ipc::result::kDone, "Second", store::kCompleted, 2, L"t2"),
                       Reply(ipc::result::kNothingToReport)});
  const auto run = RunTool(L"--json --pipe " + agent.name() + L" list");
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exit_code, 0u) << run.output;
  ASSERT_EQ(agent.messages().size(), 4u);
  for (std::uint32_t index = 0; index < 4; ++index) {
    const ipc::RequestMessage sent(agent.messages()[index]);
    EXPECT_EQ(sent.type(), ipc::kEnumerateRequests);
    EXPECT_EQ(sent.U32(ipc::kRequestFlagsAt), index);
  }
  EXPECT_TRUE(Contains(run.output, "{\"index\":0,\"result\":0,")) << run.output;
  EXPECT_TRUE(Contains(run.output, "\"name\":\"Second\",\"instance\":2,")) << run.output;
  EXPECT_TRUE(Contains(run.output, "{\"index\":3,\"result\":2147483653,\"result_name\":\"NothingToReport\""));
}

TEST(QfupdatectlRequests, FailWithoutAnAgentOrAReplyAndOnAMalformedOne) {
  const auto missing = RunTool(L"--pipe " + UniquePipeName() + L" postponed");
  ASSERT_TRUE(missing.finished);
  EXPECT_EQ(missing.exit_code, 1u);
  EXPECT_TRUE(Contains(missing.output, "(error 2)")) << missing.output;

  FakeAgentPipe silent({});
  const ULONGLONG started = ::GetTickCount64();
  const auto no_reply = RunTool(L"--timeout 1 --pipe " + silent.name() + L" install-now");
  ASSERT_TRUE(no_reply.finished);
  EXPECT_EQ(no_reply.exit_code, 1u);
  EXPECT_TRUE(Contains(no_reply.output, "no answer in time")) << no_reply.output;
  EXPECT_LT(::GetTickCount64() - started, 15000u);

  Bytes short_reply = Reply(ipc::result::kDone);
  short_reply.resize(100);
  FakeAgentPipe broken({short_reply});
  const auto malformed = RunTool(L"--pipe " + broken.name() + L" user-agent Agent/1.0");
  ASSERT_TRUE(malformed.finished);
  EXPECT_EQ(malformed.exit_code, 1u);
  EXPECT_TRUE(Contains(malformed.output, "malformed reply")) << malformed.output;

  const auto usage = RunTool(L"submit Client");
  EXPECT_EQ(usage.exit_code, 2u);
  EXPECT_TRUE(Contains(usage.output, "--url")) << usage.output;
}

// Waits until something serves the pipe; false after timeout_ms.
bool WaitForPipe(const std::wstring& name, DWORD timeout_ms) {
  const ULONGLONG deadline = ::GetTickCount64() + timeout_ms;
  while (::GetTickCount64() < deadline) {
    if (::WaitNamedPipeW(name.c_str(), 100)) return true;
    ::Sleep(50);
  }
  return false;
}

// Writes one message to the status pipe as the agent does: open, one write, close.
bool Notify(const std::wstring& name, const Bytes& bytes) {
  UniqueFile pipe(::CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!pipe && ::GetLastError() == ERROR_PIPE_BUSY && ::WaitNamedPipeW(name.c_str(), 5000)) {
    pipe.reset(::CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  }
  DWORD written = 0;
  return pipe && ::WriteFile(pipe.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
         written == bytes.size();
}

TEST(QfupdatectlWatch, PrintsEachStatusRecordAsAJsonLineAndSkipsMalformedOnes) {
  const std::wstring name = UniquePipeName();
  test::ProcessResult run;
  std::thread watcher([&] { run = RunTool(L"--pipe " + name + L" watch --json --count 2 --timeout 30", 40000); });
  ASSERT_TRUE(WaitForPipe(name, 10000));
  Bytes notification = Reply(0, "Cl\"ient", store::kDownloadRetry, 5);
  WriteU32(notification, ipc::kSystemErrorCodeAt, 12029);
  EXPECT_TRUE(Notify(name, Bytes(10, 1)));
  EXPECT_TRUE(Notify(name, notification));
  EXPECT_TRUE(Notify(name, Reply(0, "Other", store::kDownloading)));
  watcher.join();

  ASSERT_TRUE(run.finished) << run.output;
  EXPECT_EQ(run.exit_code, 0u) << run.output;
  EXPECT_TRUE(Contains(run.output, "ignored a status notification of 10 bytes")) << run.output;
  EXPECT_TRUE(Contains(run.output, "\",\"result\":0,\"result_name\":\"Done\",\"status\":2147483652,\"status_name\":"
                                   "\"DownloadRetry\",\"name\":\"Cl\\\"ient\",\"instance\":5,\"ui_name\":\"\","
                                   "\"version\":\"\",\"system_error_code\":12029}\n"))
      << run.output;
  EXPECT_TRUE(Contains(run.output, "\"status_name\":\"Downloading\",\"name\":\"Other\"")) << run.output;
}

TEST(QfupdatectlWatch, RefusesAPipeServedAlreadyAndFailsWhenTheCountIsNotReachedInTime) {
  const std::wstring name = UniquePipeName();
  test::ProcessResult first;
  std::thread watcher([&] { first = RunTool(L"--pipe " + name + L" watch --count 2 --timeout 4", 30000); });
  ASSERT_TRUE(WaitForPipe(name, 10000));
  const auto second = RunTool(L"--pipe " + name + L" watch --timeout 1");
  EXPECT_TRUE(Notify(name, Reply(0, "Only", store::kInstalling)));
  watcher.join();

  EXPECT_EQ(second.exit_code, 1u);
  EXPECT_TRUE(Contains(second.output, "serves it already")) << second.output;
  ASSERT_TRUE(first.finished);
  EXPECT_EQ(first.exit_code, 1u) << first.output;
  EXPECT_TRUE(Contains(first.output, " Only Installing (7) system error 0\n")) << first.output;
  EXPECT_TRUE(Contains(first.output, "1 of 2 status changes")) << first.output;
}

}  // namespace
}  // namespace qfu::ctl
