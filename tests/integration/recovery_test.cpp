// The service picks up stored requests when it starts: a download that a killed or stopped
// service left half done goes on after the restart with a Range request for the rest. A stop
// closes the transfer that the server holds in the middle: the service stops within seconds.
#include <windows.h>

#include <gtest/gtest.h>
#include <string>

#include "common/utf.h"
#include "support/http_server.h"
#include "support/pipe_harness.h"
#include "support/process.h"
#include "support/running_service.h"
#include "support/service_control.h"
#include "support/test_downloads.h"
#include "wire/pipes.h"
#include "wire/update_status.h"

namespace qfu {
namespace {

using test::RunQfupdatectl;

class ServiceRecovery : public test::RunningService {};

// The worker pauses 10 s before a download; the half package arrives at once after it.
constexpr DWORD kHalfDownloadedMs = 20000;
constexpr DWORD kPollMs = 100;
constexpr ULONGLONG kStopWithinMs = 10000;  // WinHTTP alone would wait 30 s for the next byte

// True once the file at path holds size bytes, waiting at most timeout_ms.
bool WaitForFileSize(const std::wstring& path, std::size_t size, DWORD timeout_ms) {
  const ULONGLONG deadline = ::GetTickCount64() + timeout_ms;
  for (;;) {
    if (test::FileSize(path) == size) return true;
    if (::GetTickCount64() > deadline) return false;
    ::Sleep(kPollMs);
  }
}

TEST_F(ServiceRecovery, ResumesADownloadThatAKilledOrStoppedServiceLeftHalfDone) {
  const std::string package = test::PackageBytes(96 * 1024);
  const std::size_t half = package.size() / 2;
  for (const bool stop : {false, true}) {
    SCOPED_TRACE(stop ? "stopped" : "killed");
    const std::wstring name = stop ? L"Stopped" : L"Stalled";
    test::TestHttpServer server(L"ServiceRecovery", test::HttpScheme::kHttp);
    ASSERT_EQ(server.failure(), "");
    server.AddFile(L"stalled.msi", package);
    server.SetRule("/stalled.msi", "stall");
    const test::TestDownloads stalled(name);
    test::ExpectRun(RunQfupdatectl(L"submit " + name + L" --download-when-disconnected --url " +
                                   server.Url(L"/stalled.msi")),
                    0, {"result:       Done (0)", "status:       Queued (2)"});
    ASSERT_TRUE(WaitForFileSize(stalled.Path(L"stalled.msi"), half, kHalfDownloadedMs));

    test::ServiceControl service;
    const ULONGLONG stopping = ::GetTickCount64();
    ASSERT_TRUE(stop ? service.Stop() : service.Kill());
    EXPECT_LT(::GetTickCount64() - stopping, kStopWithinMs);
    server.SetRule("/stalled.msi", "serve");
    ASSERT_TRUE(service.Start()) << ::GetLastError();
    ASSERT_TRUE(test::WaitForAgentPipes());

    // Downloaded, or whatever stage follows a complete download.
    const wire::UpdateStatus status =
        test::WaitWhileStatus(wire::kInfoPipeName, WideToUtf8(name),
                              {wire::UpdateStatus{}, wire::kQueued, wire::kDownloading}, kHalfDownloadedMs);
    for (const wire::UpdateStatus unfinished : {wire::UpdateStatus{}, wire::kQueued, wire::kDownloading,
                                                wire::kDownloadRetry, wire::kDownloadFailed}) {
      EXPECT_NE(status, unfinished);
    }
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].Header("Range"), std::nullopt);
    EXPECT_EQ(requests[1].Header("Range"), std::optional("bytes=" + std::to_string(half) + "-"));
    // A later stage may have removed the package already.
    if (status == wire::kDownloaded) {
      EXPECT_TRUE(test::SameFile(test::FileBytes(stalled.Path(L"stalled.msi")), package));
    }
  }
}

}  // namespace
}  // namespace qfu
