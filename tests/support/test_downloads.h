#pragma once
// What a test of DownloadPackage works with: a request's package directory of its own, the
// process-wide objects the downloader reads, a bounded call, and the files it leaves.
#include <windows.h>

#include <gtest/gtest.h>
#include <optional>
#include <string>

#include "store/process_objects.h"

namespace qfu::test {

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

  ProcessObjects objects;
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
