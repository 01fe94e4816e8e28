#include "package/downloader.h"

#include <gtest/gtest.h>
#include <strsafe.h>
#include <winhttp.h>

#include <filesystem>
#include <optional>
#include <string>

#include "common/utf.h"
#include "support/http_server.h"
#include "support/test_downloads.h"

namespace qfu::package {
namespace {

using test::FileBytes;
using test::HttpScheme;
using test::SameFile;
using test::TestHttpServer;
using Downloads = test::TestDownloads;

// Several chunks; "cut" sends half of them.
const std::string kPackage = test::PackageBytes(300000);

// Every answer the server can give to the one download of a request, from each state of the
// package file that an earlier attempt can leave.
TEST(DownloadPackage, WritesResumesOrKeepsThePackageFileByTheServersAnswer) {
  TestHttpServer server(L"DownloadStates", HttpScheme::kHttp);
  ASSERT_EQ(server.failure(), "");
  server.AddFile(L"client.msi", kPackage);
  const std::string stranger(1000, 'x');  // a partial file that is no prefix of the package
  const std::string resumed = stranger + kPackage.substr(1000);

  struct Case {
    const char* what;
    std::optional<std::string> partial;  // the file before the call; none: absent
    const char* rule;
    DWORD result;
    std::optional<std::string> range;  // the Range header the server must see; none: absent
    std::optional<std::string> file;   // the file after the call; none: absent
    bool reported;                     // the path is reported in target_path
  };
  const Case cases[] = {
      {"fresh download", std::nullopt, "serve", 0, std::nullopt, kPackage, true},
      {"partial file resumed and appended", stranger, "serve", 0, "bytes=1000-", resumed, true},
      {"empty partial file written from its start", std::string(), "serve", 0, std::nullopt, kPackage, true},
      {"ranged request answered whole: rewritten", stranger, "ignore-range", 0, "bytes=1000-", kPackage, true},
      {"complete file: 416", kPackage, "serve", 0, "bytes=300000-", kPackage, true},
      {"416 with no Range asked for", std::string(), "status:416", ERROR_INVALID_DATA, std::nullopt, "", false},
      {"404 leaves the partial file alone", stranger, "status:404", ERROR_FILE_NOT_FOUND, "bytes=1000-", stranger,
       false},
      {"403 refused", stranger, "status:403", ERROR_FILE_NOT_FOUND, "bytes=1000-", stranger, false},
      {"410 gone", stranger, "status:410", ERROR_FILE_NOT_FOUND, "bytes=1000-", stranger, false},
      {"500 is worth another attempt", stranger, "status:500", ERROR_INVALID_DATA, "bytes=1000-", stranger, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Downloads downloads(L"DownloadStates");
    if (c.partial) downloads.Leave(L"client.msi", *c.partial);
    server.SetRule("/client.msi", c.rule);
    server.ClearRequests();

    EXPECT_EQ(downloads.Download(server.Url(L"/client.msi")), c.result);
    EXPECT_TRUE(SameFile(FileBytes(downloads.Path(L"client.msi")), c.file));
    EXPECT_EQ(downloads.Reported(), c.reported ? downloads.Path(L"client.msi") : L"");
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].Header("Range"), c.range);
  }
}

// A body cut before its announced length fails, even when WinHTTP reports the early close as its
// end, and what came stays for the next attempt (resumed as in the table above).
TEST(DownloadPackage, ABodyCutHalfwayFailsAndKeepsItsPrefixForTheNextAttempt) {
  TestHttpServer server(L"DownloadCut", HttpScheme::kHttp);
  ASSERT_EQ(server.failure(), "");
  server.AddFile(L"client.msi", kPackage);
  Downloads downloads(L"DownloadCut");

  server.SetRule("/client.msi", "cut");
  EXPECT_EQ(downloads.Download(server.Url(L"/client.msi")), static_cast<DWORD>(ERROR_WINHTTP_CONNECTION_ERROR));
  EXPECT_EQ(downloads.Reported(), downloads.Path(L"client.msi"));  // reported before the body
  const auto half = FileBytes(downloads.Path(L"client.msi"));
  ASSERT_TRUE(half.has_value());
  ASSERT_LT(half->size(), kPackage.size());
  EXPECT_TRUE(SameFile(half, kPackage.substr(0, half->size())));  // what the next attempt resumes
}

// Over HTTP and HTTPS (its authority trusted by the machine root store), at the server's port:
// the query travels in the request target but stays out of the file name. The user agent comes
// from the process-wide buffer under its mutex, else the default; both proxy choices work.
TEST(DownloadPackage, SendsPathQueryAndUserAgentToThePortOfEitherScheme) {
  const struct {
    HttpScheme scheme;
    bool mutex, newer_windows;
    const char* user_agent;
  } cases[] = {
      {HttpScheme::kHttp, true, false, "Client/7.1 (set through the pipe)"},
      {HttpScheme::kHttps, true, true, "Client/7.1 (set through the pipe)"},
      {HttpScheme::kHttp, false, false, "Quillfern-Update-Service/1.0"},  // the wait fails
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.user_agent);
    TestHttpServer server(L"DownloadSchemes", c.scheme);
    ASSERT_EQ(server.failure(), "");
    server.AddFile(L"client.msi", kPackage);
    Downloads downloads(L"DownloadSchemes");
    ASSERT_EQ(::StringCchCopyW(downloads.objects.user_agent, kUserAgentCapacity, L"Client/7.1 (set through the pipe)"),
              S_OK);
    if (!c.mutex) downloads.objects.user_agent_mutex.reset();
    downloads.objects.newer_windows = c.newer_windows;

    EXPECT_EQ(downloads.Download(server.Url(L"/client.msi?t=1&channel=beta")), 0u);
    EXPECT_EQ(downloads.Reported(), downloads.Path(L"client.msi"));
    EXPECT_TRUE(SameFile(FileBytes(downloads.Path(L"client.msi")), kPackage));
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].target, "/client.msi?t=1&channel=beta");
    EXPECT_EQ(requests[0].Header("Host"), "127.0.0.1:" + std::to_string(server.port()));
    EXPECT_EQ(requests[0].Header("Accept"), "application/octet-stream");
    EXPECT_EQ(requests[0].Header("User-Agent"), c.user_agent);
  }
}

