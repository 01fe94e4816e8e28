#pragma once
// The queue worker on fakes: FakeWorld answers every port of the worker from fields the test
// sets and runs `during` inside each call; WorkerBench adds a test store and the worker.
#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "common/handle.h"
#include "common/utf.h"
#include "support/test_store.h"
#include "wire/ui_prompt.h"
#include "wire/update_status.h"
#include "worker/queue_worker.h"

namespace qfu::test {

class StatusRecorder final : public store::StatusReporter {
 public:
  struct Change {
    std::string name;
    wire::UpdateStatus status{};  // as the store's port reports it
    std::uint32_t detail = 0;
    bool operator==(const Change&) const = default;
  };
  std::vector<Change> changes;

  void StatusChanged(wire::Bytes message, wire::UpdateStatus status, std::uint32_t detail) noexcept override {
    changes.push_back({std::string(wire::RequestMessage(message).request_name()), status, detail});
  }
};

[[nodiscard]] inline std::wstring PackagePathOf(std::string_view request_name) {
  return L"C:\\pkg\\" + Utf8ToWide(request_name) + L"\\p.msi";
}

class FakeWorld final : public worker::ClientApi,
                        public worker::Downloader,
                        public worker::Installer,
                        public worker::Pause,
                        public worker::SystemState,
                        public worker::UiChannel,
                        public worker::MachineRestart,
                        public worker::PackageLock,
                        public worker::PackageHasher,
                        public package::SignatureVerifier,
                        public store::PackageFileRemover {
 public:
  std::function<void(std::string_view port)> during;     // inside each call, before it answers
  std::set<std::wstring> disk;                           // package files that exist
  DWORD network_type = 1, users = 0;                     // the client's network; logged-on users
  bool connected = true, stop = false;                   // stop: the stop event, as the worker sees it
  bool restart_pending = false, installer_busy = false;  // Windows Update
  std::wstring version;                                  // the client's installed version; empty: none
  std::vector<bool> triggers;                            // each trigger condition set, in order
  // Every download but a refused one leaves a file at PackagePathOf(name); a stopped one stops.
  DWORD download_result = 0;
  DWORD install_result = 0, restart_result = 0, lock_result = 0;
  std::wstring last_arguments;          // of the last installer run
  std::vector<std::uint32_t> replies;   // each prompt's answer (2, as with no UI, once used up)
  std::vector<std::uint32_t> timeouts;  // each prompt's time limit
  HRESULT verdict = S_OK;
  bool waived = false;  // the last verification waived the publisher check

  // True while the last lock's handle is open (peeking fails once it is closed).
  [[nodiscard]] bool PackageHeld() const {
    DWORD available = 0;
    return read_end_ && ::PeekNamedPipe(read_end_.get(), nullptr, 0, nullptr, &available, nullptr);
  }

  DWORD NetworkType() override { return Call("network"), network_type; }
  bool IsConnected() override { return Call("connected"), connected; }
  DWORD SetTriggerCondition(bool downloading) override { return triggers.push_back(downloading), 0; }
  bool InstalledVersion(std::span<wchar_t> buffer) override;
  DWORD ChoosePackagePath(const wchar_t* request_name, const wchar_t* url, std::span<wchar_t> path) override;
  DWORD DownloadPackage(const wchar_t* url, const wchar_t* package_path, bool resume) override;
  DWORD RunInstaller(const wchar_t*, const wchar_t* arguments) override {
    Call("install");
    last_arguments = arguments != nullptr ? arguments : L"";
    return install_result;
  }
  bool Sleep(Milliseconds) override { return Call("sleep"), !stop; }
  bool StopRequested() override { return stop; }
  bool RestartPending() override { return Call("system"), restart_pending; }
  bool InstallerBusy() override { return Call("system"), installer_busy; }
  DWORD LoggedOnUserCount() override { return Call("users"), users; }
  std::uint32_t SendUiPrompt(WideStringView, WideStringView, std::uint32_t,
                             std::uint32_t timeout_ms) override {
    timeouts.push_back(timeout_ms);
    Call("prompt");
    return timeouts.size() <= replies.size() ? replies[timeouts.size() - 1] : wire::ui_reply::kCancel;
  }
  DWORD RestartMachine() override { return Call("restart"), restart_result; }
  DWORD Lock(const wchar_t* path, UniqueFile& held) override;
  DWORD HashPackage(HANDLE, wire::Sha256Digest& out) override {
    return Call("hash"), out = {}, ERROR_SUCCESS;  // every package's digest: zeros
  }
  HRESULT Verify(const wchar_t*, bool skip_publisher_check) const override {
    auto& self = const_cast<FakeWorld&>(*this);  // the port's call is const; the fake records it
    self.waived = skip_publisher_check;
    self.Call("verify");
    return verdict;
  }
  void RemovePackageFiles(const wchar_t* target_path, bool) noexcept override { disk.erase(target_path); }

 private:
  void Call(std::string_view port) {
    if (during) during(port);
  }
  UniqueHandle read_end_;  // of the pipe whose write end the last lock handed out
};

class WorkerBench {
 public:
  // name: unique per test. The prompt texts come from the test program's own resources.
  explicit WorkerBench(const std::wstring& name);

  TestStore store;
  FakeWorld world;
  StatusRecorder statuses;
  worker::InstallWindow window;  // what the worker finds for every request
  UniqueHandle stop_event;       // manual-reset; the fakes' stop field stands for it

  [[nodiscard]] worker::QueueWorker& worker() { return *worker_; }
  [[nodiscard]] ProcessObjects& objects() { return store.objects(); }
  // Submits the request and stores status with detail (when not Queued), forgetting the reports;
  // the record, alone in the list, is due now with its package at PackagePathOf(name).
  store::RequestRecord* Put(const wire::MessageWriter& message, wire::UpdateStatus status,
                            std::uint32_t detail = 0);
  // The stored UpdateStatus of a request (0xDEAD when absent).
  [[nodiscard]] wire::UpdateStatus Stored(std::string_view name, std::uint32_t instance = 0) const;

 private:
  std::unique_ptr<worker::QueueWorker> worker_;
};

}  // namespace qfu::test
