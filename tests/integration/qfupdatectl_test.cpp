// qfupdatectl against the running service: the publisher-signed copy through every
// subcommand, a copy signed by another publisher, and `watch` on the status pipe. Then a whole
// update: qfupdatectl submits, the service downloads a publisher-signed package from a local
// server, asks the user through qfupdate-ui, verifies and installs it with the real Windows
// Installer, and reports every step on the status pipe, where `qfupdatectl watch` prints it.
#include <windows.h>

#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "ipc/pipe_server.h"
#include "store/request_key.h"
#include "support/http_server.h"
#include "support/pipe_harness.h"
#include "support/process.h"
#include "support/running_service.h"
#include "support/scratch_directory.h"
#include "support/service_control.h"
#include "support/test_downloads.h"
#include "support/test_messages.h"
#include "support/ui_process.h"
#include "wire/pipes.h"
#include "wire/update_status.h"

namespace qfu {
namespace {

using namespace test;

class Qfupdatectl : public RunningService {};

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
  EXPECT_EQ(StoredUserAgent(), L"Test-Agent/2.0");
  ExpectRun(RunQfupdatectl(L"cancel pkg"), 0,
            {"result:       Done (0)", "status:       Cancelled (0x8000000B)"});
}

TEST_F(Qfupdatectl, RefusesAnotherPublishersCopyOnTheRequestPipeOnly) {
  const wchar_t* other = L"other-signed\\qfupdatectl.exe";
  // Told why: the signer names no publisher of the product.
  ExpectRun(RunQfupdatectl(L"submit pkg --url http://127.0.0.1/p.msi", other), 1,
            {"result:       BadMessage (0x80000001)", "system error: 0x800B0004"});
  EXPECT_TRUE(RequestKeyNames().empty());
  ExpectRun(RunQfupdatectl(L"--info query pkg", other), 1, {"result:       NoSuchRequest (0x80000004)"});
  ExpectRun(RunQfupdatectl(L"--info list", other), 0, {"result:       NothingToReport (0x80000005)"});
}

TEST_F(Qfupdatectl, WatchPrintsTheStatusChangeOfACancel) {
  ASSERT_EQ(ReadU32(SendOnce(wire::kRequestPipeName, SubmitMessage("watched").span()), wire::kResultCodeAt),
            wire::result::kDone);
  BackgroundProcess watch(BuiltCommand(L"signed\\qfupdatectl.exe", L"watch --count 1 --timeout 20"));
  ASSERT_TRUE(watch.WaitForOutput("listening on", kToolTimeoutMs));
  ExpectRun(RunQfupdatectl(L"cancel watched"), 0, {"status:       Cancelled (0x8000000B)"});
  ExpectRun(watch.Finish(kToolTimeoutMs), 0, {" watched Cancelled (0x8000000B) system error 0"});
}

class WholeUpdate : public RunningService {
 protected:
  // Serves the publisher-signed update package as /update.msi, with the product it installs
  // removed first so that every run installs it afresh.
  void SetUp() override {
    RunningService::SetUp();
    (void)UninstallPackage(package_, kUpdateTimeoutMs);
    const auto bytes = FileBytes(package_);
    ASSERT_EQ(server_.failure(), "");
    ASSERT_TRUE(bytes.has_value());
    server_.AddFile(L"update.msi", *bytes);
  }
  void TearDown() override {
    RunningService::TearDown();
    (void)UninstallPackage(package_, kUpdateTimeoutMs);
  }
  // The worker pauses 10 s before the download; the installer takes a few seconds under Wine.
  static constexpr DWORD kUpdateTimeoutMs = 90000;
  const std::wstring package_ = Fixture(L"publisher_signed_update.msi");
  TestHttpServer server_{L"WholeUpdate", HttpScheme::kHttp};
};

constexpr const wchar_t* kInstalledPayload =
    L"C:\\ProgramData\\QFUpdate Service Fixture\\installer_payload.txt";

TEST_F(WholeUpdate, FromSubmitToCompletedWithTheUsersYes) {
  ASSERT_FALSE(Exists(kInstalledPayload));
  UiProcess ui(L"WholeUpdate", L"--answer yes", wire::kUiPipeName);
  ASSERT_TRUE(ui.serving());
  BackgroundProcess watch(BuiltCommand(L"signed\\qfupdatectl.exe", L"watch --count 7 --timeout 120"));
  ASSERT_TRUE(watch.WaitForOutput("listening on", kToolTimeoutMs));

  ExpectRun(RunQfupdatectl(L"submit WholeUpdate --display-name \"Whole Update\" --deadline 1440 "
                           L"--download-when-disconnected --url " +
                           server_.Url(L"/update.msi")),
            0, {"result:       Done (0)", "status:       Queued (2)"});
  EXPECT_EQ(WaitForStatus(wire::kInfoPipeName, "WholeUpdate", wire::kCompleted, kUpdateTimeoutMs),
            wire::kCompleted);
  // Every step in order: with --count 7, a step more or twice pushes Completed out.
  const ProcessResult watched = watch.Finish(kToolTimeoutMs);
  std::size_t at = 0;
  for (const char* step :
       {"Downloading", "Downloaded", "Prompting", "ReadyToInstall", "Verifying", "Installing", "Completed"}) {
    at = watched.output.find(std::string(" WholeUpdate ") + step + " (", at);
    EXPECT_NE(at, std::string::npos) << step << " in\n" << watched.output;
  }
  // One install prompt: the standard text with the display name, with no limit beyond the
  // deadline (style 0x50104); answered Yes.
  const std::vector<std::string> prompts = ui.LogLines();
  ASSERT_EQ(prompts.size(), 1u);
  for (const char* part : {"\\r\\n\\r\\nWhole Update\"", "\"style\":327940", "\"answer\":6"}) {
    EXPECT_NE(prompts[0].find(part), std::string::npos) << part << " in " << prompts[0];
  }
  // Installed; the package, its log and its folder are gone.
  EXPECT_TRUE(Exists(kInstalledPayload));
  EXPECT_FALSE(Exists(L"C:\\ProgramData\\Quillfern\\WholeUpdate"));
}

// A stop while the user has not answered the install prompt ends the wait for the answer: the
// service reaches STOPPED within the 30 s the Windows Installer gives it, and the request stays
// in Prompting for the next start.
TEST_F(WholeUpdate, StopDuringThePromptEndsWithinThirtySecondsAndLeavesTheRequestPrompting) {
  constexpr DWORD kStopLimitMs = 30000;
  UiProcess ui(L"StopPrompt", L"--answer yes --delay 600000", wire::kUiPipeName);
  ASSERT_TRUE(ui.serving());
  ExpectRun(RunQfupdatectl(L"submit StopPrompt --deadline 1440 --download-when-disconnected --url " +
                           server_.Url(L"/update.msi")),
            0, {"result:       Done (0)"});
  ASSERT_EQ(WaitForStatus(wire::kInfoPipeName, "StopPrompt", wire::kPrompting, kUpdateTimeoutMs),
            wire::kPrompting);

  ServiceControl service;
  const ULONGLONG stop_sent = ::GetTickCount64();
  ASSERT_TRUE(service.Control(SERVICE_CONTROL_STOP));
  EXPECT_TRUE(service.WaitForState(SERVICE_STOPPED, kStopLimitMs));
  EXPECT_LT(::GetTickCount64() - stop_sent, kStopLimitMs);
  DWORD status = 0, size = sizeof(status);
  EXPECT_EQ(
      ::RegGetValueW(HKEY_LOCAL_MACHINE, (std::wstring(store::kServiceKeyPath) + L"\\StopPrompt").c_str(),
                     L"UpdateStatus", RRF_RT_REG_DWORD, nullptr, &status, &size),
      ERROR_SUCCESS);
  EXPECT_EQ(status, wire::kPrompting);
  EXPECT_TRUE(ui.LogLines().empty());  // the answer never came
}

}  // namespace
}  // namespace qfu
