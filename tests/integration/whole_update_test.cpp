// A whole update against the running service: qfupdatectl submits, the service downloads a
// publisher-signed package from a local server, asks the user through qfupdate-ui (which
// answers Yes), verifies and installs it with the real Windows Installer, and reports every
// step on the status pipe, where `qfupdatectl watch` prints it.
#include <windows.h>

#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "store/request_key.h"
#include "support/http_server.h"
#include "support/pipe_harness.h"
#include "support/process.h"
#include "support/running_service.h"
#include "support/service_control.h"
#include "support/test_downloads.h"
#include "support/ui_process.h"
#include "wire/pipes.h"
#include "wire/update_status.h"

namespace qfu {
namespace {

using test::ExpectRun;
using test::RunQfupdatectl;
class WholeUpdate : public test::RunningService {};

// The worker pauses 10 s before the download; the installer takes a few seconds under Wine.
constexpr DWORD kUpdateTimeoutMs = 90000;
constexpr const wchar_t* kInstalledPayload =
    L"C:\\ProgramData\\QFUpdate Service Fixture\\installer_payload.txt";
constexpr const wchar_t* kPackageDirectory = L"C:\\ProgramData\\Quillfern\\WholeUpdate";
constexpr std::uint32_t kInstallPromptStyle = 0x50104;

// The statuses of the JSON lines `watch --json` printed, in order.
std::vector<wire::UpdateStatus> WatchedStatuses(const std::string& output) {
  std::vector<wire::UpdateStatus> statuses;
  constexpr std::string_view kMember = "\"status\":";
  for (std::size_t at = output.find(kMember); at != std::string::npos; at = output.find(kMember, at + 1)) {
    statuses.push_back(static_cast<wire::UpdateStatus>(std::stoul(output.substr(at + kMember.size()))));
  }
  return statuses;
}

bool Exists(const wchar_t* path) { return ::GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES; }

// Serves the publisher-signed update package as /update.msi; false when the server did not
// start or the package is missing.
bool ServeUpdatePackage(test::TestHttpServer& server) {
  const auto package = test::FileBytes(test::Fixture(L"publisher_signed_update.msi"));
  if (!server.failure().empty() || !package) return false;
  server.AddFile(L"update.msi", *package);
  return true;
}

// Removes the fixture's product, so that every run installs it afresh.
void UninstallFixture() {
  (void)test::RunProcess(L"msiexec.exe /x \"" + test::Fixture(L"publisher_signed_update.msi") + L"\" /qn",
                         120000);
}

TEST_F(WholeUpdate, FromSubmitToCompletedWithTheUsersYes) {
  UninstallFixture();
  ASSERT_FALSE(Exists(kInstalledPayload));
  test::TestHttpServer server(L"WholeUpdate", test::HttpScheme::kHttp);
  ASSERT_TRUE(ServeUpdatePackage(server)) << server.failure();
  test::UiProcess ui(L"WholeUpdate", L"--answer yes", wire::kUiPipeName);
  ASSERT_TRUE(ui.serving());
  test::BackgroundProcess watch(
      test::BuiltCommand(L"signed\\qfupdatectl.exe", L"watch --json --count 7 --timeout 120"));
  ASSERT_TRUE(watch.WaitForOutput("listening on", test::kToolTimeoutMs));

  ExpectRun(RunQfupdatectl(L"submit WholeUpdate --display-name \"Whole Update\" --deadline 1440 "
                           L"--download-when-disconnected --url " +
                           server.Url(L"/update.msi")),
            0, {"result:       Done (0)", "status:       Queued (2)"});
  EXPECT_EQ(test::WaitForStatus(wire::kInfoPipeName, "WholeUpdate", wire::kCompleted, kUpdateTimeoutMs),
            wire::kCompleted);

  const test::ProcessResult watched = watch.Finish(test::kToolTimeoutMs);
  EXPECT_EQ(WatchedStatuses(watched.output),
            (std::vector<wire::UpdateStatus>{wire::kDownloading, wire::kDownloaded, wire::kPrompting,
                                             wire::kReadyToInstall, wire::kVerifying, wire::kInstalling,
                                             wire::kCompleted}))
      << watched.output;
  // One install prompt: the standard text with the display name, with no limit beyond the
  // deadline; answered Yes.
  const std::vector<std::string> prompts = ui.LogLines();
  ASSERT_EQ(prompts.size(), 1u);
  EXPECT_NE(prompts[0].find("\\r\\n\\r\\nWhole Update\""), std::string::npos) << prompts[0];
  EXPECT_NE(prompts[0].find("\"style\":" + std::to_string(kInstallPromptStyle)), std::string::npos)
      << prompts[0];
  EXPECT_NE(prompts[0].find("\"answer\":6"), std::string::npos) << prompts[0];
  // Installed; the package, its log and its folder are gone.
  EXPECT_TRUE(Exists(kInstalledPayload));
  EXPECT_FALSE(Exists(kPackageDirectory));
  UninstallFixture();
}

// A stop while the user has not answered the install prompt ends the wait for the answer: the
// service reaches STOPPED within the 30 s the Windows Installer gives it, and the request stays
// in Prompting for the next start.
TEST_F(WholeUpdate, StopDuringThePromptEndsWithinThirtySecondsAndLeavesTheRequestPrompting) {
  constexpr DWORD kStopLimitMs = 30000;
  test::TestHttpServer server(L"StopPrompt", test::HttpScheme::kHttp);
  ASSERT_TRUE(ServeUpdatePackage(server)) << server.failure();
  test::UiProcess ui(L"StopPrompt", L"--answer yes --delay 600000", wire::kUiPipeName);
  ASSERT_TRUE(ui.serving());
  ExpectRun(RunQfupdatectl(L"submit StopPrompt --deadline 1440 --download-when-disconnected --url " +
                           server.Url(L"/update.msi")),
            0, {"result:       Done (0)"});
  ASSERT_EQ(test::WaitForStatus(wire::kInfoPipeName, "StopPrompt", wire::kPrompting, kUpdateTimeoutMs),
            wire::kPrompting);

  test::ServiceControl service;
  const ULONGLONG stop_sent = ::GetTickCount64();
  ASSERT_TRUE(service.Control(SERVICE_CONTROL_STOP));
  EXPECT_TRUE(service.WaitForState(SERVICE_STOPPED, kStopLimitMs));
  EXPECT_LT(::GetTickCount64() - stop_sent, kStopLimitMs);
  DWORD status = 0;
  DWORD size = sizeof(status);
  EXPECT_EQ(
      ::RegGetValueW(HKEY_LOCAL_MACHINE, (std::wstring(store::kServiceKeyPath) + L"\\StopPrompt").c_str(),
                     L"UpdateStatus", RRF_RT_REG_DWORD, nullptr, &status, &size),
      ERROR_SUCCESS);
  EXPECT_EQ(status, wire::WireValue(wire::kPrompting));
  EXPECT_TRUE(ui.LogLines().empty());  // the answer never came
}

}  // namespace
}  // namespace qfu
