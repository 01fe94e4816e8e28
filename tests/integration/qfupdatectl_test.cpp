// qfupdatectl against the running service: the publisher-signed copy through every
// subcommand, a copy signed by another publisher, and `watch` on the status pipe.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "common/bytes.h"
#include "ipc/pipe_server.h"
#include "support/test_messages.h"
#include "support/process.h"
#include "support/running_service.h"

namespace qfu {
namespace {

class Qfupdatectl : public test::RunningService {};

constexpr DWORD kToolTimeoutMs = 20000;

test::ProcessResult RunCopy(const wchar_t* copy, const std::wstring& arguments) {
  return test::RunProcess(L"\"" + test::BuiltProgram(copy) + L"\" " + arguments, kToolTimeoutMs);
}
test::ProcessResult RunSigned(const std::wstring& arguments) { return RunCopy(L"signed\\qfupdatectl.exe", arguments); }

// Expects the run to end with exit_code and its output to hold every one of the lines.
void ExpectRun(const test::ProcessResult& run, DWORD exit_code, std::initializer_list<std::string_view> lines) {
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exit_code, exit_code) << run.output;
  for (std::string_view line : lines) {
    EXPECT_NE(run.output.find(std::string(line) + "\n"), std::string::npos) << line << " in\n" << run.output;
  }
}

TEST_F(Qfupdatectl, DrivesEveryRequestThroughThePublisherSignedCopy) {
  ExpectRun(RunSigned(L"submit pkg --url http://127.0.0.1/p.msi --version 1.2.3.4 --display-name \"Test Software\""),
            0, {"result:       Done (0)", "status:       Queued (2)", "request:      pkg"});
  ExpectRun(RunSigned(L"submit pkg --url http://127.0.0.1/p.msi"), 1,
            {"result:       AlreadyExists (0x80000002)", "status:       Queued (2)"});
  ExpectRun(RunSigned(L"query pkg"), 0,
            {"result:       Done (0)", "status:       Queued (2)", "display name: Test Software",
             "version:      1.2.3.4"});
  ExpectRun(RunSigned(L"submit other --url http://127.0.0.1/o.msi --instance 0x1A"), 0, {"request:      other:26"});
  ExpectRun(RunSigned(L"list"), 0,
            {"index:        0", "request:      other:26", "index:        1", "request:      pkg", "index:        2",
             "result:       NothingToReport (0x80000005)"});
  ExpectRun(RunSigned(L"postponed"), 1, {"result:       NothingToReport (0x80000005)"});
  ExpectRun(RunSigned(L"install-now"), 1, {"result:       NothingToReport (0x80000005)"});
  ExpectRun(RunSigned(L"user-agent Test-Agent/2.0"), 0, {"result:       Done (0)"});
  EXPECT_EQ(test::StoredUserAgent(), L"Test-Agent/2.0");
  ExpectRun(RunSigned(L"cancel pkg"), 0, {"result:       Done (0)", "status:       Cancelled (0x8000000B)"});
  ExpectRun(RunSigned(L"cancel missing"), 1, {"result:       NoSuchRequest (0x80000004)"});
}

TEST_F(Qfupdatectl, RefusesAnotherPublishersCopyOnTheRequestPipeOnly) {
  const wchar_t* other = L"other-signed\\qfupdatectl.exe";
  const auto refused = RunCopy(other, L"submit pkg --url http://127.0.0.1/p.msi");
  // Told why: the signer names no publisher of the product.
  ExpectRun(refused, 1, {"result:       BadMessage (0x80000001)", "system error: 0x800B0004"});
  EXPECT_TRUE(test::RequestKeyNames().empty());
  ExpectRun(RunCopy(other, L"--info query pkg"), 1, {"result:       NoSuchRequest (0x80000004)"});
  ExpectRun(RunCopy(other, L"--info list"), 0, {"result:       NothingToReport (0x80000005)"});
}

TEST_F(Qfupdatectl, WatchPrintsTheStatusChangeOfACancel) {
  ASSERT_EQ(ReadU32(test::SendOnce(wire::kRequestPipeName, test::SubmitMessage("watched").span()), wire::kResultCodeAt),
            wire::result::kDone);
  test::BackgroundProcess watch(L"\"" + test::BuiltProgram(L"signed\\qfupdatectl.exe") +
                                L"\" watch --count 1 --timeout 20");
  ASSERT_TRUE(watch.started());
  ASSERT_TRUE(watch.WaitForOutput("listening on", kToolTimeoutMs));
  ExpectRun(RunSigned(L"cancel watched"), 0, {"status:       Cancelled (0x8000000B)"});
  const auto watched = watch.Finish(kToolTimeoutMs);
  ASSERT_TRUE(watched.finished);
  EXPECT_EQ(watched.exit_code, 0u) << watched.output;
  EXPECT_NE(watched.output.find(" watched Cancelled (0x8000000B) system error 0\n"), std::string::npos)
      << watched.output;
}

}  // namespace
}  // namespace qfu
