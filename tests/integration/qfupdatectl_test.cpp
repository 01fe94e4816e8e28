// qfupdatectl against the running service: a copy signed by another publisher is refused on
// the request pipe. And a whole update: qfupdatectl submits, the service downloads a publisher-signed package
// from a local server, asks the user through qfupdate-ui, verifies and installs it with the real Windows
// Installer, and reports every step on the status pipe, where `qfupdatectl watch` prints it.
#include <windows.h>

#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "support/http_server.h"
#include "support/pipe_harness.h"
#include "support/process.h"
#include "support/scratch_directory.h"
#include "support/service_control.h"
#include "support/ui_process.h"
#include "wire/pipes.h"
#include "wire/update_status.h"

namespace qfu {
namespace {

using namespace test;

class Qfupdatectl : public RunningService {};

TEST_F(Qfupdatectl, RefusesAnotherPublishersCopyOnTheRequestPipeOnly) {
  const wchar_t* other = L"other-signed\\qfupdatectl.exe";
  // Told why: the signer names no publisher of the product.
  ExpectRun(RunQfupdatectl(L"submit pkg --url http://127.0.0.1/p.msi", other), 1,
            {"result:       BadMessage (0x80000001)", "system error: 0x800B0004"});
  EXPECT_TRUE(RequestKeyNames().empty());
  ExpectRun(RunQfupdatectl(L"--info query pkg", other), 1, {"result:       NoSuchRequest (0x80000004)"});
  ExpectRun(RunQfupdatectl(L"--info list", other), 0, {"result:       NothingToReport (0x80000005)"});
}

class WholeUpdate : public RunningService {
 protected:
  void TearDown() override {
    RunningService::TearDown();
    (void)UninstallPackage(package_, kUpdateTimeoutMs);
  }
  // The worker pauses 10 s before the download; the installer takes a few seconds under Wine.
  static constexpr DWORD kUpdateTimeoutMs = 90000;
  const std::wstring package_ = Fixture(L"publisher_signed_update.msi");
};

constexpr const wchar_t* kInstalledPayload =
    L"C:\\ProgramData\\QFUpdate Service Fixture\\installer_payload.txt";

TEST_F(WholeUpdate, FromSubmitToCompletedWithTheUsersYes) {
  // The product the package installs is removed first, so that every run installs it afresh.
  (void)UninstallPackage(package_, kUpdateTimeoutMs);
  TestHttpServer server;
  const auto bytes = FileBytes(package_);
  ASSERT_EQ(server.failure(), "");
  ASSERT_TRUE(bytes.has_value());
  server.AddFile(L"update.msi", *bytes);
  ASSERT_FALSE(Exists(kInstalledPayload));
  UiProcess ui(L"WholeUpdate", L"--answer yes", wire::kUiPipeName);
  ASSERT_TRUE(ui.serving());
  BackgroundProcess watch(BuiltCommand(L"signed\\qfupdatectl.exe", L"watch --count 7 --timeout 120"));
  ASSERT_TRUE(watch.WaitForOutput("listening on", kToolTimeoutMs));

  ExpectRun(RunQfupdatectl(L"submit WholeUpdate --display-name \"Whole Update\" --deadline 1440 "
                           L"--download-when-disconnected --url " +
                           server.Url(L"/update.msi")),
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
  // Installed; the package, its log and its folder go once Completed is stored.
  EXPECT_TRUE(Exists(kInstalledPayload));
  EXPECT_TRUE(WaitUntil([] { return !Exists(L"C:\\ProgramData\\Quillfern\\WholeUpdate"); }, kReplyTimeoutMs));
}

}  // namespace
}  // namespace qfu
