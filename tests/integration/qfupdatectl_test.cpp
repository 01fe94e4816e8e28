// qfupdatectl against the running service: the publisher-signed copy through every
// subcommand, a copy signed by another publisher, and `watch` on the status pipe.
#include <windows.h>

#include <gtest/gtest.h>
#include <string>

#include "common/bytes.h"
#include "ipc/pipe_server.h"
#include "support/process.h"
#include "support/running_service.h"
#include "support/test_messages.h"

namespace qfu {
namespace {

using test::ExpectRun;
using test::RunQfupdatectl;
class Qfupdatectl : public test::RunningService {};

TEST_F(Qfupdatectl, DrivesEveryRequestThroughThePublisherSignedCopy) {
  ExpectRun(
      RunQfupdatectl(
          L"submit pkg --url http://127.0.0.1/p.msi --version 1.2.3.4 --display-name \"Test Software\""),
      0, {"result:       Done (0)", "status:       Queued (2)", "request:      pkg"});
  ExpectRun(RunQfupdatectl(L"query pkg"), 0,
            {"result:       Done (0)", "status:       Queued (2)", "display name: Test Software",
             "version:      1.2.3.4"});
  ExpectRun(RunQfupdatectl(L"submit other --url http://127.0.0.1/o.msi --instance 0x1A"), 0,
            {"request:      other:26"});
  ExpectRun(RunQfupdatectl(L"list"), 0,
            {"index:        0", "request:      other:26", "index:        1", "request:      pkg",
             "index:        2", "result:       NothingToReport (0x80000005)"});
  ExpectRun(RunQfupdatectl(L"postponed"), 1, {"result:       NothingToReport (0x80000005)"});
  ExpectRun(RunQfupdatectl(L"install-now"), 1, {"result:       NothingToReport (0x80000005)"});
  ExpectRun(RunQfupdatectl(L"user-agent Test-Agent/2.0"), 0, {"result:       Done (0)"});
  EXPECT_EQ(test::StoredUserAgent(), L"Test-Agent/2.0");
  ExpectRun(RunQfupdatectl(L"cancel pkg"), 0,
            {"result:       Done (0)", "status:       Cancelled (0x8000000B)"});
}

TEST_F(Qfupdatectl, RefusesAnotherPublishersCopyOnTheRequestPipeOnly) {
  const wchar_t* other = L"other-signed\\qfupdatectl.exe";
  // Told why: the signer names no publisher of the product.
  ExpectRun(RunQfupdatectl(L"submit pkg --url http://127.0.0.1/p.msi", other), 1,
            {"result:       BadMessage (0x80000001)", "system error: 0x800B0004"});
  EXPECT_TRUE(test::RequestKeyNames().empty());
  ExpectRun(RunQfupdatectl(L"--info query pkg", other), 1, {"result:       NoSuchRequest (0x80000004)"});
  ExpectRun(RunQfupdatectl(L"--info list", other), 0, {"result:       NothingToReport (0x80000005)"});
}

TEST_F(Qfupdatectl, WatchPrintsTheStatusChangeOfACancel) {
  ASSERT_EQ(ReadU32(test::SendOnce(wire::kRequestPipeName, test::SubmitMessage("watched").span()),
                    wire::kResultCodeAt),
            wire::WireValue(wire::result::kDone));
  test::BackgroundProcess watch(
      test::BuiltCommand(L"signed\\qfupdatectl.exe", L"watch --count 1 --timeout 20"));
  ASSERT_TRUE(watch.WaitForOutput("listening on", test::kToolTimeoutMs));
  ExpectRun(RunQfupdatectl(L"cancel watched"), 0, {"status:       Cancelled (0x8000000B)"});
  ExpectRun(watch.Finish(test::kToolTimeoutMs), 0, {" watched Cancelled (0x8000000B) system error 0"});
}

}  // namespace
}  // namespace qfu
