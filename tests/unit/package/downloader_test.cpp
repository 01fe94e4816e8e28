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

constexpr std::size_t kPackageSize = 300000;  // several chunks; "cut" sends half of them

// The package: bytes that differ from any prefix or tail of a partial file written by hand.
std::string PackageBytes() {
  std::string bytes(kPackageSize, '\0');
  std::uint32_t state = 20240601;
  for (char& byte : bytes) {
    state = state * 1103515245u + 12345u;
    byte = static_cast<char>(state >> 24);
  }
  return bytes;
}

std::string Narrow(const std::wstring& text) { return WideToUtf8(text); }

// Every answer the server can give to the one download of a request, from each state of the
// package file that an earlier attempt can leave.
TEST(DownloadPackage, WritesResumesOrKeepsThePackageFileByTheServersAnswer) {
  TestHttpServer server(L"DownloadStates", HttpScheme::kHttp);
  ASSERT_EQ(server.failure(), "");
  const std::string package = PackageBytes();
  server.AddFile(L"client.msi", package);
  const std::string stranger(1000, 'x');  // a partial file that is no prefix of the package

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
      {"fresh download", std::nullopt, "serve", 0, std::nullopt, package, true},
      {"partial file resumed and appended", stranger, "serve", 0, "bytes=1000-", stranger + package.substr(1000),
       true},
      {"empty partial file written from its start", std::string(), "serve", 0, std::nullopt, package, true},
      {"ranged request answered whole: rewritten", stranger, "ignore-range", 0, "bytes=1000-", package, true},
      {"complete file: 416", package, "serve", 0, "bytes=300000-", package, true},
      {"416 leaves the file alone", stranger, "status:416", 0, "bytes=1000-", stranger, true},
      {"416 with no Range asked for", std::string(), "status:416", ERROR_INVALID_DATA, std::nullopt, std::string(),
       false},
      {"404 leaves the partial file alone", stranger, "status:404", ERROR_FILE_NOT_FOUND, "bytes=1000-", stranger,
       false},
      {"403", std::nullopt, "status:403", ERROR_FILE_NOT_FOUND, std::nullopt, std::nullopt, false},
      {"410", stranger, "status:410", ERROR_FILE_NOT_FOUND, "bytes=1000-", stranger, false},
      {"500 is worth another attempt", stranger, "status:500", ERROR_INVALID_DATA, "bytes=1000-", stranger, false},
      {"503 too", std::nullopt, "status:503", ERROR_INVALID_DATA, std::nullopt, std::nullopt, false},
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
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].Header("Range"), c.range);
  }
}

TEST(DownloadPackage, ABodyCutHalfwayIsResumedToTheWholePackage) {
  TestHttpServer server(L"DownloadCut", HttpScheme::kHttp);
  ASSERT_EQ(server.failure(), "");
  const std::string package = PackageBytes();
  server.AddFile(L"client.msi", package);
  Downloads downloads(L"DownloadCut");

  server.SetRule("/client.msi", "cut");
  EXPECT_EQ(downloads.Download(server.Url(L"/client.msi")), static_cast<DWORD>(ERROR_WINHTTP_CONNECTION_ERROR));
  EXPECT_EQ(downloads.Reported(), downloads.Path(L"client.msi"));  // reported before the body
  const auto half = FileBytes(downloads.Path(L"client.msi"));
  ASSERT_TRUE(half.has_value());
  ASSERT_LT(half->size(), package.size());
  EXPECT_TRUE(SameFile(half, package.substr(0, half->size())));

  server.SetRule("/client.msi", "serve");
  server.ClearRequests();
  EXPECT_EQ(downloads.Download(server.Url(L"/client.msi")), 0u);
  EXPECT_TRUE(SameFile(FileBytes(downloads.Path(L"client.msi")), package));
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].Header("Range"), "bytes=" + std::to_string(half->size()) + "-");
}

