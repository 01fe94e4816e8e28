#include "package/downloader.h"

#include <strsafe.h>
#include <winhttp.h>

#include <filesystem>
#include <gtest/gtest.h>
#include <optional>
#include <string>

#include "common/utf.h"
#include "package/plain_file.h"
#include "support/http_server.h"

namespace qfu::package {
namespace {

using test::FileBytes;
using test::SameFile;
using test::TestHttpServer;
using Downloads = test::TestDownloads;

// Several chunks.
const std::string kPackage = test::PackageBytes(300000);

// Every answer the server can give to the one download of a request, from each state of the
// package file: this request's own partial file, or one that someone else left there.
TEST(DownloadPackage, WritesResumesOrRefusesByTheFileAndTheServersAnswer) {
  TestHttpServer server;
  ASSERT_EQ(server.failure(), "");
  server.AddFile(L"client.msi", kPackage);
  const std::string stranger(1000, 'x');  // a partial file that is no prefix of the package
  const std::string resumed = stranger + kPackage.substr(1000);
  constexpr DWORD kDoesNotFit = ERROR_INVALID_DATA;

  struct Case {
    const char* what;
    std::optional<std::string> partial;  // the file before the call; none: absent
    bool own = true;                     // the request wrote it (resumed); else someone else did
    const char* rule = "serve";
    DWORD result = 0;
    std::optional<std::string> range;  // the Range header the server must see; none: absent
    std::optional<std::string> file;   // the file after the call; none: absent
    bool linked = false;               // partial is a hard link to a file elsewhere
  };
  const Case cases[] = {
      {"fresh download", std::nullopt, true, "serve", 0, std::nullopt, kPackage},
      {"own partial file resumed and appended", stranger, true, "serve", 0, "bytes=1000-", resumed},
      {"someone else's file is not resumed", stranger, false, "serve", 0, std::nullopt, kPackage},
      {"ranged request answered whole: rewritten", stranger, true, "ignore-range", 0, "bytes=1000-",
       kPackage},
      {"complete file: 416 of its size", kPackage, true, "serve", 0, "bytes=300000-", kPackage},
      {"416 of another size: emptied", kPackage + stranger, true, "serve", kDoesNotFit, "bytes=301000-", ""},
      {"206 from another start: emptied", stranger, true, "range-late", kDoesNotFit, "bytes=1000-", ""},
      {"206 of another total: emptied", stranger, true, "range-total", kDoesNotFit, "bytes=1000-", ""},
      {"body longer than announced: cut there", std::nullopt, true, "long-body", 0, std::nullopt,
       kPackage.substr(0, 1000)},
      {"no length announced: up to the end", std::nullopt, true, "no-length", 0, std::nullopt, kPackage},
      {"416 with no Range asked for", std::string(), true, "status:416", kDoesNotFit, std::nullopt, ""},
      {"404 leaves the partial file alone", stranger, true, "status:404", ERROR_FILE_NOT_FOUND, "bytes=1000-",
       stranger},
      {"500 is worth another attempt", stranger, true, "status:500", kDoesNotFit, "bytes=1000-", stranger},
      {"a hard link is refused, untouched", stranger, false, "serve", kPackageFileRefused, std::nullopt,
       stranger, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Downloads downloads(L"DownloadStates"), elsewhere(L"DownloadStatesElsewhere");
    if (c.partial && !c.linked) downloads.Leave(L"client.msi", *c.partial);
    if (c.linked) {
      elsewhere.Leave(L"target.msi", *c.partial);
      std::filesystem::create_directories(downloads.Path(L""));
      ASSERT_TRUE(::CreateHardLinkW(downloads.Path(L"client.msi").c_str(),
                                    elsewhere.Path(L"target.msi").c_str(), nullptr));
    }
    server.SetRule("/client.msi", c.rule);
    server.ClearRequests();

    EXPECT_EQ(downloads.Download(server.Url(L"/client.msi"), c.own), c.result);
    EXPECT_TRUE(SameFile(FileBytes(downloads.Path(L"client.msi")), c.file));
    if (c.linked) {
      EXPECT_TRUE(SameFile(FileBytes(elsewhere.Path(L"target.msi")), c.partial));
    }
    EXPECT_EQ(downloads.Reported(), downloads.Path(L"client.msi"));
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), c.linked ? 0u : 1u);
    if (!c.linked) {
      EXPECT_EQ(requests[0].Header("Range"), c.range);
      EXPECT_EQ(requests[0].Header("User-Agent"),
                "Quillfern-Update-Service/1.0");  // nothing set: the default
      EXPECT_EQ(requests[0].Header("Accept"), "application/octet-stream");
    }
  }
}

// A URL that names no package file of its own (the forms are in PackageFileName's table), or
// whose path would be cut in target_path, is refused before anything is created or sent.
TEST(DownloadPackage, RefusesUrlsThatNameNoPlainPackageFile) {
  TestHttpServer server;
  ASSERT_EQ(server.failure(), "");
  const std::wstring long_name(Downloads::kTargetPathUnits - Downloads(L"DownloadRefused").Path(L"").size(),
                               L'n');
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
    EXPECT_EQ(std::filesystem::exists(downloads.Path(L"")),
              result == ERROR_FILENAME_EXCED_RANGE);  // made before the length is known
    EXPECT_FALSE(std::filesystem::exists(downloads.Path(long_name)));
  }
  EXPECT_TRUE(server.Requests().empty());
}

}  // namespace
}  // namespace qfu::package
