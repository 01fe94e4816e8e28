#include "support/worker_bench.h"

#include <cstdio>
#include <cwchar>
#include <gtest/gtest.h>

#include "store/store_operations.h"
#include "support/test_messages.h"
#include "wire/update_status.h"

namespace qfu::test {
namespace {

DWORD WINAPI RunWorker(LPVOID worker) { return static_cast<worker::QueueWorker*>(worker)->Run(); }

}  // namespace

WorkerBench::WorkerBench(const std::wstring& name, Clock* clock, const worker::WorkerPorts& ports)
    : store(name), stop_event(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
  ProcessObjects& objects = store.objects();
  if (clock != nullptr) objects.clock = clock;
  objects.status_reporter = &statuses;
  objects.package_files = &removals;
  objects.resource_module = ::GetModuleHandleW(nullptr);
  client_api.connected = true;
  client_api.network_type = 1;
  worker::WorkerPorts used = ports;
  const auto fill = [](auto*& port, auto* fake) {
    if (port == nullptr) port = fake;
  };
  used.clock = objects.clock;
  fill(used.client_api, &client_api);
  fill(used.downloader, &downloader);
  fill(used.installer, &installer);
  fill(used.pause, &pause);
  fill(used.system_state, &system_state);
  fill(used.ui, &ui);
  fill(used.restart, &restart);
  fill(used.signature, static_cast<const package::SignatureVerifier*>(&signature));
  fill(used.package_lock, &package_lock);
  fill(used.package_hasher, &package_hasher);
  if (!used.evaluate_window)
    used.evaluate_window = [this](const wire::RequestMessage&, Clock&) { return window; };
  worker_ = std::make_unique<worker::QueueWorker>(objects, stop_event.get(), used);
}

WorkerBench::~WorkerBench() {
  if (thread_) {
    EXPECT_TRUE(StopThread(10000));
  }
}

store::RequestRecord* WorkerBench::Submit(const wire::MessageWriter& message) {
  store::RequestRecord* record = store.EnqueueAlone(message);
  (void)store.TakeUpdateEvent();
  statuses.changes.clear();
  return record;
}

store::RequestRecord* WorkerBench::RunStaged(const StagedRequest& request) {
  auto message = SubmitMessage("Staged", "http://127.0.0.1/p.msi", "A=1")
                     .Flags(request.flags & wire::RequestFlags{0xFFFF});
  message.U32(wire::kProductKindAt, request.kind).U32(wire::kPostponeIntervalAt, request.interval_minutes);
  if (wire::Any(request.flags & kDryRunFlag)) message.Instance(3);
  if (request.digest != nullptr) message.TextItem(wire::kPackageDigestItem, request.digest);
  store::RequestRecord* record = Waiting(message, request.stored);
  if (record == nullptr) return nullptr;
  Store(message, request.stored, kStoredDetail);
  const std::uint64_t now = store.clock().tick;
  record->deadline_tick = now + request.deadline_in;
  record->due_tick = now - 1;
  record->install_now = wire::Any(request.flags & kInstallNow) ? 1 : 0;
  EXPECT_TRUE(worker().RunOnce());
  return record;
}

store::RequestRecord* WorkerBench::Waiting(const wire::MessageWriter& message, wire::UpdateStatus status) {
  store::RequestRecord* record = Submit(message);
  if (record != nullptr) std::wcscpy(record->target_path, kKnownPackagePath);
  if (status != wire::kQueued) Store(message, status);
  return record;
}

void WorkerBench::CloseWindow() {
  constexpr std::uint64_t kDayMs = 24ull * 60 * 60 * 1000;
  window = {false, 0, objects().clock->TickCount() + kDayMs, 0};
}

std::vector<store::RequestRecord*> WorkerBench::Listed() {
  std::vector<store::RequestRecord*> listed;
  objects().requests.ForEach([&](store::RequestRecord& record) { return listed.push_back(&record), true; });
  return listed;
}

void WorkerBench::Store(const wire::MessageWriter& message, wire::UpdateStatus status, std::uint32_t detail) {
  EXPECT_EQ(store::SetRequestStatus(objects(), message.span(), status, detail, false), 0u);
  statuses.changes.clear();
}

wire::UpdateStatus WorkerBench::StoredStatus(const std::wstring& key) const {
  return static_cast<wire::UpdateStatus>(store.Dword(key, store::value::kUpdateStatus));
}

void WorkerBench::RunThread() {
  thread_.reset(::CreateThread(nullptr, 0, RunWorker, worker_.get(), 0, nullptr));
  ASSERT_TRUE(thread_);
}

bool WorkerBench::StopThread(DWORD timeout_ms) {
  ::SetEvent(stop_event.get());
  DWORD exit_code = 1;
  const bool ended = ::WaitForSingleObject(thread_.get(), timeout_ms) == WAIT_OBJECT_0 &&
                     ::GetExitCodeThread(thread_.get(), &exit_code) && exit_code == 0;
  // A thread that never returned would go on using the bench: a failed test may not outlive it.
  if (!ended && ::WaitForSingleObject(thread_.get(), 0) != WAIT_OBJECT_0) {
    std::fprintf(stderr, "the queue worker's thread did not stop within %lu ms\n", timeout_ms);
    std::fflush(stderr);
    ::TerminateProcess(::GetCurrentProcess(), 3);
  }
  thread_.reset();
  return ended;
}

}  // namespace qfu::test