// Over HTTP and HTTPS (its authority trusted by the machine root store), at the server's port:
// the query travels in the request target but stays out of the file name.
TEST(DownloadPackage, SendsPathAndQueryToThePortOfEitherScheme) {
  const std::string package = PackageBytes();
  for (const HttpScheme scheme : {HttpScheme::kHttp, HttpScheme::kHttps}) {
    SCOPED_TRACE(scheme == HttpScheme::kHttps ? "https" : "http");
    TestHttpServer server(L"DownloadSchemes", scheme);
    ASSERT_EQ(server.failure(), "");
    server.AddFile(L"client.msi", package);
    Downloads downloads(L"DownloadSchemes");

    EXPECT_EQ(downloads.Download(server.Url(L"/client.msi?t=1&channel=beta")), 0u);
    EXPECT_EQ(downloads.Reported(), downloads.Path(L"client.msi"));
    EXPECT_TRUE(SameFile(FileBytes(downloads.Path(L"client.msi")), package));
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].target, "/client.msi?t=1&channel=beta");
    EXPECT_EQ(requests[0].Header("Host"), "127.0.0.1:" + std::to_string(server.port()));
    EXPECT_EQ(requests[0].Header("Accept"), "application/octet-stream");
  }
}

// A URL that names no package file of its own is refused before anything is created or sent.
TEST(DownloadPackage, RefusesUrlsThatNameNoPlainPackageFile) {
  TestHttpServer server(L"DownloadRefused", HttpScheme::kHttp);
  ASSERT_EQ(server.failure(), "");
  server.AddFile(L"client.msi", "package");
  const std::wstring refused[] = {
      server.Url(L""),  // no path
      server.Url(L"/"), server.Url(L"/pub/"), server.Url(L"/pub/.."), server.Url(L"/pub/."),
      server.Url(L"/..%2F..%2Fevil.dll"), server.Url(L"/..%5c..%5Cevil.dll"), server.Url(L"/a\\..\\..\\evil.dll"),
      server.Url(L"/client.msi:stream"), server.Url(L"/client.msi%3Astream"), server.Url(L"/NUL"),
      server.Url(L"/client.msi."),
  };
  for (const std::wstring& url : refused) {
    SCOPED_TRACE(Narrow(url));
    Downloads downloads(L"DownloadRefused");
    EXPECT_EQ(downloads.Download(url), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(downloads.Reported(), L"");
    EXPECT_FALSE(downloads.DirectoryExists());
  }
  EXPECT_TRUE(server.Requests().empty());

  // A path that would be cut in target_path is no path to report: nothing is downloaded.
  Downloads downloads(L"DownloadRefused");
  const std::wstring long_name(Downloads::kTargetPathUnits - downloads.Path(L"").size(), L'n');
  EXPECT_EQ(downloads.Download(server.Url(L"/" + long_name)), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
  EXPECT_EQ(downloads.Reported(), L"");
  EXPECT_FALSE(std::filesystem::exists(downloads.Path(long_name)));
  EXPECT_TRUE(server.Requests().empty());
}

// The user agent comes from the process-wide buffer under its mutex, else the default; both
// proxy choices reach the local server.
TEST(DownloadPackage, SendsTheProcessUserAgent) {
  TestHttpServer server(L"DownloadAgent", HttpScheme::kHttp);
  ASSERT_EQ(server.failure(), "");
  server.AddFile(L"client.msi", "package");
  struct Case {
    const wchar_t* user_agent;
    bool mutex;
    bool newer_windows;
    const char* sent;
  };
  const Case cases[] = {
      {L"Client/7.1 (set through the pipe)", true, false, "Client/7.1 (set through the pipe)"},
      {L"Client/7.1", true, true, "Client/7.1"},
      {L"Client/7.1", false, false, "Quillfern-Update-Service/1.0"},  // the wait fails
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sent);
    Downloads downloads(L"DownloadAgent");
    ASSERT_EQ(::StringCchCopyW(downloads.objects.user_agent, kUserAgentCapacity, c.user_agent), S_OK);
    if (!c.mutex) downloads.objects.user_agent_mutex.reset();
    downloads.objects.newer_windows = c.newer_windows;
    server.ClearRequests();

    EXPECT_EQ(downloads.Download(server.Url(L"/client.msi")), 0u);
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].Header("User-Agent"), c.sent);
  }
}

}  // namespace
}  // namespace qfu::package