// A URL that names no package file of its own (the forms are in PackageFileName's table), or
// whose path would be cut in target_path, is refused before anything is created or sent.
TEST(DownloadPackage, RefusesUrlsThatNameNoPlainPackageFile) {
  TestHttpServer server(L"DownloadRefused", HttpScheme::kHttp);
  ASSERT_EQ(server.failure(), "");
  const std::wstring long_name(Downloads::kTargetPathUnits - Downloads(L"DownloadRefused").Path(L"").size(), L'n');
  const std::pair<std::wstring, DWORD> refused[] = {
      {server.Url(L""), ERROR_INVALID_PARAMETER},  // no path
      {server.Url(L"/..%2F..%2Fevil.dll"), ERROR_INVALID_PARAMETER},
      {server.Url(L"/" + long_name), ERROR_FILENAME_EXCED_RANGE},
  };
  for (const auto& [url, result] : refused) {
    SCOPED_TRACE(WideToUtf8(url));
    Downloads downloads(L"DownloadRefused");
    EXPECT_EQ(downloads.Download(url), result);
    EXPECT_EQ(downloads.Reported(), L"");
    EXPECT_EQ(downloads.DirectoryExists(), result == ERROR_FILENAME_EXCED_RANGE);  // made before the length is known
    EXPECT_FALSE(std::filesystem::exists(downloads.Path(long_name)));
  }
  EXPECT_TRUE(server.Requests().empty());
}

}  // namespace
}  // namespace qfu::package
