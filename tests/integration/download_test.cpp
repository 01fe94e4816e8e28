// The running service downloads what qfupdatectl submits, with the user agent set through the
// pipe: a package from a local server, one whose name a larger file left by someone else held
// (downloaded anew, never taken as complete by a 416), and a body cut in the middle kept for
// the next attempt.
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
using test::RunQfupdatectl;
class ServiceDownloads : public test::RunningService {};

// The worker pauses 10 s before each download and takes the three requests one by one.
constexpr DWORD kDownloadsSettleMs = 75000;

TEST_F(ServiceDownloads, DownloadsResumesAndKeepsACutPackageForTheNextAttempt) {
  test::TestHttpServer server(L"ServiceDownloads", test::HttpScheme::kHttp);
  ASSERT_EQ(server.failure(), "");
  const std::string package = test::PackageBytes(96 * 1024);
  const std::string half = package.substr(0, package.size() / 2);
  for (const wchar_t* file : {L"fresh.msi", L"partial.msi", L"cut.msi"}) server.AddFile(file, package);
  server.SetRule("/cut.msi", "cut");
  const test::TestDownloads fresh(L"Fresh"), partial(L"Partial"), cut(L"Cut");
  partial.Leave(L"partial.msi", package + "an older package");
  ExpectRun(RunQfupdatectl(L"user-agent QFUpdate-Test/9.1"), 0, {"result:       Done (0)"});

  for (const auto& [name, file] :
       {std::pair{L"Fresh", L"/fresh.msi"}, std::pair{L"Partial", L"/partial.msi?t=1"},
        std::pair{L"Cut", L"/cut.msi"}}) {
    // A deadline a day away: with no UI process to ask, a downloaded request waits in Postponed
    // with its package kept.
    ExpectRun(RunQfupdatectl(std::wstring(L"submit ") + name +
                             L" --download-when-disconnected --deadline 1440 --url " + server.Url(file)),
              0, {"result:       Done (0)", "status:       Queued (2)"});
  }
  for (const auto& [name, status] :
       {std::pair{"Fresh", wire::kPostponed}, std::pair{"Partial", wire::kPostponed},
        std::pair{"Cut", wire::kDownloadRetry}}) {
    EXPECT_EQ(test::WaitForStatus(wire::kInfoPipeName, name, status, kDownloadsSettleMs), status) << name;
  }
  EXPECT_TRUE(test::SameFile(test::FileBytes(fresh.Path(L"fresh.msi")), package));
  EXPECT_TRUE(test::SameFile(test::FileBytes(partial.Path(L"partial.msi")), package));
  EXPECT_TRUE(test::SameFile(test::FileBytes(cut.Path(L"cut.msi")), half));  // for the next attempt

  // One request each, with the pipe's user agent, none for a range.
  const auto requests = server.Requests();
  EXPECT_EQ(requests.size(), 3u);
  for (const test::RecordedRequest& request : requests) {
    EXPECT_EQ(request.Header("Range"), std::nullopt) << request.target;
    EXPECT_EQ(request.Header("User-Agent"), std::optional<std::string>("QFUpdate-Test/9.1"))
        << request.target;
  }
  ExpectRun(RunQfupdatectl(L"--info query Partial"), 0, {"status:       Postponed (9)"});
}

}  // namespace
}  // namespace qfu
