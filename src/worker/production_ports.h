#pragma once
// The worker's production ports: the pause on the service's stop event, the package layer's
// downloader, installer runner and package lock, and the thread entry that wires them with the
// client API library, the system checks, the UI pipe, the restart and the process's clock.
#include <windows.h>

#include <atomic>
#include <span>

#include "store/agent_config.h"
#include "worker/queue_worker.h"
#include "worker/worker_ports.h"

namespace qfu::worker {

// Waits on the service's stop event, alertably, so that request-timer completion routines run
// during a pause.
class SystemPause final : public Pause {
 public:
  // stop_event: manual-reset; must outlive the object.
  explicit SystemPause(HANDLE stop_event) noexcept : stop_event_(stop_event) {}

  [[nodiscard]] bool Sleep(Milliseconds interval) override;
  [[nodiscard]] bool StopRequested() override;

 private:
  HANDLE stop_event_;
};

// package::ChoosePackagePath and package::DownloadPackage with the agent's configuration (user
// agent, proxy choice), ended by the service's stop event.
class PackageDownloader final : public Downloader {
 public:
  // stop_event: manual-reset; must outlive the object.
  PackageDownloader(const AgentConfig& config, HANDLE stop_event) noexcept
      : config_(config), stop_event_(stop_event) {}

  [[nodiscard]] DWORD ChoosePackagePath(const wchar_t* request_name, const wchar_t* url,
                                        std::span<wchar_t> package_path) override;
  [[nodiscard]] DWORD DownloadPackage(const wchar_t* url, const wchar_t* package_path, bool resume) override;

 private:
  const AgentConfig& config_;
  HANDLE stop_event_;
};

// package::RunInstaller, with running set while it runs (so that a stop waits for it).
class PackageInstaller final : public Installer {
 public:
  // running: must outlive the object.
  explicit PackageInstaller(std::atomic<bool>& running) noexcept : running_(running) {}

  [[nodiscard]] DWORD RunInstaller(const wchar_t* package_path, const wchar_t* arguments) override;

 private:
  std::atomic<bool>& running_;
};

// package::LockPackage: the package held open, shared for reading only.
class SystemPackageLock final : public PackageLock {
 public:
  [[nodiscard]] DWORD Lock(const wchar_t* path, UniqueFile& held) override;
};

// package::HashOpenFile: the SHA-256 of the held package through CNG.
class SystemPackageHasher final : public PackageHasher {
 public:
  [[nodiscard]] DWORD HashPackage(HANDLE held, wire::Sha256Digest& digest) override;
};

// Thread entry of the queue worker (argument: QueueWorkerArgs*, which must outlive the
// thread): runs QueueWorker::Run with the client API library, SystemPause on the stop event,
// the package layer's downloader, installer runner, signature check, package lock and hash, Windows'
// own state, the UI pipe, the machine restart, and the objects' clock. Returns 0 when the stop
// event is set.
DWORD WINAPI ProductionQueueWorkerThread(LPVOID args);

}  // namespace qfu::worker
