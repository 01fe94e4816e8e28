// Download throughput of package::DownloadPackage against a bare WinHTTP read loop of the same
// file from the same local server, in one run; then a download cut at half and resumed, with
// the body bytes counted at the server.
//
//   download_bench.exe [file size in MiB, default 256] [runs of each, default 3]
//
// The package server is the tests' (tests/support/http_server.py), which sends a file's body
// with sendfile, so that it never limits either side. The runs take turns between the two;
// each side's figure is the median of its runs. The bare loop reads into one 64 KiB buffer
// and writes each read to a file, as any download must.
#include <windows.h>

#include <winhttp.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bench_figures.h"
#include "common/handle.h"
#include "package/downloader.h"
#include "support/http_server.h"

namespace {

using namespace qfu;

constexpr std::size_t kDefaultMebibytes = 256;
constexpr std::size_t kDefaultRuns = 3;
constexpr std::size_t kMebibyte = 1 << 20;
constexpr DWORD kBareBufferSize = 64 * 1024;
constexpr const wchar_t* kRequestName = L"bench-download";
constexpr const wchar_t* kFileName = L"package.bin";
constexpr const wchar_t* kUrlPath = L"/package.bin";

struct WinHttpTraits {
  using Type = HINTERNET;
  static Type Invalid() noexcept { return nullptr; }
  static void Close(Type h) noexcept { ::WinHttpCloseHandle(h); }
};
using UniqueInternet = UniqueAny<WinHttpTraits>;

// size bytes that no run can mistake for another part of the file (a xorshift sequence).
std::string PatternBytes(std::size_t size) {
  std::string bytes(size, '\0');
  std::uint64_t state = 0x9E3779B97F4A7C15ull;
  for (std::size_t i = 0; i + sizeof(state) <= size; i += sizeof(state)) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    std::memcpy(bytes.data() + i, &state, sizeof(state));
  }
  return bytes;
}

