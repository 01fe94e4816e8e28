// The running service downloads what qfupdatectl submits from a local server, with the user
// agent set through the pipe and the query sent along. How a partial package is resumed and a
// cut body left for the next attempt: downloader_test; the retry status: queue_worker_test.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "support/http_server.h"
#include "support/pipe_harness.h"
#include "support/process.h"
#include "support/running_service.h"
#include "support/test_downloads.h"
#include "wire/pipes.h"
#include "wire/update_status.h"

namespace qfu {
namespace {

using test::ExpectRun;
class ServiceDownloads : public test::RunningService {};

constexpr DWORD kToolTimeoutMs = 20000;
constexpr DWORD kDownloadSettleMs = 40000;  // the worker pauses 10 s before each download

test::ProcessResult RunTool(const std::wstring& arguments) {
  return test::RunProcess(L"\"" + test::BuiltProgram(L"signed\\qfupdatectl.exe") + L"\" " + arguments,
                          kToolTimeoutMs);
}

TEST_F(ServiceDownloads, DownloadsTheSubmittedPackageWithThePipesUserAgent) {
  test::TestHttpServer server(L"ServiceDownloads", test::HttpScheme::kHttp);
  ASSERT_EQ(server.failure(), "");
  const std::string package = test::PackageBytes(96 * 1024);
  server.AddFile(L"fresh.msi", package);
  const test::TestDownloads fresh(L"Fresh");
  ExpectRun(RunTool(L"user-agent QFUpdate-Test/9.1"), 0, {"result:       Done (0)"});
  ExpectRun(RunTool(L"submit Fresh --download-when-disconnected --url " + server.Url(L"/fresh.msi?t=1")), 0,
            {"result:       Done (0)", "status:       Queued (2)"});

  EXPECT_EQ(test::WaitForStatus(wire::kInfoPipeName, "Fresh", wire::kDownloaded, kDownloadSettleMs),
            wire::kDownloaded);
  EXPECT_TRUE(test::SameFile(test::FileBytes(fresh.Path(L"fresh.msi")), package));
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].target, "/fresh.msi?t=1");
  EXPECT_EQ(requests[0].Header("User-Agent"), std::optional<std::string>("QFUpdate-Test/9.1"));
  ExpectRun(RunTool(L"--info query Fresh"), 0, {"status:       Downloaded (17)"});
}

}  // namespace
}  // namespace qfu
