#pragma once
// Fakes of the queue worker's ports and of the store's ports it reaches: each counts its
// calls, remembers their arguments and answers what the test scripted.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/handle.h"
#include "store/store_ports.h"
#include "worker/worker_ports.h"

namespace qfu::test {

// Answers each download with the next scripted result (0 once the script is used up), after
// writing package_path into the target path as the real downloader does. Its calls may come
// from the worker's thread while a test waits for them.
class FakeDownloader final : public worker::Downloader {
 public:
  FakeDownloader();

  std::vector<DWORD> results;
  std::wstring package_path = L"C:\\ProgramData\\QFUpdate\\pkg\\p.msi";
  std::function<void()> during;  // called inside each download
  std::wstring last_name;
  std::wstring last_url;
  bool last_resume = false;
  std::atomic<int> calls{0};
  std::atomic<ULONGLONG> first_call_tick{0};  // GetTickCount64 at the first call

  [[nodiscard]] DWORD ChoosePackagePath(const wchar_t* request_name, const wchar_t* url,
                                        std::span<wchar_t> target_path) override;
  [[nodiscard]] DWORD DownloadPackage(const wchar_t* url, const wchar_t* package_path, bool resume) override;
  // Waits at most timeout_ms for a first call; true when it came.
  [[nodiscard]] bool WaitForCall(DWORD timeout_ms) const;

 private:
  UniqueHandle called_;  // manual-reset, set at the first call
};

class FakeInstaller final : public worker::Installer {
 public:
  DWORD result = 0;
  int calls = 0;
  std::wstring last_path;
  std::wstring last_arguments;
  std::function<void()> during;  // called inside each run

  [[nodiscard]] DWORD RunInstaller(const wchar_t* package_path, const wchar_t* arguments) override;
};

// A pause that returns at once. stop is the stop event as the worker's checks see it;
// stop_in_sleep sets it during the next pause, as a stop control arriving then would.
class FakePause final : public worker::Pause {
 public:
  bool stop = false;
  bool stop_in_sleep = false;
  int sleeps = 0;
  DWORD last_sleep_ms = 0;

  [[nodiscard]] bool Sleep(DWORD milliseconds) override;
  [[nodiscard]] bool StopRequested() override { return stop; }
};

class FakeSystemState final : public worker::SystemState {
 public:
  bool restart_pending = false;
  bool installer_busy = false;
  DWORD users = 0;

  [[nodiscard]] bool RestartPending() override { return restart_pending; }
  [[nodiscard]] bool InstallerBusy() override { return installer_busy; }
  [[nodiscard]] DWORD LoggedOnUserCount() override { return users; }
};

// Answers each prompt with the next scripted reply (2, as with no UI process, once the script
// is used up) and remembers every prompt.
class FakeUiChannel final : public worker::UiChannel {
 public:
  struct Prompt {
    std::wstring text;
    std::wstring caption;
    std::uint32_t style = 0;
    std::uint32_t timeout_ms = 0;
  };
  std::vector<std::uint32_t> replies;
  std::vector<Prompt> prompts;
  std::function<void()> during;  // called inside each prompt, before it is answered

  [[nodiscard]] std::uint32_t SendUiPrompt(WideStringView text, WideStringView caption, std::uint32_t style,
                                           std::uint32_t timeout_ms) override;
};

class FakeMachineRestart final : public worker::MachineRestart {
 public:
  DWORD result = 0;
  int calls = 0;
  std::function<void()> during;

  [[nodiscard]] DWORD RestartMachine() override;
};

class FakeSignatureVerifier final : public package::SignatureVerifier {
 public:
  HRESULT result = S_OK;
  mutable int calls = 0;
  mutable std::wstring last_path;
  mutable bool last_skip = false;
  std::function<void()> during;

  [[nodiscard]] HRESULT Verify(const wchar_t* path, bool skip_publisher_check) const override;
};

// Hands out, for each lock, the write end of a fresh anonymous pipe as the held handle, so a
// test sees whether the worker still holds it (IsHeld) without a file on disk.
class FakePackageLock final : public worker::PackageLock {
 public:
  DWORD result = 0;  // non-zero: the lock fails with it
  int calls = 0;
  std::wstring last_path;

  [[nodiscard]] DWORD Lock(const wchar_t* path, UniqueFile& held) override;
  // True while the handle of the last lock is open.
  [[nodiscard]] bool IsHeld() const;

 private:
  UniqueHandle read_end_;
};

// Answers every hash with digest, or fails with result.
class FakePackageHasher final : public worker::PackageHasher {
 public:
  wire::Sha256Digest digest{};
  DWORD result = 0;
  int calls = 0;

  [[nodiscard]] DWORD HashPackage(HANDLE held, wire::Sha256Digest& out) override;
};

// Remembers every status change the store reports, in order.
class StatusRecorder final : public store::StatusReporter {
 public:
  struct Change {
    std::string name;
    wire::UpdateStatus status{};
    std::uint32_t detail = 0;
    bool operator==(const Change&) const = default;
  };
  std::vector<Change> changes;

  void StatusChanged(wire::Bytes message, wire::UpdateStatus status, std::uint32_t detail) noexcept override;
  // The statuses alone, in order.
  [[nodiscard]] std::vector<wire::UpdateStatus> Statuses() const;
};

// Remembers every removal the store or the worker asks for.
class PackageRemovalRecorder final : public store::PackageFileRemover {
 public:
  struct Removal {
    std::wstring path;
    bool log_and_directory = false;
    bool operator==(const Removal&) const = default;
  };
  std::vector<Removal> removals;

  void RemovePackageFiles(const wchar_t* target_path, bool remove_log_and_directory) noexcept override {
    removals.push_back({target_path, remove_log_and_directory});
  }
};

}  // namespace qfu::test