std::uint64_t SizeOf(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data = {};
  if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
  return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// GET of http://127.0.0.1:port/path into the file at target: one buffer, read until the end.
// Returns 0 or the failed step's error.
DWORD BareDownload(unsigned port, const wchar_t* path, const std::wstring& target) {
  const UniqueInternet session(::WinHttpOpen(L"bench", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                             WINHTTP_NO_PROXY_BYPASS, 0));
  if (!session) return ::GetLastError();
  const UniqueInternet connection(
      ::WinHttpConnect(session.get(), L"127.0.0.1", static_cast<INTERNET_PORT>(port), 0));
  if (!connection) return ::GetLastError();
  const UniqueInternet request(::WinHttpOpenRequest(connection.get(), L"GET", path, nullptr,
                                                    WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, 0));
  if (!request) return ::GetLastError();
  if (!::WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0,
                            0) ||
      !::WinHttpReceiveResponse(request.get(), nullptr)) {
    return ::GetLastError();
  }
  const UniqueFile file(::CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return ::GetLastError();
  const auto buffer = std::make_unique<std::uint8_t[]>(kBareBufferSize);
  for (;;) {
    DWORD read = 0;
    if (!::WinHttpReadData(request.get(), buffer.get(), kBareBufferSize, &read)) return ::GetLastError();
    if (read == 0) return ERROR_SUCCESS;
    DWORD written = 0;
    if (!::WriteFile(file.get(), buffer.get(), read, &written, nullptr)) return ::GetLastError();
  }
}

// One download by the agent's downloader, into a package directory without the file, or
// continuing the file there (resume).
DWORD AgentDownload(test::TestDownloads& downloads, const std::wstring& url, bool resume = false) {
  if (!resume) ::DeleteFileW(downloads.Path(kFileName).c_str());
  std::array<wchar_t, test::TestDownloads::kTargetPathUnits> target_path{};
  const DWORD chosen = package::ChoosePackagePath(kRequestName, url.c_str(), target_path);
  if (chosen != ERROR_SUCCESS) return chosen;
  return package::DownloadPackage(downloads.config, url.c_str(), target_path.data(), resume,
                                  downloads.stop_event.get());
}

double Median(std::vector<double> values) { return bench::FiguresOf(std::move(values)).median; }

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::size_t mebibytes = argc > 1 ? std::wcstoul(argv[1], nullptr, 10) : kDefaultMebibytes;
  const std::size_t runs = argc > 2 ? std::wcstoul(argv[2], nullptr, 10) : kDefaultRuns;
  if (mebibytes == 0 || runs == 0) {
    std::fprintf(stderr, "give a size in MiB and a number of runs, both above 0\n");
    return 2;
  }
  const std::uint64_t size = std::uint64_t{mebibytes} * kMebibyte;

  test::TestHttpServer server;
  if (!server.failure().empty()) {
    std::fprintf(stderr, "the package server did not start: %s\n", server.failure().c_str());
    return 1;
  }
  const std::string bytes = PatternBytes(size);
  server.AddFile(kFileName, bytes);
  test::TestDownloads downloads(kRequestName);
  const std::wstring url = server.Url(kUrlPath);
  wchar_t temp[MAX_PATH + 1] = {};
  ::GetTempPathW(MAX_PATH + 1, temp);
  const std::wstring bare_target = std::wstring(temp) + L"qfu-bench-bare-download.bin";

  std::vector<double> agent_rates;
  std::vector<double> bare_rates;
  for (std::size_t run = 0; run < runs; ++run) {
    for (int turn = 0; turn < 2; ++turn) {
      const bool agent = (run + static_cast<std::size_t>(turn)) % 2 == 1;
      const bench::Stopwatch watch;
      const DWORD error =
          agent ? AgentDownload(downloads, url) : BareDownload(server.port(), kUrlPath, bare_target);
      const double seconds = watch.Seconds();
      const std::uint64_t got = SizeOf(agent ? downloads.Path(kFileName) : bare_target);
      if (error != ERROR_SUCCESS || got != size) {
        std::fprintf(stderr, "the %s download failed: error %lu, %llu of %llu bytes\n",
                     agent ? "agent's" : "bare", error, static_cast<unsigned long long>(got),
                     static_cast<unsigned long long>(size));
        return 1;
      }
      (agent ? agent_rates : bare_rates).push_back(static_cast<double>(size) / kMebibyte / seconds);
    }
  }
  ::DeleteFileW(bare_target.c_str());
  const double agent_rate = Median(agent_rates);
  const double bare_rate = Median(bare_rates);
  std::printf("download: %zu MiB over HTTP from 127.0.0.1, median of %zu runs each\n", mebibytes, runs);
  bench::PrintFigure(bench::Ratio(agent_rate, bare_rate),
                     "download throughput: DownloadPackage %.1f MiB/s, bare WinHTTP loop %.1f MiB/s",
                     agent_rate, bare_rate);

  // Resume: the server closes the first connection after half the body; the second attempt
  // continues the partial file. What the server sent in all, against the file's size.
  ::DeleteFileW(downloads.Path(kFileName).c_str());
  server.SetRule("/package.bin", "cut");
  const std::uint64_t sent_before = server.BodyBytesSent();
  const DWORD cut = AgentDownload(downloads, url);
  const std::uint64_t partial = SizeOf(downloads.Path(kFileName));
  server.SetRule("/package.bin", "serve");
  const DWORD resumed = AgentDownload(downloads, url, true);
  const std::uint64_t sent = server.BodyBytesSent() - sent_before;
  const std::optional<std::string> result = test::FileBytes(downloads.Path(kFileName));
  const bool intact = result && *result == bytes;
  const long long beyond = static_cast<long long>(sent) - static_cast<long long>(size);
  std::printf("download resume: cut attempt returned %lu after %llu bytes, the resumed one %lu, file %s\n",
              cut, static_cast<unsigned long long>(partial), resumed, intact ? "intact" : "NOT INTACT");
  bench::PrintFigure(
      bench::Ratio(static_cast<double>(sent), static_cast<double>(size)),
      "download resume: server sent %llu body bytes for a %llu-byte file, %lld beyond what was missing",
      static_cast<unsigned long long>(sent), static_cast<unsigned long long>(size), beyond);
  return intact && resumed == ERROR_SUCCESS ? 0 : 1;
}
