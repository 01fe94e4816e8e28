#pragma once
// The queue worker on fakes: a test store whose status changes and package removals are
// recorded, fakes for every worker port, and helpers that put requests in the state a test
// needs. One wake is worker().RunOnce(); RunThread runs the real loop on a thread of its own.
#include <windows.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/handle.h"
#include "support/client_api_standin.h"
#include "support/fake_worker_ports.h"
#include "support/test_store.h"
#include "wire/message_writer.h"
#include "wire/update_status.h"
#include "worker/queue_worker.h"

namespace qfu::test {

// The package path a waiting request knows in memory (Waiting).
inline constexpr const wchar_t* kKnownPackagePath = L"C:\\ProgramData\\QFUpdate\\Known\\p.msi";

// Markers in StagedRequest::flags beside the request flags: a dry run (instance number 3), and
// the install-now flag of the record.
inline constexpr wire::RequestFlags kDryRunFlag{0x8000'0000};
inline constexpr wire::RequestFlags kInstallNow{0x4000'0000};
// The detail stored with the status of a staged request.
inline constexpr std::uint32_t kStoredDetail = 1234;

// A request named "Staged" (URL http://127.0.0.1/p.msi, arguments "A=1") as a stage finds it.
struct StagedRequest {
  wire::UpdateStatus stored = wire::kDownloaded;
  wire::RequestFlags flags{};  // request flags, with kDryRunFlag and kInstallNow
  std::uint32_t kind = wire::product_kind::kCurrentClient;
  std::uint32_t interval_minutes = 0;
  std::uint64_t deadline_in = 0;  // ms after the step; 0: the deadline has passed at once
  const char* digest = nullptr;   // the text of a package digest item; null: none
};

class WorkerBench {
 public:
  // name: unique per test. clock: what the worker and the store read the time from (null: the
  // store's fake clock). The client is connected on network type 1 and reports no version; the
  // prompt texts come from the test program's own resources. ports: what replaces the fakes
  // (null fields: the fakes), for tests with real verification or installation.
  explicit WorkerBench(const std::wstring& name, Clock* clock = nullptr,
                       const worker::WorkerPorts& ports = {});
  WorkerBench(const WorkerBench&) = delete;
  WorkerBench& operator=(const WorkerBench&) = delete;
  ~WorkerBench();  // stops a running thread

  TestStore store;
  FakeClientApi client_api;
  FakeDownloader downloader;
  FakeInstaller installer;
  FakePause pause;
  FakeSystemState system_state;
  FakeUiChannel ui;
  FakeMachineRestart restart;
  FakeSignatureVerifier signature;
  FakePackageLock package_lock;
  FakePackageHasher package_hasher;
  // What the worker finds for the install window (inside, never closing, by default).
  worker::InstallWindow window;
  StatusRecorder statuses;
  PackageRemovalRecorder removals;
  UniqueHandle stop_event;  // manual-reset, for the thread's wait

  [[nodiscard]] worker::QueueWorker& worker() { return *worker_; }
  [[nodiscard]] ProcessObjects& objects() { return store.objects(); }

  // Submits the request as a client would (enqueued as new) and returns its record, the only
  // one in the list, with nothing reported yet.
  store::RequestRecord* Submit(const wire::MessageWriter& message);
  // Submits the request, gives its record kKnownPackagePath in memory and stores status (as a
  // stage would, reported nothing). Returns the record.
  store::RequestRecord* Waiting(const wire::MessageWriter& message, wire::UpdateStatus status);
  // Puts the request in place (stored with kStoredDetail, due, its deadline set) and runs one
  // wake; returns its record (null when it could not be submitted).
  store::RequestRecord* RunStaged(const StagedRequest& request);
  // Puts every request outside its install window, the next opening a day away, so that a
  // downloaded request waits in the list as it is.
  void CloseWindow();
  // The records in the request list, in order.
  [[nodiscard]] std::vector<store::RequestRecord*> Listed();
  // Writes the request's stored status and detail (as a stage would) and forgets the report.
  void Store(const wire::MessageWriter& message, wire::UpdateStatus status, std::uint32_t detail = 0);
  // The stored UpdateStatus of a request key (0xDEAD when absent).
  [[nodiscard]] wire::UpdateStatus StoredStatus(const std::wstring& key) const;

  // Runs worker().Run() on a thread of its own.
  void RunThread();
  // Sets the stop event and waits at most timeout_ms for the thread; true when it returned 0.
  [[nodiscard]] bool StopThread(DWORD timeout_ms);

 private:
  std::unique_ptr<worker::QueueWorker> worker_;
  UniqueHandle thread_;
};

}  // namespace qfu::test
