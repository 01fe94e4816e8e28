#include "support/test_downloads.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "package/downloader.h"
#include "support/run_together.h"
#include "support/scratch_directory.h"

namespace qfu::test {
TestDownloads::TestDownloads(const std::wstring& request_name)
    : request_name_(request_name), directory_(ProgramDataFolder() + L"\\Quillfern\\" + request_name + L"\\") {
  objects.user_agent_mutex.reset(::CreateMutexW(nullptr, FALSE, nullptr));
  stop_event.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  Clear();
}

TestDownloads::~TestDownloads() { Clear(); }

void TestDownloads::Clear() const {
  std::error_code ignored;
  std::filesystem::remove_all(directory_, ignored);
}

void TestDownloads::Leave(const std::wstring& file_name, const std::string& bytes) const {
  std::filesystem::create_directories(directory_);
  std::ofstream(std::filesystem::path(Path(file_name)), std::ios::binary | std::ios::trunc) << bytes;
}

DWORD TestDownloads::Download(const std::wstring& url, bool resume) {
  DWORD result = 0xDEADBEEF;
  target_path_.assign(kTargetPathUnits, L'?');
  const bool returned = RunTogether(
      1,
      [&](std::size_t) {
        result = package::ChoosePackagePath(objects, request_name_.c_str(), url.c_str(), target_path_);
        if (result == ERROR_SUCCESS) {
          result =
              package::DownloadPackage(objects, url.c_str(), target_path_.c_str(), resume, stop_event.get());
        }
      },
      kDownloadTimeoutMs);
  EXPECT_TRUE(returned) << "the download did not return within " << kDownloadTimeoutMs << " ms";
  return result;
}

std::string PackageBytes(std::size_t size) {
  std::string bytes(size, '\0');
  std::uint32_t state = 20240601;
  for (char& byte : bytes) {
    state = state * 1103515245u + 12345u;
    byte = static_cast<char>(state >> 24);
  }
  return bytes;
}

std::optional<std::uint64_t> FileSize(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data = {};
  if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return std::nullopt;
  return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

std::optional<std::string> FileBytes(const std::wstring& path) {
  std::ifstream file(std::filesystem::path(path), std::ios::binary);
  if (!file) return std::nullopt;
  return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

testing::AssertionResult SameFile(const std::optional<std::string>& actual,
                                  const std::optional<std::string>& expected) {
  if (actual == expected) return testing::AssertionSuccess();
  if (!actual || !expected)
    return testing::AssertionFailure() << (actual ? "a file where none belongs" : "no file");
  const auto [differs, ignored] =
      std::mismatch(actual->begin(), actual->end(), expected->begin(), expected->end());
  return testing::AssertionFailure() << actual->size() << " bytes instead of " << expected->size()
                                     << ", first difference at offset " << (differs - actual->begin());
}

}  // namespace qfu::test
