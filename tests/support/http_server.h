#pragma once
// What the downloader's tests work with: a package server (files the test adds, answers by rules
// the test sets, a record of every request it received), a request's package directory of its
// own with the agent configuration the downloader reads, a bounded call, and the files it leaves.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "common/handle.h"
#include "store/agent_config.h"

namespace qfu::test {

// One request as the server received it.
struct RecordedRequest {
  std::string target;                                        // path and query, as sent
  std::vector<std::pair<std::string, std::string>> headers;  // in the order received
  // The value of the first header named name (in any letter case); nothing when absent.
  [[nodiscard]] std::optional<std::string> Header(std::string_view name) const;
};

// An HTTP server on 127.0.0.1 in the test process, each connection answered on a thread of its
// own and closed after one answer. Rules, per URL path: "serve" (the default: 200, 206 for
// "Range: bytes=N-" below the size, 416 at or past it, 404 when missing), "status:NNN", "cut"
// (close after half of the body), "ignore-range" (200 with the whole file), "stall" (after half
// of the body hold the connection until the server goes), "range-late" (a 206 one byte after
// the asked start), "range-total" (a 206 naming a total one byte larger), "long-body"
// (Content-Length 1000, 4000 bytes sent), "no-length" (no Content-Length: the body ends with the
// connection).
class TestHttpServer {
 public:
  TestHttpServer();
  TestHttpServer(const TestHttpServer&) = delete;
  TestHttpServer& operator=(const TestHttpServer&) = delete;
  // Ends every held connection and waits for every connection thread.
  ~TestHttpServer();

  // Empty when the server is listening, else what went wrong.
  [[nodiscard]] const std::string& failure() const { return failure_; }
  [[nodiscard]] unsigned port() const { return port_; }
  // L"http://127.0.0.1:<port>" followed by path_and_query.
  [[nodiscard]] std::wstring Url(std::wstring_view path_and_query) const;

  // Serves bytes as "/" + name.
  void AddFile(const std::wstring& name, std::string_view bytes);
  // Answers the requests for url_path (without query) from the next one on by rule.
  void SetRule(const std::string& url_path, const std::string& rule);
  // Every request received so far, oldest first (each is recorded before it is answered).
  [[nodiscard]] std::vector<RecordedRequest> Requests() const;
  void ClearRequests();
  // The body bytes of every answer sent so far, in all.
  [[nodiscard]] std::uint64_t BodyBytesSent() const { return sent_; }

 private:
  void Accept();
  void Answer(std::uintptr_t connection);

  mutable std::mutex mutex_;
  std::map<std::string, std::shared_ptr<const std::string>> files_;  // by URL path
  std::map<std::string, std::string> rules_;                         // by URL path
  std::vector<RecordedRequest> requests_;
  std::atomic<std::uint64_t> sent_ = 0;
  UniqueHandle ending_;  // manual-reset: set when the server goes
  std::uintptr_t listener_;
  unsigned port_ = 0;
  std::string failure_;
  std::vector<std::thread> connections_;  // guarded by mutex_
  std::thread acceptor_;
};

// A package directory (<ProgramData>\Quillfern\<request_name>\) removed when the object is made
// and when it goes, with ProcessObjects holding an unnamed user-agent mutex of its own.
class TestDownloads {
 public:
  static constexpr DWORD kDownloadTimeoutMs = 30000;
  static constexpr std::size_t kTargetPathUnits = 261;  // what the worker passes

  explicit TestDownloads(const std::wstring& request_name);
  TestDownloads(const TestDownloads&) = delete;
  TestDownloads& operator=(const TestDownloads&) = delete;
  ~TestDownloads();

  // The package path that file_name gets.
  [[nodiscard]] std::wstring Path(const std::wstring& file_name) const { return directory_ + file_name; }
  // Leaves file_name holding bytes in the package directory, as an earlier attempt would.
  void Leave(const std::wstring& file_name, const std::string& bytes) const;

  // Calls ChoosePackagePath, then DownloadPackage (resume: the file there is this request's
  // own) with the stop event, for url on a thread of its own, and waits at most
  // kDownloadTimeoutMs (a failure of the test then). Returns the first failure or the
  // download's result; the chosen path is Reported().
  [[nodiscard]] DWORD Download(const std::wstring& url, bool resume = false);
  [[nodiscard]] std::wstring Reported() const { return target_path_.data(); }

  AgentConfig config;
  UniqueHandle stop_event;  // manual-reset, not set

 private:
  void Clear() const;

  std::wstring request_name_;
  std::wstring directory_;
  std::wstring target_path_;
};

// size bytes of a fixed pseudo-random package: they differ from any prefix or tail of a partial
// file written by hand, so that a resume at the wrong offset shows.
[[nodiscard]] std::string PackageBytes(std::size_t size);

// The bytes of the file at path; nothing when it cannot be opened.
[[nodiscard]] std::optional<std::string> FileBytes(const std::wstring& path);

// The size of the file at path, read from its directory entry, so that it can be read while the
// downloader holds the file open without sharing; nothing when there is no such file.
[[nodiscard]] std::optional<std::uint64_t> FileSize(const std::wstring& path);

// Compares file contents (nothing: no file), telling sizes and the first difference on failure
// rather than printing a package.
[[nodiscard]] testing::AssertionResult SameFile(const std::optional<std::string>& actual,
                                                const std::optional<std::string>& expected);

}  // namespace qfu::test
